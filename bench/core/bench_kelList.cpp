// The list cases in a process with one thread. Both locks then skip their
// locked instructions (the C library's mutex and kelObject alike), so the
// figures show what the list does around its lock.

#include "kelBenchListCases.h"

KEL_BENCH_MAIN_WITH_RATIOS("std::vector+mutex")
