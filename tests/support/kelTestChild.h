#pragma once
// Runs a piece of a test in a forked child process, for tests of what two
// processes share (a mapped file, a named shared-memory object). The child
// runs `body` and exits with its result without running the parent's
// clean-up; the parent waits for it, bounded, and stops it by its PID when
// it overstays. Call from a test's own thread while no other thread of the
// test program is running.

#include "tests/support/kelTestWait.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

// The child's exit status (0-255), or -1 when it could not be started, did
// not finish within `timeoutMs` (it is then killed) or died of a signal.
inline int kelTestRunInChild(const std::function<int()>& body, uint64_t timeoutMs = kelTestWaitMs)
{
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 255;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code & 0xFF);
    }
    int status = 0;
    const bool done = kelTestWaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
    if (!done) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
