#include "platform/kelLastError.h"

namespace {
thread_local uint32_t t_lastError = 0;
}

uint32_t kelGetLastError() noexcept
{
    return t_lastError;
}

void kelSetLastError(uint32_t code) noexcept
{
    t_lastError = code;
}
