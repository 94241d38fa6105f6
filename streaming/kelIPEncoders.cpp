#include "streaming/kelIPEncoders.h"

#include <utility>

GSMEncoder::GSMEncoder(kelIPEncodedOut master, bool isWav49) noexcept
    : kelGSMEncoder(isWav49), f_master(std::move(master))
{}

void GSMEncoder::dataAvailable(kelGSMcoder*, const uint8_t* data, intptr_t len)
{
    // A unit of input is 2 bytes a sample.
    if (f_master && len > 0)
        f_master(static_cast<uint32_t>(frameSizeIn() / 2), data, static_cast<size_t>(len));
}

speexEncoder::speexEncoder(kelIPEncodedOut master, kelSpeexLib* lib, int mode) noexcept
    : kelSpeexEncoder(lib, mode), f_master(std::move(master))
{
    setOp4RTP(true);
}

void speexEncoder::dataAvailable(intptr_t sampleDelta, const uint8_t* data, size_t size, int)
{
    if (f_master && size > 0) f_master(static_cast<uint32_t>(sampleDelta > 0 ? sampleDelta : 0), data, size);
}

celtEncoder::celtEncoder(kelIPEncodedOut master, int rate, int frameSize, int channels,
                         const std::string& libname)
    : kelLibCELTencoder(rate, frameSize, channels, libname)
{
    setOnDataAvail([this, out = std::move(master)](kelLibCELTcoder*, const void* data, int len) {
        if (out && len > 0)
            out(static_cast<uint32_t>(this->frameSize()), static_cast<const uint8_t*>(data),
                static_cast<size_t>(len));
    });
}

G7221Encoder::G7221Encoder(kelIPEncodedOut master, int sampleRate, int bitrate) noexcept
    : kelG7221Encoder(sampleRate, bitrate), f_master(std::move(master))
{}

void G7221Encoder::frameReady(const uint8_t* data, intptr_t len)
{
    if (f_master && len > 0)
        f_master(static_cast<uint32_t>(f_mode.frameSize), data, static_cast<size_t>(len));
}

mpegEncoder::mpegEncoder(kelIPEncodedOut master, const std::string& libName)
    : kelLameEncoder(libName), f_master(std::move(master))
{}

mpegEncoder::~mpegEncoder()
{
    close();
}

void mpegEncoder::doDataAvailable(uint32_t frameSize, const void* data, uint32_t size)
{
    if (f_master && size > 0) f_master(frameSize, static_cast<const uint8_t*>(data), size);
}
