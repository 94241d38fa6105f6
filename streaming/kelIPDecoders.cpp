#include "streaming/kelIPDecoders.h"

#include <utility>

GSMdecoder::GSMdecoder(kelIPDecodedOut master, bool isWav49) noexcept
    : kelGSMDecoder(isWav49), f_master(std::move(master))
{}

void GSMdecoder::dataAvailable(kelGSMcoder*, const uint8_t* data, intptr_t len)
{
    if (f_master && len > 0) f_master(data, static_cast<size_t>(len));
}

speexDecoder::speexDecoder(kelIPDecodedOut master, kelSpeexLib* lib, int mode) noexcept
    : kelSpeexDecoder(lib, mode), f_master(std::move(master))
{}

void speexDecoder::dataAvailable(const int16_t* samples, size_t size)
{
    if (f_master && size > 0) f_master(reinterpret_cast<const uint8_t*>(samples), size);
}

celtDecoder::celtDecoder(kelIPDecodedOut master, int rate, int frameSize, int channels,
                         const std::string& libname)
    : kelLibCELTdecoder(rate, frameSize, channels, libname)
{
    setOnDataAvail([out = std::move(master)](kelLibCELTcoder*, const void* data, int len) {
        if (out && len > 0) out(static_cast<const uint8_t*>(data), static_cast<size_t>(len));
    });
}

G7221decoder::G7221decoder(kelIPDecodedOut master, int sampleRate, int bitrate) noexcept
    : kelG7221Decoder(sampleRate, bitrate), f_master(std::move(master))
{}

void G7221decoder::frameReady(const uint8_t* data, intptr_t len)
{
    if (f_master && len > 0) f_master(data, static_cast<size_t>(len));
}

mpegDecoder::mpegDecoder(kelIPDecodedFormat master, const std::string& libname)
    : kelLibmpg123Decoder(libname), f_master(std::move(master))
{}

void mpegDecoder::doFormatChange(long rate, int numChannels, int numBits, int encoding)
{
    kelLibmpg123Decoder::doFormatChange(rate, numChannels, numBits, encoding);
    if (f_master && rate > 0 && numChannels > 0) f_master(rate, numChannels, bitrate());
}
