#include "codecs/kelMpegAudio_layer123.h"

#include <algorithm>
#include <cstring>

namespace {

// kbit/s by table and bitrate_index: MPEG-1 Layers I, II, III, then the
// lower sampling frequencies' Layer I and Layers II/III (also MPEG-2.5).
constexpr int16_t kBitrates[5][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};

// Hz by version (1..3) and sampling_frequency.
constexpr int32_t kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

// The layer field: 3 Layer I, 2 Layer II, 1 Layer III.
constexpr uint8_t kLayerI = 3;
constexpr uint8_t kLayerIII = 1;

constexpr intptr_t kHeaderBytes = 4;
constexpr intptr_t kCrcBytes = 2;
constexpr intptr_t kId3HeaderBytes = 10;

bool isSync(const uint8_t* p) noexcept
{
    return p[0] == 0xFF && (p[1] & 0xE0) == 0xE0;
}

bool isId3(const uint8_t* p) noexcept
{
    return p[0] == 'I' && p[1] == 'D' && p[2] == '3';
}

intptr_t paddingBytes(const kelMpegHeader& h) noexcept
{
    return h.padding_bit ? (h.layer == kLayerI ? 4 : 1) : 0;
}

} // namespace

kelMpegAudio_layer123::kelMpegAudio_layer123(kelBitReader_abstract* reader) : f_reader(reader) {}

bool kelMpegAudio_layer123::parseHeader(const uint8_t* p, kelMpegHeader& h) noexcept
{
    if (!isSync(p)) return false;
    const unsigned versionBits = (p[1] >> 3) & 3;
    if (versionBits == 1) return false; // reserved
    kelMpegHeader out;
    out.version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 3;
    out.ID = uint8_t(versionBits & 1);
    out.layer = (p[1] >> 1) & 3;
    out.protection_bit = p[1] & 1;
    out.bitrate_index = p[2] >> 4;
    out.sampling_frequency = (p[2] >> 2) & 3;
    out.padding_bit = (p[2] >> 1) & 1;
    out.private_bit = p[2] & 1;
    out.mode = p[3] >> 6;
    out.mode_extension = (p[3] >> 4) & 3;
    out.copyright = (p[3] >> 3) & 1;
    out.originalCopy = (p[3] >> 2) & 1;
    out.emphasis = p[3] & 3;
    if (out.layer == 0 || out.bitrate_index == 15 || out.sampling_frequency == 3 || out.emphasis == 2)
        return false;
    h = out;
    return true;
}

intptr_t kelMpegAudio_layer123::bitrateOf(const kelMpegHeader& h) noexcept
{
    if (h.bitrate_index > 14 || h.layer == 0 || h.layer > 3 || h.version < 1 || h.version > 3) return 0;
    const int layerNumber = 4 - h.layer;
    const int table = h.version == 1 ? layerNumber - 1 : (layerNumber == 1 ? 3 : 4);
    return kBitrates[table][h.bitrate_index];
}

intptr_t kelMpegAudio_layer123::samplingRateOf(const kelMpegHeader& h) noexcept
{
    if (h.sampling_frequency > 2 || h.version < 1 || h.version > 3) return 0;
    return kRates[h.version - 1][h.sampling_frequency];
}

intptr_t kelMpegAudio_layer123::samplesPerFrameOf(const kelMpegHeader& h) noexcept
{
    if (h.layer == kLayerI) return 384;
    if (h.layer == kLayerIII && h.version != 1) return 576;
    return 1152;
}

intptr_t kelMpegAudio_layer123::frameLength(const kelMpegHeader& h) const noexcept
{
    if (h.bitrate_index == 0) return f_freeSlotBytes > 0 ? f_freeSlotBytes + paddingBytes(h) : 0;
    const intptr_t bitrate = bitrateOf(h);
    const intptr_t rate = samplingRateOf(h);
    if (bitrate == 0 || rate == 0) return 0;
    if (h.layer == kLayerI) return (12000 * bitrate / rate + h.padding_bit) * 4;
    intptr_t length = 144000 * bitrate / rate;
    if (h.layer == kLayerIII && h.version != 1) length /= 2;
    return length + h.padding_bit;
}

bool kelMpegAudio_layer123::matchesStream(const kelMpegHeader& h) const noexcept
{
    return f_cLayer < 0 ||
           (h.version == f_cMpegID && h.layer == f_cLayer && h.sampling_frequency == f_cSamplingRate);
}

int64_t kelMpegAudio_layer123::id3TagBodySize(const uint8_t* p) noexcept
{
    if (!isId3(p) || p[3] == 0xFF || p[4] == 0xFF) return -1;
    // v2.4 adds the footer flag (0x10) to unsynchronisation, extended
    // header and experimental; the low bits stay clear.
    const uint8_t allowed = p[3] == 4 ? 0xF0 : 0xE0;
    if (p[5] & ~allowed) return -1;
    int64_t size = 0;
    for (int i = 6; i < 10; ++i) {
        if (p[i] & 0x80) return -1;
        size = (size << 7) | p[i];
    }
    const bool footer = p[3] == 4 && (p[5] & 0x10);
    return size + (footer ? kId3HeaderBytes : 0);
}

bool kelMpegAudio_layer123::skipTagRest()
{
    auto& r = *f_reader;
    while (r.bitOfs() >= f_tagFrom && r.bitOfs() < f_tagEnd) {
        const int64_t before = r.bitOfs();
        r.skipBytes(intptr_t(std::min<int64_t>((f_tagEnd - before) / 8, INTPTR_MAX)));
        if (r.bitOfs() == before) return false;
    }
    return true;
}

intptr_t kelMpegAudio_layer123::findFreeFormatLength(const kelMpegHeader& h)
{
    const uint8_t* p = nullptr;
    const intptr_t window = kMaxFrameBytes + kHeaderBytes;
    const intptr_t have = f_reader->peek(window, p);
    const intptr_t first = kHeaderBytes + (h.protection_bit ? 0 : kCrcBytes);
    for (intptr_t at = first; at + kHeaderBytes <= have; ++at) {
        if (p[at] != 0xFF) continue;
        kelMpegHeader next;
        if (parseHeader(p + at, next) && next.bitrate_index == 0 && next.version == h.version &&
            next.layer == h.layer && next.sampling_frequency == h.sampling_frequency)
            return at;
    }
    if (have >= window) return 0;
    // The data ends inside the window: on a file the frame runs to its end.
    if (f_reader->sourceIsFinal()) return have;
    return -1;
}

kelMpegAudio_layer123::Take kelMpegAudio_layer123::takeCandidate(kelMpegHeader& h, void* outBuf,
                                                                 intptr_t& frameSize)
{
    auto& r = *f_reader;
    const bool final = r.sourceIsFinal();
    const bool locked = f_cLayer >= 0;
    intptr_t length = frameLength(h);
    bool confirmed = false;
    if (h.bitrate_index == 0 && f_freeSlotBytes == 0) {
        length = findFreeFormatLength(h);
        if (length < 0) return Take::incomplete;
        if (length == 0) return Take::rejected;
        confirmed = true; // the next header was found there, or the data ends there
    }
    const intptr_t minimum = kHeaderBytes + (h.protection_bit ? 0 : kCrcBytes);
    if (length < minimum || length > kMaxFrameBytes) return Take::rejected;

    const uint8_t* p = nullptr;
    const intptr_t need = locked || confirmed ? length : length + kHeaderBytes;
    const intptr_t have = r.peek(need, p);
    if (have < length) {
        if (!final) return Take::incomplete;
        if (!locked) return Take::rejected;
        // A frame cut by the end of the file never completes: drop it.
        r.setOutfill(false);
        r.skipBytes(have);
        return Take::incomplete;
    }
    if (!locked && !confirmed) {
        kelMpegHeader next;
        if (have >= length + kHeaderBytes) {
            if (!parseHeader(p + length, next) || next.version != h.version || next.layer != h.layer ||
                next.sampling_frequency != h.sampling_frequency)
                return Take::rejected;
        } else if (!final) {
            return Take::incomplete;
        } else if (have != length || !r.notEnoughBits(int64_t(length + 1) * 8)) {
            return Take::rejected;
        }
    }

    if (h.bitrate_index == 0 && f_freeSlotBytes == 0) f_freeSlotBytes = length - paddingBytes(h);
    if (!locked) {
        f_cMpegID = h.version;
        f_cLayer = h.layer;
        f_cSamplingRate = h.sampling_frequency;
    }
    const int64_t start = r.bitOfs();
    r.setOutfillBuf(outBuf);
    r.skipBytes(kHeaderBytes);
    h.crc = h.protection_bit ? 0 : uint16_t(r.nextBits(16));
    if (f_mpgSPF < 0) fillStreamValues(h);
    readFrameBody(h);
    onFrame(h);
    frameSize = intptr_t((r.bitOfs() - start) / 8);
    r.setOutfill(false);
    return Take::frame;
}

void kelMpegAudio_layer123::fillStreamValues(const kelMpegHeader& h) noexcept
{
    f_mpgID = h.version;
    f_mpgSPF = samplesPerFrameOf(h);
    f_mpgLayer = 4 - h.layer;
    f_mpgChannels = h.mode == 3 ? 1 : 2;
    f_mpgSR = samplingRateOf(h);
}

void kelMpegAudio_layer123::readFrameBody(const kelMpegHeader& h)
{
    const intptr_t length = frameLength(h);
    const intptr_t behind = kHeaderBytes + (h.protection_bit ? 0 : kCrcBytes);
    if (length > behind) f_reader->skipBytes(length - behind);
}

int32_t kelMpegAudio_layer123::nextFrame(kelMpegHeader& h, intptr_t& foundAt, intptr_t& skipOnResynch,
                                         void* outBuf, intptr_t& frameSize, bool panicOnSmallBuf)
{
    foundAt = 0;
    skipOnResynch = 0;
    frameSize = 0;
    if (f_reader == nullptr) return kelMpegNoFrame;
    auto& r = *f_reader;
    const bool final = r.sourceIsFinal();
    const int64_t start = r.bitOfs();
    r.setOutfill(false);
    r.skipToByte();
    int32_t result = kelMpegNoFrame;
    int64_t frameStart = -1;
    intptr_t garbage = 0;
    while (skipTagRest()) {
        if (!final && r.notEnoughBits(panicOnSmallBuf ? 16000 : 320)) break;
        const uint8_t* p = nullptr;
        const intptr_t have = r.peek(kId3HeaderBytes, p);
        if (have < kHeaderBytes) break;
        if (isSync(p)) {
            kelMpegHeader cand;
            if (parseHeader(p, cand) && matchesStream(cand)) {
                const int64_t at = r.bitOfs();
                const Take take = takeCandidate(cand, outBuf, frameSize);
                if (take == Take::frame) {
                    h = cand;
                    frameStart = at;
                    result = kelMpegFrameFound;
                    break;
                }
                if (take == Take::incomplete) {
                    h = cand;
                    frameStart = at;
                    result = kelMpegFrameIncomplete;
                    break;
                }
            }
        } else if (isId3(p)) {
            if (have < kId3HeaderBytes && !final) break; // the tag header may still come
            const int64_t body = have == kId3HeaderBytes ? id3TagBodySize(p) : -1;
            if (body >= 0) {
                r.skipBytes(kId3HeaderBytes);
                f_tagFrom = r.bitOfs();
                f_tagEnd = f_tagFrom + body * 8;
                continue;
            }
        }
        // Not a frame or a tag: go on from the next byte that may start one.
        const uint8_t* buffered = nullptr;
        const intptr_t held = r.peek(r.bytesLeft(), buffered);
        intptr_t step = 1;
        while (step < held && buffered[step] != 0xFF && buffered[step] != 'I')
            ++step;
        if (f_resynchLimit > 0) step = std::min(step, std::max<intptr_t>(f_resynchLimit - garbage, 1));
        r.skipBytes(step);
        garbage += step;
        if (f_resynchLimit > 0 && garbage >= f_resynchLimit) break;
    }
    if (frameStart >= 0) foundAt = intptr_t(frameStart / 8);
    const int64_t before = frameStart >= 0 ? frameStart : r.bitOfs();
    skipOnResynch = intptr_t((before - start) / 8);
    return result;
}
