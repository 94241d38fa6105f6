#pragma once
// RTSP message text (RFC 2326 sections 10-12) as pure functions: the
// client's requests and its judgement of an answer, and the server's
// answers. No sockets, threads or clocks: the Date text is passed in.
//
// Nothing a caller hands in can add or end a line on the wire: URIs,
// controls and human messages lose their CR, LF and NUL bytes, and header
// blocks (a request's params, an answer's headers) go out one non-empty line
// at a time, each ended by CR LF, so no empty line ends a header early.

#include "core/kelTypes.h"

#include <cstdint>
#include <string>

class kelHTTPparser;

// Caller text with CR, LF and NUL removed, as UTF-8.
std::string kelRTSPWireText(const kelString& text);
// A header block as wire lines: every non-empty line of `block` (split at CR
// and LF, trimmed) followed by CR LF.
std::string kelRTSPHeaderLines(const kelString& block);

// The URI a request goes to: `uri`, or `lastURI` when `uri` is blank; then
// with a `control`: an absolute control ("rtsp://...") as it is, "*" as "*",
// a relative one joined to the URI with exactly one "/".
kelString kelRTSPRequestURI(const kelString& uri, const kelString& lastURI, const kelString& control);

// "<METHOD> <uri> RTSP/1.0", CSeq, the params lines, Accept for DESCRIBE,
// User-Agent, the empty line. Empty for a method out of range.
std::string kelRTSPBuildRequest(intptr_t method, const kelString& requestURI, intptr_t cseq,
                                const kelString& params, const kelString& userAgent);

enum class kelRTSPAnswerState {
    Incomplete, // wait for more bytes
    Complete,   // the answer to the request with the CSeq asked for
    OtherCSeq,  // a complete answer to some other request: drop it
    Overflow,   // past the parser's bounds
};
// Judges the parser's buffer as the answer to the request sent with `cseq`.
// An answer without Content-Length has no body.
kelRTSPAnswerState kelRTSPCheckAnswer(const kelHTTPparser& answer, intptr_t cseq);

// A server's answer to one request.
struct kelRTSPAnswer
{
    intptr_t code = 200;
    kelString headers;
    std::string body;
    kelString humanMsg = u"OK";
};
// The answer's bytes: status line, the headers, CSeq and Session copied from
// `request` (when it has them), Date, Content-Length when there is a body,
// the empty line and the body.
std::string kelRTSPBuildAnswer(const kelRTSPAnswer& answer, const kelHTTPparser& request,
                               const std::string& date);
