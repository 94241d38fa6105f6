#pragma once
// A scratch folder beside the test executable whose name does not change
// between runs. A "threadsafe" death test runs the whole test body again in
// a fresh process, so a folder with a random name would differ between the
// parent and the child; this one is the same in both. Emptied when made and
// removed when the parent's object goes away.

#include <filesystem>
#include <string>

#include <limits.h>
#include <unistd.h>

class kelStableTestDir
{
public:
    explicit kelStableTestDir(const std::string& name)
    {
        char exe[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0) return;
        f_path = std::string(exe, static_cast<size_t>(n)) + "." + name + ".d";
        std::error_code ec;
        std::filesystem::remove_all(f_path, ec);
        if (!std::filesystem::create_directories(f_path, ec)) f_path.clear();
    }
    ~kelStableTestDir()
    {
        std::error_code ec;
        if (!f_path.empty()) std::filesystem::remove_all(f_path, ec);
    }
    kelStableTestDir(const kelStableTestDir&) = delete;
    kelStableTestDir& operator=(const kelStableTestDir&) = delete;

    // Empty when the folder could not be made.
    const std::string& path() const { return f_path; }
    std::string file(const std::string& name) const { return f_path + "/" + name; }

private:
    std::string f_path;
};
