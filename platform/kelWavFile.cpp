#include "platform/kelWavFile.h"

#include <cstring>

namespace {

uint32_t le32(const uint8_t* p) noexcept
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void put32(uint8_t* p, uint32_t v) noexcept
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

size_t fmtSize(const WAVEFORMATEX& format) noexcept
{
    return format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
}

} // namespace

bool kelWavParse(const uint8_t* image, size_t size, kelWavLayout& layout) noexcept
{
    if (image == nullptr || size < 12 || std::memcmp(image, "RIFF", 4) != 0 ||
        std::memcmp(image + 8, "WAVE", 4) != 0) {
        return false;
    }
    bool haveFormat = false;
    size_t at = 12;
    while (size - at >= 8) {
        const uint8_t* chunk = image + at;
        const uint64_t length = le32(chunk + 4);
        const size_t body = at + 8;
        const size_t avail = size - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (length < 16 || avail < 16) {
                return false;
            }
            layout.format = {};
            std::memcpy(&layout.format, image + body, length >= 18 && avail >= 18 ? 18 : 16);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                return false;
            }
            layout.dataOffset = body;
            layout.dataSize = length < avail ? size_t(length) : avail;
            return true;
        }
        const uint64_t next = body + length + (length & 1);
        if (next > size) {
            return false;
        }
        at = size_t(next);
    }
    return false;
}

bool kelWavWriteHeader(std::FILE* file, const WAVEFORMATEX& format) noexcept
{
    return kelWavFinish(file, format, 0);
}

bool kelWavFinish(std::FILE* file, const WAVEFORMATEX& format, uint64_t dataSize) noexcept
{
    const size_t fmt = fmtSize(format);
    uint8_t header[12 + 8 + sizeof(WAVEFORMATEXTENSIBLE) + 8] = {};
    const uint32_t data = dataSize > 0xFFFFFFF0u ? 0xFFFFFFF0u : uint32_t(dataSize);
    std::memcpy(header, "RIFF", 4);
    put32(header + 4, uint32_t(4 + 8 + fmt + 8) + data);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(header + 16, uint32_t(fmt));
    std::memcpy(header + 20, &format, fmt);
    if (fmt == sizeof(WAVEFORMATEX)) {
        header[20 + 16] = header[20 + 17] = 0; // cbSize 0: no extra bytes follow
    }
    std::memcpy(header + 20 + fmt, "data", 4);
    put32(header + 24 + fmt, data);
    const size_t total = 28 + fmt;
    return std::fseek(file, 0, SEEK_SET) == 0 && std::fwrite(header, 1, total, file) == total &&
           std::fseek(file, 0, SEEK_END) == 0;
}
