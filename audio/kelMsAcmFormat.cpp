#include "audio/kelMsAcmFormat.h"

#include <algorithm>
#include <cstring>
#include <new>

kelMsAcmFormatTag::kelMsAcmFormatTag(kelMsAcmDriver* driver, const ACMFORMATTAGDETAILSA& tag) noexcept
    : kelMsAcmObjectTag(driver), f_tag(tag)
{}

kelMsAcmObject::kelMsAcmObject(kelMsAcmDriver* driver, kelMsAcmObjectTag* tag,
                               kelAcmDetailsType type) noexcept
    : f_driver(driver), f_tag(tag)
{
    f_details.r_type = type;
}

kelMsAcmFormat::kelMsAcmFormat(kelMsAcmDriver* driver, kelMsAcmObjectTag* tag,
                               const ACMFORMATDETAILSA& details, size_t recordLimit) noexcept
    : kelMsAcmObject(driver, tag, kelAcmDetailsFormat)
{
    f_details.r_format = details;
    f_details.r_format.pwfx = nullptr;
    f_details.r_format.cbwfx = 0;
    // The reporter's size is believed only up to the room it had.
    const size_t reported = std::min<size_t>(details.cbwfx, recordLimit);
    const size_t size = std::max(reported, sizeof(WAVEFORMATEX));
    if (size > UINT16_MAX + sizeof(WAVEFORMATEX)) return;
    f_record.reset(new (std::nothrow) uint8_t[size]());
    if (!f_record) return;
    if (details.pwfx && reported) std::memcpy(f_record.get(), details.pwfx, reported);
    auto* record = reinterpret_cast<WAVEFORMATEX*>(f_record.get());
    record->cbSize = uint16_t(size - sizeof(WAVEFORMATEX));
    f_details.r_format.pwfx = record;
    f_details.r_format.cbwfx = uint32_t(size);
}

kelMsAcmFormat::~kelMsAcmFormat()
{
    releaseOwned();
}

void kelMsAcmFormat::releaseOwned() noexcept
{
    f_record.reset();
    f_details.r_format.pwfx = nullptr;
    f_details.r_format.cbwfx = 0;
}
