// The resampler's Speex path measured beside soxr and libsamplerate (run by
// a python3 script through ctypes, numpy for the analysis): 44.1 -> 8 kHz,
// a 1 kHz tone's SNR, the passband to 3.4 kHz and the band that must not
// alias (4.2 - 12 kHz).

#include "tests/support/kelStableTestDir.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestResampler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

namespace {

void writeRaw(const std::string& path, const void* data, size_t bytes)
{
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(data), std::streamsize(bytes));
}

} // namespace

TEST(kelWaveResamplerQualityTest, SpeexPathMeetsTheTelephoneBandBesideSoxrAndLibsamplerate)
{
    if (::access("/usr/bin/python3", X_OK) != 0 ||
        std::system("/usr/bin/python3 -c 'import numpy' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3-numpy not installed (scripts/deps/speex.txt)";
    constexpr uintptr_t kSrc = 44100, kDst = 8000;
    constexpr double kAmplitude = 23170; // -3 dBFS
    const int passband[] = {100, 300, 1000, 2000, 3000, 3400};
    const int stopband[] = {4200, 5000, 6000, 8000, 10000, 12000};
    kelStableTestDir dir("resampler-quality");
    std::string tones;
    for (const int* band : {passband, stopband}) {
        for (size_t k = 0; k < 6; ++k) {
            const int hz = band[k];
            kelTestResamplerRig rig({kSrc, 16, 1}, {kDst, 16, 1}, true);
            ASSERT_TRUE(rig.open());
            if (!rig.device->speexAvailable())
                GTEST_SKIP() << "libspeexdsp1 not installed (scripts/deps/speex.txt)";
            const auto tone = kelTestTone(kSrc, 1, double(kSrc), hz, kAmplitude);
            ASSERT_EQ(rig.write(tone.data(), tone.size() * 2), tone.size() * 2);
            ASSERT_TRUE(rig.device->flush(true));
            ASSERT_TRUE(rig.device->useSpeexDSP());
            const auto out = rig.bytes();
            ASSERT_EQ(out.size(), kDst * 2);
            writeRaw(dir.file("in_" + std::to_string(hz) + ".raw"), tone.data(), tone.size() * 2);
            writeRaw(dir.file("ours_" + std::to_string(hz) + ".raw"), out.data(), out.size());
            tones += " " + std::to_string(hz);
        }
    }
    const std::string command = "/usr/bin/python3 " + std::string(KEL_SOURCE_DIR) +
                                "/tests/interop/kelResamplerQuality.py " + dir.path() +
                                " 44100 8000 23170 1000" + tones;
    const auto report = kelTestProcess::filter(command, "");
    ASSERT_TRUE(report) << command;

    // name -> (snr, level per tone)
    std::map<std::string, std::pair<double, std::map<int, double>>> results;
    std::istringstream lines(*report);
    for (std::string name, what; lines >> name >> what;) {
        if (what == "snr") {
            lines >> results[name].first;
        } else {
            int hz = 0;
            lines >> hz >> results[name].second[hz];
        }
    }
    ASSERT_TRUE(results.count("ours")) << *report;
    // The references pass the same bounds, which shows the measurement itself
    // is sound; ours must pass them too.
    for (const auto& [name, r] : results) {
        EXPECT_GE(r.first, 85.0) << name << " SNR\n" << *report;
        for (int hz : passband)
            EXPECT_NEAR(r.second.at(hz), 0.0, 0.2) << name << " at " << hz << " Hz";
        for (int hz : stopband)
            EXPECT_LE(r.second.at(hz), -80.0) << name << " at " << hz << " Hz";
    }
    EXPECT_EQ(results.size(), 3u) << "soxr or libsamplerate missing (libsoxr0, libsamplerate0):\n" << *report;
}
