#pragma once
// The one way to make and free objects that run virtual hooks after
// construction or before destruction (threads, components):
//   auto* t = kelCreate<MyThread>(args...);   // construct, then afterConstruction()
//   kelFree(t);                                // destroying() set, beforeDestruction(), delete
// kelOwned<T> holds such an object and frees it through kelFree.

#include "core/kelObject.h"

#include <memory>
#include <new>
#include <utility>

void kelReportHookFailure(const char* where) noexcept;

// Returns nullptr when construction or the after-construction hook fails
// (nothing raises to the caller).
template <class T, class... Args> T* kelCreate(Args&&... args) noexcept
{
    T* obj = nullptr;
    try {
        obj = new T(std::forward<Args>(args)...);
    } catch (...) {
        kelReportHookFailure("constructor");
        return nullptr;
    }
    try {
        static_cast<kelObject*>(obj)->afterConstruction();
    } catch (...) {
        kelReportHookFailure("afterConstruction");
        delete obj;
        return nullptr;
    }
    return obj;
}

// Sets destroying(), runs beforeDestruction() and deletes. Null is ignored.
void kelFree(kelObject* obj) noexcept;

struct kelFreeDeleter
{
    void operator()(kelObject* obj) const noexcept { kelFree(obj); }
};

template <class T> using kelOwned = std::unique_ptr<T, kelFreeDeleter>;

template <class T, class... Args> kelOwned<T> kelMakeOwned(Args&&... args) noexcept
{
    return kelOwned<T>(kelCreate<T>(std::forward<Args>(args)...));
}
