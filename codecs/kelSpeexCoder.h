#pragma once
// The Speex speech coder: kelSpeexLib holds one binding of the codec library,
// shared by any number of coders; kelSpeexEncoder turns 16-bit mono PCM into
// Speex frames and kelSpeexDecoder turns frames back into PCM. Each coder
// buffers to the codec's frame size and hands every block it produces to
// its data-available operation, which subclasses override (the streaming
// components send the block) or which calls the handler set on the coder.
//
// Threads: every call takes the coder's own lock (kelObject), so one thread
// may feed a coder while another changes its properties. Data-available
// runs on the feeding thread with the lock held; its block is valid only
// during the call. Make and free coders through kelCreate / kelFree (free
// closes the coder through its hooks).

#include "codecs/kelSpeexBinding.h"
#include "core/kelObject.h"

#include <cstdint>
#include <functional>
#include <vector>

class kelSpeexDSP;

// Modes: the library's numbering.
inline constexpr int kelSpeexModeNB = 0;  // narrowband, 8 kHz, 160-sample frames
inline constexpr int kelSpeexModeWB = 1;  // wideband, 16 kHz
inline constexpr int kelSpeexModeUWB = 2; // ultra-wideband, 32 kHz

class kelSpeexLib
{
public:
    // Loads the library (`libPath` trimmed, empty for the default soname).
    explicit kelSpeexLib(const kelString& libPath = {}) noexcept;
    ~kelSpeexLib();
    kelSpeexLib(const kelSpeexLib&) = delete;
    kelSpeexLib& operator=(const kelSpeexLib&) = delete;

    bool libOK() const noexcept { return f_libOK; }
    // The load's result: 0, kelLibNotFound or kelLibMissingExport.
    int lastError() const noexcept { return f_lastError; }
    const kelSpeexCalls& calls() const noexcept { return f_lib.calls(); }
    const kelSpeexBinding& binding() const noexcept { return f_lib; }

private:
    kelSpeexBinding f_lib;
    int f_lastError = 0;
    bool f_libOK = false;
};

class kelSpeexCoder : public kelObject
{
public:
    // `lib` is not owned and must outlive the coder; null or not loaded
    // leaves the coder unusable (open false, every call neutral).
    kelSpeexCoder(kelSpeexLib* lib, int mode) noexcept;
    ~kelSpeexCoder() override;

    // Creates the codec state when not active. True when active afterwards.
    bool open();
    void close();
    bool active() const noexcept { return f_state != nullptr; }
    int mode() const noexcept { return f_mode; }
    // Closes the coder first.
    void setMode(int mode);
    // Samples per frame and the codec's rate; 0 while closed.
    int frameSize();
    int samplingRate();
    // The library's mode record; null without a library or for a bad mode.
    const SpeexMode* modeInfo() const noexcept;

    kelString _classID() const override { return u"kelSpeexCoder"; }

protected:
    // The virtual operations, in the system's slot order.
    // A control request to the codec state; the library's result (-1 when
    // closed).
    virtual int controlRead(int request, void* value) = 0;
    virtual int controlWrite(int request, void* value) = 0;
    virtual void afterOpen() {}
    virtual void beforeClose() {}
    virtual void* createState(const SpeexMode* mode) = 0;
    // Applies settings after the state and bit buffer exist. False fails
    // the open.
    virtual bool afterStateCreated() { return true; }
    virtual void destroyState(void* state) = 0;
    virtual int readFrameSize();
    virtual int readSamplingRate();

    void beforeDestruction() override;
    const kelSpeexCalls& calls() const noexcept;
    // The output buffer, grown to at least `size` bytes; null when memory is
    // short.
    uint8_t* outBuffer(size_t size) noexcept;

    kelSpeexLib* f_lib;
    int f_mode;
    void* f_state = nullptr;
    SpeexBits f_bits{};
    int f_frameSize = 0;
    std::vector<uint8_t> f_outBuf; // f_outBufSize is its size()

private:
    void closeLocked();
};

// Called with the samples the block stands for since the previous block,
// the block and the frames in it.
using kelSpeexEncodedEvent =
    std::function<void(intptr_t sampleDelta, const uint8_t* data, size_t size, int frames)>;
// Called with one decoded frame of 16-bit samples (size in bytes).
using kelSpeexDecodedEvent = std::function<void(const int16_t* samples, size_t size)>;

class kelSpeexEncoder : public kelSpeexCoder
{
public:
    kelSpeexEncoder(kelSpeexLib* lib, int mode) noexcept;
    ~kelSpeexEncoder() override;

    // Encodes `size` bytes of 16-bit mono samples: a pending partial frame
    // is completed first, then every whole frame, and the rest waits for the
    // next call. Returns `size`; 0 when closed; -1 when the lock could not be
    // had within 1000 ms.
    intptr_t encode_int(const int16_t* samples, intptr_t size);
    // A preprocessor (not owned; null to drop it) that cleans each frame
    // before it is encoded and whose voice detection, when on, decides
    // whether the frame is voice. It is opened when the encoder opens.
    void assignDSP(kelSpeexDSP* dsp, bool aec);

    int quality();
    void setQuality(int value);
    bool vbr();
    void setVbr(bool value);
    float vbrQuality();
    void setVbrQuality(float value);
    int bitrate();
    void setBitrate(int value);
    int abr();
    void setAbr(int value);
    int complexity();
    void setComplexity(int value);
    // Collects up to 5 frames (at most 1100 bytes) into one block.
    bool op4RTP() const noexcept { return f_op4RTP; }
    void setOp4RTP(bool value);

    void setOnDataAvailable(kelSpeexEncodedEvent handler) { f_onData = std::move(handler); }

    kelString _classID() const override { return u"kelSpeexEncoder"; }

protected:
    int controlRead(int request, void* value) override;
    int controlWrite(int request, void* value) override;
    void* createState(const SpeexMode* mode) override;
    bool afterStateCreated() override;
    void destroyState(void* state) override;
    void beforeClose() override;
    // Encodes one frame (frameSize samples) after the voice hang-over: the
    // 21 frames after speech ends still count as voice; later silent frames
    // are dropped unless VBR is on.
    virtual void encodeFrame(int16_t* frame, bool voice);
    // One block of encoded bytes (see kelSpeexEncodedEvent). Base: the
    // handler.
    virtual void dataAvailable(intptr_t sampleDelta, const uint8_t* data, size_t size, int frames);

private:
    void setIntProperty(int& field, int request, int value, intptr_t timeout);
    int getIntProperty(int field, int request);
    void processFrame(int16_t* frame);
    void flushBits(int frames);

    int f_bitrate = 0;
    int f_abr = 0;
    intptr_t f_sampleDelta = 0;
    int f_complexity = 0; // 0: the library's own
    int f_quality = 7;
    bool f_vbr = false;
    float f_vbrQuality = 5.0f;
    bool f_vad_prev = false;
    int f_vad_cooldown = 0;
    bool f_op4RTP = false;
    int f_op4RTP_framesCollected = 0;
    std::vector<int16_t> f_subBuf;
    size_t f_subBufPos = 0;
    std::vector<int16_t> f_frame; // a whole frame copied for encoding
    kelSpeexDSP* f_dsp = nullptr;
    bool f_aec = false;
    kelSpeexEncodedEvent f_onData;
};

class kelSpeexDecoder : public kelSpeexCoder
{
public:
    kelSpeexDecoder(kelSpeexLib* lib, int mode) noexcept;
    ~kelSpeexDecoder() override;

    // Decodes the frames of one block: one data-available call per frame.
    // Returns the bytes of the block the library took (its bits / 8); 0 when
    // closed; -1 when the lock could not be had within 1000 ms.
    intptr_t decode(const void* bitstream, intptr_t size);
    // A control request to the decoder (SPEEX_SET_ENH, SPEEX_GET_LOOKAHEAD,
    // ...); -1 when closed.
    int ctl(int request, void* value);

    void setOnDataAvailable(kelSpeexDecodedEvent handler) { f_onData = std::move(handler); }

    kelString _classID() const override { return u"kelSpeexDecoder"; }

protected:
    int controlRead(int request, void* value) override;
    int controlWrite(int request, void* value) override;
    void* createState(const SpeexMode* mode) override;
    void destroyState(void* state) override;
    // One decoded frame. Base: the handler.
    virtual void dataAvailable(const int16_t* samples, size_t size);

private:
    kelSpeexDecodedEvent f_onData;
};
