#pragma once
// What the IP receiver says to an RTSP server and reads from its answers,
// as pure functions (no sockets, threads or clocks), so every rule is tested
// and fuzzed on its own:
//
//   SETUP   Transport: RTP/AVP;unicast;ssrc=<8 hex digits>;client_port=<rtp>-<rtcp>
//   answer  Transport: ...;server_port=<rtp>[-<rtcp>];ssrc=<hex>;...
//           Session: <id>[;timeout=<seconds>]           (RFC 2326 12.37, 12.39)
//   URLs    media controls resolve against Content-Base (then Content-Location,
//           then the DESCRIBE URL); PLAY and TEARDOWN go to the aggregate
//           control of the session (its "a=control", "*" meaning the base),
//           never to a stream's (RFC 2326 C.1.1).

#include "core/kelTypes.h"

#include <cstdint>

class kelHTTPparser;

// The seconds a server keeps a session without a request when its Session
// header names no timeout.
inline constexpr int64_t kelRTSPDefaultSessionTimeoutS = 60;

// "Transport: RTP/AVP;unicast;ssrc=XXXXXXXX;client_port=<rtp>-<rtcp>"; without
// the ssrc parameter unless `withSSRC` (RFC 2326 lets a request's ssrc ask
// the server for that SSRC, and some servers refuse the request for it).
kelString kelRTSPSetupTransportLine(uint32_t ssrc, uint16_t rtpPort, uint16_t rtcpPort, bool withSSRC = true);

// An RTSP Session header: the id before the first ";" (trimmed) and the
// timeout parameter in seconds (the default when missing or not a number
// above 0).
struct kelRTSPSessionHeader
{
    kelString id;
    int64_t timeoutS = kelRTSPDefaultSessionTimeoutS;
};
kelRTSPSessionHeader kelRTSPReadSessionHeader(const kelString& value);

// What a SETUP answer's Transport header tells the client.
struct kelRTSPSetupTransport
{
    // 2 for multicast, else 1 (unicast).
    intptr_t kind = 1;
    // server_port: the RTP port, and the RTCP port when a pair was given
    // (empty: the RTP port + 1). Both empty when there is no usable
    // server_port: the client then knows no address to punch holes to.
    kelString rtpPort;
    kelString rtcpPort;
    // ssrc=, eight hex digits at most.
    bool hasSSRC = false;
    uint32_t ssrc = 0;
};
kelRTSPSetupTransport kelRTSPReadSetupTransport(const kelString& transport);

// `control` against `base`: an absolute URL ("scheme://...") as it is, "*"
// or empty as the base, a relative one joined to the base with exactly one
// "/".
kelString kelRTSPResolveControl(const kelString& base, const kelString& control);

// The URLs of one DESCRIBE answer: `base` for the session's controls, the
// `aggregate` for PLAY, TEARDOWN and keep-alives, and the first stream's
// `media` URL for SETUP.
struct kelRTSPSessionURLs
{
    kelString base;
    kelString aggregate;
    kelString media;
};
// `describeURI` is the URL the DESCRIBE went to; `sessionAttrs` the
// session-level "a" lines of the SDP (CR LF separated) and `mediaControl`
// the first media description's control value.
kelRTSPSessionURLs kelRTSPSessionURLsOf(const kelHTTPparser& answer, const kelString& describeURI,
                                        const kelString& sessionAttrs, const kelString& mediaControl);
