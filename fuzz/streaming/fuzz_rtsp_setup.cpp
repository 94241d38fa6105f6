// Reads arbitrary bytes as one RTSP request to the transmitter's RTSP
// hook, and the same bytes as a SETUP's Transport value, and checks the
// answers: a known code, header lines the fuzz input cannot end or add to,
// a stream only ever aimed at the peer, a session listed only by a SETUP
// answered 200, and never more sessions than the bound. The transport
// commands are answered without sockets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelRTSPTables.h"
#include "streaming/kelIPStreaming.h"

namespace {

constexpr intptr_t kMaxSessions = 8;

TkelIPTransmitter& transmitter()
{
    static TkelIPTransmitter* tx = [] {
        auto* t = kelCreate<TkelIPTransmitter>();
        if (t == nullptr) std::abort();
        t->setMaxRTSPSessions(kMaxSessions);
        // Command 1 answers with fixed ports instead of opening a root;
        // the others run as built in (without a root they touch no socket).
        t->setOnExTransCmd([](kelmtlInOutPipe*, uint32_t, int32_t cmd, kelString& data) {
            data = cmd == kelTransCmdOpenRoot ? kelString(u"6000-6001") : kelString(kelTransCmdNotHandled);
        });
        return t;
    }();
    return *tx;
}

bool knownCode(intptr_t code)
{
    for (intptr_t c : {200, 404, 405, 406, 412, 453, 454, 456, 461, 500})
        if (code == c) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const kelString value = utf8ToUtf16(bytes);

    const kelRTSPTransportRequest read = kelRTSPReadTransport(value, u"127.0.0.1");
    if (read.code == 200 && (read.rtpPort == 0 || read.rtcpPort == 0 || read.destination != u"127.0.0.1"))
        std::abort();
    if (read.code != 200 && read.code != 456 && read.code != 406 && read.code != 461) std::abort();

    kelHTTPparser request;
    request.feed(bytes);
    if (!request.headerComplete()) return 0;
    TkelIPTransmitter& tx = transmitter();
    if (tx.destCount() >= kMaxSessions) tx.sessions().clear(2);
    const intptr_t before = tx.destCount();

    const intptr_t method = kelRTSPMethodIndex(request.getReqMethod());
    kelString headers;
    std::string body;
    kelString humanMsg = u"OK";
    intptr_t code = 200;
    tx.onRTSPRequest(method, u"127.0.0.1", request, headers, body, humanMsg, code);

    if (!knownCode(code)) std::abort();
    const std::string h = utf16ToUtf8(headers);
    const bool setupDone = method == kelRTSP_SETUP && code == 200;
    // Only a SETUP answer holds two lines, Transport then Session; no line
    // holds a CR or LF of its own.
    size_t lines = 0;
    for (size_t begin = 0; !h.empty() && begin <= h.size(); ++lines) {
        size_t end = h.find("\r\n", begin);
        if (end == std::string::npos) end = h.size();
        if (h.substr(begin, end - begin).find_first_of("\r\n") != std::string::npos) std::abort();
        begin = end + 2;
    }
    if (!h.empty() && lines != (setupDone ? 2u : 1u)) std::abort();
    if (setupDone) {
        if (h.find(";destination=127.0.0.1;client_port=") == std::string::npos) std::abort();
        if (tx.destCount() != before + 1) std::abort();
    } else if (method == kelRTSP_SETUP && tx.destCount() != before) {
        std::abort();
    }
    if (tx.destCount() > kMaxSessions) std::abort();
    return 0;
}
