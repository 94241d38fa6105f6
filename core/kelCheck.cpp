#include "core/kelCheck.h"

#include "core/kelLog.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

void kelCheckFailed(const char* cond, const char* file, int line) noexcept
{
    std::string text;
    try {
        text = std::string("check failed: ") + cond + " at " + file + ":" + std::to_string(line);
    } catch (...) {
        text = "check failed";
    }
    if (!logFailure(text)) {
        // The process is about to die; with no log output configured this
        // is the only trace of why.
        text += "\n";
        const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
        static_cast<void>(ignored);
    }
    logFlush(1000);
    std::abort();
}
