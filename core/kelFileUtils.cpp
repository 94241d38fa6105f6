#include "core/kelFileUtils.h"

#include "core/kelUtf.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string pathOf(const kelString& name)
{
    return utf16ToUtf8(name);
}

bool validHandle(kelFileHandle handle)
{
    return handle >= 0;
}

// The access mode is the routine's own: an O_WRONLY in `flags` would turn
// O_RDWR into an invalid mode.
int extraFlags(int flags)
{
    return flags & ~O_ACCMODE;
}

// Maps an origin to lseek's whence; -1 for an unknown origin.
int whenceOf(int origin)
{
    switch (origin) {
    case kelSeekBegin:
        return SEEK_SET;
    case kelSeekCurrent:
        return SEEK_CUR;
    case kelSeekEnd:
        return SEEK_END;
    default:
        return -1;
    }
}

bool position(kelFileHandle handle, int64_t offset, int origin)
{
    const int whence = whenceOf(origin);
    return whence >= 0 && ::lseek(handle, static_cast<off_t>(offset), whence) >= 0;
}

// Writes everything, retrying after signals and partial writes.
int writeAll(kelFileHandle handle, const void* data, size_t size)
{
    if (data == nullptr) return kelFileIoFailed;
    const auto* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(handle, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done == 0 ? kelFileIoFailed : kelFileShort;
        if (n == 0) return kelFileShort;
        done += static_cast<size_t>(n);
    }
    return kelFileOk;
}

kelString homeFolder()
{
    const char* home = std::getenv("HOME");
    std::string h = home != nullptr ? home : "";
    if (h.empty()) {
        passwd pw{};
        passwd* found = nullptr;
        char buf[4096];
        if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr && found->pw_dir)
            h = found->pw_dir;
    }
    return utf8ToUtf16(h);
}

// $var when it holds an absolute path, else home + fallback.
kelString xdgFolder(const char* var, const char16_t* fallback)
{
    const char* v = std::getenv(var);
    if (v != nullptr && v[0] == '/') return withTrailingBackslash(utf8ToUtf16(v));
    const kelString home = homeFolder();
    if (home.empty()) return {};
    return withTrailingBackslash(withTrailingBackslash(home) + fallback);
}

} // namespace

bool fileExistsAt(const kelString& name)
{
    struct stat st
    {
    };
    return !name.empty() && ::stat(pathOf(name).c_str(), &st) == 0;
}

bool isDirectory(const kelString& name)
{
    struct stat st
    {
    };
    return !name.empty() && ::stat(pathOf(name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

kelFileHandle createFileAt(const kelString& name, bool truncate, bool keepOpen, int flags)
{
    if (name.empty()) return kelInvalidFile;
    const int fd = ::open(pathOf(name).c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0) | extraFlags(flags), 0666);
    if (fd < 0) return kelInvalidFile;
    if (keepOpen) return fd;
    ::close(fd);
    return kelNoFile;
}

kelFileHandle openFileAt(const kelString& name, bool write, bool /*shareWrite*/, int flags)
{
    if (name.empty()) return kelInvalidFile;
    const int fd = ::open(pathOf(name).c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | extraFlags(flags));
    return fd < 0 ? kelInvalidFile : fd;
}

void closeFileHandle(kelFileHandle handle)
{
    if (validHandle(handle)) ::close(handle);
}

int appendToFile(const kelString& name, const void* data, size_t size, int64_t offset, int origin)
{
    if (name.empty()) return kelFileNoName;
    const int fd = ::open(pathOf(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return kelFileCannotOpen;
    int result = kelFileOk;
    if (!position(fd, offset, origin))
        result = kelFileIoFailed;
    else if (size > 0)
        result = writeAll(fd, data, size);
    ::close(fd);
    return result;
}

int writeFileAt(kelFileHandle handle, const void* data, size_t size, int64_t offset, int origin)
{
    if (!validHandle(handle)) return kelFileCannotOpen;
    if (size == 0) return kelFileOk;
    if (!(offset == 0 && origin == kelSeekCurrent) && !position(handle, offset, origin))
        return kelFileIoFailed;
    return writeAll(handle, data, size);
}

int readFileAt(kelFileHandle handle, void* buffer, size_t& size, int64_t offset, int origin)
{
    if (!validHandle(handle)) {
        size = 0;
        return kelFileCannotOpen;
    }
    if ((buffer == nullptr && size > 0) ||
        (!(offset == 0 && origin == kelSeekCurrent) && !position(handle, offset, origin))) {
        size = 0;
        return kelFileIoFailed;
    }
    auto* p = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(handle, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            size = 0;
            return kelFileIoFailed;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    const bool shortRead = done < size;
    size = done;
    return shortRead ? kelFileShort : kelFileOk;
}

int64_t fileSizeOf(kelFileHandle handle)
{
    struct stat st
    {
    };
    if (!validHandle(handle) || ::fstat(handle, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t fileSizeOf(const kelString& name)
{
    struct stat st
    {
    };
    if (name.empty() || ::stat(pathOf(name).c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool truncateFileAt(kelFileHandle handle, int64_t offset, int origin)
{
    const int64_t pos = seekFile(handle, offset, origin);
    return pos >= 0 && ::ftruncate(handle, static_cast<off_t>(pos)) == 0;
}

int64_t seekFile(kelFileHandle handle, int64_t offset, int origin)
{
    const int whence = whenceOf(origin);
    if (!validHandle(handle) || whence < 0) return -1;
    const off_t pos = ::lseek(handle, static_cast<off_t>(offset), whence);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

bool deleteFileAt(const kelString& name)
{
    return !name.empty() && ::unlink(pathOf(name).c_str()) == 0;
}

bool createDirectories(const kelString& path)
{
    std::string p = pathOf(path);
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    if (p.empty()) return false;
    // Every prefix that ends before a "/", then the whole path.
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/') continue;
        const std::string part = p.substr(0, i);
        if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    struct stat st
    {
    };
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

kelString filePathPart(const kelString& name)
{
    const size_t slash = name.rfind(u'/');
    return slash == kelString::npos ? kelString() : name.substr(0, slash + 1);
}

kelString fileNamePart(const kelString& name)
{
    const size_t slash = name.rfind(u'/');
    return slash == kelString::npos ? name : name.substr(slash + 1);
}

kelString withTrailingBackslash(const kelString& path)
{
    size_t end = path.size();
    while (end > 0 && path[end - 1] == u' ')
        --end;
    if (end == 0) return {};
    kelString out = path.substr(0, end);
    if (out.back() != u'/') out.push_back(u'/');
    return out;
}

kelString pathWithExt(const kelString& path, const kelString& ext)
{
    const size_t slash = path.rfind(u'/');
    const size_t nameStart = slash == kelString::npos ? 0 : slash + 1;
    const size_t dot = path.rfind(u'.');
    kelString out = dot != kelString::npos && dot > nameStart ? path.substr(0, dot) : path;
    if (!ext.empty()) {
        if (ext.front() != u'.') out.push_back(u'.');
        out += ext;
    }
    return out;
}

kelString moduleNameWithExt(const kelString& ext)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buf) return {};
    return pathWithExt(utf8ToUtf16(std::string_view(buf, static_cast<size_t>(n))), ext);
}

kelString specialFolder(int id)
{
    switch (id) {
    case kelFolderHome:
        return withTrailingBackslash(homeFolder());
    case kelFolderAppData:
        return xdgFolder("XDG_CONFIG_HOME", u".config");
    case kelFolderLocalData:
        return xdgFolder("XDG_DATA_HOME", u".local/share");
    case kelFolderCache:
        return xdgFolder("XDG_CACHE_HOME", u".cache");
    default:
        return {};
    }
}

kelString appDataFolder()
{
    return specialFolder(kelFolderAppData);
}

kelString computerName()
{
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return utf8ToUtf16(buf);
}
