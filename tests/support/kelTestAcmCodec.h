#pragma once
// Scaffolding for the codec device tests: a codec made through kelCreate
// that keeps every chunk it delivers, and byte patterns to feed it. Header
// only (it needs kel::audio); used from the test's own thread, the
// deliveries come on the writing thread.

#include "audio/kelMsAcmCodec.h"
#include "core/kelCreate.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class kelTestAcmCodec
{
public:
    kelTestAcmCodec(kelMsAcmDriver* driver, kelAcmCodecDriverMode mode)
        : f_codec(kelCreate<kelMsAcmCodec>(driver, true, 0, false, mode))
    {
        if (!f_codec) return;
        f_codec->setOnDataAvailable([this](kelMsAcmStreamDevice*, void* data, uintptr_t size) {
            std::lock_guard guard(f_mutex);
            f_chunks.emplace_back(static_cast<const char*>(data), size_t(size));
        });
    }

    kelMsAcmCodec* operator->() const noexcept { return f_codec.get(); }
    kelMsAcmCodec* get() const noexcept { return f_codec.get(); }
    explicit operator bool() const noexcept { return f_codec != nullptr; }

    std::vector<std::string> chunks()
    {
        std::lock_guard guard(f_mutex);
        return f_chunks;
    }
    std::string output()
    {
        std::string all;
        for (const auto& c : chunks())
            all += c;
        return all;
    }
    void clearOutput()
    {
        std::lock_guard guard(f_mutex);
        f_chunks.clear();
    }

    // Writes `data` in pieces of `piece` bytes (the last one shorter); true
    // when every write was taken whole.
    bool writeInPieces(const std::string& data, size_t piece)
    {
        bool whole = true;
        for (size_t at = 0; at < data.size(); at += piece) {
            const size_t n = std::min(piece, data.size() - at);
            whole = f_codec->write(data.data() + at, n) == n && whole;
        }
        return whole;
    }

private:
    kelOwned<kelMsAcmCodec> f_codec;
    std::mutex f_mutex;
    std::vector<std::string> f_chunks;
};

// 16-bit little-endian samples of a ramp that wraps, so any lost, doubled or
// reordered byte shows.
inline std::string kelTestPcmRamp(size_t samples, int step = 37)
{
    std::string out(samples * 2, '\0');
    for (size_t i = 0; i < samples; ++i) {
        const auto v = static_cast<int16_t>((int(i) * step) % 30000 - 15000);
        out[2 * i] = static_cast<char>(v & 0xFF);
        out[2 * i + 1] = static_cast<char>((v >> 8) & 0xFF);
    }
    return out;
}
