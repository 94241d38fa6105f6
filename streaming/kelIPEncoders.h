#pragma once
// The transmitter's coders: each library or codec coder of the codecs
// folder, with its output handed to a send function (`f_master`) as one
// payload and the RTP timestamp step that payload stands for:
//
//   GSMEncoder    one 33-byte frame (65 bytes for GSM49), 160 (320) samples
//   speexEncoder  one block of frames, the samples the encoder consumed
//   celtEncoder   one coded frame, the frame size in samples
//   G7221Encoder  one coded frame, the frame size in samples
//   mpegEncoder   the encoder's output, the samples per MPEG frame (the
//                 transmitter cuts it into whole frames itself)
//
// The send function runs on the thread that feeds the coder, inside the
// coder's lock (CELT: the lock all CELT coders share); its bytes are valid
// during the call only.

#include "codecs/kelG7221.h"
#include "codecs/kelGSM.h"
#include "codecs/kelLibCELT.h"
#include "codecs/kelSpeexCoder.h"
#include "codecs/kelBladeEncAPI.h"

#include <cstddef>
#include <cstdint>
#include <functional>

using kelIPEncodedOut = std::function<void(uint32_t samples, const uint8_t* data, size_t len)>;

class GSMEncoder final : public kelGSMEncoder
{
public:
    // `isWav49` for GSM49, the two-frame layout of WAV files.
    GSMEncoder(kelIPEncodedOut master, bool isWav49) noexcept;

protected:
    void dataAvailable(kelGSMcoder* sender, const uint8_t* data, intptr_t len) override;

private:
    kelIPEncodedOut f_master;
};

class speexEncoder final : public kelSpeexEncoder
{
public:
    // Collects frames into RTP-sized blocks (see kelSpeexEncoder::op4RTP).
    speexEncoder(kelIPEncodedOut master, kelSpeexLib* lib, int mode) noexcept;

protected:
    void dataAvailable(intptr_t sampleDelta, const uint8_t* data, size_t size, int frames) override;

private:
    kelIPEncodedOut f_master;
};

class celtEncoder final : public kelLibCELTencoder
{
public:
    celtEncoder(kelIPEncodedOut master, int rate, int frameSize, int channels, const std::string& libname);

    // Off: every packet starts with its frame's length (255s and a last
    // byte below 255). On: the frames go bare, their length agreed apart.
    bool f_lowOverhead = false;
    intptr_t f_numStreams = 1;
};

class G7221Encoder final : public kelG7221Encoder
{
public:
    // `bitrate` in bit/s.
    G7221Encoder(kelIPEncodedOut master, int sampleRate, int bitrate) noexcept;

protected:
    void frameReady(const uint8_t* data, intptr_t len) override;

private:
    kelIPEncodedOut f_master;
};

class mpegEncoder final : public kelLameEncoder
{
public:
    mpegEncoder(kelIPEncodedOut master, const std::string& libName);
    // Closes here, so the last frames reach the send function.
    ~mpegEncoder() override;

protected:
    void doDataAvailable(uint32_t frameSize, const void* data, uint32_t size) override;

private:
    kelIPEncodedOut f_master;
};
