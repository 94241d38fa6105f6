#include "core/kelAbstractStream.h"

#include "core/kelCrc.h"
#include "core/kelFileUtils.h"

#include <algorithm>
#include <limits>
#include <new>

namespace {

// Bytes moved per step between streams and files.
constexpr intptr_t kCopyBlock = 64 * 1024;

// The stream whose write() is running on this thread, if any.
thread_local kelAbstractStream* t_writing = nullptr;

} // namespace

kelAbstractStream::kelAbstractStream(intptr_t lockTimeout) : f_lockTimeout(lockTimeout) {}

kelAbstractStream::~kelAbstractStream() = default;

intptr_t kelAbstractStream::write(const void* buf, intptr_t size) noexcept
{
    if (buf == nullptr || size <= 0) return 0;
    // size + held >= limit, written so that a huge size cannot overflow.
    const auto overLimit = [&] {
        const intptr_t limit = maxSize();
        return limit > 0 && size >= limit - std::min(getSize(), limit);
    };
    // A full stream refuses without taking the lock, so a producer waiting
    // for room does not keep its consumer from the lock; the check under
    // the lock is the one that counts.
    if (overLimit()) return 0;
    intptr_t stored = 0;
    {
        kelLock lock(this, false, kelStreamDataTimeout);
        if (!lock || overLimit()) return 0;
        kelAbstractStream* const outer = t_writing;
        t_writing = this;
        stored = doWriteData(buf, size);
        t_writing = outer;
    }
    // The reader woken by this write takes the lock next: woken while the
    // lock was still held, it would only find it taken. Any writer pays a
    // wake that another one still owes.
    if (f_wakeOwed.load(std::memory_order_acquire) && f_wakeOwed.exchange(false, std::memory_order_acq_rel))
        f_dataEvent.wakeWaiters();
    return stored;
}

intptr_t kelAbstractStream::read(void* buf, intptr_t size, bool remove) noexcept
{
    if (size <= 0) return 0;
    kelLock lock(this, !remove, kelStreamDataTimeout);
    if (!lock) return 0;
    const intptr_t got = doReadData(buf, size, remove);
    // Reset while still holding the lock: a writer signals under the write
    // lock too, so the event cannot be cleared after a write it did not see.
    if (f_summarySize.load(std::memory_order_acquire) <= 0) f_dataEvent.setState(false);
    return got;
}

bool kelAbstractStream::waitForData(int64_t timeout) noexcept
{
    if (getSize() <= 0 && timeout > 0) (void)f_dataEvent.waitFor(timeout);
    return getSize() > 0;
}

intptr_t kelAbstractStream::doWriteData(const void* /*buf*/, intptr_t size) noexcept
{
    // Readers take the data under the stream's lock, which orders it; an
    // event still signalled from an earlier write needs no new signal.
    if (size <= 0 || f_dataEvent.isSignaledNow()) return size;
    // Inside write() the waiters are woken after the lock is released.
    if (t_writing != this)
        f_dataEvent.setState(true);
    else if (f_dataEvent.setWithoutWaking())
        f_wakeOwed.store(true, std::memory_order_release);
    return size;
}

intptr_t kelAbstractStream::write(std::string_view text) noexcept
{
    return write(text.data(), intptr_t(text.size()));
}

bool kelAbstractStream::read(bool& value, bool remove) noexcept
{
    uint8_t byte = 0;
    if (!readValue(byte, remove)) return false;
    value = byte != 0;
    return true;
}

intptr_t kelAbstractStream::read(std::string& text, intptr_t size, bool remove) noexcept
{
    text.clear();
    if (size <= 0) return 0;
    try {
        text.resize(size_t(std::min(size, std::max<intptr_t>(getAvailableSize(), 0))));
    } catch (...) {
        return 0;
    }
    const intptr_t got = read(text.data(), intptr_t(text.size()), remove);
    text.resize(size_t(got));
    return got;
}

bool kelAbstractStream::peekAll(std::string& out, intptr_t limit) noexcept
{
    out.clear();
    const intptr_t available = getAvailableSize();
    const intptr_t want = limit < 0 ? available : std::min(limit, available);
    if (want <= 0) return true;
    try {
        out.resize(size_t(want));
    } catch (...) {
        return false;
    }
    out.resize(size_t(read(out.data(), want, false)));
    return true;
}

intptr_t kelAbstractStream::readFrom(kelAbstractStream& source, intptr_t size) noexcept
{
    if (&source == this || size == 0) return 0;
    // Hold the source for writing, so the bytes removed are the ones copied.
    kelLock lock(&source, false, kelStreamDataTimeout);
    if (!lock) return 0;
    intptr_t left = size < 0 ? std::numeric_limits<intptr_t>::max() : size;
    intptr_t moved = 0;
    std::string block;
    while (left > 0) {
        if (!source.peekAll(block, std::min(left, kCopyBlock)) || block.empty()) break;
        const intptr_t stored = write(block.data(), intptr_t(block.size()));
        if (stored <= 0) break;
        source.remove(stored);
        moved += stored;
        left -= stored;
        if (stored < intptr_t(block.size())) break;
    }
    return moved;
}

intptr_t kelAbstractStream::copyStream(kelAbstractStream& source, intptr_t size) noexcept
{
    if (&source == this || size == 0) return 0;
    std::string block;
    if (!source.peekAll(block, size)) return 0;
    return write(block.data(), intptr_t(block.size()));
}

intptr_t kelAbstractStream::readFrom(const kelString& fileName) noexcept
{
    const kelFileHandle file = openFileAt(fileName);
    if (file == kelInvalidFile) return 0;
    intptr_t stored = 0;
    std::string block;
    try {
        block.resize(size_t(kCopyBlock));
    } catch (...) {
        closeFileHandle(file);
        return 0;
    }
    for (;;) {
        size_t got = block.size();
        const int rc = readFileAt(file, block.data(), got);
        if ((rc != kelFileOk && rc != kelFileShort) || got == 0) break;
        const intptr_t written = write(block.data(), intptr_t(got));
        stored += written;
        if (written < intptr_t(got)) break;
    }
    closeFileHandle(file);
    return stored;
}

intptr_t kelAbstractStream::writeTo(const kelString& fileName, bool append) noexcept
{
    std::string data;
    if (!peekAll(data, -1)) return -1;
    const kelFileHandle file = createFileAt(fileName, !append);
    if (file == kelInvalidFile) return -1;
    const int rc = writeFileAt(file, data.data(), data.size(), 0, append ? kelSeekEnd : kelSeekCurrent);
    closeFileHandle(file);
    return rc == kelFileOk ? intptr_t(data.size()) : -1;
}

uint32_t kelAbstractStream::getCrc32(uint32_t initial) noexcept
{
    std::string data;
    if (!peekAll(data, -1)) return initial;
    return libCrc32(data.data(), data.size(), initial);
}

kelAbstractStream& kelAbstractStream::clear() noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (lock) {
        doClear();
        if (f_summarySize.load(std::memory_order_acquire) <= 0) f_dataEvent.setState(false);
    }
    return *this;
}

intptr_t kelAbstractStream::seek(intptr_t position, bool fromBeggining) noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (!lock) return f_pos;
    const intptr_t size = std::max<intptr_t>(getSize(), 0);
    if (fromBeggining)
        f_pos = std::clamp<intptr_t>(position, 0, size);
    else
        f_pos = size - std::clamp<intptr_t>(position, 0, size);
    return f_pos;
}

intptr_t kelAbstractStream::seekD(intptr_t delta) noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (!lock) return f_pos;
    const intptr_t size = std::max<intptr_t>(getSize(), 0);
    // Negative deltas past the start land on 0; the sum cannot overflow
    // because both sides are clamped to [0, size] first.
    const intptr_t target = delta < -f_pos ? 0 : f_pos + std::min(delta, size);
    f_pos = std::clamp<intptr_t>(target, 0, size);
    return f_pos;
}

bool kelAbstractStream::enter(bool ro, intptr_t timeout) noexcept
{
    return acquire(ro, timeout == kelStreamTimeoutDefault ? lockTimeout() : timeout);
}
