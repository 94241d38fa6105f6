#pragma once
// The receiver's decoders: each coder of the codecs folder with its decoded
// 16-bit PCM handed to a function of the receiver (`f_master`), and the
// MPEG audio decoder's new output formats to another.
//
// The functions run on the thread that feeds the decoder (the receiver's
// packet thread), inside the decoder's lock (CELT: the lock all CELT coders
// share); the PCM is valid during the call only.

#include "codecs/kelG7221.h"
#include "codecs/kelGSM.h"
#include "codecs/kelLibCELT.h"
#include "codecs/kelMpgLibAPI.h"
#include "codecs/kelSpeexCoder.h"

#include <cstddef>
#include <cstdint>
#include <functional>

using kelIPDecodedOut = std::function<void(const uint8_t* pcm, size_t bytes)>;
// A new output format of MPEG audio: rate, channels, bit rate in kbit/s.
using kelIPDecodedFormat = std::function<void(intptr_t rate, intptr_t channels, intptr_t bitrate)>;

class GSMdecoder final : public kelGSMDecoder
{
public:
    GSMdecoder(kelIPDecodedOut master, bool isWav49) noexcept;

protected:
    void dataAvailable(kelGSMcoder* sender, const uint8_t* data, intptr_t len) override;

private:
    kelIPDecodedOut f_master;
};

class speexDecoder final : public kelSpeexDecoder
{
public:
    speexDecoder(kelIPDecodedOut master, kelSpeexLib* lib, int mode) noexcept;

protected:
    void dataAvailable(const int16_t* samples, size_t size) override;

private:
    kelIPDecodedOut f_master;
};

class celtDecoder final : public kelLibCELTdecoder
{
public:
    celtDecoder(kelIPDecodedOut master, int rate, int frameSize, int channels, const std::string& libname);

    // Off: a payload holds length-prefixed frames (kelIPCeltFrames.h).
    bool f_lowOverhead = false;
    intptr_t f_numStreams = 1;
};

class G7221decoder final : public kelG7221Decoder
{
public:
    // `bitrate` in bit/s.
    G7221decoder(kelIPDecodedOut master, int sampleRate, int bitrate) noexcept;

protected:
    void frameReady(const uint8_t* data, intptr_t len) override;

private:
    kelIPDecodedOut f_master;
};

class mpegDecoder final : public kelLibmpg123Decoder
{
public:
    mpegDecoder(kelIPDecodedFormat master, const std::string& libname);

protected:
    void doFormatChange(long rate, int numChannels, int numBits, int encoding) override;

private:
    kelIPDecodedFormat f_master;
};
