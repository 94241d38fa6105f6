#pragma once
// The reference Speex decoding of RTP payloads: the library's own decoder
// driven call by call (not through our coder classes), so that a test can
// tell what a peer's decoder must make of the same packets. Each payload is
// read into the bit buffer and decoded frame by frame until the bits run
// out or the terminator comes; `maxFramesPerPacket` (0 for no limit) stops
// earlier, as a decoder that expects a fixed number of frames per packet
// does. The decoder's defaults apply (perceptual enhancement on).

#include "codecs/kelSpeexCoder.h"

#include <cstdint>
#include <string>
#include <vector>

inline std::string kelTestSpeexReference(const kelSpeexLib& lib, int mode,
                                         const std::vector<std::string>& payloads, int maxFramesPerPacket = 0)
{
    const kelSpeexCalls& c = lib.calls();
    if (!lib.libOK()) return {};
    void* state = c.speex_decoder_init((c.speex_lib_get_mode)(mode));
    if (state == nullptr) return {};
    int frame = 0;
    c.speex_decoder_ctl(state, SPEEX_GET_FRAME_SIZE, &frame);
    SpeexBits bits;
    c.speex_bits_init(&bits);
    std::vector<int16_t> out(size_t(frame > 0 ? frame : 0));
    std::string pcm;
    for (const std::string& p : payloads) {
        c.speex_bits_read_from(&bits, p.data(), int(p.size()));
        for (int n = 0; frame > 0 && (maxFramesPerPacket == 0 || n < maxFramesPerPacket); ++n) {
            if (c.speex_bits_remaining(&bits) < 5 || c.speex_decode_int(state, &bits, out.data()) != 0) break;
            pcm.append(reinterpret_cast<const char*>(out.data()), out.size() * 2);
        }
    }
    c.speex_bits_destroy(&bits);
    c.speex_decoder_destroy(state);
    return pcm;
}
