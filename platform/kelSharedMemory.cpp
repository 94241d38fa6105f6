#include "platform/kelSharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace {

constexpr std::string_view kPrefix = "/kel.";

bool plainByte(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

uint64_t fnv1a64(std::string_view bytes)
{
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

} // namespace

std::string kelSharedMemoryName(std::string_view name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out(kPrefix);
    for (unsigned char c : name) {
        if (plainByte(c)) {
            out.push_back(char(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    // NAME_MAX counts the bytes after the leading "/".
    if (out.size() - 1 <= NAME_MAX) return out;
    char tail[48];
    std::snprintf(tail, sizeof tail, "#%016llx.%zu", static_cast<unsigned long long>(fnv1a64(name)),
                  name.size());
    out.resize(NAME_MAX + 1 - std::string_view(tail).size());
    // Cut before a broken "%XX".
    for (size_t i = out.size() >= 2 ? out.size() - 2 : 0; i < out.size(); ++i)
        if (out[i] == '%') {
            out.resize(i);
            break;
        }
    return out + tail;
}

int kelSharedMemoryOpen(const std::string& posixName, bool write, bool create, int64_t size, bool& created)
{
    created = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::shm_open(posixName.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
        if (fd >= 0 || errno != ENOENT || !create) return fd;
        if (size <= 0) {
            errno = EINVAL;
            return -1;
        }
        fd = ::shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue; // made by another opener meanwhile: open that one
            return -1;
        }
        if (::ftruncate(fd, off_t(size)) != 0) {
            const int err = errno;
            ::shm_unlink(posixName.c_str());
            ::close(fd);
            errno = err;
            return -1;
        }
        created = true;
        return fd;
    }
    return -1;
}

bool kelSharedMemoryUnlink(const std::string& posixName)
{
    return ::shm_unlink(posixName.c_str()) == 0;
}

int kelAnonymousMemoryOpen(int64_t size)
{
    if (size <= 0) {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::memfd_create("kel.mapping", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (::ftruncate(fd, off_t(size)) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int64_t kelPageSize() noexcept
{
    static const int64_t size = [] {
        const long page = ::sysconf(_SC_PAGESIZE);
        return page > 0 ? int64_t(page) : int64_t(4096);
    }();
    return size;
}
