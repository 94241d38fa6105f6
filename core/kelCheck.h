#pragma once
// KEL_DCHECK(cond): a check that the caller kept a function's contract. It is
// on in Debug builds (no NDEBUG) and in the address and thread sanitizer
// builds; when `cond` is false it logs the condition, file and line through
// the log and aborts. In release builds it compiles to nothing: `cond` is
// still type-checked but never evaluated, so it must have no side effects.
// Use it only for caller bugs, never for input from a network or a file.

#if !defined(NDEBUG) || defined(KEL_ASAN) || defined(KEL_TSAN)
#define KEL_DCHECK_ON 1
#else
#define KEL_DCHECK_ON 0
#endif

// Logs "check failed: <cond> at <file>:<line>", finishes the log's queued
// writes and aborts. Standard error gets the line too when the log has no
// output, so a failed check never dies silently.
[[noreturn]] void kelCheckFailed(const char* cond, const char* file, int line) noexcept;

#if KEL_DCHECK_ON
#define KEL_DCHECK(cond) (static_cast<bool>(cond) ? void(0) : kelCheckFailed(#cond, __FILE__, __LINE__))
#else
#define KEL_DCHECK(cond) static_cast<void>(sizeof(static_cast<bool>(cond)))
#endif
