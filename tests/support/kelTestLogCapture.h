#pragma once

#include "core/kelLog.h"

#include <mutex>
#include <vector>

// Collects the lines of the library's log while it lives, through the log
// callback, and removes the callback when it goes. The log has one callback:
// one capture at a time.
class kelTestLogCapture
{
public:
    kelTestLogCapture()
    {
        (void)logSettings(u"<>", [this](const kelString& line) {
            std::lock_guard lock(f_mutex);
            f_lines.push_back(line);
        });
    }
    ~kelTestLogCapture() { (void)logSettings(u"<>", kelLogCallback{}); }

    bool contains(const kelString& part)
    {
        std::lock_guard lock(f_mutex);
        for (const kelString& line : f_lines)
            if (line.find(part) != kelString::npos) return true;
        return false;
    }

private:
    std::mutex f_mutex;
    std::vector<kelString> f_lines;
};
