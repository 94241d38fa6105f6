#include "streaming/kelIPSampleCarry.h"

#include <cstring>

const int16_t* kelIPSampleCarry::take(const uint8_t* data, size_t len, size_t unit, size_t& samples)
{
    samples = 0;
    if (unit == 0 || unit > sizeof f_kept || (data == nullptr && len > 0)) return nullptr;
    if (f_keptLen >= unit) f_keptLen = 0; // a unit that changed size: start afresh
    const size_t total = f_keptLen + len;
    const size_t whole = total - total % unit;
    if (whole == 0) {
        if (len > 0) std::memcpy(f_kept + f_keptLen, data, len);
        f_keptLen = total;
        return nullptr;
    }
    f_buf.resize(whole / 2);
    auto* out = reinterpret_cast<uint8_t*>(f_buf.data());
    std::memcpy(out, f_kept, f_keptLen);
    const size_t fromData = whole - f_keptLen;
    std::memcpy(out + f_keptLen, data, fromData);
    f_keptLen = len - fromData;
    if (f_keptLen > 0) std::memcpy(f_kept, data + fromData, f_keptLen);
    samples = whole / 2;
    return f_buf.data();
}
