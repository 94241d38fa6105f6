#pragma once
// The text of the transmitter's RTSP answers (RFC 2326 12.37, 12.39, C.1.1)
// as pure functions: reading a SETUP's Transport header, the Transport and
// Session lines of its answer, the session ids, the session named by a
// request, and the DESCRIBE body. No sockets, threads or clocks.
//
// A client may only have the stream sent to itself: a "destination=" naming
// any other host is not followed, and the answer names the host the stream
// really goes to. A SETUP that gives no usable client port (an interleaved
// TCP transport, a port of 0, a port beyond 65535 or one that is not a
// number) cannot be served over UDP and is refused with 461.

#include "core/kelTypes.h"

#include <cstdint>
#include <string>

// How a SETUP's Transport header reads.
struct kelRTSPTransportRequest
{
    // 200 when it can be served; else the answer's code and reason.
    intptr_t code = 200;
    kelString reason = u"OK";
    // 1 unicast, 2 multicast (the transmitter's socket-type numbers).
    intptr_t mode = 1;
    // Where the stream goes: always the requesting peer.
    kelString destination;
    uint16_t rtpPort = 0;
    // The client's RTCP port: the one it named, else the RTP port + 1.
    uint16_t rtcpPort = 0;
    // The client's SSRC, 0 when it named none.
    uint32_t ssrc = 0;
};

// Reads `transport` (the header's value) of a SETUP from `peer`. Refusals:
// 456 "Hey, I need Transport!" (no header), 406 "I know only RTP/AVP
// transport!" (another protocol), 461 "Unsupported transport" (no usable
// client_port).
kelRTSPTransportRequest kelRTSPReadTransport(const kelString& transport, const kelString& peer);

// An "ssrc=" value: up to eight hexadecimal digits (RFC 2326 12.39). A
// longer, all-decimal value that fits 32 bits is read as decimal, the form
// older clients wrote. False for anything else.
bool kelRTSPReadSSRC(const kelString& value, uint32_t& ssrc);
// `ssrc` as eight upper-case hexadecimal digits.
kelString kelRTSPSSRCText(uint32_t ssrc);

// The answer's headers: "Transport: RTP/AVP;unicast;source=<source>;
// destination=<host>;client_port=<rtp>-<rtcp>;server_port=<serverPorts>",
// then ";ssrc=<ours>" when `ourSSRC` is not 0, CR LF, "Session: <id>".
kelString kelRTSPSetupHeaders(const kelRTSPTransportRequest& request, const kelString& source,
                              const kelString& serverPorts, uint32_t ourSSRC, const kelString& session);

// `value` in base 32 with the digits 0-9 then A-V; "0" for 0.
kelString kelRTSPBase32(uint64_t value);
// The session id a Session header names: its text before any ";"
// (";timeout=" and other parameters), trimmed.
kelString kelRTSPSessionOf(const kelString& header);

// The DESCRIBE body: "v=0", "o=- <number> 1 IN IP4 0.0.0.0", "s=Live
// streaming by <className>", "i=MT", "t=0 0", each ended by CR LF, then the
// media lines of `sdp` (from its first "m=" line on, each "name=value" CR
// LF), trimmed at both ends.
std::string kelRTSPDescribeBody(const kelString& sdp, uint64_t number, const kelString& className);
