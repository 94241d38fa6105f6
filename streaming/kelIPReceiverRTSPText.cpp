#include "streaming/kelIPReceiverRTSPText.h"

#include "core/kelParseInt.h"
#include "core/kelTextUtils.h"
#include "net/protocols/kelHTTPparser.h"

#include <string_view>

namespace {

bool isDigit(char16_t c) noexcept
{
    return c >= u'0' && c <= u'9';
}

bool isHexDigit(char16_t c) noexcept
{
    return isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The run of decimal digits at `pos`, as a port number text; empty when it
// is none or out of range.
kelString portAt(const kelString& text, size_t& pos)
{
    const size_t start = pos;
    while (pos < text.size() && isDigit(text[pos]) && pos - start < 6)
        ++pos;
    if (pos == start) return {};
    const int64_t port = parseInteger(std::u16string_view(text).substr(start, pos - start), -1);
    if (port <= 0 || port > 65535) return {};
    return formatInteger(port);
}

kelString hex8(uint32_t value)
{
    kelString out(8, u'0');
    static constexpr char16_t digits[] = u"0123456789ABCDEF";
    for (int i = 7; i >= 0; --i) {
        out[static_cast<size_t>(i)] = digits[value & 0xF];
        value >>= 4;
    }
    return out;
}

bool isAbsoluteURL(const kelString& s)
{
    const size_t colon = s.find(u"://");
    if (colon == kelString::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
        const char16_t c = s[i];
        if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || isDigit(c) || c == u'+' || c == u'-' ||
              c == u'.'))
            return false;
    }
    return true;
}

// The value of the first "control:" line of `attrs`, trimmed; empty when
// none.
kelString controlOf(const kelString& attrs)
{
    size_t start = 0;
    while (start < attrs.size()) {
        size_t end = attrs.find_first_of(u"\r\n", start);
        if (end == kelString::npos) end = attrs.size();
        const kelString line = trimText(std::u16string_view(attrs).substr(start, end - start));
        if (line.size() >= 8 && compareText(std::u16string_view(line).substr(0, 8), u"control:", true) == 0)
            return trimText(std::u16string_view(line).substr(8));
        start = end + 1;
    }
    return {};
}

} // namespace

kelString kelRTSPSetupTransportLine(uint32_t ssrc, uint16_t rtpPort, uint16_t rtcpPort, bool withSSRC)
{
    return u"Transport: RTP/AVP;unicast;" + (withSSRC ? u"ssrc=" + hex8(ssrc) + u";" : kelString()) +
           u"client_port=" + formatInteger(rtpPort) + u"-" + formatInteger(rtcpPort);
}

kelRTSPSessionHeader kelRTSPReadSessionHeader(const kelString& value)
{
    kelRTSPSessionHeader out;
    const size_t semi = value.find(u';');
    out.id = trimText(std::u16string_view(value).substr(0, semi));
    if (semi == kelString::npos) return out;
    const kelString params = lowerAscii(std::u16string_view(value).substr(semi));
    const size_t at = params.find(u"timeout=");
    if (at == kelString::npos) return out;
    size_t pos = at + 8;
    const size_t start = pos;
    while (pos < params.size() && isDigit(params[pos]) && pos - start < 9)
        ++pos;
    const int64_t seconds = parseInteger(std::u16string_view(params).substr(start, pos - start), 0);
    if (seconds > 0) out.timeoutS = seconds;
    return out;
}

kelRTSPSetupTransport kelRTSPReadSetupTransport(const kelString& transport)
{
    kelRTSPSetupTransport out;
    const kelString t = lowerAscii(transport);
    // Parameters, ";"-separated; the first names the transport itself.
    size_t start = t.find(u';');
    while (start != kelString::npos && start < t.size()) {
        ++start;
        size_t end = t.find(u';', start);
        const kelString p =
            trimText(std::u16string_view(t).substr(start, end == kelString::npos ? end : end - start));
        start = end;
        if (p == u"multicast") out.kind = 2;
        if (p.rfind(u"server_port=", 0) == 0 && out.rtpPort.empty()) {
            size_t pos = 12;
            const kelString rtp = portAt(p, pos);
            if (rtp.empty()) continue;
            out.rtpPort = rtp;
            if (pos < p.size() && p[pos] == u'-') {
                ++pos;
                out.rtcpPort = portAt(p, pos);
            }
        } else if (p.rfind(u"ssrc=", 0) == 0 && !out.hasSSRC) {
            size_t pos = 5;
            uint32_t v = 0;
            while (pos < p.size() && isHexDigit(p[pos]) && pos - 5 < 8) {
                const char16_t c = p[pos++];
                v = (v << 4) | static_cast<uint32_t>(isDigit(c) ? c - u'0' : c - u'a' + 10);
            }
            if (pos > 5 && (pos == p.size() || !isHexDigit(p[pos]))) {
                out.hasSSRC = true;
                out.ssrc = v;
            }
        }
    }
    return out;
}

kelString kelRTSPResolveControl(const kelString& base, const kelString& control)
{
    const kelString c = trimText(control);
    if (c.empty() || c == u"*") return base;
    if (isAbsoluteURL(c)) return c;
    kelString out = base;
    while (!out.empty() && out.back() == u'/')
        out.pop_back();
    size_t skip = 0;
    while (skip < c.size() && c[skip] == u'/')
        ++skip;
    return out + u"/" + c.substr(skip);
}

kelRTSPSessionURLs kelRTSPSessionURLsOf(const kelHTTPparser& answer, const kelString& describeURI,
                                        const kelString& sessionAttrs, const kelString& mediaControl)
{
    kelRTSPSessionURLs out;
    kelString base = answer.getHeaderValue(u"Content-Base", true);
    if (!isAbsoluteURL(base)) base = answer.getHeaderValue(u"Content-Location", true);
    if (!isAbsoluteURL(base)) base = describeURI;
    out.base = base;
    out.aggregate = kelRTSPResolveControl(base, controlOf(sessionAttrs));
    out.media = kelRTSPResolveControl(base, mediaControl);
    return out;
}
