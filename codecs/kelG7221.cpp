#include "codecs/kelG7221.h"

#include <cstring>

kelG7221Coder::kelG7221Coder() noexcept
{
    f_subStream = kelMakeOwned<kelMemoryStream>(intptr_t(1000));
}

kelG7221Coder::~kelG7221Coder() = default;

void kelG7221Coder::frameReady(const uint8_t*, intptr_t) {}

int kelG7221Coder::setMode(int sampleRate, int bitrate) noexcept
{
    f_mode = kelG7221Mode::forRate(sampleRate, bitrate);
    if (f_subStream) f_subStream->clear();
    if (!f_mode.valid()) {
        f_configureResult =
            sampleRate != 16000 && sampleRate != 32000 ? kelG7221ErrorSampleRate : kelG7221ErrorBitrate;
        f_framesize = f_number_of_bits_per_frame = f_number_of_16bit_words_per_frame = 0;
        num_rate_control_possibilities = num_rate_control_bits = 0;
        return f_configureResult;
    }
    f_framesize = f_mode.frameSize;
    f_number_of_bits_per_frame = f_mode.bitsPerFrame;
    f_number_of_16bit_words_per_frame = f_mode.bitsPerFrame / 16;
    num_rate_control_bits = f_mode.controlBits;
    num_rate_control_possibilities = f_mode.possibilities();
    f_configureResult = kelG7221OK;
    return kelG7221OK;
}

intptr_t kelG7221Coder::pendingBytes() noexcept
{
    return f_subStream ? f_subStream->getSize() : 0;
}

void kelG7221Coder::deliver(const uint8_t* data, intptr_t len) noexcept
{
    ++f_numFrames;
    try {
        frameReady(data, len);
    } catch (...) {
        kelReportHookFailure("kelG7221Coder::frameReady");
    }
}

intptr_t kelG7221Coder::write(const void* data, intptr_t len) noexcept
{
    const intptr_t unit = unitSize();
    if (unit <= 0 || !f_subStream) return kelG7221NotConfigured;
    if (data == nullptr || len <= 0) return 0;
    auto in = static_cast<const uint8_t*>(data);
    intptr_t frames = 0;

    // 1. Pending bytes that the new data completes to a unit.
    const intptr_t pending = f_subStream->getSize();
    if (pending > 0 && pending + len >= unit) {
        try {
            f_subBuf.resize(size_t(unit));
        } catch (...) {
            return 0;
        }
        if (f_subStream->read(f_subBuf.data(), pending, true) != pending) return 0;
        const intptr_t missing = unit - pending;
        std::memcpy(f_subBuf.data() + pending, in, size_t(missing));
        frames += processUnits(f_subBuf.data(), unit);
        in += missing;
        len -= missing;
    }
    // 2. With nothing pending, whole units straight from the data.
    if (f_subStream->getSize() == 0) {
        const intptr_t whole = len / unit * unit;
        if (whole > 0) {
            frames += processUnits(in, whole);
            in += whole;
            len -= whole;
        }
    }
    // 3. Keep the rest.
    if (len > 0) f_subStream->write(in, len);
    return frames;
}

kelG7221Encoder::kelG7221Encoder(int sampleRate, int bitrate) noexcept
{
    kelG7221Encoder::configure(sampleRate, bitrate);
}

int kelG7221Encoder::configure(int sampleRate, int bitrate) noexcept
{
    const int result = setMode(sampleRate, bitrate);
    f_encoder = kelG7221FrameEncoder(f_mode);
    return result;
}

intptr_t kelG7221Encoder::processUnits(const uint8_t* data, intptr_t len) noexcept
{
    const intptr_t unit = unitSize();
    intptr_t frames = 0;
    // The caller's bytes need not be aligned for int16_t.
    int16_t samples[kelG7221FrameEncoder::maxFrameSize];
    for (intptr_t pos = 0; pos + unit <= len; pos += unit) {
        std::memcpy(samples, data + pos, size_t(unit));
        f_encoder.encode(samples, out_words);
        deliver(out_words, f_mode.bytesPerFrame());
        ++frames;
    }
    return frames;
}

kelG7221Decoder::kelG7221Decoder(int sampleRate, int bitrate) noexcept
{
    kelG7221Decoder::configure(sampleRate, bitrate);
}

int kelG7221Decoder::configure(int sampleRate, int bitrate) noexcept
{
    const int result = setMode(sampleRate, bitrate);
    f_decoder = kelG7221FrameDecoder(f_mode);
    return result;
}

void kelG7221Decoder::decodeOne(const uint8_t* frame) noexcept
{
    if (!f_decoder.decode(frame, f_samples)) ++f_concealed;
    for (int i = 0; i < f_mode.frameSize; ++i)
        f_samples[i] = int16_t(f_samples[i] & ~3);
    deliver(reinterpret_cast<const uint8_t*>(f_samples), intptr_t(f_mode.frameSize) * 2);
}

intptr_t kelG7221Decoder::processUnits(const uint8_t* data, intptr_t len) noexcept
{
    const intptr_t unit = unitSize();
    intptr_t frames = 0;
    for (intptr_t pos = 0; pos + unit <= len; pos += unit) {
        decodeOne(data + pos);
        ++frames;
    }
    return frames;
}

intptr_t kelG7221Decoder::lostFrame() noexcept
{
    if (!isConfigured()) return kelG7221NotConfigured;
    decodeOne(nullptr);
    return 1;
}
