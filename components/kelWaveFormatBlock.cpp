#include "components/kelWaveFormatBlock.h"

#include <algorithm>
#include <cstring>

namespace {

// Reads the library name field: at most its size less the terminator, and
// never past the block.
std::string readLibraryName(const uint8_t* block, size_t len)
{
    if (len <= kelCodecBlockLibraryOffset) return {};
    const size_t room = std::min(len - kelCodecBlockLibraryOffset, kelCodecBlockLibraryMaxChars);
    const char* name = reinterpret_cast<const char*>(block + kelCodecBlockLibraryOffset);
    const void* end = std::memchr(name, 0, room);
    return std::string(name, end ? static_cast<const char*>(end) - name : room);
}
} // namespace

bool kelReadWaveFormatBlock(const void* data, size_t len, kelWaveFormatBlockContent& out)
{
    if (!data || len < kelWaveFormatBlockSize) return false;
    const auto* block = static_cast<const uint8_t*>(data);
    kelWaveFormatBlockContent content;
    std::memcpy(&content.format, block, sizeof content.format);
    if (len >= kelCodecFormatBlockSize) {
        int32_t mode = 0;
        std::memcpy(&mode, block + kelCodecBlockDriverModeOffset, sizeof mode);
        if (mode != 0) {
            std::string name = readLibraryName(block, len);
            if (kelIsAcmCodecDriverMode(mode) && (name.empty() || kelIsBareLibraryName(name))) {
                content.hasDriver = true;
                content.driverMode = static_cast<kelAcmCodecDriverMode>(mode);
                content.driverLibrary = std::move(name);
            } else {
                content.driverRefused = true;
            }
        }
    }
    out = std::move(content);
    return true;
}

bool kelWaveFormatFitsRecord(const kelWaveFormat& format) noexcept
{
    const kelPCMFormat& pcm = format.formatOriginal;
    return pcm.pcmSamplesPerSecond != 0 && pcm.pcmSamplesPerSecond <= UINT32_MAX &&
           pcm.pcmBitsPerSample != 0 && pcm.pcmBitsPerSample <= UINT16_MAX && pcm.pcmNumChannels != 0 &&
           pcm.pcmNumChannels <= UINT16_MAX && format.formatChannelMask <= UINT32_MAX;
}

bool kelIsBareLibraryName(std::string_view name) noexcept
{
    if (name.empty() || name == "." || name == "..") return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return c == '/' || c == '\\' || c == ':' || u < 0x20 || u == 0x7F;
    });
}

uint32_t kelWriteWaveFormatBlock(const kelWaveFormat& format, std::vector<uint8_t>& out)
{
    out.assign(kelWaveFormatBlockSize, 0);
    std::memcpy(out.data(), &format, sizeof format);
    return static_cast<uint32_t>(out.size());
}

uint32_t kelWriteCodecFormatBlock(const kelWaveFormat& format, kelAcmCodecDriverMode driverMode,
                                  std::string_view driverLibrary, std::vector<uint8_t>& out)
{
    out.assign(kelCodecFormatBlockSize, 0);
    std::memcpy(out.data(), &format, sizeof format);
    const int32_t mode = driverMode;
    std::memcpy(out.data() + kelCodecBlockDriverModeOffset, &mode, sizeof mode);
    const size_t chars = std::min(driverLibrary.size(), kelCodecBlockLibraryMaxChars);
    std::memcpy(out.data() + kelCodecBlockLibraryOffset, driverLibrary.data(), chars);
    return static_cast<uint32_t>(out.size());
}
