#include "net/protocols/kelICYStream.h"

#include <algorithm>

void kelICYStreamSplitter::reset(uint32_t metaInt) noexcept
{
    f_metaInt = metaInt;
    f_audioOffs = 0;
    f_state = State::Audio;
    f_blockSize = 0;
    f_block.clear();
}

void kelICYStreamSplitter::feed(const uint8_t* data, size_t len, kelICYStreamSink& sink)
{
    if (!data || len == 0) return;
    if (f_metaInt == 0) {
        sink.icyAudio(data, len);
        return;
    }
    while (len > 0) {
        switch (f_state) {
        case State::Audio: {
            const size_t n = std::min<size_t>(len, f_metaInt - f_audioOffs);
            sink.icyAudio(data, n);
            data += n;
            len -= n;
            f_audioOffs += static_cast<uint32_t>(n);
            if (f_audioOffs == f_metaInt) f_state = State::Length;
            break;
        }
        case State::Length:
            f_blockSize = size_t(*data) * 16;
            ++data;
            --len;
            f_audioOffs = 0;
            f_block.clear();
            f_state = f_blockSize == 0 ? State::Audio : State::Block;
            break;
        case State::Block: {
            if (f_block.empty() && len >= f_blockSize) {
                sink.icyMetadata(data, f_blockSize);
                data += f_blockSize;
                len -= f_blockSize;
                f_state = State::Audio;
                break;
            }
            const size_t n = std::min(len, f_blockSize - f_block.size());
            f_block.insert(f_block.end(), data, data + n);
            data += n;
            len -= n;
            if (f_block.size() == f_blockSize) {
                f_state = State::Audio;
                sink.icyMetadata(f_block.data(), f_block.size());
                f_block.clear();
            }
            break;
        }
        }
    }
}
