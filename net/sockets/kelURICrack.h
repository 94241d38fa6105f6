#pragma once
// crackURI: a URI taken apart into scheme, host, port, user name, password,
// path and extra information ("?..." or "#..." and the rest).

#include "core/kelTypes.h"

#include <cstdint>

struct kelURICrack
{
    kelString r_scheme;
    kelString r_hostName;
    uint16_t r_port = 0;
    kelString r_userName;
    kelString r_password;
    kelString r_path;
    kelString r_extraInfo;
};

// A URI without "//" is read as http ("host:5006" is http://host:5006).
// Scheme and host come back lower-cased (A-Z only); the port is the URI's, or
// 80 for http, 443 for https, 21 for ftp and 0 for any other scheme. `flags`
// may hold kelICU_DECODE (platform/kelUrlSplit.h) to decode %XX escapes.
// False for a URI that does not split, with `crack` untouched and the
// thread's last error (kelGetLastError) 12005. Any thread.
bool crackURI(const kelString& uri, kelURICrack& crack, uint32_t flags = 0);
