// kelRiffStream's MPEG audio path: taking a file of MPEG audio frames for
// reading, and delivering its frames by the sample budget of each chunk.

#include "audio/kelRiffStreamMpeg.h"

#include "audio/kelMsAcmStreamDevice.h"
#include "audio/kelRiffStream.h"
#include "audio/kelWaveFormatRoutines.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// 00000050-0000-0010-8000-00aa00389b71: MPEG audio (Layers I and II, and
// what the device passes on for Layer III too).
constexpr GUID kMpegSubFormat = {
    0x00000050, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

} // namespace

bool kelRiffMpegState::fetch(bool loop)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        intptr_t foundAt = 0;
        intptr_t skipped = 0;
        intptr_t size = 0;
        if (f_mpeg.nextFrame(f_mpegHdr, foundAt, skipped, f_mpegBuf.data(), size) == kelMpegFrameFound) {
            f_mpegBufInUse = uintptr_t(size);
            if (f_firstPass) f_firstPassBytes += uint64_t(size);
            return true;
        }
        f_mpegBufInUse = 0;
        // The whole file has been seen once: its frame bytes are known.
        f_firstPass = false;
        if (!loop) break;
        f_mpegReader.restart();
    }
    return false;
}

bool kelRiffStream::assignMpeg()
{
    std::unique_ptr<kelRiffMpegState> state(new (std::nothrow) kelRiffMpegState(f_fileName));
    if (!state || !state->f_mpegReader.isOpen()) return false;
    // A file that is no MPEG audio is not searched to its end.
    state->f_mpeg.setResynchLimit(kelRiffMpegState::kFirstFrameSearch);
    if (!state->fetch(false)) return false;
    state->f_mpeg.setResynchLimit(0);

    const auto rate = uint32_t(state->f_mpeg.mpegSamplingRate());
    const auto channels = uint16_t(state->f_mpeg.mpegChannels());
    WAVEFORMATEX pcm{};
    fillPCMFormat(&pcm, rate, 16, channels);
    // Both sides are the PCM the frames stand for, which times the chunks.
    if (!doSetFormat(true, &pcm, sizeof pcm) || !doSetFormat(false, &pcm, sizeof pcm) || chunkSize() == 0)
        return false;
    kelFormatBlock record;
    if (!fillFormatExt(record, kMpegSubFormat, rate, 16, 16, channels, kelChannelMaskDefault)) return false;
    f_srcFormatExt = std::move(record);

    const uintptr_t perSecond = chunkPerSecond() != 0 ? chunkPerSecond() : defaultChunksPerSecond.load();
    state->f_mpegSamplesPerChunk = rate / std::max<uintptr_t>(perSecond, 1);
    f_streamSize.store(state->f_mpegBufInUse);
    f_mpegState = std::move(state);
    f_fileType.store(kelRiffFileMpeg);
    return true;
}

bool kelRiffStream::restartMpeg()
{
    kelRiffMpegState& m = *f_mpegState;
    m.f_mpegReader.restart();
    if (m.f_firstPass) m.f_firstPassBytes = 0;
    m.f_mpegSamplesWritten = 0;
    m.f_mpegSamplesNeeded = 0;
    return m.fetch(false);
}

uintptr_t kelRiffStream::mpegFrameSize() const noexcept
{
    return f_mpegState ? uintptr_t(std::max<intptr_t>(f_mpegState->f_mpeg.mpegSamplesPerFrame(), 0)) : 0;
}

bool kelRiffStream::nextMpegFrame()
{
    kelRiffMpegState& m = *f_mpegState;
    const bool got = m.fetch(f_loop.load());
    f_streamSize.store(std::max(f_streamSize.load(), uintptr_t(m.f_firstPassBytes)));
    if (!got) {
        // Past the last frame nothing is delivered again.
        f_readingIsDone.store(true);
        f_streamIsDone.store(true);
    }
    return got;
}

void kelRiffStream::readMpegCycle()
{
    kelRiffMpegState& m = *f_mpegState;
    if (m.f_mpegBufInUse == 0) {
        f_streamIsDone.store(true);
        return;
    }
    const auto samplesPerFrame = uint64_t(std::max<intptr_t>(m.f_mpeg.mpegSamplesPerFrame(), 1));
    m.f_mpegSamplesNeeded += m.f_mpegSamplesPerChunk;
    while (m.f_mpegSamplesWritten < m.f_mpegSamplesNeeded && !stopAsked()) {
        (void)deliverChunk(m.f_mpegBuf.data(), m.f_mpegBufInUse, nullptr);
        m.f_mpegSamplesWritten += samplesPerFrame;
        if (!nextMpegFrame()) break;
    }
    if (m.f_mpegSamplesWritten >= m.f_mpegSamplesNeeded) {
        m.f_mpegSamplesWritten -= m.f_mpegSamplesNeeded;
        m.f_mpegSamplesNeeded = 0;
    }
}

uintptr_t kelRiffStream::readMpegFrame(void* buf, uintptr_t maxSize)
{
    kelRiffMpegState& m = *f_mpegState;
    if (m.f_mpegBufInUse == 0) return 0;
    const uintptr_t n = std::min(maxSize, m.f_mpegBufInUse);
    std::memcpy(buf, m.f_mpegBuf.data(), n);
    (void)nextMpegFrame();
    return n;
}
