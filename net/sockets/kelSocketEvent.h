#pragma once
// The events a socket manager (kelSocks) raises to its owner, the id rules
// they follow, and the owner's callback.
//
// Every event carries the thread id of the socket thread it concerns (72,
// 73, ... in creation order) and a connection id below 2^24. Data events
// (kelseServerData, kelseClientData) put a tag in the top byte of the
// connection id: 0x7F for the plain socket threads, the delivering worker's
// index for completion-port threads. Take the low 24 bits
// (kelSocksConnId) to find the connection.

#include <cstdint>
#include <functional>

enum kelSocketEvent : int32_t {
    // A server thread's socket listens (TCP) or is bound (UDP).
    // thread id / 0 / null / 0
    kelseServerListen = 0,
    // A server thread ends. thread id / 0 / null / 0
    kelseServerStop = 1,
    // TCP: a connection was accepted; UDP: the first datagram of a new
    // source address arrived. thread id / new connId / UDP: the sender's
    // sockaddr_in, TCP: null / UDP: 16, TCP: 0
    kelseServerConnect = 2,
    // Data on a server connection. thread id / tagged connId / data / bytes
    kelseServerData = 3,
    // A server connection is gone (removed by the owner, closed by the peer,
    // timed out). thread id / connId / null / 0
    kelseServerDisconnect = 4,
    // A client thread connected. thread id / connId / null / 0
    kelseClientConnect = 5,
    // Data on a client connection. thread id / tagged connId / data / bytes
    kelseClientData = 6,
    // A client thread ends. thread id / the client's connId / null / 0
    kelseClientDisconnect = 7,
    // Connect, listen or bind failed as the thread started.
    // thread id / 4000 (client) or 3999 (server) / error code or null / 0 or 8
    kelseThreadStartupError = 8,
    // A socket handle is ready for the owner's options. thread id / the
    // handle / the pointer value 1 for the thread's own socket, null for an
    // accepted one / 0
    kelseThreadAdjustSocketOptions = 9,
};

// The connection id of a tagged data-event id.
inline constexpr uint32_t kelSocksConnIdMask = 0x00FFFFFFu;
inline constexpr uint32_t kelSocksConnId(uintptr_t taggedId) noexcept
{
    return static_cast<uint32_t>(taggedId) & kelSocksConnIdMask;
}
// The top-byte tag of the plain socket threads' data events.
inline constexpr uint32_t kelSocksDataTag = 0x7F000000u;

class kelSocks;

// The owner's callback. It runs on the manager's threads (which one each
// event names in kelSocks.h); `data` is valid only during the call. It may
// call back into the manager: removals and closes asked for from here take
// effect once the handler has returned.
using kelSocksOnEventEvent = std::function<void(kelSocks* sender, kelSocketEvent event, uint32_t id,
                                                uintptr_t connId, const void* data, uintptr_t size)>;
