#pragma once
// kelmtlWaveRiff: a WAV file as a pipe component, over a kelRiffStream.
//
// As an input (isInput, the default) it reads the file named by fileName and
// hands its chunks to the consumers: paced by its timer in real time,
// otherwise as fast as the device thread goes. Its format record and rate,
// bits and channels follow the file, and the format block it offers (with
// isFormatProvider set) carries the file's format. At the end of the file
// it raises onStreamIsDone and, with autoCloseOnDone (the default), closes.
//
// As an output it writes what it is given into a new WAV file of its format
// record, compressed through a codec of the ACM registry when formatTag is
// not PCM; a provider's format reassigns the file for writing in that
// format. After a provider whose output is already compressed (an encoding
// codec component) it writes the data as it comes, under that provider's
// compressed format.
//
// Threads: as for every wave component (kelmtlInOutWavePipe.h).
// onStreamIsDone runs on the device thread, after every reading cycle once
// the stream is done; the handler must not free the component.

#include "audio/kelRiffStream.h"
#include "components/kelmtlInOutWavePipe.h"

#include <atomic>
#include <functional>
#include <mutex>

class kelmtlWaveRiff;

using kelmtlOnStreamIsDone = std::function<void(kelmtlWaveRiff* sender)>;

class kelmtlWaveRiff : public kelmtlInOutWavePipe
{
public:
    // The close that autoCloseOnDone makes from the device thread waits this
    // long for an open or close of another thread, in ms.
    static constexpr intptr_t kAutoCloseTimeout = 500;

    explicit kelmtlWaveRiff(kelComponent* owner = nullptr);
    ~kelmtlWaveRiff() override;

    kelRiffStream* waveStream() const noexcept;

    bool isInput() const noexcept { return f_isInput.load(); }
    // Only while not active; the device is made again when next needed.
    void setIsInput(bool value);
    kelString fileName() const;
    // Input: the file is taken for reading; on success the rate, bits and
    // channels follow it and formatTag becomes 1. Output: the file is made
    // ready for writing in the format record. An active component closes.
    void setFileName(const kelString& value);
    bool autoCloseOnDone() const noexcept { return f_acod.load(); }
    void setAutoCloseOnDone(bool value) noexcept { f_acod.store(value); }
    void setOnStreamIsDone(kelmtlOnStreamIsDone handler);
    // A temporary file deleted when the stream is done.
    kelString tmpToKill() const;
    void setTmpToKill(const kelString& value);

    void setLoop(bool value) override;

    kelString _classID() const override { return u"kelmtlWaveRiff"; }

protected:
    void resetDefaults() override;
    void createNewDevice() override;
    // Input: ignored. Output: the file is reassigned for writing.
    bool applyDeviceFormat(const kelFormatBlock& format, bool isSrc) override;
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override;
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;

private:
    // The device's end of stream. Device thread.
    void streamDone();
    // Input with status 0: the record and tag follow the file.
    void takeFileFormat();
    // Output: the record and tag the file is written with (the provider's
    // compressed format when there is one). False without a record.
    bool writingFormat(kelFormatBlock& record, uintptr_t& tag) const;

    std::atomic<bool> f_isInput{true};
    kelString f_fileName; // guarded by f_riffGuard
    std::atomic<bool> f_acod{true};
    kelmtlOnStreamIsDone f_onStreamIsDone; // guarded by f_riffGuard
    kelString f_tmpToKill;                 // guarded by f_riffGuard
    kelFormatBlock f_passFormat;           // guarded by f_riffGuard

    mutable std::mutex f_riffGuard;
};
