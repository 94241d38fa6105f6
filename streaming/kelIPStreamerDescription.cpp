// kelIPStreamer: the stream address (URI) and the stream description (SDP,
// payload mapping, current format).

#include "streaming/kelIPStreamer.h"

#include "core/kelLog.h"
#include "core/kelParseInt.h"
#include "core/kelResultText.h"
#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/protocols/kelDecimal.h"
#include "net/protocols/kelSDPParser.h"
#include "platform/kelLastError.h"

namespace {

// A dotted IPv4 address (four decimal parts of at most 255) whose first
// octet is 224..239: a multicast group.
bool isMulticastHost(const kelString& host) noexcept
{
    int parts = 0;
    int value = -1;
    int first = -1;
    for (size_t i = 0; i <= host.size(); ++i) {
        const char16_t c = i < host.size() ? host[i] : u'.';
        if (c >= u'0' && c <= u'9') {
            value = (value < 0 ? 0 : value * 10) + (c - u'0');
            if (value > 255) return false;
        } else if (c == u'.') {
            if (value < 0) return false;
            if (parts == 0) first = value;
            ++parts;
            value = -1;
        } else {
            return false;
        }
    }
    return parts == 4 && first >= 224 && first <= 239;
}

// A port number written in decimal digits only, or 0.
int32_t portNumber(const kelString& text) noexcept
{
    const intptr_t value = kelParseDecimal(text);
    return value > 0 && value <= 65535 ? static_cast<int32_t>(value) : 0;
}

} // namespace

// --- the stream address -----------------------------------------------------------------

void kelIPStreamer::setURI(const kelString& value)
{
    close();
    kelURICrack crack;
    if (!crackURI(value, crack)) {
        const uint32_t err = kelGetLastError();
        setDescriptionError(u"Invalid URI, err=" + formatUnsigned(err));
        logMessage(u"kelIPStreamer: URI refused: " + kelResultWithText(err));
        return;
    }
    const bool portGiven = crack.r_port != 0;
    const kelString& scheme = crack.r_scheme;
    const intptr_t udpKind = isMulticastHost(crack.r_hostName) ? kelIPSocketMulticast : kelIPSocketUDP;

    std::lock_guard lock(f_textGuard);
    f_crack = crack;
    f_URI = value;
    f_URIHost = crack.r_hostName;
    if (portGiven) f_URIport = formatUnsigned(crack.r_port);
    if (scheme == u"udp") {
        f_protocol.store(kelIPProtoRAW);
        f_socketType.store(udpKind);
    } else if (scheme == u"tcp") {
        f_protocol.store(kelIPProtoRAW);
        f_socketType.store(kelIPSocketTCP);
    } else if (scheme == u"rtp") {
        f_protocol.store(kelIPProtoRTP);
        f_socketType.store(udpKind);
        if (!portGiven) f_URIport = u"5004";
    } else if (scheme == u"rtsp" || scheme == u"rtspu") {
        f_protocol.store(kelIPProtoRTSP);
        f_socketType.store(scheme == u"rtsp" ? kelIPSocketTCP : kelIPSocketUDP);
        if (!portGiven) f_URIport = u"554";
    } else if (scheme == u"http") {
        f_protocol.store(kelIPProtoHTTP);
        f_socketType.store(kelIPSocketTCP);
    } else {
        f_protocol.store(kelIPProtoUnknown);
    }
    f_URIuserName = crack.r_userName;
    f_URIuserPass = crack.r_password;
}

// --- the stream description --------------------------------------------------------------

void kelIPStreamer::setSDP(const kelString& value)
{
    // What the first media description says, copied out so that the format
    // is applied (and its events raised) after the parser is left: a
    // handler may set another SDP.
    bool hasMedia = false;
    int32_t ttl = -1;
    kelString port;
    intptr_t format = -1;
    kelString rtpmap;
    kelString fmtp;
    {
        std::lock_guard sdpLock(f_sdpGuard);
        {
            std::lock_guard lock(f_textGuard);
            if (value == f_SDP) return;
            f_SDP = value;
        }
        const std::string text = utf16ToUtf8(value);
        // The parser keeps its last description for an empty text; an empty
        // SDP describes no media.
        if (!text.empty()) f_sdpParser->applyPayload(text);
        if (const kelSDPMediaDescription* md = text.empty() ? nullptr : f_sdpParser->getMD(0)) {
            hasMedia = true;
            ttl = md->r_c.r_ttl;
            port = trimText(md->r_port);
            format = md->r_format;
            rtpmap = md->r_rtpmap;
            fmtp = md->r_fmtp;
        }
    }
    f_redType.store(rtpmap.empty() ? -1 : kelRTPMapRedundancyType(rtpmap));
    f_sdpTextType.store(-1);
    if (!hasMedia) {
        updateFormat(8000, 1, 16, kelRTPEnc_L16, 0);
        return;
    }
    if (ttl >= 0) f_ttl.store(ttl);
    if (!f_SDPignoreP.load() && portNumber(port) > 0) {
        std::lock_guard lock(f_textGuard);
        f_URIport = port;
    }
    if (rtpmap.empty()) {
        applyStaticFormat(format);
    } else {
        applyRTPMap(rtpmap, fmtp);
    }
}

void kelIPStreamer::applyStaticFormat(intptr_t format)
{
    kelRTPPayloadFormat pf;
    if (kelRTPStaticPayload(format, pf)) updateFormat(pf.rate, pf.channels, pf.bits, pf.encoding, 0);
    // The payload type now stands for the current encoding, when that has a
    // name (a bare dynamic type keeps the format it had).
    const char* name = kelRTPEncodingName(static_cast<int32_t>(f_enc.load()));
    if (name && format >= 0) {
        std::lock_guard lock(f_formatGuard);
        f_mapping.r_dynType = static_cast<int32_t>(format);
        kelRTPMapSetName(f_mapping, name);
    }
}

void kelIPStreamer::applyRTPMap(const kelString& rtpmap, const kelString& fmtp)
{
    kelRTPMap map = mappingCopy();
    if (!kelParseRTPMap(rtpmap, fmtp, map)) return;
    {
        std::lock_guard lock(f_formatGuard);
        f_mapping = map;
    }
    if (map.r_rtpEncoding == kelRTPEnc_t140c) f_sdpTextType.store(map.r_dynType);
    intptr_t bits = map.r_bitsPerSample;
    if (map.r_rtpEncoding == kelRTPEnc_L8) bits = 8;
    if (map.r_rtpEncoding == kelRTPEnc_L16) bits = 16;
    updateFormat(map.r_samplingRate, map.r_numChannels, bits, map.r_rtpEncoding, map.r_fmt_bitrate);
}

// --- the current format --------------------------------------------------------------------

void kelIPStreamer::updateFormat(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                                 intptr_t bitrate)
{
    intptr_t now[5];
    {
        std::lock_guard lock(f_formatGuard);
        std::atomic<intptr_t>* fields[5] = {&f_sps, &f_nch, &f_bits, &f_enc, &f_br};
        const intptr_t given[5] = {rate, channels, bits, encoding, bitrate};
        bool changed = false;
        for (int i = 0; i < 5; ++i)
            changed |= given[i] > 0 && given[i] != fields[i]->load();
        if (!changed) return;
        for (int i = 0; i < 5; ++i) {
            if (given[i] > 0) fields[i]->store(given[i]);
            now[i] = fields[i]->load();
        }
    }
    doFormatChange(now[0], now[1], now[2], now[3], now[4]);
}

void kelIPStreamer::doFormatChange(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                                   intptr_t bitrate)
{
    {
        std::lock_guard lock(f_formatGuard);
        f_mapping.r_samplingRate = static_cast<int32_t>(rate);
        f_mapping.r_numChannels = static_cast<int32_t>(channels);
        f_mapping.r_bitsPerSample = static_cast<int32_t>(bits);
        f_mapping.r_rtpEncoding = static_cast<int32_t>(encoding);
        f_mapping.r_fmt_bitrate = static_cast<int32_t>(bitrate);
    }
    (void)fireFormatChangeBefore(this, &f_mapping, 0);
    fireFormatChangeAfter(this, &f_mapping, 0);
}
