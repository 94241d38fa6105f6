#pragma once
// The calling thread's last error code, as the operating-system calls the
// library was written against leave it: socket calls store their socket
// error code here (0 = no error), the URL splitter its failure code. Each
// thread has its own value; a call that succeeds need not clear it.

#include <cstdint>

uint32_t kelGetLastError() noexcept;
void kelSetLastError(uint32_t code) noexcept;
