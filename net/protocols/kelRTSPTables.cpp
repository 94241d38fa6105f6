#include "net/protocols/kelRTSPTables.h"

#include "core/kelTextUtils.h"

#include <chrono>
#include <cstdio>

const char16_t* const kelRTSPMethodNames[kelRTSPMethodCount] = {
    u"DESCRIBE", u"ANNOUNCE", u"GET_PARAMETER", u"OPTIONS",       u"PAUSE",   u"PLAY",
    u"RECORD",   u"REDIRECT", u"SETUP",         u"SET_PARAMETER", u"TEARDOWN"};

const char16_t* const kelRTSPHeaderNames[kelRTSPHeaderCount] = {u"Cache-Control",
                                                                u"Connection",
                                                                u"Date",
                                                                u"Via",
                                                                u"Accept",
                                                                u"Accept-Encoding",
                                                                u"Accept-Language",
                                                                u"Authorization",
                                                                u"From",
                                                                u"If-Modified-Since",
                                                                u"Range",
                                                                u"Referer",
                                                                u"User-Agent",
                                                                u"Location",
                                                                u"Proxy-Authenticate",
                                                                u"Public",
                                                                u"Retry-After",
                                                                u"Server",
                                                                u"Vary",
                                                                u"WWW-Authenticate",
                                                                u"Allow",
                                                                u"Content-Base",
                                                                u"Content-Encoding",
                                                                u"Content-Language",
                                                                u"Content-Length",
                                                                u"Content-Location",
                                                                u"Content-Type",
                                                                u"Expires",
                                                                u"Last-Modified",
                                                                u"Bandwidth",
                                                                u"Blocksize",
                                                                u"Conference",
                                                                u"CSeq",
                                                                u"Proxy-Require",
                                                                u"Require",
                                                                u"RTP-Info",
                                                                u"Scale",
                                                                u"Session",
                                                                u"Speed",
                                                                u"Transport",
                                                                u"Unsupported"};

const char* const kelRTSPDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kelRTSPMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

intptr_t kelRTSPMethodIndex(std::u16string_view name) noexcept
{
    for (intptr_t i = 0; i < kelRTSPMethodCount; ++i)
        if (compareText(name, kelRTSPMethodNames[i], true) == 0) return i;
    return -1;
}

kelString kelRTSPMethodName(intptr_t method)
{
    return method >= 0 && method < kelRTSPMethodCount ? kelString(kelRTSPMethodNames[method]) : kelString();
}

std::string kelRTSPDate(uint64_t unixMs)
{
    // Civil date from days since 1970 (proleptic Gregorian calendar).
    const int64_t days = static_cast<int64_t>(unixMs / 86400000u);
    const uint64_t secOfDay = (unixMs / 1000u) % 86400u;
    const int weekday = static_cast<int>((days + 4) % 7); // 1 Jan 1970 was a Thursday
    const int64_t z = days + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %lld %02u:%02u:%02u GMT", kelRTSPDayNames[weekday], day,
                  kelRTSPMonthNames[month - 1], static_cast<long long>(year), unsigned(secOfDay / 3600),
                  unsigned(secOfDay / 60 % 60), unsigned(secOfDay % 60));
    return text;
}

uint64_t kelRTSPWallClockMs() noexcept
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}
