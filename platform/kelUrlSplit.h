#pragma once
// URL splitting with the rules of the platform splitter the library was
// written against:
//
//   scheme "://" [ user [ ":" password ] "@" ] host [ ":" port ] [ path ] [ extra ]
//
//  - the scheme is a letter followed by letters, digits, "+", "-" or ".";
//  - the host ends at ":", "/", "?" or "#"; a bracketed literal ("[::1]")
//    keeps its brackets; it must not hold spaces or control characters;
//  - the port is decimal, 0 ... 65535; when absent it is 80 for http, 443 for
//    https, 21 for ftp and 0 for every other scheme;
//  - the path starts at the first "/" after the host, the extra information
//    at the first "?" or "#" after that and runs to the end;
//  - the user name and password end at the last "@" of the authority and
//    split at their first ":".
//
// Components come back as they stand in the URL unless kelICU_DECODE asks
// for %XX sequences to be decoded (user name, password, path, extra). On
// failure nothing is filled, the result is false and the thread's last error
// (kelGetLastError) is 12005. Safe from any thread.

#include <cstdint>
#include <string>

inline constexpr uint32_t kelICU_DECODE = 0x10000000;
inline constexpr uint32_t kelERROR_INTERNET_INVALID_URL = 12005;

struct kelUrlComponents
{
    std::u16string scheme;
    std::u16string hostName;
    uint16_t port = 0;
    std::u16string userName;
    std::u16string password;
    std::u16string urlPath;
    std::u16string extraInfo;
};

bool kelCrackUrl(const std::u16string& url, uint32_t flags, kelUrlComponents& out);
