#include "platform/kelUrlSplit.h"

#include "platform/kelLastError.h"
#include "platform/kelUtf8.h"

#include <utility>

namespace {

bool isAlpha(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

bool equalsAscii(const std::u16string& s, const char* lower)
{
    size_t i = 0;
    for (; lower[i] != '\0'; ++i) {
        if (i >= s.size()) return false;
        char16_t c = s[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != static_cast<char16_t>(lower[i])) return false;
    }
    return i == s.size();
}

int hexValue(char16_t c)
{
    if (isDigit(c)) return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

// %XX sequences decode to the byte XX, read as UTF-8 where they form a valid
// sequence and as Latin-1 otherwise; a "%" not followed by two hex digits
// stays as it is.
std::u16string percentDecode(const std::u16string& s)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] != u'%') {
            out += s[i++];
            continue;
        }
        // Collect a run of escaped bytes.
        std::string bytes;
        size_t j = i;
        while (j + 2 < s.size() && s[j] == u'%' && hexValue(s[j + 1]) >= 0 && hexValue(s[j + 2]) >= 0) {
            bytes += static_cast<char>(hexValue(s[j + 1]) * 16 + hexValue(s[j + 2]));
            j += 3;
        }
        if (bytes.empty()) {
            out += s[i++];
            continue;
        }
        i = j;
        const auto* raw = reinterpret_cast<const uint8_t*>(bytes.data());
        size_t k = 0;
        while (k < bytes.size()) {
            const kelUtf8Char c = kelUtf8Read(raw + k, bytes.size() - k);
            if (c.kind != kelUtf8Kind::scalar) {
                out += static_cast<char16_t>(raw[k]);
                ++k;
                continue;
            }
            kelUtf16Append(out, c.codePoint);
            k += c.length;
        }
    }
    return out;
}

bool invalid()
{
    kelSetLastError(kelERROR_INTERNET_INVALID_URL);
    return false;
}

} // namespace

bool kelCrackUrl(const std::u16string& url, uint32_t flags, kelUrlComponents& out)
{
    // Scheme.
    const size_t colon = url.find(u':');
    if (colon == std::u16string::npos || colon == 0 || !isAlpha(url[0])) return invalid();
    for (size_t i = 1; i < colon; ++i) {
        const char16_t c = url[i];
        if (!isAlpha(c) && !isDigit(c) && c != u'+' && c != u'-' && c != u'.') return invalid();
    }
    if (url.compare(colon + 1, 2, u"//") != 0) return invalid();
    kelUrlComponents r;
    r.scheme = url.substr(0, colon);

    // Authority: up to the first "/", "?" or "#".
    const size_t authStart = colon + 3;
    if (authStart >= url.size()) return invalid(); // "scheme://" and nothing else
    size_t authEnd = url.find_first_of(u"/?#", authStart);
    if (authEnd == std::u16string::npos) authEnd = url.size();
    std::u16string authority = url.substr(authStart, authEnd - authStart);

    const size_t at = authority.rfind(u'@');
    if (at != std::u16string::npos) {
        const std::u16string userInfo = authority.substr(0, at);
        const size_t sep = userInfo.find(u':');
        r.userName = userInfo.substr(0, sep);
        if (sep != std::u16string::npos) r.password = userInfo.substr(sep + 1);
        authority.erase(0, at + 1);
    }

    // Host, bracketed or plain, then the port.
    size_t hostEnd;
    if (!authority.empty() && authority[0] == u'[') {
        const size_t close = authority.find(u']');
        if (close == std::u16string::npos) return invalid();
        hostEnd = close + 1;
    } else {
        hostEnd = authority.find(u':');
        if (hostEnd == std::u16string::npos) hostEnd = authority.size();
    }
    r.hostName = authority.substr(0, hostEnd);
    for (const char16_t c : r.hostName) {
        if (c <= 0x20 || c == 0x7F) return invalid();
    }
    const std::u16string rest = authority.substr(hostEnd);
    bool havePort = false;
    if (!rest.empty()) {
        if (rest[0] != u':') return invalid();
        const std::u16string digits = rest.substr(1);
        if (!digits.empty()) {
            uint32_t port = 0;
            if (digits.size() > 5) return invalid();
            for (const char16_t c : digits) {
                if (!isDigit(c)) return invalid();
                port = port * 10 + static_cast<uint32_t>(c - u'0');
            }
            if (port > 65535) return invalid();
            r.port = static_cast<uint16_t>(port);
            havePort = true;
        }
    }
    if (!havePort) {
        if (equalsAscii(r.scheme, "http"))
            r.port = 80;
        else if (equalsAscii(r.scheme, "https"))
            r.port = 443;
        else if (equalsAscii(r.scheme, "ftp"))
            r.port = 21;
        else
            r.port = 0;
    }

    // Path and extra information.
    if (authEnd < url.size()) {
        size_t extra = url.find_first_of(u"?#", authEnd);
        if (extra == std::u16string::npos) extra = url.size();
        r.urlPath = url.substr(authEnd, extra - authEnd);
        r.extraInfo = url.substr(extra);
    }

    if (flags & kelICU_DECODE) {
        r.userName = percentDecode(r.userName);
        r.password = percentDecode(r.password);
        r.urlPath = percentDecode(r.urlPath);
        r.extraInfo = percentDecode(r.extraInfo);
    }
    out = std::move(r);
    return true;
}
