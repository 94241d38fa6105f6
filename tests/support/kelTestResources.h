#pragma once
// What a process holds right now: its open descriptors and its threads, as
// /proc/self lists them. A test takes one count before and one after a run
// of work that must give back all it took.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

struct kelTestResources
{
    size_t descriptors = 0;
    size_t threads = 0;
    // The targets of the descriptors ("socket:[123]", "anon_inode:[eventfd]"),
    // to name what was left over.
    std::vector<std::string> descriptorNames;

    bool operator==(const kelTestResources& other) const
    {
        return descriptors == other.descriptors && threads == other.threads;
    }
};

inline kelTestResources kelTestResourcesNow()
{
    kelTestResources r;
    std::error_code ec;
    // The directory iterator holds a descriptor of its own while it runs.
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code lec;
        const std::filesystem::path target = std::filesystem::read_symlink(e.path(), lec);
        if (lec) continue;
        if (target.string().rfind("/proc/", 0) == 0 && target.string().find("/fd") != std::string::npos)
            continue;
        ++r.descriptors;
        r.descriptorNames.push_back(target.string());
    }
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        (void)e;
        ++r.threads;
    }
    return r;
}
