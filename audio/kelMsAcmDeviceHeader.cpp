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

bool kelMsAcmDeviceHeader::statusFlag(uint32_t) const noexcept
{
    return false;
}

void kelMsAcmDeviceHeader::setStatusFlag(uint32_t, bool) noexcept {}

bool kelMsAcmDeviceHeader::isComplete() const noexcept
{
    return statusFlag(kStatusDone) && statusFlag(kStatusPrepared) && !statusFlag(kStatusInQueue);
}

bool kelMsAcmDeviceHeader::isBusy() const noexcept
{
    return statusFlag(kStatusPrepared) && statusFlag(kStatusInQueue);
}
