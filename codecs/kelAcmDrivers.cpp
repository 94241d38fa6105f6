#include "codecs/kelAcmDrivers.h"

#include "platform/kelAcmRegistry.h"

#include <mutex>

void kelAcmRegisterBuiltInDrivers() noexcept
{
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            kelAcmAddDriver(kelAcmPcmDriverProc);
            kelAcmAddDriver(kelAcmG711DriverProc);
            kelAcmAddDriver(kelAcmImaAdpcmDriverProc);
            kelAcmAddDriver(kelAcmGsmDriverProc);
            if (kelAcmMp3CanDecode() || kelAcmMp3CanEncode()) kelAcmAddDriver(kelAcmMp3DriverProc);
        });
    } catch (...) {
        // call_once reports a failure to start a thread's wait; the drivers
        // then stay unregistered and the registry answers as empty.
    }
}
