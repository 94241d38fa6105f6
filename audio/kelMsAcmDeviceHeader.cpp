#include "audio/kelMsAcmDeviceHeader.h"

#include "audio/kelMsAcmStreamDevice.h"

uint32_t kelMsAcmDeviceHeader::prepare()
{
    if (!f_device) return kNoOwner;
    return f_device->prepareHeader(this);
}

uint32_t kelMsAcmDeviceHeader::unprepare()
{
    if (!f_device) return kNoOwner;
    return f_device->unprepareHeader(this);
}
