#pragma once
// RTP payloads made from data our coders did not make: the ADPCM reference
// blocks of tests/vectors/codecs (make_adpcm_vectors.py), the G.722.1
// reference bit streams cut into frames, GSM WAV49 units from sox, and CELT
// payloads of several streams laid out here by hand. For the tests that
// hold our receiver and transmitter against independent data. Header only;
// used from the test's own thread.

#include "tests/support/kelTestCodecs.h"
#include "tests/support/kelTestG7221.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestRiff.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using kelTestBytes = std::vector<uint8_t>;

inline kelTestBytes kelTestBytesOf(const std::string& s)
{
    return kelTestBytes(s.begin(), s.end());
}

// `bytes` cut into pieces of `size` (the last one shorter when it must).
inline std::vector<kelTestBytes> kelTestPieces(const std::string& bytes, size_t size)
{
    std::vector<kelTestBytes> out;
    for (size_t at = 0; at < bytes.size(); at += size)
        out.push_back(kelTestBytesOf(bytes.substr(at, size)));
    return out;
}

// --- ADPCM ---------------------------------------------------------------------

// The sample counts of the blocks make_adpcm_vectors.py codes, in order.
inline const std::vector<size_t> kelTestADPCMBlockSamples = {160, 161, 7, 2, 320, 350};

// The blocks of adpcm_<kind>.bin (kind "dvi4", "vdvi", "ima4"): each is
// stored behind its size as 16-bit little-endian. Empty when the file is
// missing or cut.
inline std::vector<kelTestBytes> kelTestADPCMBlocks(const std::string& kind)
{
    const std::string file = kelCodecVector("adpcm_" + kind + ".bin");
    std::vector<kelTestBytes> blocks;
    for (size_t at = 0; at + 2 <= file.size();) {
        const size_t size = uint8_t(file[at]) | size_t(uint8_t(file[at + 1])) << 8;
        if (at + 2 + size > file.size()) return {};
        blocks.push_back(kelTestBytesOf(file.substr(at + 2, size)));
        at += 2 + size;
    }
    return blocks;
}

// The samples of the vector's input that each block codes: a block of an
// odd count leaves its last sample uncoded (the next block starts after
// it), so each write holds the even part of its block.
inline std::vector<kelTestBytes> kelTestADPCMInputWrites()
{
    const std::string input = kelCodecVector("adpcm_input.raw");
    std::vector<kelTestBytes> writes;
    size_t at = 0;
    for (size_t samples : kelTestADPCMBlockSamples) {
        writes.push_back(kelTestBytesOf(input.substr(at, samples / 2 * 4)));
        at += samples * 2;
    }
    return writes;
}

// --- G.722.1 -------------------------------------------------------------------

// The SHA-256 of the reference decoding of `name` with the two low bits of
// every sample cleared, as our decoder hands it on (SHA256SUMS.cleared,
// made by make_cleared_sums.py); empty when none.
inline std::string kelTestG7221ClearedDigest(const std::string& name)
{
    std::istringstream sums(kelTestG7221File("SHA256SUMS.cleared"));
    std::string digest, file;
    while (sums >> digest >> file)
        if (file == name) return digest;
    return {};
}

// The frames of the reference bit stream `v` (bitrate / 400 bytes each),
// `perPayload` of them back to back in each payload.
inline std::vector<kelTestBytes> kelTestG7221Payloads(const kelTestG7221Vector& v, size_t perPayload)
{
    return kelTestPieces(kelTestG7221File(v.name() + ".bit"), size_t(v.bitrate / 400) * perPayload);
}

// --- GSM WAV49 through sox -------------------------------------------------------

// What sox makes of 8 kHz mono 16-bit `pcm` (little-endian) as a GSM WAV:
// the file's data chunk (65-byte units of 320 samples), and sox's own
// decoding of that file. Nothing when sox is missing or fails.
struct kelTestSoxGSM
{
    std::string units;
    std::string decoded;
};

inline std::optional<kelTestSoxGSM> kelTestSoxGSM49(const std::string& pcm)
{
    if (!kelTestHaveSox()) return std::nullopt;
    const std::optional<std::string> wav =
        kelTestProcess::filter("sox -t raw -r 8000 -e signed -b 16 -c 1 - -t wav -e gsm-full-rate -", pcm);
    if (!wav) return std::nullopt;
    const std::optional<std::string> units = kelTestFindChunk(*wav, "data");
    const std::optional<std::string> decoded =
        kelTestProcess::filter("sox -t wav - -t raw -e signed -b 16 -", *wav);
    if (!units || !decoded) return std::nullopt;
    return kelTestSoxGSM{*units, *decoded};
}

// --- CELT payloads of several streams ----------------------------------------------

// One payload of `frames[f][s]` (frame f of stream s): the length entries of
// every frame and stream in that order, each as bytes of 255 and a last
// byte below 255 summing to it, then the frames in the same order.
inline kelTestBytes kelTestCeltPayload(const std::vector<std::vector<kelTestBytes>>& frames)
{
    kelTestBytes out;
    for (const auto& streams : frames)
        for (const kelTestBytes& f : streams) {
            size_t left = f.size();
            for (; left >= 255; left -= 255)
                out.push_back(255);
            out.push_back(uint8_t(left));
        }
    for (const auto& streams : frames)
        for (const kelTestBytes& f : streams)
            out.insert(out.end(), f.begin(), f.end());
    return out;
}

// The test CELT library's decoding of `packet` into a frame of `samples`
// samples: sample i is packet[i mod size] * 256 + i, host order.
inline std::string kelTestCeltStandinPCM(const kelTestBytes& packet, size_t samples)
{
    std::string out(samples * 2, '\0');
    for (size_t i = 0; i < samples; ++i) {
        const auto s = static_cast<int16_t>(packet[i % packet.size()] * 256 + int(i));
        std::memcpy(&out[i * 2], &s, 2);
    }
    return out;
}
