// Feeds sequences of RTSP answers to the IP receiver's session hook, as its
// RTSP client would hand them over: the first byte of each chunk picks the
// request it answers (DESCRIBE, SETUP, PLAY, GET_PARAMETER, TEARDOWN) and
// whether it arrives as an answer or as a failure code, two bytes give the
// chunk's length. The receiver is not open, so nothing leaves it. The
// session id kept must be the id alone (no parameters, no blanks at its
// ends), and the answer readers must give ports in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/kelParseInt.h"
#include "fuzz/kelFuzzInput.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelRTSPTables.h"
#include "streaming/kelIPReceiverRTSPText.h"
#include "streaming/kelIPStreaming.h"

namespace {

class kelFuzzRTSPReceiver : public TkelIPReceiver
{
public:
    void reply(intptr_t req, const kelHTTPparser& answer)
    {
        onRTSPReply(u"rtsp://127.0.0.1/s", {}, req, answer);
    }
    void error(intptr_t req, intptr_t code) { onRTSPError(u"rtsp://127.0.0.1/s", {}, req, code); }
};

const intptr_t kRequests[] = {kelRTSP_DESCRIBE,      kelRTSP_SETUP,    kelRTSP_PLAY,
                              kelRTSP_GET_PARAMETER, kelRTSP_TEARDOWN, kelRTSP_SET_PARAMETER};

void checkPort(const kelString& port)
{
    if (port.empty()) return;
    const int64_t p = parseInteger(port, -1);
    if (p < 1 || p > 65535) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelOwned<kelFuzzRTSPReceiver> rx(kelCreate<kelFuzzRTSPReceiver>());
    if (!rx) return 0;
    rx->setURI(u"rtsp://127.0.0.1/s");
    kelFuzzInput in{data, size};
    while (in.at < in.size) {
        const auto pick = static_cast<uint8_t>(in.take(1));
        const size_t len = static_cast<size_t>(in.take(2));
        const size_t take = len < in.size - in.at ? len : in.size - in.at;
        const std::string chunk(reinterpret_cast<const char*>(data + in.at), take);
        in.at += take;
        const intptr_t req = kRequests[(pick & 0x7F) % (sizeof kRequests / sizeof kRequests[0])];
        if (pick & 0x80) {
            rx->error(req, -static_cast<intptr_t>(take % 6));
            continue;
        }
        kelHTTPparser answer;
        answer.feed(chunk);
        rx->reply(req, answer);

        const kelRTSPSetupTransport t = kelRTSPReadSetupTransport(answer.getHeaderValue(u"Transport", true));
        checkPort(t.rtpPort);
        checkPort(t.rtcpPort);
        if (t.rtpPort.empty() && !t.rtcpPort.empty()) std::abort();
        const kelString id = rx->rtspSession();
        if (id.find(u';') != kelString::npos) std::abort();
        if (!id.empty() && (id.front() == u' ' || id.back() == u' ')) std::abort();
    }
    return 0;
}
