#pragma once
// Whether the process has never had a second thread. The C library keeps the
// flag and clears it before it starts the first other thread, so only the
// calling thread can make it change: while it holds, nobody else can see
// the caller's data, and a plain load and store do what locked instructions
// would (the C library's own mutex takes the same shortcut). False where the
// C library does not say.

#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>
#endif

inline bool kelOnlyThread() noexcept
{
#if __has_include(<sys/single_threaded.h>)
    return __libc_single_threaded != 0;
#else
    return false;
#endif
}
