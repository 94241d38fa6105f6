#pragma once
// GSM 06.10 full-rate coders for 8 kHz, 16-bit mono audio, over libgsm's
// frame coder. The coders take input of any length, buffer what does not yet
// make a whole unit and code whole units in arrival order:
//
//   coder            plain frames                 WAV49 framing
//   kelGSMEncoder    320 bytes (160 samples)->33  640 bytes (320 samples)->65
//   kelGSMDecoder    33 -> 320 bytes              65 -> 2 x 320 bytes
//
// WAV49 is the layout of GSM in WAV files: two frames in 65 bytes, the
// second starting half-way through byte 32.
//
// Results go to dataAvailable(), which subclasses override. It runs on the
// thread that called write(), with the coder's lock held; its data is the
// coder's own buffer, valid only during the call. write() is meant for one
// writing thread at a time (the one that owns the stream being coded).

#include "core/kelMemoryStream.h"
#include "core/kelCreate.h"
#include "core/kelObject.h"

#include <cstdint>
#include <vector>

struct gsm_state;

// libgsm's option numbers.
inline constexpr int kelGSM_optWav49 = 4;
inline constexpr int kelGSM_optFrameIndex = 5;
inline constexpr int kelGSM_optFrameChain = 6;

class kelGSMcoder : public kelObject
{
public:
    ~kelGSMcoder() override;

    // Codes every whole unit that the bytes pending from earlier calls and
    // `data` make, and keeps the rest for the next call. Returns the input
    // bytes of the units coded now (which may include bytes pending from
    // earlier calls). Samples are host-order signed 16-bit.
    intptr_t write(const void* data, intptr_t len) noexcept;

    // libgsm's WAV49, frame index and frame chain options (-1 for any other
    // option, or when the coder has no libgsm state).
    int getOpt(int opt) noexcept;
    // Sets one of those options and reconfigures the units (a change of
    // WAV49 changes them; pending bytes are kept).
    void setOpt(int opt, int value) noexcept;

    bool isValid() const noexcept { return f_gsm != nullptr; }
    intptr_t frameSizeIn() const noexcept { return f_frameSizeIn; }
    intptr_t frameSizeOut() const noexcept { return f_frameSizeOut; }
    // Input bytes kept for the next unit.
    intptr_t pendingBytes() noexcept;

protected:
    explicit kelGSMcoder(bool isWav49) noexcept;

    // Sets the unit sizes from the WAV49 option and returns it.
    virtual bool configureUnits() noexcept = 0;
    // Codes the whole units in `data` (`len` is a multiple of the input unit).
    virtual void processUnits(const uint8_t* data, intptr_t len) noexcept = 0;
    // The results: `len` bytes at `data`. The base does nothing.
    virtual void dataAvailable(kelGSMcoder* sender, const uint8_t* data, intptr_t len);

    bool wav49() noexcept;
    // Calls dataAvailable, keeping an exception from it inside the coder.
    void deliver(const uint8_t* data, intptr_t len) noexcept;
    // The output buffer, grown to at least `bytes` (null when that fails).
    uint8_t* outputBuffer(intptr_t bytes) noexcept;

    gsm_state* f_gsm = nullptr;
    intptr_t f_frameSizeIn = 0;
    intptr_t f_frameSizeOut = 0;
    kelOwned<kelMemoryStream> f_stream;
    std::vector<int16_t> f_buf; // int16_t for alignment; used as bytes too
    intptr_t f_bufSize = 0;     // in bytes

private:
    std::vector<uint8_t> f_unit; // one unit gathered from pending bytes and new data
};

class kelGSMEncoder : public kelGSMcoder
{
public:
    explicit kelGSMEncoder(bool isWav49) noexcept;

protected:
    bool configureUnits() noexcept override;
    void processUnits(const uint8_t* data, intptr_t len) noexcept override;
};

class kelGSMDecoder : public kelGSMcoder
{
public:
    explicit kelGSMDecoder(bool isWav49) noexcept;

protected:
    bool configureUnits() noexcept override;
    // A frame libgsm rejects (not a GSM frame) is delivered as silence, so
    // that the output keeps its length and never repeats stale samples.
    void processUnits(const uint8_t* data, intptr_t len) noexcept override;
};
