#include "streaming/kelIPMpegAnalysis.h"

#include <new>

kelIPMpegFrames::kelIPMpegFrames()
{
    restart();
}

void kelIPMpegFrames::restart()
{
    f_mpegBuf.restart();
    f_mpegParser.reset(new (std::nothrow) kelMpegAudio_layer123(&f_mpegBuf));
}

size_t kelIPMpegFrames::buffered() const noexcept
{
    const intptr_t left = f_mpegBuf.bytesLeft();
    return f_mpegBuf.waiting() + static_cast<size_t>(left > 0 ? left : 0);
}

kelIPMpegFrames::Result kelIPMpegFrames::write(const uint8_t* data, size_t len, bool panicOnSmallBuf,
                                               const kelIPMpegFrameOut& out)
{
    Result r;
    if (!f_mpegParser) return r;
    if (len > 0) f_mpegBuf.write(data, len);
    for (;;) {
        intptr_t foundAt = 0;
        intptr_t skipped = 0;
        intptr_t frameSize = 0;
        const int32_t result =
            f_mpegParser->nextFrame(f_mpegFHdr, foundAt, skipped, f_mpegFrame, frameSize, panicOnSmallBuf);
        if (skipped > 0) r.skipped += skipped;
        // Every frame consumes its bytes, so the loop ends with the data.
        if (result != kelMpegFrameFound || frameSize <= 0) break;
        ++r.frames;
        r.frameBytes += frameSize;
        if (out)
            out(f_mpegFrame, static_cast<size_t>(frameSize), f_mpegParser->mpegSamplesPerFrame(),
                f_mpegParser->mpegSamplingRate());
    }
    return r;
}

void kelIPMpegAnalysis::reset()
{
    f_mpegAnalyze = false;
    f_gaveUp = false;
    f_mpegFS_SOratio = 0;
    f_mpegFS_SOcount = 0;
    f_frames.restart();
}

bool kelIPMpegAnalysis::write(const uint8_t* data, size_t len, const kelIPMpegFrameOut& out)
{
    if (!f_mpegAnalyze) return false;
    const kelIPMpegFrames::Result r = f_frames.write(data, len, true, out);
    intptr_t now = 0;
    if (r.frames == 0 && r.skipped > 0)
        now = 2 * kRatioLimit + 1; // searched through and found nothing
    else if (r.skipped > 0 && r.frameBytes > 0)
        now = static_cast<intptr_t>(r.skipped * 100 / r.frameBytes);
    f_mpegFS_SOratio = (f_mpegFS_SOratio + now) / 2;
    if (++f_mpegFS_SOcount > kCheckWrites) {
        f_mpegFS_SOcount = 0;
        if (f_mpegFS_SOratio > kRatioLimit) {
            // Not MPEG audio: what waits is garbage, the rest goes as is.
            f_mpegAnalyze = false;
            f_gaveUp = true;
            f_frames.restart();
        }
    }
    // The write that ended the analysis goes out as it is too.
    return f_mpegAnalyze;
}

void kelIPMpegAnalysis::flush(const kelIPMpegFrameOut& out)
{
    // Without the look-ahead wait the finder gives every frame whose bytes
    // are all there; a cut-off last frame stays behind.
    if (f_mpegAnalyze) (void)f_frames.write(nullptr, 0, false, out);
}
