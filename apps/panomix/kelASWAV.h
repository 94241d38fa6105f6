#pragma once
// A WAV file source: its file stream (kelRiffStream, looping) is read in
// passive use, one chunk per mixed cycle, on the output's completion
// thread. The file's bytes are taken as they are: it sounds right for a
// 16-bit mono PCM file at the program's sampling rate.

#include "apps/panomix/kelAudioSource.h"
#include "core/kelCreate.h"

#include <cstdint>
#include <vector>

class kelMsAcm;
class kelRiffStream;

class kelASWAV final : public kelAudioSource
{
public:
    // `acm` converts compressed files; without one they report status -3
    // and stay silent.
    explicit kelASWAV(const kelString& param, kelMsAcm* acm = nullptr);
    ~kelASWAV() override;

    kelRiffStream* riff() const noexcept { return f_riff.get(); }

protected:
    // Sizes the buffer the next chunk is read into.
    void rateChanged(uintptr_t) override { f_next.assign(f_chunkSizeInSamples, 0); }
    // The file stream is open (a passive open does not make it so).
    bool getActive() override;
    // Opens the stream passively and reads its first chunk at once, so the
    // file sounds from the first mixed cycle on, in step with the other
    // sources, rather than one chunk behind them.
    void doStart() override;
    void doStop() override;
    // The next chunk of the file; a file that yields no whole chunk keeps
    // the previous one.
    void doPrepareNextChunk() override;

private:
    kelOwned<kelRiffStream> f_riff;
    bool f_passive = false;
    std::vector<int16_t> f_next;
};
