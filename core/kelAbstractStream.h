#pragma once
// kelAbstractStream: the lockable base of the library's byte queues and byte
// stores. A stream holds a number of bytes (getSize), may be limited in size
// (maxSize, 0 = unlimited) and carries an auto-reset data event that follows
// its content: writes signal it, a read that leaves the stream empty resets
// it. Both happen under the stream's write lock, so a consumer that sleeps
// in waitForData can never miss a write that raced with its last read.
//
// Typically one producer thread and one consumer thread share a stream.
// Every data operation takes the stream's own lock (write for changes, read
// for peeking) for up to kelStreamDataTimeout ms and does nothing (returns 0)
// when it cannot be had. Nothing raises.
//
// Subclasses store the data in doWriteData (and then call the base
// doWriteData, which signals the event), hand it out in doReadData, and keep
// f_summarySize up to date. write() and read() call those hooks with the
// stream's lock already held, so a hook never waits for it again.

#include "core/kelEvent.h"
#include "core/kelObject.h"
#include "core/kelTypes.h"

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

// How long data operations wait for the stream's lock.
inline constexpr intptr_t kelStreamDataTimeout = 10000;
// A lock timeout meaning "use the stream's lockTimeout()".
inline constexpr intptr_t kelStreamTimeoutDefault = -1002;

class kelAbstractStream : public kelObject
{
public:
    explicit kelAbstractStream(intptr_t lockTimeout = 1000);
    ~kelAbstractStream() override;

    // --- data ------------------------------------------------------------
    // Stores `size` bytes of `buf`; the bytes stored. With maxSize() > 0 a
    // write is refused (0) when size + getSize() would reach maxSize().
    intptr_t write(const void* buf, intptr_t size) noexcept;
    // Up to `size` bytes into `buf` (absent: skip them); `remove` false
    // peeks, leaving the stream as it was. The bytes read.
    intptr_t read(void* buf, intptr_t size, bool remove = true) noexcept;
    // Drops up to `size` bytes; the bytes dropped.
    intptr_t remove(intptr_t size) noexcept { return read(nullptr, size, true); }
    // When the stream is empty and `timeout` > 0, sleeps until a write
    // signals the data event or the time is up. Whether data is held.
    [[nodiscard]] bool waitForData(int64_t timeout) noexcept;

    // Typed values in the machine's byte order, for a peer in the same
    // process. A write stores the whole value or nothing (true when stored);
    // a read takes a value only when all of its bytes are there.
    bool write(bool value) noexcept { return writeValue(uint8_t(value ? 1 : 0)); }
    bool write(uint8_t value) noexcept { return writeValue(value); }
    bool write(int16_t value) noexcept { return writeValue(value); }
    bool write(uint16_t value) noexcept { return writeValue(value); }
    bool write(intptr_t value) noexcept { return writeValue(value); }
    bool write(uintptr_t value) noexcept { return writeValue(value); }
    // The bytes of an 8-bit string, without terminator or length; the
    // bytes stored.
    intptr_t write(std::string_view text) noexcept;
    intptr_t write(const char* text) noexcept { return write(std::string_view(text ? text : "")); }
    bool read(bool& value, bool remove = true) noexcept;
    bool read(uint8_t& value, bool remove = true) noexcept { return readValue(value, remove); }
    bool read(int16_t& value, bool remove = true) noexcept { return readValue(value, remove); }
    bool read(uint16_t& value, bool remove = true) noexcept { return readValue(value, remove); }
    bool read(intptr_t& value, bool remove = true) noexcept { return readValue(value, remove); }
    bool read(uintptr_t& value, bool remove = true) noexcept { return readValue(value, remove); }
    // Up to `size` bytes as an 8-bit string (replacing `text`); the bytes read.
    intptr_t read(std::string& text, intptr_t size, bool remove = true) noexcept;

    // Moves up to `size` bytes (negative: all available) from `source` to
    // this stream, removing them from `source` only once they are stored
    // here. The bytes moved; a refused write leaves them in `source`.
    intptr_t readFrom(kelAbstractStream& source, intptr_t size = -1) noexcept;
    // The same in the other direction.
    intptr_t writeTo(kelAbstractStream& dest, intptr_t size = -1) noexcept
    {
        return dest.readFrom(*this, size);
    }
    // Appends the whole content of the file; the bytes stored (0 when the
    // file cannot be read).
    intptr_t readFrom(const kelString& fileName) noexcept;
    // Writes what the stream holds (peeked, the stream is unchanged) to the
    // file, replacing it or appending to it; the bytes written, -1 when the
    // file could not be written.
    intptr_t writeTo(const kelString& fileName, bool append = false) noexcept;
    // Copies up to `size` bytes (negative: all available) of `source` into
    // this stream, leaving `source` unchanged. The bytes copied.
    intptr_t copyStream(kelAbstractStream& source, intptr_t size = -1) noexcept;
    // The library CRC of the available bytes (peeked), chained from
    // `initial`.
    uint32_t getCrc32(uint32_t initial = 0xFFFFFFFFu) noexcept;

    // --- size and position ---------------------------------------------
    intptr_t getSize() noexcept { return doGetSize(); }
    // Bytes a reader can still get (for a file: those after the position).
    intptr_t getAvailableSize() noexcept { return doGetAvailableSize(); }
    bool isEmpty() noexcept { return getSize() <= 0; }
    kelAbstractStream& clear() noexcept;

    // Seekable streams move their position, limited to [0, size]:
    // `fromBeggining` counts from the start, otherwise back from the end.
    // The new position; unchanged when the lock cannot be had.
    virtual intptr_t seek(intptr_t position, bool fromBeggining = true) noexcept;
    virtual intptr_t seekD(intptr_t delta) noexcept;
    virtual intptr_t getPosition() noexcept { return f_pos; }

    // --- lock --------------------------------------------------------------
    [[nodiscard]] bool enter(bool ro, intptr_t timeout = kelStreamTimeoutDefault) noexcept;
    void leaveRO() noexcept { releaseRO(); }
    void leaveWO() noexcept { releaseWO(); }

    // --- properties ------------------------------------------------------
    bool isValid() const noexcept { return f_isValid.load(std::memory_order_acquire); }
    intptr_t maxSize() const noexcept { return f_maxSize.load(std::memory_order_relaxed); }
    void setMaxSize(intptr_t value) noexcept
    {
        f_maxSize.store(value < 0 ? 0 : value, std::memory_order_relaxed);
    }
    intptr_t lockTimeout() const noexcept { return f_lockTimeout.load(std::memory_order_relaxed); }
    void setLockTimeout(intptr_t value) noexcept { f_lockTimeout.store(value, std::memory_order_relaxed); }
    kelEvent& dataEvent() noexcept { return f_dataEvent; }

    kelString _classID() const override { return u"kelAbstractStream"; }

protected:
    virtual void doClear() noexcept {}
    // Called with the write lock held. Base: signals the data event when
    // `size` > 0 and returns `size`. Subclasses store the data first and
    // then call it. `buf` is present and `size` positive.
    virtual intptr_t doWriteData(const void* buf, intptr_t size) noexcept;
    // Called with the lock held (write when removing, read when peeking);
    // `size` is positive, `buf` may be absent (skip the bytes).
    virtual intptr_t doReadData(void* buf, intptr_t size, bool remove) noexcept = 0;
    virtual intptr_t doGetSize() noexcept { return f_summarySize.load(std::memory_order_acquire); }
    virtual intptr_t doGetAvailableSize() noexcept { return doGetSize(); }

    void setValid(bool value) noexcept { f_isValid.store(value, std::memory_order_release); }

    std::atomic<intptr_t> f_summarySize{0};
    std::atomic<bool> f_isValid{false};
    intptr_t f_pos = 0;

private:
    template <class T> bool writeValue(T value) noexcept
    {
        return write(&value, sizeof value) == sizeof value;
    }
    template <class T> bool readValue(T& value, bool take) noexcept;
    // The available bytes, peeked; false when they could not be had.
    bool peekAll(std::string& out, intptr_t limit) noexcept;

    std::atomic<intptr_t> f_maxSize{0};
    kelEvent f_dataEvent{false, false};
    // A write signalled the event under the lock and its waiters still need
    // the wake (see write()).
    std::atomic<bool> f_wakeOwed{false};
    std::atomic<intptr_t> f_lockTimeout;
};

template <class T> bool kelAbstractStream::readValue(T& value, bool take) noexcept
{
    T got{};
    if (!take) {
        if (read(&got, sizeof got, false) != intptr_t(sizeof got)) return false;
    } else {
        // Peek and remove under one write hold, so a value is taken whole or
        // left whole.
        kelLock lock(this, false, kelStreamDataTimeout);
        if (!lock || read(&got, sizeof got, false) != intptr_t(sizeof got)) return false;
        remove(sizeof got);
    }
    value = got;
    return true;
}

// A stream class that can be made by reference: callers that are told which
// kind of stream to make (a device asked for its input stream, say) get one
// of these.
using kelStreamClass = kelAbstractStream* (*)(intptr_t lockTimeout);

template <class T> kelStreamClass kelStreamClassOf() noexcept
{
    return [](intptr_t lockTimeout) -> kelAbstractStream* { return new (std::nothrow) T(lockTimeout); };
}
