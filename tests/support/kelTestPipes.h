#pragma once
// Pipe ends for the IP streaming tests: a pump that hands blocks on to its
// consumers as an audio source would, a sink that keeps every byte and the
// last format block it was given, and one that only counts (for the
// benchmarks, which carry more than is worth keeping).

#include "pipes/kelMT_pipe.h"
#include "pipes/kelWaveFormat.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

// The open/close bookkeeping the test pipe ends share; nothing to read.
class kelTestPipeEnd : public kelmtlInOutPipe
{
protected:
    uint32_t doRead(void*, uint32_t) override { return 0; }
    uint32_t getAvailableDataLen(int) override { return 0; }
    bool doOpen() override
    {
        f_active = kelmtlInOutPipe::doOpen();
        return f_active;
    }
    void doClose() override
    {
        f_active = false;
        kelmtlInOutPipe::doClose();
    }
    bool isActive() override { return f_active.load(); }

private:
    std::atomic<bool> f_active{false};
};

// push() runs the consumers' doWrite on the calling thread.
class kelTestPump final : public kelTestPipeEnd
{
public:
    bool push(void* data, uint32_t len) { return onNewData(data, len, this); }

protected:
    uint32_t doWrite(const void*, uint32_t, kelmtlInOutPipe*) override { return 0; }
};

// Written on its provider's thread, read by the test's.
class kelTestByteSink final : public kelTestPipeEnd
{
public:
    std::string bytes() const
    {
        std::lock_guard lock(f_guard);
        return f_bytes;
    }
    size_t size() const
    {
        std::lock_guard lock(f_guard);
        return f_bytes.size();
    }
    // The last 40-byte format block offered; false before one came.
    bool format(kelWaveFormat& out) const
    {
        std::lock_guard lock(f_guard);
        out = f_format;
        return f_haveFormat;
    }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe*) override
    {
        std::lock_guard lock(f_guard);
        f_bytes.append(static_cast<const char*>(data), len);
        return len;
    }
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override
    {
        if (data != nullptr && len == sizeof(kelWaveFormat)) {
            std::lock_guard lock(f_guard);
            std::memcpy(&f_format, data, sizeof f_format);
            f_haveFormat = true;
        }
        return kelmtlInOutPipe::applyFormat(data, len, provider, restoreActiveState);
    }

private:
    mutable std::mutex f_guard;
    std::string f_bytes;
    kelWaveFormat f_format{};
    bool f_haveFormat = false;
};

// Counts what it is given on its provider's thread; read on any.
class kelTestByteCounter final : public kelTestPipeEnd
{
public:
    uint64_t count() const { return f_bytes.load(std::memory_order_relaxed); }

protected:
    uint32_t doWrite(const void*, uint32_t len, kelmtlInOutPipe*) override
    {
        f_bytes.fetch_add(len, std::memory_order_relaxed);
        return len;
    }

private:
    std::atomic<uint64_t> f_bytes{0};
};
