#include "core/kelUtilsState.h"

#include "core/kelUtf.h"
#include "core/kelLog.h"

#include <clocale>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

// Created on first use, which the library's start-up makes its first step.
struct kelUtilsStateData
{
    uint64_t frequency = 0;
    uint64_t countsPerMs = 0;
    bool counterMissing = true;
    std::string separator8 = ",";
    kelString separator = u",";
    std::mutex hookLock;
    kelMessageHook hook;

    kelUtilsStateData()
    {
        timespec res{};
        if (::clock_getres(CLOCK_MONOTONIC, &res) == 0 && res.tv_sec == 0 && res.tv_nsec > 0 &&
            res.tv_nsec < 1000000) {
            frequency = 1000000000u;
            countsPerMs = frequency / 1000;
            counterMissing = false;
        }
        if (const std::lconv* lc = std::localeconv();
            lc != nullptr && lc->thousands_sep != nullptr && lc->thousands_sep[0] != '\0') {
            separator8 = lc->thousands_sep;
            separator = utf8ToUtf16(separator8);
        }
    }
};

// Never destroyed, so late messages during exit still find it.
kelUtilsStateData& state()
{
    static kelUtilsStateData* const s = new kelUtilsStateData;
    return *s;
}

} // namespace

uint64_t perfCounterFrequency() noexcept
{
    return state().frequency;
}
uint64_t perfCountsPerMs() noexcept
{
    return state().countsPerMs;
}
bool perfCounterMissing() noexcept
{
    return state().counterMissing;
}

// The performance counter reads CLOCK_MONOTONIC, the clock of
// kelMonotonicUs, at the nanosecond resolution the counter frequency above
// promises (kelMonotonicUs keeps microseconds).
uint64_t perfCounterNow() noexcept
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

const kelString& thousandSeparator() noexcept
{
    return state().separator;
}
const std::string& thousandSeparator8() noexcept
{
    return state().separator8;
}

void setMessageHook(kelMessageHook hook)
{
    kelUtilsStateData& s = state();
    const std::lock_guard<std::mutex> guard(s.hookLock);
    s.hook = std::move(hook);
}

int showMessage(const kelString& text, const kelString& caption, uint32_t flags, void* owner)
{
    kelUtilsStateData& s = state();
    kelMessageHook hook;
    {
        const std::lock_guard<std::mutex> guard(s.hookLock);
        hook = s.hook;
    }
    if (hook) {
        // The hook is the program's; a failure in it must not reach the caller.
        try {
            return hook(text, caption, flags, owner);
        } catch (...) {
            logCaught("the message hook");
            return 0;
        }
    }
    const std::string line = utf16ToUtf8(caption.empty() ? text : caption + u": " + text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return 0;
}
