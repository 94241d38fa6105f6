#pragma once
// Whether a thread of this process is asleep in the kernel (state S in its
// /proc entry), so a test can wait until a thread has reached a blocking wait
// instead of sleeping for a time and hoping it did.

#include <sys/types.h>

#include <fstream>
#include <sstream>
#include <string>

inline bool kelTestThreadSleeps(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    // The name in parentheses may hold spaces; the state follows the last ')'.
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}
