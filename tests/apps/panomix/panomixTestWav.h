#pragma once
// Writes the 16-bit mono PCM WAV files the panomix tests play as WAV
// sources: a 44-byte header and the samples, little-endian.

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

inline bool panomixWriteMonoWav(const std::string& path, uint32_t rate, const std::vector<int16_t>& samples)
{
    std::string bytes;
    auto u32 = [&bytes](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(char((v >> (8 * i)) & 0xFF));
    };
    auto u16 = [&bytes](uint16_t v) {
        bytes.push_back(char(v & 0xFF));
        bytes.push_back(char(v >> 8));
    };
    const uint32_t data = uint32_t(samples.size() * 2);
    bytes += "RIFF";
    u32(36 + data);
    bytes += "WAVEfmt ";
    u32(16);
    u16(1); // PCM
    u16(1); // mono
    u32(rate);
    u32(rate * 2); // bytes per second
    u16(2);        // block
    u16(16);
    bytes += "data";
    u32(data);
    for (int16_t s : samples)
        u16(uint16_t(s));
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return bool(out);
}
