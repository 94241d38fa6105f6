#include "core/kelLogSink.h"

#include "core/kelUtf.h"

#include <cerrno>
#include <mutex>
#include <new>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Writes all of `bytes`, retrying short writes and interruptions; a failing
// output loses the line and logging goes on.
void writeAll(int fd, const std::string& bytes) noexcept
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// The line as UTF-8 with LF; empty when memory runs out.
std::string lineBytes(const kelString& line) noexcept
{
    try {
        return utf16ToUtf8(line) + "\n";
    } catch (const std::bad_alloc&) {
        return {};
    }
}

} // namespace

void kelLogStderrSink::write(const kelString& line) noexcept
{
    writeAll(STDERR_FILENO, lineBytes(line));
}

kelLogFileSink::kelLogFileSink(const kelString& fileName)
{
    if (fileName.empty()) return;
    f_fd = ::open(utf16ToUtf8(fileName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

kelLogFileSink::~kelLogFileSink()
{
    if (f_fd >= 0) ::close(f_fd);
}

void kelLogFileSink::write(const kelString& line) noexcept
{
    if (f_fd >= 0) writeAll(f_fd, lineBytes(line));
}

// The sink behind a capture; shared with the log, so it may outlive the
// capture by the line being written when the capture ends.
class kelLogCapture::collector : public kelLogSink
{
public:
    void write(const kelString& line) noexcept override
    {
        try {
            std::string text = utf16ToUtf8(line);
            const std::lock_guard<std::mutex> held(f_lock);
            f_lines.push_back(std::move(text));
        } catch (const std::bad_alloc&) {
            // Out of memory: the line is not collected.
        }
    }

    std::vector<std::string> lines() const
    {
        const std::lock_guard<std::mutex> held(f_lock);
        return f_lines;
    }

private:
    mutable std::mutex f_lock;
    std::vector<std::string> f_lines;
};

kelLogCapture::kelLogCapture() : f_collector(std::make_shared<collector>())
{
    f_id = logAddSink(f_collector);
}

kelLogCapture::~kelLogCapture()
{
    logRemoveSink(f_id);
}

std::vector<std::string> kelLogCapture::lines() const
{
    return f_collector->lines();
}

bool kelLogCapture::contains(std::string_view part) const
{
    for (const std::string& line : f_collector->lines())
        if (line.find(part) != std::string::npos) return true;
    return false;
}
