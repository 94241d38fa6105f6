#pragma once
// kelDynLib: one loaded shared library, opened by path and closed when the
// object goes (or on close()). Symbols are looked up by name; a failed open
// keeps the loader's own text for the caller's log.

#include <string>

class kelDynLib
{
public:
    kelDynLib() noexcept = default;
    ~kelDynLib() { close(); }
    kelDynLib(const kelDynLib&) = delete;
    kelDynLib& operator=(const kelDynLib&) = delete;

    // Opens `path` (UTF-8), closing what was open before. Symbols resolve at
    // once, so a library with missing dependencies fails here and not
    // later inside a call. True when loaded.
    bool open(const std::string& path) noexcept;
    void close() noexcept;
    bool isOpen() const noexcept { return f_handle != nullptr; }

    // The address of `name`, or null when it is not exported (or nothing is
    // open).
    void* symbol(const char* name) const noexcept;
    // The loader's text for the last failed open or lookup.
    const std::string& errorText() const noexcept { return f_error; }

private:
    void* f_handle = nullptr;
    mutable std::string f_error;
};
