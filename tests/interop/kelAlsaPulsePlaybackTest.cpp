// The wave layer's ALSA back end playing in real time to a sound server:
// the mapper goes, through ALSA's pulse plugin, to a null sink of a server
// the test runs itself, and that sink's monitor, recorded by parec, must hold
// exactly the signal that was played.

#include "platform/kelAlsaWave.h"
#include "platform/kelMonotonic.h"
#include "platform/kelWaveApi.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestPulseServer.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestWave.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#if defined(KEL_TSAN)
// libpulse, which ALSA's pulse plugin loads into this process, is not built
// with ThreadSanitizer: the hand-offs between its own mainloop thread and
// the callers of the plugin are invisible to it and show as races inside
// libpulse. Only reports with a libpulse frame are left out.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libpulse\n";
}
#endif

namespace {

constexpr size_t frameBytes = 4;    // 16-bit stereo
constexpr size_t chunkFrames = 960; // 20 ms at 48 kHz
constexpr size_t chunkCount = 150;  // 3 s
// Buffers in circulation: 200 ms. A sink that cannot rewind takes its data
// ahead by its latency; with only 80 ms in circulation a loaded machine now
// and then let it run dry, and the recording had a gap.
constexpr size_t headerCount = 10;
constexpr uint64_t signalUs = chunkCount * 20000;

// Three seconds of a pseudo-random signal, different on each channel, whose
// first frame is not silence: it can be found in a recording at exactly one
// place, and any sample pulse changed, dropped or repeated shows.
std::vector<uint8_t> knownSignal()
{
    std::vector<uint8_t> signal(chunkCount * chunkFrames * frameBytes);
    uint32_t state = 0x12345678u;
    for (size_t i = 0; i < signal.size(); i += 2) {
        state = state * 1664525u + 1013904223u;
        const uint16_t sample = uint16_t(state >> 16);
        signal[i] = uint8_t(sample);
        signal[i + 1] = uint8_t(sample >> 8);
    }
    signal[0] = signal[1] = 0x40;
    return signal;
}

// Plays `signal` through the mapper in 20 ms buffers, each refilled with the
// next chunk from inside its own completion, and tells how long it took
// from the first write to the last completion.
class ChunkedPlayer
{
public:
    explicit ChunkedPlayer(const std::vector<uint8_t>& signal)
        : f_signal(signal), f_wave(false, headerCount, chunkFrames * frameBytes)
    {
        f_wave.onDone = [this](kelTestWaveHarness&, size_t header) { refill(header); };
    }

    MMRESULT start()
    {
        if (MMRESULT r = f_wave.open(kelTestPcmFormat(), WAVE_MAPPER); r != 0) return r;
        f_firstWriteUs = kelMonotonicUs();
        for (size_t header = 0; header < headerCount; ++header) {
            std::lock_guard lock(f_mutex);
            loadNext(header);
            if (MMRESULT r = f_wave.prepare(header, false); r != 0) return r;
            if (MMRESULT r = f_wave.queue(header); r != 0) return r;
        }
        return 0;
    }

    bool waitDone(uint64_t timeoutMs)
    {
        return kelTestWaitUntil([&] { return f_lastDoneUs.load() != 0; }, timeoutMs);
    }
    uint64_t playedUs() const { return f_lastDoneUs.load() - f_firstWriteUs; }
    MMRESULT close() { return f_wave.close(); }
    MMRESULT queueFailure() const { return f_queueFailure.load(); }

private:
    // The device's thread: the header just came back.
    void refill(size_t header)
    {
        if (f_wave.doneCount() == chunkCount) f_lastDoneUs = kelMonotonicUs();
        std::lock_guard lock(f_mutex); // keeps the chunks in queue order
        if (f_next == chunkCount) return;
        loadNext(header);
        if (MMRESULT r = f_wave.queue(header); r != 0) f_queueFailure = r;
    }

    void loadNext(size_t header)
    {
        const size_t bytes = chunkFrames * frameBytes;
        std::memcpy(f_wave.data(header).data(), f_signal.data() + f_next * bytes, bytes);
        ++f_next;
    }

    const std::vector<uint8_t>& f_signal;
    kelTestWaveHarness f_wave;
    std::mutex f_mutex;
    size_t f_next = 0;
    uint64_t f_firstWriteUs = 0;
    std::atomic<uint64_t> f_lastDoneUs{0};
    std::atomic<MMRESULT> f_queueFailure{0};
};

size_t firstSound(const std::string& recording)
{
    for (size_t at = 0; at + frameBytes <= recording.size(); at += frameBytes) {
        if (std::any_of(recording.begin() + ptrdiff_t(at), recording.begin() + ptrdiff_t(at + frameBytes),
                        [](char c) { return c != 0; }))
            return at;
    }
    return std::string::npos;
}

bool silent(const std::string& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return c == 0; });
}

// Where the recording first departs from the signal, and whether it was a
// stretch of silence after which the signal goes on (an underrun) or
// samples that changed.
std::string describeDifference(const std::string& recording, size_t start, const std::string& played)
{
    size_t at = 0;
    while (at < played.size() && start + at < recording.size() && recording[start + at] == played[at])
        ++at;
    at -= at % frameBytes;
    size_t zeros = start + at;
    while (zeros < recording.size() && recording[zeros] == 0)
        ++zeros;
    const size_t gap = (zeros - start - at) / frameBytes * frameBytes;
    const std::string rest = played.substr(at, std::min<size_t>(64, played.size() - at));
    const bool resumes = recording.compare(start + at + gap, rest.size(), rest) == 0;
    return "first difference at frame " + std::to_string(at / frameBytes) + " of " +
           std::to_string(played.size() / frameBytes) + ": " + std::to_string(gap / frameBytes) +
           " frames of silence, " +
           (resumes ? "then the signal goes on (an underrun)" : "then other samples");
}

TEST(AlsaPulsePlayback, MapperPlaysInRealTimeAndTheMonitorHoldsEverySample)
{
    if (!kelAlsaAvailable()) {
        GTEST_SKIP() << "built without ALSA";
    }
    if (const std::string missing = kelTestPulseServer::missing(); !missing.empty()) {
        GTEST_SKIP() << "needs pulseaudio, pulseaudio-utils and libasound2-plugins; missing: " << missing;
    }
    kelTestPulseServer server;
    std::string why;
    ASSERT_TRUE(server.start(why)) << why;

    // The monitor is silent until something plays, so the recording's
    // growing shows parec is connected before the signal starts.
    const std::string recordingPath = server.dir() + "/monitor.raw";
    kelTestProcess parec;
    ASSERT_TRUE(parec.start({"parec", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                             "--latency-msec=20", "-d", kelTestPulseServer::monitor, recordingPath},
                            server.dir() + "/parec.log"));
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            std::error_code ec;
            const auto size = std::filesystem::file_size(recordingPath, ec);
            return parec.exited() || (!ec && size > 0);
        },
        20000))
        << parec.log();
    ASSERT_FALSE(parec.exited()) << parec.log();

    const std::vector<uint8_t> signal = knownSignal();
    ChunkedPlayer player(signal);
    ASSERT_EQ(player.start(), 0u) << server.log();
    ASSERT_TRUE(player.waitDone(signalUs / 1000 + 30000)) << server.log();
    EXPECT_EQ(player.queueFailure(), 0u);
    EXPECT_GE(player.playedUs(), signalUs * 9 / 10);
    ASSERT_EQ(player.close(), 0u);

    // The whole signal reaches the recording once the monitor's latency has
    // passed; what precedes it must be silence, and so must what follows.
    const std::string played(signal.begin(), signal.end());
    std::string recording;
    size_t start = std::string::npos;
    const bool complete = kelTestWaitUntil(
        [&] {
            recording = kelTestProcess::readFile(recordingPath);
            start = firstSound(recording);
            return start != std::string::npos &&
                   recording.size() >= start + played.size() + 48000 / 10 * frameBytes;
        },
        20000);
    parec.stop();
    ASSERT_TRUE(complete) << recording.size() << " bytes recorded, sound from " << start;

    EXPECT_TRUE(silent(recording.substr(0, start)));
    const std::string heard = recording.substr(start, played.size());
    const auto mismatch = std::mismatch(heard.begin(), heard.end(), played.begin());
    EXPECT_TRUE(mismatch.first == heard.end()) << describeDifference(recording, start, played);
    EXPECT_TRUE(silent(recording.substr(start + played.size())));
}

} // namespace
