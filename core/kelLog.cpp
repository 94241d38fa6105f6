#include "core/kelLog.h"

#include "core/kelFileUtils.h"
#include "core/kelLogSink.h"
#include "core/kelMemUtils.h"
#include "core/kelParseInt.h"
#include "core/kelTextUtils.h"
#include "core/kelTick.h"
#include "core/kelTimeUtils.h"
#include "core/kelUtf.h"
#include "core/kelUtilsState.h"
#include "platform/kelPlatformThread.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// Writes in flight to the log file at most; a logger waits for a free slot.
constexpr size_t kMaxPendingWrites = 256;

struct kelPendingWrite
{
    int fd;
    uint64_t offset;
    std::string bytes;
};

bool on(int v)
{
    return v != 0;
}

// The logging state. Lines are built and file offsets reserved under `lock`,
// so stamps, deltas and file order follow the order of the calls; output to
// the console and the callback happens after it is released.
class kelLogState
{
public:
    std::mutex lock;
    std::condition_variable changed;
    std::atomic<bool> stopping{false};

    // Settings (under `lock`).
    kelString fileName; // empty: no log file
    kelLogCallback callback;
    int consoleMode = kelConsoleOff;
    int toFile = 1;
    int stampType = kelStampDateTime;
    int memInfo = 0;
    int threadId = 0;
    int unicodeFile = 0;
    int useUTC = 0;

    // The log file and its running end offset.
    int fd = -1;
    uint64_t writeOffset = 0;

    // Stamp memory: the date of the previous dated stamp, the previous message.
    uint32_t lastDate = 0;
    uint64_t lastTick = 0;
    bool anyMessage = false;

    // Registered sinks; a logger copies the list and writes after unlocking.
    std::vector<std::pair<kelLogSinkId, std::shared_ptr<kelLogSink>>> sinks;
    kelLogSinkId nextSinkId = 1;

    std::deque<kelPendingWrite> queue;
    size_t inFlight = 0; // queued plus the one being written
    std::thread writer;

    // Queues a write at the running end offset. Called with `lock` held.
    void queueWrite(std::unique_lock<std::mutex>& held, std::string bytes)
    {
        changed.wait(held, [&] { return inFlight < kMaxPendingWrites || stopping.load(); });
        if (fd < 0) return;
        queue.push_back({fd, writeOffset, std::move(bytes)});
        writeOffset += queue.back().bytes.size();
        ++inFlight;
        if (!writer.joinable()) writer = std::thread([this] { writeLoop(); });
        changed.notify_all();
    }

    // Waits, with `lock` held, until every queued write has landed.
    bool drain(std::unique_lock<std::mutex>& held, uint32_t timeoutMs)
    {
        return changed.wait_for(held, std::chrono::milliseconds(timeoutMs), [&] { return inFlight == 0; });
    }

    void closeFile(std::unique_lock<std::mutex>& held)
    {
        drain(held, 10000);
        if (fd >= 0) ::close(fd);
        fd = -1;
        writeOffset = 0;
    }

    void shutdown()
    {
        std::thread w;
        {
            std::unique_lock<std::mutex> held(lock);
            if (stopping.exchange(true)) return;
            closeFile(held);
            changed.notify_all();
            w = std::move(writer);
        }
        if (w.joinable()) w.join();
    }

private:
    void writeLoop()
    {
        std::unique_lock<std::mutex> held(lock);
        for (;;) {
            changed.wait(held, [&] { return !queue.empty() || stopping.load(); });
            if (queue.empty()) return;
            kelPendingWrite w = std::move(queue.front());
            queue.pop_front();
            held.unlock();
            size_t done = 0;
            while (done < w.bytes.size()) {
                const ssize_t n = ::pwrite(w.fd, w.bytes.data() + done, w.bytes.size() - done,
                                           static_cast<off_t>(w.offset + done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break; // a failing log file: the line is lost, logging goes on
                done += static_cast<size_t>(n);
            }
            held.lock();
            --inFlight;
            changed.notify_all();
        }
    }
};

// Never destroyed: a thread that logs while the process exits finds logging
// stopped instead of a destroyed object. The exit handler finishes the queued
// writes and closes the file.
kelLogState& logState()
{
    static kelLogState* const s = [] {
        auto* state = new kelLogState;
        std::atexit([] { logState().shutdown(); });
        return state;
    }();
    return *s;
}

std::atomic<uint32_t> g_infoMask{0};

// Set while this thread runs the log callback: a line logged meanwhile (the
// callback's own failure) skips the callback instead of recursing into it.
thread_local bool t_inLogCallback = false;

void setIf(int& field, int value)
{
    if (value != -1) field = value;
}

kelString twoDigits(unsigned v)
{
    return padText(formatUnsigned(v), 2, u'0', true);
}

// The stamp of one line. Called with the log lock held.
kelString stampOf(kelLogState& s, int stampType, bool useUTC)
{
    const uint64_t tick = tickNow();
    const uint64_t delta = s.anyMessage ? tick - s.lastTick : 0;
    s.lastTick = tick;
    s.anyMessage = true;
    if (stampType < kelStampDate || stampType > kelStampDateTimeWideDelta) return {};

    const kelSystemTime t = useUTC ? systemTimeNow() : localTimeNow();
    kelString out;
    if (stampType == kelStampDate || stampType == kelStampDateTime || stampType >= kelStampDateTimeDelta) {
        const uint32_t date = uint32_t(t.year) * 10000u + t.month * 100u + t.day;
        if (date == s.lastDate) {
            out += u' ';
        } else {
            out += formatUnsigned(t.year) + u'.' + twoDigits(t.month) + u'.' + twoDigits(t.day) + u' ';
            s.lastDate = date;
        }
    }
    if (stampType != kelStampDate) {
        out += twoDigits(t.hour) + u':' + twoDigits(t.minute) + u':' + twoDigits(t.second) + u'.' +
               padText(formatUnsigned(t.milliseconds), 3, u'0', true) + u' ';
    }
    if (stampType >= kelStampTimeDelta) {
        const int width = stampType == kelStampDateTimeWideDelta ? 10 : 6;
        out += u", " + padText(formatUnsigned(delta, 10, 3, u' '), width, u' ', true);
    }
    return out;
}

bool stdoutOpen()
{
    return ::fcntl(STDOUT_FILENO, F_GETFD) != -1;
}

} // namespace

bool logSettings(const kelString& fileName, std::optional<kelLogCallback> callback, int consoleMode,
                 int toFile, int stampType, int memInfo, int threadId, int unicodeFile, int useUTC)
{
    kelLogState& s = logState();
    std::unique_lock<std::mutex> held(s.lock);
    if (s.stopping) return false;
    if (callback) s.callback = std::move(*callback);
    setIf(s.consoleMode, consoleMode);
    setIf(s.toFile, toFile);
    setIf(s.stampType, stampType);
    setIf(s.memInfo, memInfo);
    setIf(s.threadId, threadId);
    setIf(s.unicodeFile, unicodeFile);
    setIf(s.useUTC, useUTC);

    const kelString name = trimText(fileName);
    if (name == u"<>") return true;
    s.closeFile(held);
    s.fileName.clear();
    if (textEquals(name, u"<none>")) return true;
    s.fileName = name.empty() ? moduleNameWithExt(u"log") : name;
    const kelFileHandle fd = createFileAt(s.fileName, false, true);
    if (fd < 0) return false;
    s.fd = fd;
    const int64_t size = fileSizeOf(fd);
    s.writeOffset = size > 0 ? static_cast<uint64_t>(size) : 0;
    return true;
}

namespace {

// logMessage's work; true when the line went to at least one output.
bool deliverMessage(const kelString& text, int consoleMode, int toFile, int stampType, int memInfo,
                    int threadId, uint32_t flags)
{
    kelLogState& s = logState();
    if (s.stopping) return false;
    kelString line;
    kelLogCallback callback;
    std::vector<std::shared_ptr<kelLogSink>> sinks;
    int console;
    {
        std::unique_lock<std::mutex> held(s.lock);
        if (s.stopping) return false;
        console = consoleMode == -1 ? s.consoleMode : consoleMode;
        const bool file = on(toFile == -1 ? s.toFile : toFile) && s.fd >= 0;
        if (!t_inLogCallback) callback = s.callback;
        sinks.reserve(s.sinks.size());
        for (const auto& entry : s.sinks)
            sinks.push_back(entry.second);
        if (console == kelConsoleOff && !callback && !file && sinks.empty()) return false;

        line = stampOf(s, stampType == -1 ? s.stampType : stampType, on(s.useUTC));
        if (on(memInfo == -1 ? s.memInfo : memInfo))
            line += padText(u", <" + formatUnsigned(memoryInUse(), 10, 3, u' ') + u">", 12, u' ', false);
        if (on(threadId == -1 ? s.threadId : threadId))
            line += u", [" + padText(formatUnsigned(kelCurrentThreadId(), 16), 5, u'0', true) + u"]";
        line = line.empty() ? text : line + u", " + text;

        if (file) {
            const kelString withEnd = line + u"\r\n";
            std::string bytes;
            if (on(s.unicodeFile)) {
                bytes.reserve(withEnd.size() * 2);
                for (const char16_t u : withEnd) {
                    bytes.push_back(static_cast<char>(u & 0xFF));
                    bytes.push_back(static_cast<char>(u >> 8));
                }
            } else {
                bytes = utf16ToUtf8(withEnd);
            }
            if (flags & kelLogNoQueue)
                appendToFile(s.fileName + u".nol", bytes.data(), bytes.size());
            else
                s.queueWrite(held, std::move(bytes));
        }
    }

    if (console == kelConsoleLine || console == kelConsoleRaw) {
        if (stdoutOpen()) {
            std::string out = utf16ToUtf8(line);
            if (console == kelConsoleLine) out += "\r\n";
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fflush(stdout);
        } else {
            showMessage(line, u"Information message", kelMbIconInfo);
        }
    }
    for (const auto& sink : sinks)
        sink->write(line);
    if (callback) {
        t_inLogCallback = true;
        try {
            callback(line);
        } catch (...) {
            logCaught("the log callback");
        }
        t_inLogCallback = false;
    }
    return true;
}

// The text of the exception being handled.
std::string caughtText()
{
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

} // namespace

void logMessage(const kelString& text, int consoleMode, int toFile, int stampType, int memInfo, int threadId,
                uint32_t flags)
{
    deliverMessage(text, consoleMode, toFile, stampType, memInfo, threadId, flags);
}

bool logFailure(std::string_view text) noexcept
{
    // Logging may run out of memory; the failure being reported must not
    // turn into an exception for the library code that reports it.
    try {
        return deliverMessage(utf8ToUtf16(text), -1, -1, -1, -1, -1, 0);
    } catch (...) {
        return false;
    }
}

bool logFailuref(const char* format, ...) noexcept
{
    char text[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return false;
    return logFailure(std::string_view(text, std::min(static_cast<size_t>(n), sizeof text - 1)));
}

void logCaught(std::string_view where) noexcept
{
    try {
        std::string text = "exception caught in ";
        text += where;
        if (std::current_exception()) text += ": " + caughtText();
        logFailure(text);
    } catch (...) {
        // Out of memory while describing the exception: nothing more to do.
    }
}

kelLogSinkId logAddSink(std::shared_ptr<kelLogSink> sink)
{
    if (!sink) return 0;
    kelLogState& s = logState();
    const std::lock_guard<std::mutex> held(s.lock);
    if (s.stopping) return 0;
    const kelLogSinkId id = s.nextSinkId++;
    s.sinks.emplace_back(id, std::move(sink));
    return id;
}

void logRemoveSink(kelLogSinkId id) noexcept
{
    kelLogState& s = logState();
    std::shared_ptr<kelLogSink> removed; // released after unlocking
    const std::lock_guard<std::mutex> held(s.lock);
    for (auto it = s.sinks.begin(); it != s.sinks.end(); ++it)
        if (it->first == id) {
            removed = std::move(it->second);
            s.sinks.erase(it);
            break;
        }
}

void setInfoMask(uint32_t mask) noexcept
{
    g_infoMask = mask;
}
uint32_t infoMask() noexcept
{
    return g_infoMask;
}

void infoMessage(const kelString& text, int64_t mask, int consoleMode, int toFile, int stampType, int memInfo,
                 int threadId, uint32_t flags)
{
    const uint32_t global = g_infoMask;
    const uint32_t m = mask < 0 ? global : static_cast<uint32_t>(mask);
    if ((m & global) != 0) logMessage(text, consoleMode, toFile, stampType, memInfo, threadId, flags);
}

bool logFlush(uint32_t timeoutMs)
{
    kelLogState& s = logState();
    std::unique_lock<std::mutex> held(s.lock);
    return s.drain(held, timeoutMs);
}
