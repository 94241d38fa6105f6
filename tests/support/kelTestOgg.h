#pragma once
// Reads the packets of one logical Ogg stream (RFC 3533) out of a file's
// bytes, for tests that compare a coder's frames with a reference
// encoder's Ogg output. Pages are checked for their capture pattern and
// bounds only (no CRC check, no multiplexed streams).
//
//   0  "OggS" | 4 version | 5 header type | 6 granule (8) | 14 serial (4)
//   18 sequence (4) | 22 CRC (4) | 26 segment count n | 27 lacing values (n)
//   27 + n  segment data: a packet ends at a lacing value below 255

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline std::optional<std::vector<std::string>> kelTestOggPackets(const std::string& file)
{
    std::vector<std::string> packets;
    std::string current;
    size_t at = 0;
    while (at < file.size()) {
        if (file.size() - at < 27 || file.compare(at, 4, "OggS") != 0) return std::nullopt;
        const size_t segments = uint8_t(file[at + 26]);
        if (file.size() - at < 27 + segments) return std::nullopt;
        size_t data = at + 27 + segments;
        for (size_t s = 0; s < segments; ++s) {
            const size_t lacing = uint8_t(file[at + 27 + s]);
            if (file.size() - data < lacing) return std::nullopt;
            current.append(file, data, lacing);
            data += lacing;
            if (lacing < 255) {
                packets.push_back(std::move(current));
                current.clear();
            }
        }
        at = data;
    }
    return packets;
}
