#pragma once
// Golden wave format records: the "fmt " chunk bodies of the WAV files in
// tests/vectors/audio (written by sox, see make-vectors.sh there), and
// helpers to build PCM buffers of little-endian samples. For test programs
// only (KEL_TEST_VECTORS comes from kel_test).

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The body of the file's "fmt " chunk; empty when the file or the chunk is
// missing.
inline std::string kelTestFmtChunk(const std::string& name)
{
    std::ifstream in(std::string(KEL_TEST_VECTORS) + "/audio/" + name, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0 || file.compare(8, 4, "WAVE") != 0) return {};
    for (size_t pos = 12; pos + 8 <= file.size();) {
        uint32_t size = 0;
        std::memcpy(&size, file.data() + pos + 4, 4);
        if (file.compare(pos, 4, "fmt ") == 0) return file.substr(pos + 8, size);
        pos += 8 + size + (size & 1);
    }
    return {};
}

// The bytes of a record, for comparing with a chunk body.
template <typename Record> std::string kelTestRecordBytes(const Record* record, size_t size = sizeof(Record))
{
    return record == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(record), size);
}

// Samples as little-endian bytes of `bytes` each (1 .. 4), and back (signed).
inline std::vector<uint8_t> kelTestPackSamples(const std::vector<int64_t>& values, int bytes)
{
    std::vector<uint8_t> out;
    for (int64_t v : values)
        for (int i = 0; i < bytes; ++i)
            out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
    return out;
}

inline std::vector<int64_t> kelTestUnpackSamples(const std::vector<uint8_t>& data, int bytes)
{
    std::vector<int64_t> out;
    for (size_t pos = 0; pos + bytes <= data.size(); pos += bytes) {
        uint64_t u = 0;
        for (int i = 0; i < bytes; ++i)
            u |= uint64_t{data[pos + i]} << (8 * i);
        const int shift = 64 - 8 * bytes;
        out.push_back(static_cast<int64_t>(u << shift) >> shift);
    }
    return out;
}
