// The RTSP answer texts of the transmitter.
//
// Transport header of a SETUP (RFC 2326 12.39), ";"-separated:
//   RTP/AVP[/UDP|/TCP] ; unicast|multicast ; destination=host ;
//   client_port=rtp[-rtcp] ; ssrc=8 hex digits ; ... (others ignored)
// Only the first transport of a comma-separated list is read.
#include "streaming/kelIPRTSPSetup.h"

#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSDPParser.h"

#include <string_view>
#include <vector>

namespace {

bool startsWith(std::u16string_view text, std::u16string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

kelString decimal(uint64_t value)
{
    const std::string s = std::to_string(value);
    return kelString(s.begin(), s.end());
}

// A port number of one to five digits in 1..65535; nothing else.
bool readPort(std::u16string_view text, uint16_t& port)
{
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9') return false;
        value = value * 10 + (c - u'0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// "client_port=rtp" or "client_port=rtp-rtcp"; the RTCP port is RTP + 1
// when it is not named (RFC 3550 pairs them so).
bool readClientPorts(std::u16string_view value, uint16_t& rtp, uint16_t& rtcp)
{
    const size_t dash = value.find(u'-');
    uint16_t first = 0;
    uint16_t second = 0;
    if (!readPort(trimText(value.substr(0, dash)), first)) return false;
    if (dash == std::u16string_view::npos) {
        if (first == 65535) return false;
        second = static_cast<uint16_t>(first + 1);
    } else if (!readPort(trimText(value.substr(dash + 1)), second)) {
        return false;
    }
    rtp = first;
    rtcp = second;
    return true;
}

std::vector<kelString> tokens(const kelString& text)
{
    std::vector<kelString> out;
    size_t begin = 0;
    while (begin <= text.size()) {
        size_t end = text.find(u';', begin);
        if (end == kelString::npos) end = text.size();
        out.push_back(lowerAscii(trimText(std::u16string_view(text).substr(begin, end - begin))));
        begin = end + 1;
    }
    return out;
}

// The value after "name=" of a lower-cased token, or nothing when the
// token is another parameter.
bool parameter(const kelString& token, std::u16string_view name, std::u16string_view& value)
{
    if (!startsWith(token, name)) return false;
    std::u16string_view rest = std::u16string_view(token).substr(name.size());
    const size_t lead = rest.find_first_not_of(u" \t");
    if (lead == std::u16string_view::npos || rest[lead] != u'=') {
        value = {};
        return true;
    }
    value = rest.substr(lead + 1);
    return true;
}

kelRTSPTransportRequest refused(intptr_t code, const char16_t* reason)
{
    kelRTSPTransportRequest r;
    r.code = code;
    r.reason = reason;
    return r;
}

} // namespace

bool kelRTSPReadSSRC(const kelString& value, uint32_t& ssrc)
{
    const kelString v = trimText(value);
    if (v.empty()) return false;
    if (v.size() <= 8) {
        uint32_t out = 0;
        for (const char16_t c : v) {
            uint32_t digit;
            if (c >= u'0' && c <= u'9')
                digit = c - u'0';
            else if (c >= u'a' && c <= u'f')
                digit = 10u + (c - u'a');
            else if (c >= u'A' && c <= u'F')
                digit = 10u + (c - u'A');
            else
                return false;
            out = out * 16 + digit;
        }
        ssrc = out;
        return true;
    }
    if (v.size() > 10) return false;
    uint64_t out = 0;
    for (const char16_t c : v) {
        if (c < u'0' || c > u'9') return false;
        out = out * 10 + (c - u'0');
    }
    if (out > 0xFFFFFFFFu) return false;
    ssrc = static_cast<uint32_t>(out);
    return true;
}

kelString kelRTSPSSRCText(uint32_t ssrc)
{
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    kelString out(8, u'0');
    for (int i = 7; i >= 0; --i) {
        out[static_cast<size_t>(i)] = kHex[ssrc & 15u];
        ssrc >>= 4;
    }
    return out;
}

kelRTSPTransportRequest kelRTSPReadTransport(const kelString& transport, const kelString& peer)
{
    kelString text = trimText(transport);
    if (text.empty()) return refused(456, u"Hey, I need Transport!");
    // Of several transports offered, the first is the client's preference.
    if (const size_t comma = text.find(u','); comma != kelString::npos) text.resize(comma);
    const std::vector<kelString> parts = tokens(text);
    if (!startsWith(parts.front(), u"rtp/avp")) return refused(406, u"I know only RTP/AVP transport!");

    kelRTSPTransportRequest r;
    r.destination = peer;
    bool havePorts = false;
    for (size_t i = 1; i < parts.size(); ++i) {
        const kelString& token = parts[i];
        std::u16string_view value;
        if (parameter(token, u"client_port", value)) {
            havePorts = readClientPorts(value, r.rtpPort, r.rtcpPort);
            if (!havePorts) break;
        } else if (startsWith(token, u"multicast")) {
            r.mode = 2;
        } else if (parameter(token, u"ssrc", value)) {
            uint32_t ssrc = 0;
            if (kelRTSPReadSSRC(kelString(value), ssrc)) r.ssrc = ssrc;
        }
        // "destination=" is read and not followed: the stream goes to the
        // peer that asked for it, never to a host it names.
    }
    if (!havePorts) return refused(461, u"Unsupported transport");
    return r;
}

kelString kelRTSPSetupHeaders(const kelRTSPTransportRequest& request, const kelString& source,
                              const kelString& serverPorts, uint32_t ourSSRC, const kelString& session)
{
    kelString out = u"Transport: RTP/AVP;";
    out += request.mode == 2 ? u"multicast" : u"unicast";
    out += u";source=" + source;
    out += u";destination=" + request.destination;
    out += u";client_port=" + decimal(request.rtpPort) + u"-" + decimal(request.rtcpPort);
    out += u";server_port=" + serverPorts;
    if (ourSSRC != 0) out += u";ssrc=" + kelRTSPSSRCText(ourSSRC);
    out += u"\r\nSession: " + session;
    return out;
}

kelString kelRTSPBase32(uint64_t value)
{
    static constexpr char16_t kDigits[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUV";
    kelString out;
    do {
        out.insert(out.begin(), kDigits[value & 31u]);
        value >>= 5;
    } while (value != 0);
    return out;
}

kelString kelRTSPSessionOf(const kelString& header)
{
    const size_t semi = header.find(u';');
    return trimText(std::u16string_view(header).substr(0, semi));
}

std::string kelRTSPDescribeBody(const kelString& sdp, uint64_t number, const kelString& className)
{
    kelSDPParser parser;
    parser.applyPayload(utf16ToUtf8(sdp));
    std::string media;
    bool inMedia = false;
    for (intptr_t i = 0; i < parser.getHeaderCount(); ++i) {
        const std::string name = utf16ToUtf8(parser.getHeaderName(i));
        if (name == "m") inMedia = true;
        if (inMedia) media += name + "=" + utf16ToUtf8(parser.getHeaderValue(i, false)) + "\r\n";
    }
    std::string body = "v=0\r\no=- " + std::to_string(number) + " 1 IN IP4 0.0.0.0\r\n";
    body += "s=Live streaming by " + utf16ToUtf8(className) + "\r\n";
    body += "i=MT\r\nt=0 0\r\n";
    body += media;
    return trimText(std::string_view(body));
}
