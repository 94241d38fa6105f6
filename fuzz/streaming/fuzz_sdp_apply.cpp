// Reads arbitrary bytes as an rtpmap value and fmtp text (split at the first
// NUL) and as a session description applied to a streamer, and checks that
// what comes out is well formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"

namespace {

class kelFuzzStreamer : public kelIPStreamer
{
protected:
    uint32_t doWrite(const void*, uint32_t len, kelmtlInOutPipe*) override { return len; }
    kelRTCPstack* getRTCP() override { return nullptr; }
};

void checkMapping(const kelRTPMap& map)
{
    if (std::memchr(map.r_mediaType, 0, sizeof map.r_mediaType) == nullptr) std::abort();
    if (map.r_fmt_bitrate < 0 || map.r_fmt_frameSize < 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const size_t cut = bytes.find('\0');
    const kelString rtpmap = utf8ToUtf16(bytes.substr(0, cut));
    const kelString fmtp = cut == std::string_view::npos ? kelString() : utf8ToUtf16(bytes.substr(cut + 1));

    kelRTPMap map;
    if (kelParseRTPMap(rtpmap, fmtp, map)) {
        checkMapping(map);
        if (map.r_rtpEncoding != -1 && !kelRTPEncodingName(map.r_rtpEncoding)) std::abort();
    } else if (map.r_dynType != 0 || map.r_mediaType[0] != 0) {
        std::abort(); // a failed parse leaves the mapping alone
    }

    static kelFuzzStreamer* streamer = kelCreate<kelFuzzStreamer>();
    streamer->setSDPignorePort(false);
    streamer->setSDP(utf8ToUtf16(bytes));
    checkMapping(streamer->mappingCopy());
    if (streamer->samplingRate() < 1 || streamer->numChannels() < 1 || streamer->encoding() < 1) std::abort();
    streamer->setURI(rtpmap);
    return 0;
}
