// The counted operator new of this test program (kelTestAllocations), in a
// source of its own so that no inlined allocation meets the replaced free.

#include "tests/support/kelTestAllocCounter.h"

KEL_TEST_COUNT_ALLOCATIONS()
