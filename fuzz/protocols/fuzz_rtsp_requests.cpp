// Bytes from an RTSP client through one server parser, fed in pieces the
// first byte chooses: every answer is a well-formed status line followed by
// CR LF header lines (hostile request text echoed into them cannot break a
// line), the buffer stays bounded, and a 400 for an over-long request asks to close.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/kelUtf.h"
#include "net/protocols/kelRTSPServerParser.h"

namespace {

void checkAnswers(const std::string& bytes, intptr_t count)
{
    size_t at = 0;
    for (intptr_t i = 0; i < count; ++i) {
        if (bytes.compare(at, 9, "RTSP/1.0 ") != 0) std::abort();
        const size_t end = bytes.find("\r\n\r\n", at);
        if (end == std::string::npos) std::abort();
        for (size_t k = at; k < end; ++k) {
            if (bytes[k] == '\r' && bytes[k + 1] != '\n') std::abort();
            if (bytes[k] == '\n' && bytes[k - 1] != '\r') std::abort();
        }
        // Only a line of its own counts: echoed text may hold the words.
        const size_t cl = bytes.find("\r\nContent-Length: ", at);
        size_t body = 0;
        if (cl != std::string::npos && cl < end) body = std::strtoul(bytes.c_str() + cl + 18, nullptr, 10);
        at = end + 4 + body;
    }
    if (at != bytes.size()) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const size_t piece = 1 + data[0] % 128;
    kelRTSPServerParser parser(1);
    const kelRTSPRequestHandler handler = [&](intptr_t method, const kelString&, const kelHTTPparser& request,
                                              kelRTSPAnswer& answer) {
        if (method < 0 || method >= 11) std::abort();
        // Echo hostile request text back into the answer: it must not
        // escape its line.
        answer.humanMsg = request.getReqURI();
        answer.headers = u"X-Echo: " + request.getHeaderValue(kelString(u"X"), false);
        answer.body = request.getPayload();
    };
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        const auto out = parser.receive(
            data + at, n, u"127.0.0.1", handler, [] { return std::string("D"); }, at);
        checkAnswers(out.bytes, out.answered);
        if (parser.dataSize() > kelRTSPMaxRequestHeader + kelRTSPMaxRequestBody) std::abort();
        if (out.close) break;
    }
    return 0;
}
