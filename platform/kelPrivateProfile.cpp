#include "platform/kelPrivateProfile.h"

#include "platform/kelMonotonic.h"
#include "platform/kelPlatformThread.h"
#include "platform/kelProfileDocument.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Owns one descriptor.
class FileHandle
{
public:
    explicit FileHandle(int fd = -1) noexcept : f_fd(fd) {}
    ~FileHandle() { reset(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int get() const noexcept { return f_fd; }
    void reset(int fd = -1) noexcept
    {
        if (f_fd >= 0) ::close(f_fd);
        f_fd = fd;
    }

private:
    int f_fd;
};

// flock() with a time-out: polls in 1 ms steps, like every wait here.
bool lockWithin(int fd, int operation, int32_t timeoutMs)
{
    const uint64_t deadline = kelMonotonicMs() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (::flock(fd, operation | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (kelMonotonicMs() >= deadline) return false;
        kelSleepMs(1);
    }
}

// The whole content of an open file; false on a read error, or when it is
// not a regular file (a FIFO or device would block or never end) or too
// large to be a settings file.
bool readAll(int fd, std::string& out)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > kelProfileMaxFileSize)
        return false;
    out.clear();
    char buf[16384];
    off_t at = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, buf, sizeof buf, at);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        out.append(buf, static_cast<size_t>(got));
        at += got;
        if (out.size() > kelProfileMaxFileSize) return false;
    }
}

bool writeAll(int fd, const std::string& data, off_t at)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t put =
            ::pwrite(fd, data.data() + done, data.size() - done, at + static_cast<off_t>(done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

// Writes follow a symbolic link to its target, so the link stays a link.
std::string resolvedPath(const std::string& fileName)
{
    char buf[PATH_MAX];
    if (::realpath(fileName.c_str(), buf) != nullptr) return buf;
    return fileName;
}

// Replaces the file at `path` (open and locked as `fd`, described by `st`)
// with `data`: through a renamed temporary file when the directory allows
// it and the file is ours alone, else in place.
bool replaceContent(const std::string& path, int fd, const struct stat& st, const std::string& data)
{
    if (st.st_uid == ::geteuid() && st.st_nlink <= 1) {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string temp = dir + "." + base + ".XXXXXX";
        const int tfd = ::mkstemp(temp.data());
        if (tfd >= 0) {
            FileHandle t(tfd);
            bool ok = ::fchmod(tfd, st.st_mode & 07777) == 0 && writeAll(tfd, data, 0);
            t.reset();
            ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
            if (ok) return true;
            ::unlink(temp.c_str());
        }
    }
    return writeAll(fd, data, 0) && ::ftruncate(fd, static_cast<off_t>(data.size())) == 0;
}

// One read-modify-write of a profile file under its exclusive lock. `edit`
// changes the document and returns false to refuse (nothing is written).
bool modifyProfile(const std::string& fileName, int32_t lockTimeout,
                   const std::function<bool(kelProfileDocument&)>& edit)
{
    if (fileName.empty()) return false;
    const std::string path = resolvedPath(fileName);
    const uint64_t deadline = kelMonotonicMs() + static_cast<uint64_t>(lockTimeout < 0 ? 0 : lockTimeout);
    for (;;) {
        FileHandle fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
        if (fd.get() < 0) return false;
        const uint64_t at = kelMonotonicMs();
        const auto left = static_cast<int32_t>(deadline > at ? deadline - at : 0);
        if (!lockWithin(fd.get(), LOCK_EX, left)) return false;
        // Another writer may have renamed a new file over the one we locked
        // while we waited: then its content is stale, start over.
        struct stat held
        {
        };
        struct stat now
        {
        };
        if (::fstat(fd.get(), &held) != 0) return false;
        if (::stat(path.c_str(), &now) != 0 || now.st_ino != held.st_ino || now.st_dev != held.st_dev) {
            if (kelMonotonicMs() >= deadline) return false;
            continue;
        }
        std::string bytes;
        if (!readAll(fd.get(), bytes)) return false;
        kelProfileDocument doc;
        doc.load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        if (!edit(doc)) return false;
        const std::string out = doc.save();
        if (out == bytes) return true;
        return replaceContent(path, fd.get(), held, out);
    }
}

// Loads the file under a shared lock; false when it is missing or unreadable.
bool readProfile(const std::string& fileName, int32_t lockTimeout, kelProfileDocument& doc)
{
    if (fileName.empty()) return false;
    FileHandle fd(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || !lockWithin(fd.get(), LOCK_SH, lockTimeout)) return false;
    std::string bytes;
    if (!readAll(fd.get(), bytes)) return false;
    doc.load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return true;
}

} // namespace

std::u16string kelGetPrivateProfileString(const std::u16string& section, const std::u16string& key,
                                          const std::u16string& defValue, size_t size,
                                          const std::string& fileName, int32_t lockTimeout)
{
    if (size == 0) return {};
    kelProfileDocument doc;
    std::u16string value;
    if (!readProfile(fileName, lockTimeout, doc) || !doc.find(section, key, value)) value = defValue;
    if (value.size() > size - 1) value.resize(size - 1);
    return value;
}

std::vector<std::u16string> kelGetPrivateProfileSection(const std::u16string& section,
                                                        const std::string& fileName, int32_t lockTimeout)
{
    kelProfileDocument doc;
    if (!readProfile(fileName, lockTimeout, doc)) return {};
    return doc.sectionLines(section);
}

bool kelWritePrivateProfileString(const std::u16string& section, const std::u16string& key,
                                  const std::u16string& value, const std::string& fileName,
                                  int32_t lockTimeout)
{
    if (!kelProfileDocument::validSection(section) || !kelProfileDocument::validKey(key) ||
        !kelProfileDocument::validValue(value))
        return false;
    return modifyProfile(fileName, lockTimeout,
                         [&](kelProfileDocument& doc) { return doc.setValue(section, key, value); });
}

bool kelWritePrivateProfileSection(const std::u16string& section, const std::vector<std::u16string>& lines,
                                   const std::string& fileName, int32_t lockTimeout)
{
    kelProfileDocument probe;
    if (!probe.replaceSection(section, lines)) return false;
    return modifyProfile(fileName, lockTimeout,
                         [&](kelProfileDocument& doc) { return doc.replaceSection(section, lines); });
}

bool kelCreatePrivateProfile(const std::string& fileName)
{
    if (fileName.empty()) return false;
    FileHandle fd(::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        struct stat st
        {
        };
        return errno == EEXIST && ::stat(fileName.c_str(), &st) == 0;
    }
    static const char bom[2] = {'\xFF', '\xFE'};
    if (writeAll(fd.get(), std::string(bom, 2), 0)) return true;
    fd.reset();
    ::unlink(fileName.c_str());
    return false;
}
