#include "net/protocols/kelICYWire.h"

#include "core/kelBase64.h"
#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/sockets/kelURICrack.h"

std::string kelWireValue(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\r' && c != '\n' && c != '\0') out.push_back(c);
    return out;
}

std::string kelPercentEncode(std::string_view text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string kelICYBuildGet(std::string_view path, std::string_view host, std::string_view agent,
                           bool metadata)
{
    std::string p = kelWireValue(path);
    if (p.empty()) p = "/";
    return "GET " + p + " HTTP/1.0\r\n" + "Host: " + kelWireValue(host) + "\r\n" +
           "User-Agent: " + kelWireValue(agent) + "\r\n" + "Range: bytes=0-\r\n" +
           "Icy-MetaData: " + (metadata ? "1" : "0") + "\r\n\r\n";
}

std::string kelICYBuildSourceLogin(const kelIcecastLogin& login)
{
    const std::string user = login.user.empty() ? std::string("source") : login.user;
    std::string path = kelWireValue(login.path);
    if (path.empty()) path = "/";
    return "SOURCE " + path + " HTTP/1.0\r\n" + "Authorization: Basic " +
           encodeBase64(user + ":" + login.password) + "\r\n" + "User-Agent: MT2icecast/1.0\r\n" +
           "Content-Type: audio/mpeg\r\n" + "ice-name: " + kelWireValue(login.name) + "\r\n" +
           "ice-public: " + (login.isPublic ? "1" : "0") + "\r\n" + "ice-url: " + kelWireValue(login.url) +
           "\r\n" + "ice-genre: " + kelWireValue(login.genre) + "\r\n" +
           "ice-audio-info: bitrate=128;channels=2;samplerate=44100\r\n" +
           "ice-description: " + kelWireValue(login.extraInfo) + "\r\n\r\n";
}

std::string kelICYBuildDNASPassword(std::string_view password)
{
    return kelWireValue(password) + "\n";
}

std::string kelICYBuildDNASHeaders(std::string_view genre, std::string_view url, bool isPublic)
{
    return "icy-name: DNAS compatibe MT streamer\nicy-genre:" + kelWireValue(genre) + "\n" +
           "icy-url:" + kelWireValue(url) + "\n" + "icy-irc:#shoutcast\n" + "icy-icq:ICQ\n" +
           "icy-aim:AIM\n" + "icy-pub:" + (isPublic ? "1" : "0") + "\n" + "icy-br:24\n" +
           "content-type:audio/mpeg\n" + "\n";
}

std::string kelICYBuildDNASAdmin(std::string_view password)
{
    return "GET /admin.cgi?pass=" + kelPercentEncode(password) +
           "&mode=updinfo&song=toolazynow.mp3&url= HTTP/1.0\n" + "User-Agent: DNAS compatibe MT streamer\n\n";
}

kelSHOUTAnswer kelSHOUTJudgeAnswer(std::string_view bytes, bool dnas, bool ended)
{
    kelSHOUTAnswer a;
    if (bytes.size() <= 11 && !ended) return a;
    if (dnas) {
        a.state = bytes.substr(0, 3) == "OK2" ? 1 : -5;
        return a;
    }
    // "HTTP/1.0 200 OK": the status sits at offset 9.
    if (bytes.size() < 12 || bytes[8] != ' ') {
        a.state = -2;
        return a;
    }
    intptr_t code = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') {
            a.state = -2;
            return a;
        }
        code = code * 10 + (bytes[i] - '0');
    }
    if (code == 200) {
        a.state = 1;
    } else if (code == 401) {
        a.state = -4;
        a.iceCode = code;
    } else {
        a.state = -5;
        a.iceCode = code;
    }
    return a;
}

kelString kelICYMetadataValue(std::string_view block, std::string_view key)
{
    const std::string lower = lower8(block);
    const std::string pattern = std::string(key) + "='";
    const size_t at = lower.find(lower8(pattern));
    if (at == std::string::npos) return {};
    const size_t begin = at + pattern.size();
    size_t end = block.find("';", begin);
    if (end == std::string_view::npos) {
        end = block.rfind('\'');
        if (end == std::string_view::npos || end < begin) end = block.size();
    }
    std::string value;
    for (char c : block.substr(begin, end - begin))
        if (c != '\0') value.push_back(c);
    return utf8ToUtf16(value);
}

namespace {

bool hasScheme(const kelString& s)
{
    const size_t colon = s.find(u"://");
    if (colon == kelString::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        const char16_t c = s[i];
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                        c == u'+' || c == u'-' || c == u'.';
        if (!ok) return false;
    }
    return true;
}

} // namespace

kelString kelICYResolveLocation(const kelString& current, const kelString& location)
{
    const kelString loc = trimText(location);
    if (loc.empty()) return {};
    if (hasScheme(loc)) return loc;
    kelURICrack c;
    if (!crackURI(current, c)) return {};
    if (loc.rfind(u"//", 0) == 0) return c.r_scheme + u":" + loc;
    kelString origin = c.r_scheme + u"://" + c.r_hostName;
    if (c.r_port != 0) origin += u":" + utf8ToUtf16(std::to_string(c.r_port));
    if (loc[0] == u'/') return origin + loc;
    kelString dir = c.r_path.empty() ? kelString(u"/") : c.r_path;
    dir = dir.substr(0, dir.rfind(u'/') + 1);
    if (dir.empty()) dir = u"/";
    return origin + dir + loc;
}

bool kelICYIsRedirect(intptr_t status) noexcept
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
