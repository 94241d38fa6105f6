#pragma once
// Outputs of the log beside the console, the callback and the log file of
// logSettings: every finished line goes to every registered sink. The
// programs register a standard-error sink and a file sink; tests register a
// capture to see what library code reported.

#include "core/kelTypes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One output of the log. write() receives each finished line (no line end)
// on the thread that logged it, after the log's lock is released, so several
// threads may be in write() at once. It must not log itself.
class kelLogSink
{
public:
    virtual ~kelLogSink() = default;
    virtual void write(const kelString& line) noexcept = 0;
};

// Identifies a registered sink; 0 is never given out.
using kelLogSinkId = uint64_t;

// Adds a sink; the log keeps it alive until it is removed (a line being
// written when it is removed may still reach it). 0 for an absent sink or
// after shutdown began.
kelLogSinkId logAddSink(std::shared_ptr<kelLogSink> sink);
// Removes a sink; an unknown id does nothing.
void logRemoveSink(kelLogSinkId id) noexcept;

// Writes each line as UTF-8 and LF to standard error, one write per line so
// lines of different threads do not interleave.
class kelLogStderrSink : public kelLogSink
{
public:
    void write(const kelString& line) noexcept override;
};

// Appends each line as UTF-8 and LF to a file, one write per line, at once
// (no queue: the line is in the file when logging returns).
class kelLogFileSink : public kelLogSink
{
public:
    // Opens (creating when missing) `fileName` for appending; the folder must
    // exist. isOpen() tells whether that worked.
    explicit kelLogFileSink(const kelString& fileName);
    ~kelLogFileSink() override;
    kelLogFileSink(const kelLogFileSink&) = delete;
    kelLogFileSink& operator=(const kelLogFileSink&) = delete;

    bool isOpen() const noexcept { return f_fd >= 0; }
    void write(const kelString& line) noexcept override;

private:
    int f_fd = -1;
};

// Collects the lines logged while it exists, for tests that check that a
// failure was reported. Lines logged by any thread are collected.
class kelLogCapture
{
public:
    kelLogCapture();
    ~kelLogCapture();
    kelLogCapture(const kelLogCapture&) = delete;
    kelLogCapture& operator=(const kelLogCapture&) = delete;

    // The lines so far, as UTF-8.
    std::vector<std::string> lines() const;
    // True when a collected line contains `part` (poll it with a bounded
    // wait for failures that other threads report).
    bool contains(std::string_view part) const;

private:
    class collector;
    std::shared_ptr<collector> f_collector;
    kelLogSinkId f_id = 0;
};
