#pragma once
// Third-party peer programs of the interop tests (see kelTestProcess), the
// bounded wait they share and the loopback clock their reports use.

#include "core/kelTick.h"
#include "net/rtp/kelSocks_SNTP.h"
#include "platform/kelPlatformThread.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"

#include <cstdint>
#include <functional>

// Sender reports take their time from the shared SNTP clock, which a
// transmitter's stack prepares at once: in these tests it asks a loopback
// port where nobody answers, never a public server.
inline const bool kelRTPPeerNTPOnLoopback = (setNTPDefaultServer(u"127.0.0.1", 9), true);

// Third-party peers run with their input from /dev/null.
using kelRTPPeerProcess = kelTestProcess;

inline bool waitUntil(const std::function<bool()>& done, uint64_t timeoutMs)
{
    const uint64_t start = tickNow();
    while (!done()) {
        if (ticksSince(start) > timeoutMs) return done();
        kelSleepMs(5);
    }
    return true;
}
