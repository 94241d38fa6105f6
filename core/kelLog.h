#pragma once
// A small logging facility: lines with an optional stamp, memory and thread
// prefix, written to standard output, a callback and/or a log file. Any
// thread may log; file writes are queued to a writer thread (at most 256
// writes in flight) and land at increasing offsets in call order. At process
// exit logging stops and the queued writes are finished.
//
// Integer options take -1 for "keep the current default", 0 for off and any
// other value for on. Defaults: no log file, no console, file output on (it
// takes effect once logSettings names a file), date-and-time stamps, no
// memory or thread prefix, 8-bit (UTF-8) file text, local time.
//
// This is the library's one channel for failures: library code reports
// through logFailure and logCaught, never straight to standard error. The
// sinks of core/kelLogSink.h receive every line as well.

#include "core/kelTypes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

// Stamp types.
inline constexpr int kelStampNone = 0;
inline constexpr int kelStampDate = 2;
inline constexpr int kelStampTime = 3;
inline constexpr int kelStampDateTime = 4;
inline constexpr int kelStampTimeDelta = 5;
inline constexpr int kelStampDateTimeDelta = 6;
inline constexpr int kelStampDateTimeWideDelta = 7;

// Console modes: the line and CR LF, or the line alone, to standard output.
inline constexpr int kelConsoleOff = 0;
inline constexpr int kelConsoleLine = 1;
inline constexpr int kelConsoleRaw = 2;

// logMessage flag: append to "<log file name>.nol" directly instead of the
// queued write to the log file.
inline constexpr uint32_t kelLogNoQueue = 8;

// Receives every finished line (without CR LF) on the logging thread. Must
// not log itself (a line it logs skips the callback); an exception it raises
// is caught and reported to the other outputs.
using kelLogCallback = std::function<void(const kelString& line)>;

// Changes the logging defaults. `fileName` is trimmed: "<none>" (any case)
// means no log file, "<>" keeps the current one, an empty name means
// moduleNameWithExt("log"). The log file is opened (created when missing) and
// its size becomes the write offset. A `callback` of nullopt keeps the current
// one, an empty function removes it. False when the log file cannot be
// opened (file output then stays without a file).
bool logSettings(const kelString& fileName, std::optional<kelLogCallback> callback = std::nullopt,
                 int consoleMode = -1, int toFile = -1, int stampType = -1, int memInfo = -1,
                 int threadId = -1, int unicodeFile = -1, int useUTC = -1);

// Builds one line and delivers it (console, callback, file). Does nothing
// after shutdown began or when no output is on.
void logMessage(const kelString& text, int consoleMode = -1, int toFile = -1, int stampType = -1,
                int memInfo = -1, int threadId = -1, uint32_t flags = 0);

// The global info mask (0 by default: info messages are off).
void setInfoMask(uint32_t mask) noexcept;
uint32_t infoMask() noexcept;
// logMessage only when `mask` (or, when negative, the global mask) shares a
// bit with the global mask.
void infoMessage(const kelString& text, int64_t mask = -1, int consoleMode = -1, int toFile = -1,
                 int stampType = -1, int memInfo = -1, int threadId = -1, uint32_t flags = 0);

// Waits until every queued log write has reached the file (tests, orderly
// shutdown). Bounded by `timeoutMs`; true when the queue is empty.
bool logFlush(uint32_t timeoutMs = 3000);

// Reports a failure of library code: one logMessage of the UTF-8 `text` with
// the current defaults. True when the line reached at least one output
// (console, callback, log file or sink). Never raises.
bool logFailure(std::string_view text) noexcept;
// The same with printf formatting (the text is cut at 1023 bytes).
bool logFailuref(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Called only inside a catch block at a library boundary (thread bodies,
// data delivery, item release, callbacks into user or subclass code): logs
// "exception caught in <where>: <what>" for the exception being handled.
void logCaught(std::string_view where) noexcept;
