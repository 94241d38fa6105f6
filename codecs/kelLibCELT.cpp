#include "codecs/kelLibCELT.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr intptr_t kOpenTimeout = 1000;
constexpr intptr_t kCodeTimeout = 100;
constexpr int kLockFailed = -2;

} // namespace

kelObject& kelLibCELTcoder::sharedLock()
{
    static kelObject lock;
    return lock;
}

kelLibCELTcoder::kelLibCELTcoder(int rate, int frameSize, int channels, const std::string& libname)
    : f_rate(rate), f_frameSize2(frameSize), f_channels(channels)
{
    // Made before any coder can lock it.
    sharedLock();
    f_lastError = f_proc.load(libname);
    f_libOK = f_lastError == 0;
}

int kelLibCELTcoder::open()
{
    if (!f_libOK) return f_lastError;
    kelLock lock(&sharedLock(), false, kOpenTimeout);
    if (!lock) return kLockFailed;
    if (f_active) return kelCeltOk;
    if (f_frameSize2 % 320 != 0 && f_frameSize2 > 512) f_frameSize2 = 512;
    if (f_lastError != 0) return f_lastError;
    // A frame longer than the rate would make the frames per second 0,
    // and every size is derived from those.
    if (f_rate <= 0 || f_frameSize2 <= 0 || f_frameSize2 > f_rate || f_channels < 1 || f_channels > 2) {
        f_lastError = kelCeltBadArg;
        return f_lastError;
    }
    f_frameSizeBytes = f_frameSize2 * 2 * f_channels;
    const int error = createState();
    if (error != kelCeltOk) {
        f_lastError = error;
        return error;
    }
    try {
        afterOpen();
    } catch (...) {
        destroyState();
        f_lastError = kelCeltInvalidState;
        return f_lastError;
    }
    f_active = true;
    return kelCeltOk;
}

int kelLibCELTcoder::open(int rate, int frameSize, int channels)
{
    close();
    if (!f_libOK) return f_lastError;
    {
        kelLock lock(&sharedLock(), false, kOpenTimeout);
        if (!lock) return kLockFailed;
        f_rate = rate;
        f_frameSize2 = frameSize;
        f_channels = channels;
        f_lastError = 0;
    }
    return open();
}

void kelLibCELTcoder::close()
{
    kelLock lock(&sharedLock(), false, kOpenTimeout);
    if (!lock || !f_active) return;
    destroyState();
    f_active = false;
    afterClose();
}

int kelLibCELTcoder::IOCTL(int request, int32_t value)
{
    kelLock lock(&sharedLock(), false, kOpenTimeout);
    if (!lock) return kLockFailed;
    if (!f_active) return kelCeltInvalidState;
    return control(request, value, nullptr);
}

int kelLibCELTcoder::IOCTL(int request, void* value)
{
    kelLock lock(&sharedLock(), false, kOpenTimeout);
    if (!lock) return kLockFailed;
    if (!f_active) return kelCeltInvalidState;
    return control(request, 0, value);
}

std::string kelLibCELTcoder::errorText(int error) const
{
    if (!f_libOK) return {};
    const char* text = f_proc.strError(error);
    return text != nullptr ? text : std::string();
}

void kelLibCELTcoder::fire(const void* data, int len)
{
    if (!f_onDataAvail || len <= 0) return;
    try {
        f_onDataAvail(this, data, len);
    } catch (...) {
    }
}

// The encoder.

kelLibCELTencoder::kelLibCELTencoder(int rate, int frameSize, int channels, const std::string& libname)
    : kelLibCELTcoder(rate, frameSize, channels, libname)
{
    if (f_libOK) open();
}

kelLibCELTencoder::~kelLibCELTencoder()
{
    close();
}

int kelLibCELTencoder::createState()
{
    int error = kelCeltOk;
    f_enc = f_proc.encoderCreate(f_rate, f_channels, &error);
    if (f_enc == nullptr && error == kelCeltOk) error = kelCeltInvalidState;
    if (f_enc != nullptr && error != kelCeltOk) {
        f_proc.encoderDestroy(f_enc);
        f_enc = nullptr;
    }
    return error;
}

void kelLibCELTencoder::destroyState()
{
    if (f_enc != nullptr) f_proc.encoderDestroy(f_enc);
    f_enc = nullptr;
}

int kelLibCELTencoder::control(int request, int32_t value, void* pointer)
{
    return pointer != nullptr ? f_proc.encoderCtl(f_enc, request, pointer)
                              : f_proc.encoderCtl(f_enc, request, value);
}

void kelLibCELTencoder::afterOpen()
{
    if (f_bitrate == 0) {
        f_bitrate = (f_rate * f_channels * 2) / 1024;
        f_bitrateAuto = true;
    }
    f_subBufPCM.assign(size_t(f_frameSizeBytes), 0);
    f_subBufPCMPos = 0;
    resizeCompressed();
}

void kelLibCELTencoder::afterClose()
{
    f_subBufPCM.clear();
    f_subBufCompressed.clear();
    f_subBufPCMPos = 0;
    if (f_bitrateAuto) {
        f_bitrate = 0;
        f_bitrateAuto = false;
    }
}

void kelLibCELTencoder::resizeCompressed()
{
    // open() made sure a frame is at most a second long.
    const int framesPerSecond = f_rate / f_frameSize2;
    f_subBufCompressedSize = ((f_bitrate * 128) / framesPerSecond) & ~1;
    f_subBufCompressed.assign(size_t(std::max(f_subBufCompressedSize, 0)), 0);
}

void kelLibCELTencoder::setBitrate(int kbps)
{
    kelLock lock(&sharedLock(), false, kOpenTimeout);
    if (!lock) return;
    const int value = f_channels == 1 ? std::clamp(kbps, 12, 256) : std::clamp(kbps, 24, 512);
    if (value != f_bitrate) f_bitrateAuto = false;
    f_bitrate = value;
    if (f_active) resizeCompressed();
}

int kelLibCELTencoder::encode(const void* pcm, int len)
{
    kelLock lock(&sharedLock(), false, kCodeTimeout);
    if (!lock || !f_active || pcm == nullptr || len <= 0) return 0;
    const auto* in = static_cast<const uint8_t*>(pcm);
    int taken = 0, completed = 0;
    while (taken < len) {
        const int n = std::min(len - taken, f_frameSizeBytes - f_subBufPCMPos);
        std::memcpy(f_subBufPCM.data() + f_subBufPCMPos, in + taken, size_t(n));
        f_subBufPCMPos += n;
        taken += n;
        if (f_subBufPCMPos < f_frameSizeBytes) break;
        f_subBufPCMPos = 0;
        completed = taken;
        const int result = f_proc.encode(f_enc, reinterpret_cast<const int16_t*>(f_subBufPCM.data()),
                                         f_frameSize2, f_subBufCompressed.data(), f_subBufCompressedSize);
        // A library that claims more than the room it was given passes on
        // only what the room holds.
        if (result > 0) fire(f_subBufCompressed.data(), std::min(result, f_subBufCompressedSize));
    }
    return completed;
}

// The decoder.

kelLibCELTdecoder::kelLibCELTdecoder(int rate, int frameSize, int channels, const std::string& libname)
    : kelLibCELTcoder(rate, frameSize, channels, libname)
{
    if (f_libOK) open();
}

kelLibCELTdecoder::~kelLibCELTdecoder()
{
    close();
}

int kelLibCELTdecoder::createState()
{
    int error = kelCeltOk;
    f_dec = f_proc.decoderCreate(f_rate, f_channels, &error);
    if (f_dec == nullptr && error == kelCeltOk) error = kelCeltInvalidState;
    if (f_dec != nullptr && error != kelCeltOk) {
        f_proc.decoderDestroy(f_dec);
        f_dec = nullptr;
    }
    return error;
}

void kelLibCELTdecoder::destroyState()
{
    if (f_dec != nullptr) f_proc.decoderDestroy(f_dec);
    f_dec = nullptr;
}

int kelLibCELTdecoder::control(int request, int32_t value, void* pointer)
{
    return pointer != nullptr ? f_proc.decoderCtl(f_dec, request, pointer)
                              : f_proc.decoderCtl(f_dec, request, value);
}

void kelLibCELTdecoder::afterOpen()
{
    f_bufPCM.assign(size_t(f_frameSizeBytes / 2), 0);
}

void kelLibCELTdecoder::afterClose()
{
    f_bufPCM.clear();
}

int kelLibCELTdecoder::decode(const void* data, int len)
{
    kelLock lock(&sharedLock(), false, kCodeTimeout);
    if (!lock || !f_active || len < 0 || (data == nullptr && len > 0)) return kelCeltBadArg;
    const int result =
        f_proc.decode(f_dec, static_cast<const unsigned char*>(data), len, f_bufPCM.data(), f_frameSize2);
    if (result == kelCeltOk || result == f_frameSize2) fire(f_bufPCM.data(), f_frameSizeBytes);
    return result;
}
