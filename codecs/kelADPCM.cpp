#include "codecs/kelADPCM.h"

#include <array>

namespace {

constexpr size_t kHeaderSize = 4;
constexpr intptr_t kLockTimeout = 1000;

// The VDVI code of every 4-bit DVI4 code (RFC 3551 4.5.2): its bits, right
// aligned, and their count. The set is prefix-free, and no code is made of
// 1 bits alone shorter than 8, so a final byte filled with 1 bits decodes to
// nothing.
struct VdviCode
{
    uint8_t bits;
    uint8_t length;
};

constexpr std::array<VdviCode, 16> kVdviCodes = {{
    {0b00, 2},
    {0b010, 3},
    {0b1100, 4},
    {0b11100, 5},
    {0b111100, 6},
    {0b1111100, 7},
    {0b11111100, 8},
    {0b11111110, 8},
    {0b10, 2},
    {0b011, 3},
    {0b1101, 4},
    {0b11101, 5},
    {0b111101, 6},
    {0b1111101, 7},
    {0b11111101, 8},
    {0b11111111, 8},
}};

// For every 8 bits that follow in the input, the code they start with and
// its length.
struct VdviEntry
{
    uint8_t code;
    uint8_t length;
};

constexpr std::array<VdviEntry, 256> makeVdviDecodeTable()
{
    std::array<VdviEntry, 256> table{};
    for (unsigned next = 0; next < 256; ++next)
        for (unsigned code = 0; code < 16; ++code) {
            const VdviCode c = kVdviCodes[code];
            if ((next >> (8 - c.length)) == c.bits) table[next] = {uint8_t(code), c.length};
        }
    return table;
}

constexpr auto kVdviDecode = makeVdviDecodeTable();

void writeHeader(uint8_t* out, int32_t predicted, int32_t index, bool littleEndian)
{
    const auto value = uint16_t(int16_t(predicted));
    out[littleEndian ? 0 : 1] = uint8_t(value & 0xFF);
    out[littleEndian ? 1 : 0] = uint8_t(value >> 8);
    out[2] = uint8_t(index);
    out[3] = 0;
}

int32_t readHeaderValue(const uint8_t* in, bool littleEndian)
{
    const auto value = littleEndian ? uint16_t(in[0] | (in[1] << 8)) : uint16_t((in[0] << 8) | in[1]);
    return int16_t(value);
}

// Appends VDVI codes most significant bit first, never past `capacity`.
class VdviWriter
{
public:
    VdviWriter(kelADPCM_state& state, uint8_t* out, size_t capacity)
        : f_state(state), f_out(out), f_cap(capacity)
    {
        f_state.bitAccumulator = 0;
        f_state.bitCount = 0;
    }

    void put(uint8_t code)
    {
        const VdviCode c = kVdviCodes[code & 15];
        f_state.bitAccumulator = uint16_t((f_state.bitAccumulator << c.length) | c.bits);
        f_state.bitCount += c.length;
        if (f_state.bitCount >= 8) {
            f_state.bitCount -= 8;
            emit(uint8_t(f_state.bitAccumulator >> f_state.bitCount));
        }
    }

    // Fills the last partial byte with 1 bits; returns the bytes written.
    size_t finish()
    {
        if (f_state.bitCount > 0) {
            const int fill = 8 - f_state.bitCount;
            emit(uint8_t((f_state.bitAccumulator << fill) | ((1u << fill) - 1)));
        }
        f_state.bitAccumulator = 0;
        f_state.bitCount = 0;
        return f_size;
    }

private:
    void emit(uint8_t byte)
    {
        if (f_size < f_cap) f_out[f_size++] = byte;
    }

    kelADPCM_state& f_state;
    uint8_t* f_out;
    size_t f_cap;
    size_t f_size = 0;
};

} // namespace

kelADPCM_coder::kelADPCM_coder(kel_ADPCM_type variant) noexcept
{
    f_state.variant = variant;
}

size_t kelADPCM_encoder::maxBlockSize(kel_ADPCM_type variant, size_t num_samples) noexcept
{
    if (num_samples < 2) return 0;
    switch (variant) {
    case adpcm_IMA4:
        return (num_samples - 1) / 2 + kHeaderSize;
    case adpcm_DVI4:
        return num_samples / 2 + kHeaderSize;
    case adpcm_VDVI:
        return num_samples + kHeaderSize;
    }
    return 0;
}

size_t kelADPCM_encoder::encode(const int16_t* data, size_t num_samples, const uint8_t*& buf) noexcept
{
    buf = nullptr;
    const size_t capacity = maxBlockSize(f_state.variant, num_samples);
    if (data == nullptr || capacity == 0) return 0;
    kelLock lock(this, false, kLockTimeout);
    if (!lock.held()) return 0;
    try {
        f_buf.resize(capacity);
    } catch (...) {
        return 0;
    }
    uint8_t* out = f_buf.data();
    size_t size = 0;
    switch (f_state.variant) {
    case adpcm_IMA4: {
        // The header sample is the first sample; an even number of codes
        // follows, the first of each pair in the low nibble.
        f_state.predicted = data[0];
        writeHeader(out, f_state.predicted, f_state.stepIndex, true);
        const size_t pairs = (num_samples - 1) / 2;
        for (size_t i = 0; i < pairs; ++i) {
            const uint8_t low = kelADPCMEncodeSample(f_state, data[1 + 2 * i]);
            const uint8_t high = kelADPCMEncodeSample(f_state, data[2 + 2 * i]);
            out[kHeaderSize + i] = uint8_t(low | (high << 4));
        }
        size = kHeaderSize + pairs;
        break;
    }
    case adpcm_DVI4: {
        writeHeader(out, f_state.predicted, f_state.stepIndex, false);
        const size_t pairs = num_samples / 2;
        for (size_t i = 0; i < pairs; ++i) {
            const uint8_t high = kelADPCMEncodeSample(f_state, data[2 * i]);
            const uint8_t low = kelADPCMEncodeSample(f_state, data[2 * i + 1]);
            out[kHeaderSize + i] = uint8_t((high << 4) | low);
        }
        size = kHeaderSize + pairs;
        break;
    }
    case adpcm_VDVI: {
        writeHeader(out, f_state.predicted, f_state.stepIndex, false);
        VdviWriter writer(f_state, out + kHeaderSize, capacity - kHeaderSize);
        const size_t count = num_samples & ~size_t(1);
        for (size_t i = 0; i < count; ++i)
            writer.put(kelADPCMEncodeSample(f_state, data[i]));
        size = kHeaderSize + writer.finish();
        break;
    }
    }
    buf = out;
    return size;
}

size_t kelADPCM_decoder::maxDecodedSize(kel_ADPCM_type variant, size_t size) noexcept
{
    // A bare IMA4 header still holds one sample (the encoder makes one from
    // two samples); the other layouts need codes after it.
    if (size < kHeaderSize || (size == kHeaderSize && variant != adpcm_IMA4)) return 0;
    switch (variant) {
    case adpcm_IMA4:
        return 4 * size - 14;
    case adpcm_DVI4:
        return 4 * size - 16;
    case adpcm_VDVI:
        return 8 * size - 32;
    }
    return 0;
}

size_t kelADPCM_decoder::decode(const uint8_t* buf, size_t size, const int16_t*& samples) noexcept
{
    samples = nullptr;
    const size_t capacity = maxDecodedSize(f_state.variant, size) / 2;
    if (buf == nullptr || capacity == 0) return 0;
    kelLock lock(this, false, kLockTimeout);
    if (!lock.held()) return 0;
    try {
        f_samples.resize(capacity);
    } catch (...) {
        return 0;
    }
    int16_t* out = f_samples.data();
    const uint8_t* codes = buf + kHeaderSize;
    const size_t codeBytes = size - kHeaderSize;
    size_t count = 0;
    switch (f_state.variant) {
    case adpcm_IMA4: {
        f_state.predicted = readHeaderValue(buf, true);
        f_state.stepIndex = kelADPCMClampIndex(buf[2]);
        out[count++] = int16_t(f_state.predicted);
        for (size_t i = 0; i < codeBytes; ++i) {
            out[count++] = kelADPCMDecodeSample(f_state, codes[i] & 0x0F);
            out[count++] = kelADPCMDecodeSample(f_state, codes[i] >> 4);
        }
        break;
    }
    case adpcm_DVI4: {
        f_state.predicted = readHeaderValue(buf, false);
        f_state.stepIndex = kelADPCMClampIndex(buf[2]);
        for (size_t i = 0; i < codeBytes; ++i) {
            out[count++] = kelADPCMDecodeSample(f_state, codes[i] >> 4);
            out[count++] = kelADPCMDecodeSample(f_state, codes[i] & 0x0F);
        }
        break;
    }
    case adpcm_VDVI: {
        f_state.predicted = readHeaderValue(buf, false);
        f_state.stepIndex = kelADPCMClampIndex(buf[2]);
        // Peek the next 8 bits (1 bits past the end, which never complete a
        // code) and take the code they start with while its bits are all
        // inside the block.
        const size_t totalBits = codeBytes * 8;
        size_t bit = 0;
        while (bit < totalBits && count < capacity) {
            const size_t byte = bit / 8;
            const unsigned shift = unsigned(bit % 8);
            const unsigned first = codes[byte];
            const unsigned second = byte + 1 < codeBytes ? codes[byte + 1] : 0xFF;
            const unsigned next = (((first << 8) | second) << shift >> 8) & 0xFF;
            const VdviEntry c = kVdviDecode[next];
            if (bit + c.length > totalBits) break;
            out[count++] = kelADPCMDecodeSample(f_state, c.code);
            bit += c.length;
        }
        break;
    }
    }
    samples = out;
    return count * 2;
}
