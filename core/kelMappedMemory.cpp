#include "core/kelMappedMemory.h"

#include "core/kelUtf.h"
#include "platform/kelSharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

bool writable(int access)
{
    return (access & kelPageReadWrite) != 0;
}

bool validAccess(int access)
{
    return access == kelPageReadOnly || access == kelPageReadWrite || access == kelPageWriteCopy;
}

int protectionOf(int access)
{
    return access == kelPageReadOnly ? PROT_READ : PROT_READ | PROT_WRITE;
}

int flagsOf(int access)
{
    return access == kelPageWriteCopy ? MAP_PRIVATE : MAP_SHARED;
}

int64_t objectSize(int fd)
{
    struct stat st
    {
    };
    return fd >= 0 && ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : -1;
}

} // namespace

kelMappedMemory::kelMappedMemory(const kelString& name, int64_t size64, int access, bool doOpen,
                                 bool canCreate)
    : f_doOpen(doOpen), f_canCreate(canCreate), f_name(name), f_size64(size64), f_access(access),
      f_allocGran(kelPageSize())
{
    if (doOpen) (void)open(access);
}

kelMappedMemory::~kelMappedMemory()
{
    // Only this class's own clean-up can run here; a subclass closes in its
    // own destructor.
    kelMappedMemory::doCloseMapping();
    closeBackingFile();
}

std::string kelMappedMemory::sharedName() const
{
    try {
        return kelSharedMemoryName(utf16ToUtf8(f_name));
    } catch (...) {
        return {};
    }
}

bool kelMappedMemory::open(int access) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    return lock && doOpenMapping(access);
}

void kelMappedMemory::close() noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (lock) doCloseMapping();
}

bool kelMappedMemory::isOpen() noexcept
{
    kelLock lock(this, true, kelMappedDataTimeout);
    return lock && f_handle >= 0;
}

void kelMappedMemory::setBackingFile(int fd) noexcept
{
    closeBackingFile();
    f_fileHandle = fd;
}

void kelMappedMemory::closeBackingFile() noexcept
{
    if (f_fileHandle >= 0) ::close(f_fileHandle);
    f_fileHandle = -1;
}

bool kelMappedMemory::doOpenMapping(int access) noexcept
{
    if (f_handle >= 0 || !validAccess(access)) return false;
    int64_t size = f_size64.load();
    int fd = -1;
    bool created = false;
    if (f_fileHandle >= 0) {
        // A file-backed mapping maps the file itself: every process that
        // maps the same file shares its pages.
        fd = ::fcntl(f_fileHandle, F_DUPFD_CLOEXEC, 0);
    } else if (f_name.empty()) {
        fd = kelAnonymousMemoryOpen(size);
    } else {
        f_sharedName = sharedName();
        if (f_sharedName.empty()) return false;
        fd = kelSharedMemoryOpen(f_sharedName, writable(access), f_canCreate, size, created);
    }
    if (fd < 0) return false;

    const int64_t held = objectSize(fd);
    if (held < 0) {
        ::close(fd);
        return false;
    }
    if (size <= 0) size = held;
    if (held < size) {
        // Pages past the end of the object would fault when touched: a
        // writable mapping grows its object first, a read-only one covers
        // only what is there.
        if (writable(access) && ::ftruncate(fd, off_t(size)) != 0) {
            ::close(fd);
            if (created) kelSharedMemoryUnlink(f_sharedName);
            return false;
        }
        if (!writable(access)) size = held;
    }
    if (size <= 0) {
        ::close(fd);
        if (created) kelSharedMemoryUnlink(f_sharedName);
        return false;
    }
    f_handle = fd;
    f_created = created;
    f_access = access;
    f_size64 = size;
    return true;
}

void kelMappedMemory::doCloseMapping() noexcept
{
    if (f_handle < 0) return;
    for (const View& view : f_openViews)
        ::munmap(view.base, view.length);
    f_openViews.clear();
    f_header = nullptr;
    f_headerSize = 0;
    ::close(f_handle);
    f_handle = -1;
    if (f_created) kelSharedMemoryUnlink(f_sharedName);
    f_created = false;
}

void kelMappedMemory::doSetSize(int64_t value) noexcept
{
    doCloseMapping();
    f_size64 = value;
    (void)doOpenMapping(f_access);
}

void kelMappedMemory::setSize64(int64_t value) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (lock) doSetSize(value);
}

bool kelMappedMemory::ensureSize(int64_t size) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock) return false;
    if (f_size64 < size || f_handle < 0) doSetSize(std::max<int64_t>(size, f_size64));
    return f_handle >= 0 && f_size64 >= size;
}

bool kelMappedMemory::openFile(const kelString& fileName, int access) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock || !validAccess(access)) return false;
    doCloseMapping();
    std::string path;
    try {
        path = utf16ToUtf8(fileName);
    } catch (...) {
        return false;
    }
    const int fd = ::open(path.c_str(), (writable(access) ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    setBackingFile(fd);
    f_access = access;
    return true;
}

int64_t kelMappedMemory::currentObjectSize() const noexcept
{
    return objectSize(f_handle);
}

void* kelMappedMemory::mapView(int64_t offset, intptr_t reqSize, intptr_t& subOfs) noexcept
{
    subOfs = 0;
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock || f_handle < 0 || offset < 0 || reqSize <= 0) return nullptr;
    if (reqSize > f_size64 - offset) return nullptr;
    // Refuse a view that would reach past what the object holds now.
    const int64_t held = currentObjectSize();
    if (held < 0 || reqSize > held - offset) return nullptr;
    const int64_t base = offset - offset % f_allocGran;
    const size_t length = size_t(reqSize + (offset - base));
    void* view = ::mmap(nullptr, length, protectionOf(f_access), flagsOf(f_access), f_handle, off_t(base));
    if (view == MAP_FAILED) return nullptr;
    try {
        f_openViews.push_back({view, length});
    } catch (...) {
        ::munmap(view, length);
        return nullptr;
    }
    subOfs = intptr_t(offset - base);
    return view;
}

void* kelMappedMemory::mapViewAll() noexcept
{
    intptr_t subOfs = 0;
    return mapView(0, intptr_t(f_size64.load()), subOfs);
}

bool kelMappedMemory::unmapView(void* baseAddr) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock || baseAddr == nullptr) return false;
    const auto it = std::find_if(f_openViews.begin(), f_openViews.end(),
                                 [&](const View& v) { return v.base == baseAddr; });
    if (it == f_openViews.end()) return false;
    ::munmap(it->base, it->length);
    if (it->base == f_header) {
        f_header = nullptr;
        f_headerSize = 0;
    }
    f_openViews.erase(it);
    return true;
}

void* kelMappedMemory::mapHeader(intptr_t size) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock) return nullptr;
    if (f_header != nullptr) unmapView(f_header);
    intptr_t subOfs = 0;
    f_header = mapView(0, size, subOfs);
    f_headerSize = f_header != nullptr ? size : 0;
    return f_header;
}

bool kelMappedMemory::flush() noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock || f_handle < 0) return false;
    bool ok = true;
    for (const View& view : f_openViews)
        ok = ::msync(view.base, view.length, MS_SYNC) == 0 && ok;
    return ok;
}

intptr_t kelMappedMemory::openViews() noexcept
{
    kelLock lock(this, true, kelMappedDataTimeout);
    return lock ? intptr_t(f_openViews.size()) : 0;
}

intptr_t kelMappedMemory::read(int64_t offs, void* buf, intptr_t sz) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock || f_handle < 0 || buf == nullptr || offs < 0 || sz <= 0 || offs >= f_size64) return 0;
    sz = intptr_t(std::min<int64_t>(sz, f_size64 - offs));
    if (f_fileHandle >= 0) {
        // Through the file: a file shrunk by another process reads short.
        intptr_t total = 0;
        while (total < sz) {
            const ssize_t n = ::pread(f_handle, static_cast<uint8_t*>(buf) + total, size_t(sz - total),
                                      off_t(offs + total));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            total += n;
        }
        return total;
    }
    const int64_t held = currentObjectSize();
    if (held <= offs) return 0;
    sz = intptr_t(std::min<int64_t>(sz, held - offs));
    intptr_t subOfs = 0;
    auto* view = static_cast<uint8_t*>(mapView(offs, sz, subOfs));
    if (view == nullptr) return 0;
    std::memcpy(buf, view + subOfs, size_t(sz));
    unmapView(view);
    return sz;
}

intptr_t kelMappedMemory::write(int64_t offs, const void* buf, intptr_t sz) noexcept
{
    kelLock lock(this, false, kelMappedDataTimeout);
    if (!lock || f_handle < 0 || f_access != kelPageReadWrite || buf == nullptr || offs < 0 || sz <= 0 ||
        offs >= f_size64)
        return 0;
    sz = intptr_t(std::min<int64_t>(sz, f_size64 - offs));
    if (f_fileHandle >= 0) {
        intptr_t total = 0;
        while (total < sz) {
            const ssize_t n = ::pwrite(f_handle, static_cast<const uint8_t*>(buf) + total, size_t(sz - total),
                                       off_t(offs + total));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            total += n;
        }
        return total;
    }
    const int64_t held = currentObjectSize();
    if (held <= offs) return 0;
    sz = intptr_t(std::min<int64_t>(sz, held - offs));
    intptr_t subOfs = 0;
    auto* view = static_cast<uint8_t*>(mapView(offs, sz, subOfs));
    if (view == nullptr) return 0;
    std::memcpy(view + subOfs, buf, size_t(sz));
    unmapView(view);
    return sz;
}
