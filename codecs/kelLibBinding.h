#pragma once
// kelLibBinding: the common part of the bindings to the codec libraries
// that are loaded by file name at run time and never linked (libmpg123,
// LAME, CELT). One record holds the module, a load counter and, in the
// subclass, one function pointer per export:
//
//  - load() of a record that holds a module counts one more user;
//  - otherwise it opens the library (an empty or blank name means the
//    record's default soname) and resolves every export; a missing export
//    unloads the library again and fails with the record's missing code;
//  - unload() counts one user less and frees the library at 0.
//
// Any thread; load and unload serialise on the record's own mutex. Calls
// through the resolved pointers are the users' business: they hold a load
// while they call.

#include "platform/kelDynLib.h"

#include <cstdint>
#include <mutex>
#include <string>

// The result of a load when the library file itself cannot be loaded (the
// platform's "module not found").
inline constexpr int kelLibNotFound = 126;

class kelLibBinding
{
public:
    virtual ~kelLibBinding() = default;
    kelLibBinding(const kelLibBinding&) = delete;
    kelLibBinding& operator=(const kelLibBinding&) = delete;

    // 0 when loaded (or already loaded), kelLibNotFound when the file does
    // not load, the record's missing code when an export is absent.
    int load(const std::string& name = {}) noexcept;
    void unload() noexcept;
    bool isLoaded() const noexcept;
    int loadCount() const noexcept;
    // The file name the record was loaded from (or tried last).
    std::string fileName() const;
    // The loader's text for the last failed load.
    std::string errorText() const;

protected:
    kelLibBinding(const char* defaultName, int missingCode) noexcept
        : f_defaultName(defaultName), f_missingCode(missingCode)
    {}

    // Sets every function pointer from `lib`; true when all resolved.
    virtual bool resolve(const kelDynLib& lib) noexcept = 0;
    // Clears every function pointer.
    virtual void clear() noexcept = 0;

    template <typename F> static bool bind(const kelDynLib& lib, F& slot, const char* name) noexcept
    {
        slot = reinterpret_cast<F>(lib.symbol(name));
        return slot != nullptr;
    }
    // True when every name of the null-terminated list is exported: the
    // calls a record resolves without keeping a typed pointer.
    static bool exportsAll(const kelDynLib& lib, const char* const* names) noexcept;

private:
    const char* f_defaultName;
    int f_missingCode;
    mutable std::mutex f_mutex;
    kelDynLib f_lib;
    int f_count = 0;
    std::string f_fileName, f_error;
};
