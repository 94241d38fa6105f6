#pragma once
// Helpers for tests that work on files: a temporary directory that goes
// away with the test, and file contents byte for byte.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/stat.h>

class kelTempDir
{
public:
    kelTempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kelTestXXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) f_path = tmpl;
    }
    ~kelTempDir()
    {
        if (f_path.empty()) return;
        ::chmod(f_path.c_str(), 0700); // a test may have made it read-only
        std::error_code ec;
        std::filesystem::remove_all(f_path, ec);
    }
    kelTempDir(const kelTempDir&) = delete;
    kelTempDir& operator=(const kelTempDir&) = delete;

    // Empty when the directory could not be made.
    const std::string& path() const { return f_path; }
    std::string file(const std::string& name) const { return f_path + "/" + name; }

private:
    std::string f_path;
};

inline std::string kelReadBytes(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void kelWriteBytes(const std::string& name, const std::string& data)
{
    std::ofstream(name, std::ios::binary) << data;
}

// The bytes of a UTF-16LE file with its byte-order mark.
inline std::string kelUtf16LeFile(const std::u16string& text)
{
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}
