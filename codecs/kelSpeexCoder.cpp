#include "codecs/kelSpeexCoder.h"

#include "codecs/kelSpeexDSP.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr intptr_t kOpenLockMs = 5000;
constexpr intptr_t kCloseLockMs = 3000;
constexpr intptr_t kWorkLockMs = 1000;
constexpr intptr_t kPropertyLockMs = 2000;
constexpr intptr_t kVbrLockMs = 3000;
// Frames after the end of speech that are still sent.
constexpr int kVoiceHangover = 21;
// RTP grouping: frames per block, and the bytes at which a block goes early.
constexpr int kRtpFrames = 5;
constexpr int kRtpMaxBytes = 1100;

} // namespace

// --- kelSpeexLib -----------------------------------------------------------

kelSpeexLib::kelSpeexLib(const kelString& libPath) noexcept
{
    f_lastError = f_lib.load(libPath);
    f_libOK = f_lastError == 0;
}

kelSpeexLib::~kelSpeexLib()
{
    if (f_libOK) f_lib.unload();
}

// --- kelSpeexCoder ---------------------------------------------------------

kelSpeexCoder::kelSpeexCoder(kelSpeexLib* lib, int mode) noexcept : f_lib(lib), f_mode(mode) {}

kelSpeexCoder::~kelSpeexCoder() = default;

void kelSpeexCoder::beforeDestruction()
{
    close();
    kelObject::beforeDestruction();
}

const kelSpeexCalls& kelSpeexCoder::calls() const noexcept
{
    return f_lib->calls();
}

const SpeexMode* kelSpeexCoder::modeInfo() const noexcept
{
    if (f_lib == nullptr || !f_lib->libOK() || f_mode < 0 || f_mode >= SPEEX_NB_MODES) return nullptr;
    // Parenthesised: the header makes the name a macro that refers to the
    // library's narrowband mode record directly, which would link it.
    return (calls().speex_lib_get_mode)(f_mode);
}

bool kelSpeexCoder::open()
{
    kelLock lock(this, false, kOpenLockMs);
    if (!lock) return false;
    if (active()) return true;
    const SpeexMode* mode = modeInfo();
    if (mode == nullptr) return false;
    f_state = createState(mode);
    if (f_state == nullptr) return false;
    calls().speex_bits_init(&f_bits);
    f_frameSize = readFrameSize();
    if (f_frameSize <= 0 || !afterStateCreated()) {
        closeLocked();
        return false;
    }
    afterOpen();
    return true;
}

void kelSpeexCoder::close()
{
    kelLock lock(this, false, kCloseLockMs);
    if (lock) closeLocked();
}

void kelSpeexCoder::closeLocked()
{
    if (!active()) return;
    beforeClose();
    calls().speex_bits_destroy(&f_bits);
    f_bits = SpeexBits{};
    destroyState(f_state);
    f_state = nullptr;
    f_frameSize = 0;
    f_outBuf.clear();
    f_outBuf.shrink_to_fit();
}

void kelSpeexCoder::setMode(int mode)
{
    close();
    kelLock lock(this, false, kCloseLockMs);
    if (lock) f_mode = mode;
}

int kelSpeexCoder::frameSize()
{
    kelLock lock(this, true, kWorkLockMs);
    return lock && active() ? f_frameSize : 0;
}

int kelSpeexCoder::samplingRate()
{
    kelLock lock(this, true, kWorkLockMs);
    return lock && active() ? readSamplingRate() : 0;
}

int kelSpeexCoder::readFrameSize()
{
    int value = 0;
    return controlRead(SPEEX_GET_FRAME_SIZE, &value) == 0 ? value : 0;
}

int kelSpeexCoder::readSamplingRate()
{
    int value = 0;
    return controlRead(SPEEX_GET_SAMPLING_RATE, &value) == 0 ? value : 0;
}

uint8_t* kelSpeexCoder::outBuffer(size_t size) noexcept
{
    try {
        if (f_outBuf.size() < size) f_outBuf.resize(size);
    } catch (...) {
        return nullptr;
    }
    return f_outBuf.data();
}

// --- kelSpeexEncoder -------------------------------------------------------

kelSpeexEncoder::kelSpeexEncoder(kelSpeexLib* lib, int mode) noexcept : kelSpeexCoder(lib, mode) {}

kelSpeexEncoder::~kelSpeexEncoder()
{
    close();
}

int kelSpeexEncoder::controlRead(int request, void* value)
{
    return active() ? calls().speex_encoder_ctl(f_state, request, value) : -1;
}

int kelSpeexEncoder::controlWrite(int request, void* value)
{
    return active() ? calls().speex_encoder_ctl(f_state, request, value) : -1;
}

void* kelSpeexEncoder::createState(const SpeexMode* mode)
{
    return calls().speex_encoder_init(mode);
}

void kelSpeexEncoder::destroyState(void* state)
{
    calls().speex_encoder_destroy(state);
}

bool kelSpeexEncoder::afterStateCreated()
{
    (void)controlWrite(SPEEX_SET_QUALITY, &f_quality);
    int vbr = f_vbr ? 1 : 0;
    (void)controlWrite(SPEEX_SET_VBR, &vbr);
    (void)controlWrite(SPEEX_SET_VBR_QUALITY, &f_vbrQuality);
    if (f_complexity > 0) (void)controlWrite(SPEEX_SET_COMPLEXITY, &f_complexity);
    if (f_bitrate > 0) (void)controlWrite(SPEEX_SET_BITRATE, &f_bitrate);
    if (f_abr > 0) (void)controlWrite(SPEEX_SET_ABR, &f_abr);
    try {
        f_subBuf.assign(size_t(f_frameSize), 0);
        f_frame.assign(size_t(f_frameSize), 0);
    } catch (...) {
        return false;
    }
    f_subBufPos = 0;
    f_sampleDelta = 0;
    f_vad_prev = false;
    f_vad_cooldown = 0;
    f_op4RTP_framesCollected = 0;
    if (f_dsp != nullptr) (void)f_dsp->open(f_frameSize, readSamplingRate(), f_aec);
    return true;
}

void kelSpeexEncoder::beforeClose()
{
    f_subBufPos = 0;
    f_op4RTP_framesCollected = 0;
}

void kelSpeexEncoder::assignDSP(kelSpeexDSP* dsp, bool aec)
{
    kelLock lock(this, false, kPropertyLockMs);
    if (!lock) return;
    f_dsp = dsp;
    f_aec = aec;
    if (f_dsp != nullptr && active()) (void)f_dsp->open(f_frameSize, readSamplingRate(), f_aec);
}

intptr_t kelSpeexEncoder::encode_int(const int16_t* samples, intptr_t size)
{
    kelLock lock(this, false, kWorkLockMs);
    if (!lock) return -1;
    if (!active() || samples == nullptr || size <= 0) return 0;
    const size_t frame = size_t(f_frameSize);
    const size_t count = size_t(size) / 2;
    f_sampleDelta += intptr_t(count);
    size_t pos = 0;
    if (f_subBufPos > 0) {
        const size_t take = std::min(frame - f_subBufPos, count);
        std::memcpy(f_subBuf.data() + f_subBufPos, samples, take * 2);
        f_subBufPos += take;
        pos = take;
        if (f_subBufPos < frame) return size;
        f_subBufPos = 0;
        processFrame(f_subBuf.data());
    }
    for (; count - pos >= frame; pos += frame) {
        std::memcpy(f_frame.data(), samples + pos, frame * 2);
        processFrame(f_frame.data());
    }
    f_subBufPos = count - pos;
    if (f_subBufPos > 0) std::memcpy(f_subBuf.data(), samples + pos, f_subBufPos * 2);
    return size;
}

void kelSpeexEncoder::processFrame(int16_t* frame)
{
    bool voice = true;
    if (f_dsp != nullptr && f_dsp->preprocess(frame) && f_dsp->vad()) voice = f_dsp->lastFrameVoice();
    encodeFrame(frame, voice);
}

void kelSpeexEncoder::encodeFrame(int16_t* frame, bool voice)
{
    if (!f_vad_prev || voice) {
        f_vad_prev = voice;
        if (voice) f_vad_cooldown = 0;
    } else if (f_vad_cooldown == 0) {
        f_vad_cooldown = kVoiceHangover;
        voice = true;
    } else if (f_vad_cooldown < 2) {
        f_vad_prev = false;
    } else {
        --f_vad_cooldown;
        voice = true;
    }
    if (!voice && !f_vbr) return;
    if (!f_op4RTP) {
        calls().speex_bits_reset(&f_bits);
        calls().speex_encode_int(f_state, frame, &f_bits);
        flushBits(1);
        return;
    }
    if (f_op4RTP_framesCollected == 0) calls().speex_bits_reset(&f_bits);
    calls().speex_encode_int(f_state, frame, &f_bits);
    ++f_op4RTP_framesCollected;
    if (f_op4RTP_framesCollected < kRtpFrames && calls().speex_bits_nbytes(&f_bits) <= kRtpMaxBytes) return;
    flushBits(f_op4RTP_framesCollected);
    f_op4RTP_framesCollected = 0;
}

void kelSpeexEncoder::flushBits(int frames)
{
    const int bytes = calls().speex_bits_nbytes(&f_bits);
    uint8_t* out = bytes > 0 ? outBuffer(size_t(bytes)) : nullptr;
    if (out == nullptr) return;
    const int written = calls().speex_bits_write(&f_bits, reinterpret_cast<char*>(out), bytes);
    if (written > 0) dataAvailable(f_sampleDelta, out, size_t(written), frames);
    f_sampleDelta = 0;
}

void kelSpeexEncoder::dataAvailable(intptr_t sampleDelta, const uint8_t* data, size_t size, int frames)
{
    if (f_onData) f_onData(sampleDelta, data, size, frames);
}

void kelSpeexEncoder::setIntProperty(int& field, int request, int value, intptr_t timeout)
{
    kelLock lock(this, false, timeout);
    if (!lock) return;
    field = value;
    if (active()) (void)controlWrite(request, &field);
}

int kelSpeexEncoder::getIntProperty(int field, int request)
{
    kelLock lock(this, true, kWorkLockMs);
    if (!lock || !active() || request < 0) return field;
    int value = 0;
    return controlRead(request, &value) == 0 ? value : field;
}

int kelSpeexEncoder::quality()
{
    // The library has no request that reads the quality back.
    return f_quality;
}

void kelSpeexEncoder::setQuality(int value)
{
    setIntProperty(f_quality, SPEEX_SET_QUALITY, value, kPropertyLockMs);
}

bool kelSpeexEncoder::vbr()
{
    return getIntProperty(f_vbr ? 1 : 0, SPEEX_GET_VBR) != 0;
}

void kelSpeexEncoder::setVbr(bool value)
{
    kelLock lock(this, false, kVbrLockMs);
    if (!lock) return;
    f_vbr = value;
    if (!active()) return;
    int v = value ? 1 : 0;
    (void)controlWrite(SPEEX_SET_VBR, &v);
    (void)controlWrite(SPEEX_SET_VBR_QUALITY, &f_vbrQuality);
}

float kelSpeexEncoder::vbrQuality()
{
    kelLock lock(this, true, kWorkLockMs);
    if (!lock || !active()) return f_vbrQuality;
    float value = 0.0f;
    return controlRead(SPEEX_GET_VBR_QUALITY, &value) == 0 ? value : f_vbrQuality;
}

void kelSpeexEncoder::setVbrQuality(float value)
{
    kelLock lock(this, false, kPropertyLockMs);
    if (!lock) return;
    f_vbrQuality = value;
    if (active()) (void)controlWrite(SPEEX_SET_VBR_QUALITY, &f_vbrQuality);
}

int kelSpeexEncoder::bitrate()
{
    return getIntProperty(f_bitrate, SPEEX_GET_BITRATE);
}

void kelSpeexEncoder::setBitrate(int value)
{
    setIntProperty(f_bitrate, SPEEX_SET_BITRATE, value, kPropertyLockMs);
}

int kelSpeexEncoder::abr()
{
    return getIntProperty(f_abr, SPEEX_GET_ABR);
}

void kelSpeexEncoder::setAbr(int value)
{
    setIntProperty(f_abr, SPEEX_SET_ABR, value, kPropertyLockMs);
}

int kelSpeexEncoder::complexity()
{
    return getIntProperty(f_complexity, SPEEX_GET_COMPLEXITY);
}

void kelSpeexEncoder::setComplexity(int value)
{
    setIntProperty(f_complexity, SPEEX_SET_COMPLEXITY, value, kPropertyLockMs);
}

void kelSpeexEncoder::setOp4RTP(bool value)
{
    kelLock lock(this, false, kPropertyLockMs);
    if (!lock) return;
    f_op4RTP = value;
    f_op4RTP_framesCollected = 0;
}

// --- kelSpeexDecoder -------------------------------------------------------

kelSpeexDecoder::kelSpeexDecoder(kelSpeexLib* lib, int mode) noexcept : kelSpeexCoder(lib, mode) {}

kelSpeexDecoder::~kelSpeexDecoder()
{
    close();
}

int kelSpeexDecoder::controlRead(int request, void* value)
{
    return active() ? calls().speex_decoder_ctl(f_state, request, value) : -1;
}

int kelSpeexDecoder::controlWrite(int request, void* value)
{
    return active() ? calls().speex_decoder_ctl(f_state, request, value) : -1;
}

void* kelSpeexDecoder::createState(const SpeexMode* mode)
{
    return calls().speex_decoder_init(mode);
}

void kelSpeexDecoder::destroyState(void* state)
{
    calls().speex_decoder_destroy(state);
}

int kelSpeexDecoder::ctl(int request, void* value)
{
    kelLock lock(this, false, kWorkLockMs);
    return lock ? controlWrite(request, value) : -1;
}

intptr_t kelSpeexDecoder::decode(const void* bitstream, intptr_t size)
{
    kelLock lock(this, false, kWorkLockMs);
    if (!lock) return -1;
    if (!active() || bitstream == nullptr || size <= 0 || size > INT32_MAX / 8) return 0;
    const kelSpeexCalls& c = calls();
    c.speex_bits_read_from(&f_bits, static_cast<const char*>(bitstream), int(size));
    const int bits = c.speex_bits_remaining(&f_bits);
    const size_t frame = size_t(f_frameSize);
    auto* out = reinterpret_cast<int16_t*>(outBuffer(frame * 4));
    if (out == nullptr || bits <= 0) return bits > 0 ? bits / 8 : 0;
    // Every frame the library decodes takes at least its 5-bit mode field,
    // so garbage cannot keep the loop going longer than this.
    for (int frames = bits / 5 + 1; frames > 0 && c.speex_bits_remaining(&f_bits) > 7; --frames) {
        if (c.speex_decode_int(f_state, &f_bits, out) != 0) break;
        dataAvailable(out, frame * 2);
    }
    return bits / 8;
}

void kelSpeexDecoder::dataAvailable(const int16_t* samples, size_t size)
{
    if (f_onData) f_onData(samples, size);
}
