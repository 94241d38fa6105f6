#pragma once
// A 16-bit mono recording on a wave input device for panomix's live
// sources: a few chunk buffers kept queued, and every recorded chunk
// raised to a handler on the device's completion thread, then queued again.

#include "platform/kelWaveRecords.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

struct kelWaveHandle;

class panomixWaveInput
{
public:
    // Called with one recorded chunk, valid during the call, on the
    // device's completion thread. Must not block or close the input.
    using dataHandler = std::function<void(const int16_t* data, size_t samples)>;
    static constexpr size_t kBuffers = 4;

    panomixWaveInput() = default;
    ~panomixWaveInput();
    panomixWaveInput(const panomixWaveInput&) = delete;
    panomixWaveInput& operator=(const panomixWaveInput&) = delete;

    void setDataHandler(dataHandler handler) { f_handler = std::move(handler); }
    // Starts recording chunks of `chunkSamples` at `rate` on `deviceId`
    // (-1: the mapper); the platform's result code, 0 on success.
    uint32_t open(intptr_t deviceId, uint32_t rate, size_t chunkSamples);
    // Once it returns the handler is not running and is not raised again.
    void close();
    bool isOpen() const noexcept { return f_handle.load() != nullptr; }

private:
    static void callback(kelWaveHandle* handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                         uintptr_t param2);
    void recorded(WAVEHDR* header) noexcept;

    std::atomic<kelWaveHandle*> f_handle{nullptr};
    std::atomic<bool> f_closing{false};
    dataHandler f_handler;
    std::vector<WAVEHDR> f_headers;
    std::vector<std::vector<int16_t>> f_buffers;
};
