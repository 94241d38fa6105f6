#pragma once
// The CELT coders: kelLibCELTencoder gathers 16-bit interleaved PCM into
// whole frames and codes each into a packet of the size the bit rate
// gives; kelLibCELTdecoder turns one packet into one frame of PCM. Both go
// through the CELT library, loaded by name (libcelt0.so.2 for an empty
// name) and never linked; without it every call is neutral (open reports
// the load's result, encode 0, decode -1).
//
// All CELT coders of the process serialise on one shared lock (the
// library was not written for concurrent use). The data handler runs on
// the coding thread with that lock held and must not block; its bytes are
// valid during the call.

#include "codecs/kelCeltProc.h"
#include "core/kelObject.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class kelLibCELTcoder;

using kelLibCELTcoderDataAvail = std::function<void(kelLibCELTcoder* sender, const void* data, int len)>;

class kelLibCELTcoder : public kelObject
{
public:
    ~kelLibCELTcoder() override = default;

    // Opens with the current parameters: 0, the library's error, -2 when
    // the shared lock could not be had, or -1 (bad argument) for a rate or
    // frame size of 0, a frame longer than a second, or channels other
    // than 1 and 2. A failed open's error is kept and returned again until
    // the parameters change.
    int open();
    int open(int rate, int frameSize, int channels);
    void close();
    // Passes one request to the library's control call (0 when closed:
    // the library's invalid-state error).
    int IOCTL(int request, int32_t value);
    int IOCTL(int request, void* value);

    bool libOK() const noexcept { return f_libOK; }
    bool active() const noexcept { return f_active; }
    int lastError() const noexcept { return f_lastError; }
    int rate() const noexcept { return f_rate; }
    int frameSize() const noexcept { return f_frameSize2; }
    int channels() const noexcept { return f_channels; }
    // Bytes of one frame of 16-bit PCM.
    int frameSizeBytes() const noexcept { return f_frameSizeBytes; }
    // The text of one of the library's errors (empty without the library).
    std::string errorText(int error) const;

    // Set while the coder is idle.
    void setOnDataAvail(kelLibCELTcoderDataAvail handler) { f_onDataAvail = std::move(handler); }

protected:
    kelLibCELTcoder(int rate, int frameSize, int channels, const std::string& libname);
    // Makes the library state; the library's error code.
    virtual int createState() = 0;
    virtual void destroyState() = 0;
    virtual int control(int request, int32_t value, void* pointer) = 0;
    // After the state was made: the subclass sizes its buffers.
    virtual void afterOpen() {}
    virtual void afterClose() {}
    void fire(const void* data, int len);

    // The lock every CELT coder of the process shares.
    static kelObject& sharedLock();

    kelCeltProc f_proc;
    int f_rate, f_frameSize2, f_channels;
    int f_frameSizeBytes = 0;
    bool f_libOK = false, f_active = false;
    int f_lastError = 0;
    kelLibCELTcoderDataAvail f_onDataAvail;
};

class kelLibCELTencoder : public kelLibCELTcoder
{
public:
    kelLibCELTencoder(int rate, int frameSize, int channels, const std::string& libname = {});
    ~kelLibCELTencoder() override;

    // Codes the whole frames that `pcm` completes. The bytes of input that
    // went into coded frames (0 when it only extended the pending frame).
    int encode(const void* pcm, int len);

    // kbit/s; limited to 12..256 for one channel, 24..512 otherwise.
    int bitrate() const noexcept { return f_bitrate; }
    void setBitrate(int kbps);
    bool bitrateAuto() const noexcept { return f_bitrateAuto; }
    // Bytes of one coded frame.
    int compressedSize() const noexcept { return f_subBufCompressedSize; }

protected:
    int createState() override;
    void destroyState() override;
    int control(int request, int32_t value, void* pointer) override;
    void afterOpen() override;
    void afterClose() override;

private:
    void resizeCompressed();

    std::vector<uint8_t> f_subBufPCM;
    int f_subBufPCMPos = 0;
    std::vector<uint8_t> f_subBufCompressed;
    int f_subBufCompressedSize = 0;
    kelCeltEncoderState* f_enc = nullptr;
    int f_bitrate = 0;
    bool f_bitrateAuto = false;
};

class kelLibCELTdecoder : public kelLibCELTcoder
{
public:
    kelLibCELTdecoder(int rate, int frameSize, int channels, const std::string& libname = {});
    ~kelLibCELTdecoder() override;

    // Decodes one packet (null for a lost one); the library's result, -1
    // when not open.
    int decode(const void* data, int len);

protected:
    int createState() override;
    void destroyState() override;
    int control(int request, int32_t value, void* pointer) override;
    void afterOpen() override;
    void afterClose() override;

private:
    std::vector<int16_t> f_bufPCM;
    kelCeltDecoderState* f_dec = nullptr;
};
