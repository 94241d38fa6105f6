#include "platform/kelDynLib.h"

#include <dlfcn.h>

bool kelDynLib::open(const std::string& path) noexcept
{
    close();
    f_error.clear();
    // RTLD_LOCAL keeps one plug-in's symbols from satisfying another's.
    f_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (f_handle == nullptr) {
        const char* text = dlerror();
        try {
            f_error = text ? text : "cannot load library";
        } catch (...) {
        }
    }
    return f_handle != nullptr;
}

void kelDynLib::close() noexcept
{
    if (f_handle != nullptr) dlclose(f_handle);
    f_handle = nullptr;
}

void* kelDynLib::symbol(const char* name) const noexcept
{
    if (f_handle == nullptr || name == nullptr) return nullptr;
    dlerror();
    void* address = dlsym(f_handle, name);
    if (address == nullptr) {
        const char* text = dlerror();
        try {
            f_error = text ? text : "symbol not found";
        } catch (...) {
        }
    }
    return address;
}
