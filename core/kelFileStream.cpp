#include "core/kelFileStream.h"

#include "core/kelUtf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace {

// Reads until `size` bytes came, the file ends or an error stops it; the
// bytes read (an error counts what came before it).
intptr_t readFully(int fd, uint8_t* buf, intptr_t size) noexcept
{
    intptr_t total = 0;
    uint8_t skip[4096];
    while (total < size) {
        uint8_t* to = buf != nullptr ? buf + total : skip;
        const size_t want =
            size_t(buf != nullptr ? size - total : std::min<intptr_t>(size - total, sizeof skip));
        const ssize_t n = ::read(fd, to, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += n;
    }
    return total;
}

intptr_t writeFully(int fd, const uint8_t* buf, intptr_t size) noexcept
{
    intptr_t total = 0;
    while (total < size) {
        const ssize_t n = ::write(fd, buf + total, size_t(size - total));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        total += n;
    }
    return total;
}

} // namespace

kelFileStream::kelFileStream(intptr_t lockTimeout) : kelAbstractStream(lockTimeout) {}

kelFileStream::kelFileStream(const kelString& fileName, int access, int shareMode, bool loop, int fileFlags)
    : kelAbstractStream(1000)
{
    if (!fileName.empty()) (void)initStream(fileName, access, shareMode, loop, fileFlags);
}

kelFileStream::~kelFileStream()
{
    closeLocked();
}

bool kelFileStream::initStream(const kelString& fileName, int access, int shareMode, bool loop,
                               int fileFlags) noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (!lock) return false;
    closeLocked();
    f_fileName = fileName;
    f_loop = loop;
    f_access = access & O_ACCMODE;
    f_shareMode = shareMode;
    f_fileFlags = fileFlags & ~O_ACCMODE;
    std::string path;
    try {
        path = utf16ToUtf8(fileName);
    } catch (...) {
        return false;
    }
    if (path.empty()) return false;
    do {
        f_handle = ::open(path.c_str(), f_access | f_fileFlags | O_CREAT | O_CLOEXEC, 0666);
    } while (f_handle < 0 && errno == EINTR);
    if (f_handle < 0) {
        f_handle = kelInvalidFile;
        return false;
    }
    ::lseek(f_handle, 0, SEEK_SET);
    f_fileOffset = 0;
    setValid(true);
    (void)doGetSize();
    return true;
}

void kelFileStream::close() noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (lock) closeLocked();
}

void kelFileStream::closeLocked() noexcept
{
    setValid(false);
    if (f_handle >= 0) ::close(f_handle);
    f_handle = kelInvalidFile;
    f_summarySize.store(0, std::memory_order_release);
}

intptr_t kelFileStream::doReadData(void* buf, intptr_t size, bool remove) noexcept
{
    if (!isValid()) return 0;
    auto* out = static_cast<uint8_t*>(buf);
    const off_t start = ::lseek(f_handle, 0, SEEK_CUR);
    intptr_t total = 0;
    bool wrapped = false;
    for (;;) {
        const intptr_t got = readFully(f_handle, out != nullptr ? out + total : nullptr, size - total);
        total += got;
        if (!f_loop || total >= size) break;
        // A pass from the start that reads nothing means an empty (or
        // unreadable) file: going round again would never end.
        if (got == 0 && wrapped) break;
        if (::lseek(f_handle, 0, SEEK_SET) != 0) break;
        wrapped = true;
    }
    if (remove)
        f_fileOffset += uint64_t(total);
    else if (start >= 0)
        // Back to where the read started, also after it went round the end.
        ::lseek(f_handle, start, SEEK_SET);
    return total;
}

intptr_t kelFileStream::doWriteData(const void* buf, intptr_t size) noexcept
{
    if (!isValid()) return 0;
    const intptr_t written = writeFully(f_handle, static_cast<const uint8_t*>(buf), size);
    (void)doGetSize();
    // A short write (a full disk, say) reports what reached the file.
    return written > 0 ? kelAbstractStream::doWriteData(buf, written) : 0;
}

intptr_t kelFileStream::doGetSize() noexcept
{
    if (!isValid()) return 0;
    struct stat st
    {
    };
    if (::fstat(f_handle, &st) != 0) return f_summarySize.load(std::memory_order_acquire);
    f_summarySize.store(intptr_t(st.st_size), std::memory_order_release);
    return intptr_t(st.st_size);
}

intptr_t kelFileStream::doGetAvailableSize() noexcept
{
    if (!isValid()) return 0;
    const intptr_t size = doGetSize();
    if (f_loop) return size;
    return std::max<intptr_t>(size - getPosition(), 0);
}

intptr_t kelFileStream::seek(intptr_t position, bool fromBeggining) noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (!lock || !isValid()) return getPosition();
    const off_t at = fromBeggining
                         ? ::lseek(f_handle, std::max<intptr_t>(position, 0), SEEK_SET)
                         : ::lseek(f_handle, -std::clamp<intptr_t>(position, 0, INTPTR_MAX), SEEK_END);
    if (at < 0) return getPosition();
    f_fileOffset = uint64_t(at);
    return intptr_t(at);
}

intptr_t kelFileStream::seekD(intptr_t delta) noexcept
{
    kelLock lock(this, false, kelStreamDataTimeout);
    if (!lock || !isValid()) return getPosition();
    const intptr_t now = getPosition();
    const intptr_t target = delta < -now ? 0 : (delta > INTPTR_MAX - now ? INTPTR_MAX : now + delta);
    return seek(target, true);
}

intptr_t kelFileStream::getPosition() noexcept
{
    if (!isValid()) return 0;
    const off_t at = ::lseek(f_handle, 0, SEEK_CUR);
    return at < 0 ? 0 : intptr_t(at);
}

void kelFileStream::doClear() noexcept
{
    if (!isValid()) return;
    if (::ftruncate(f_handle, 0) == 0) {
        ::lseek(f_handle, 0, SEEK_SET);
        f_fileOffset = 0;
        f_summarySize.store(0, std::memory_order_release);
    }
}
