#pragma once
// Sends every byte of a buffer on a connected stream socket, however the
// kernel splits it: partial sends continue where they stopped, and a full
// send buffer is waited out while the peer keeps taking bytes. Used by the
// session protocols' threads, which all send on sockets they own.

#include "core/kelClock.h"
#include "net/sockets/kelSocket.h"

#include <cstddef>
#include <functional>

// 0 when every byte went; the socket error code; or 10060 when no byte could
// go for `stallMs` of `clock` time, or `abort` (tested while waiting) said
// so. Any thread that may use `socket`.
int kelSendAll(kelSocket& socket, const void* data, size_t len, const kelClock& clock, uint64_t stallMs,
               const std::function<bool()>& abort = {});
