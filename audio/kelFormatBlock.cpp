#include "audio/kelFormatBlock.h"

#include "core/kelMemUtils.h"

#include <cstring>
#include <utility>

kelFormatBlock::~kelFormatBlock()
{
    reset();
}

kelFormatBlock::kelFormatBlock(kelFormatBlock&& other) noexcept
    : f_data(std::exchange(other.f_data, nullptr)), f_size(std::exchange(other.f_size, 0))
{}

kelFormatBlock& kelFormatBlock::operator=(kelFormatBlock&& other) noexcept
{
    if (this != &other) {
        reset();
        f_data = std::exchange(other.f_data, nullptr);
        f_size = std::exchange(other.f_size, 0);
    }
    return *this;
}

WAVEFORMATEX* kelFormatBlock::format() noexcept
{
    return f_size >= sizeof(WAVEFORMATEX) ? reinterpret_cast<WAVEFORMATEX*>(f_data) : nullptr;
}

const WAVEFORMATEX* kelFormatBlock::format() const noexcept
{
    return f_size >= sizeof(WAVEFORMATEX) ? reinterpret_cast<const WAVEFORMATEX*>(f_data) : nullptr;
}

WAVEFORMATEXTENSIBLE* kelFormatBlock::formatExt() noexcept
{
    return f_size >= sizeof(WAVEFORMATEXTENSIBLE) ? reinterpret_cast<WAVEFORMATEXTENSIBLE*>(f_data) : nullptr;
}

const WAVEFORMATEXTENSIBLE* kelFormatBlock::formatExt() const noexcept
{
    return f_size >= sizeof(WAVEFORMATEXTENSIBLE) ? reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f_data)
                                                  : nullptr;
}

bool kelFormatBlock::resize(size_t size) noexcept
{
    if (size == 0) {
        reset();
        return true;
    }
    if (size == f_size) return true;
    void* grown = reallocMem(f_data, size);
    if (grown == nullptr) return false;
    f_data = static_cast<uint8_t*>(grown);
    if (size > f_size) std::memset(f_data + f_size, 0, size - f_size);
    f_size = size;
    return true;
}

void kelFormatBlock::reset() noexcept
{
    freeMem(f_data);
    f_data = nullptr;
    f_size = 0;
}
