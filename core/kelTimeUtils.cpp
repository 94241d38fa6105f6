#include "core/kelTimeUtils.h"

#include "core/kelUtf.h"

#include <cmath>
#include <ctime>
#include <string>

namespace {

kelSystemTime fromTm(const std::tm& tm, long nanoseconds)
{
    kelSystemTime t;
    t.year = static_cast<uint16_t>(tm.tm_year + 1900);
    t.month = static_cast<uint16_t>(tm.tm_mon + 1);
    t.dayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    t.day = static_cast<uint16_t>(tm.tm_mday);
    t.hour = static_cast<uint16_t>(tm.tm_hour);
    t.minute = static_cast<uint16_t>(tm.tm_min);
    t.second = static_cast<uint16_t>(tm.tm_sec);
    t.milliseconds = static_cast<uint16_t>(nanoseconds / 1000000);
    return t;
}

kelSystemTime now(bool utc)
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    if (utc)
        ::gmtime_r(&ts.tv_sec, &tm);
    else
        ::localtime_r(&ts.tv_sec, &tm);
    return fromTm(tm, ts.tv_nsec);
}

} // namespace

int64_t percent(int64_t part, int64_t total) noexcept
{
    if (part == 0 || total == 0) return 0;
    const double r = static_cast<double>(part) * 100.0 / static_cast<double>(static_cast<uint64_t>(total));
    return static_cast<int64_t>(std::llround(r));
}

int64_t percentPositive(int64_t part, int64_t total) noexcept
{
    return part > 0 && total > 0 ? percent(part, total) : 0;
}

bool isLeapYear(int year) noexcept
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

kelSystemTime systemTimeNow() noexcept
{
    return now(true);
}

kelSystemTime localTimeNow() noexcept
{
    return now(false);
}

kelString formatTime(const kelSystemTime& time, const kelString& format)
{
    if (format.empty()) return {};
    std::tm tm{};
    tm.tm_year = time.year - 1900;
    tm.tm_mon = time.month - 1;
    tm.tm_mday = time.day;
    tm.tm_wday = time.dayOfWeek;
    tm.tm_hour = time.hour;
    tm.tm_min = time.minute;
    tm.tm_sec = time.second;
    const std::string fmt = utf16ToUtf8(format);
    // strftime gives 0 both for "too small" and for an empty result: grow a
    // few times, then give up.
    for (size_t size = 128; size <= 16384; size *= 4) {
        std::string buf(size, '\0');
        const size_t n = std::strftime(buf.data(), buf.size(), fmt.c_str(), &tm);
        if (n > 0) return utf8ToUtf16(std::string_view(buf.data(), n));
    }
    return {};
}
