#include "net/sockets/kelURICrack.h"

#include "platform/kelUrlSplit.h"

namespace {

kelString lowerAscii(kelString s)
{
    for (char16_t& c : s) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return s;
}

} // namespace

bool crackURI(const kelString& uri, kelURICrack& crack, uint32_t flags)
{
    const kelString full = uri.find(u"//") == kelString::npos ? u"http://" + uri : uri;
    kelUrlComponents parts;
    if (!kelCrackUrl(full, flags, parts)) return false;
    crack.r_scheme = lowerAscii(parts.scheme);
    crack.r_hostName = lowerAscii(parts.hostName);
    crack.r_port = parts.port;
    crack.r_userName = parts.userName;
    crack.r_password = parts.password;
    crack.r_path = parts.urlPath;
    crack.r_extraInfo = parts.extraInfo;
    return true;
}
