#pragma once
// The one socket manager every IP pipe of the process shares
// (kelMtIdeSocks, a kelSocks with 4 socket threads), and its list of the
// pipes it serves (kelMtIdeSocksClients), through which it forwards each
// socket event to the pipe whose socket thread raised it.
//
// The manager is made by the first IP pipe (kelMtIdeSocksShared) and freed
// when the process exits, before the socket unit it started goes.
//
// Threads: events arrive on the manager's threads; registering and
// unregistering pipes happens on the pipes' owner threads. A pipe that
// unregisters waits until no event is being forwarded to it, so it can be
// freed safely afterwards.

#include "net/sockets/kelSocks.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class kelmtlInOutIpPipe;

// The pipes the shared manager serves, found by their socket-thread id (the
// id each pipe holds now; several pipes may hold 0).
class kelMtIdeSocksClients
{
public:
    void add(kelmtlInOutIpPipe* pipe);
    // Takes the pipe out and waits until no event is being forwarded to it
    // (not when called from inside such an event).
    void remove(kelmtlInOutIpPipe* pipe);
    // Runs `fn` on the pipe whose socket thread is `id` unless it is being
    // destroyed; the pipe stays listed while `fn` runs. True when one was.
    bool forward(uint32_t id, const std::function<void(kelmtlInOutIpPipe*)>& fn);
    size_t count() const;
    // True on a thread that is inside an event forwarded to `pipe`.
    static bool handling(const kelmtlInOutIpPipe* pipe) noexcept;

private:
    struct Entry
    {
        kelmtlInOutIpPipe* pipe;
        int inFlight;
    };
    mutable std::mutex f_guard;
    std::condition_variable f_idle;
    std::vector<Entry> f_entries;
};

// Marks the calling thread as handling an event of `pipe` for its lifetime
// (nested scopes allowed), for work done outside the manager's own
// forwarding (a packet thread's delivery).
class kelIpPipeHandlingScope
{
public:
    explicit kelIpPipeHandlingScope(const kelmtlInOutIpPipe* pipe) noexcept;
    ~kelIpPipeHandlingScope();
    kelIpPipeHandlingScope(const kelIpPipeHandlingScope&) = delete;
    kelIpPipeHandlingScope& operator=(const kelIpPipeHandlingScope&) = delete;
};

class kelMtIdeSocks : public kelSocks
{
public:
    static constexpr uintptr_t kPoolSize = 4;

    kelMtIdeSocks();
    void raiseEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                    uintptr_t size) override;
    kelMtIdeSocksClients& clients() noexcept { return f_clients; }
    kelString _classID() const override { return u"kelMtIdeSocks"; }

private:
    kelMtIdeSocksClients f_clients;
};

// The shared manager, made on first use; null when it could not be made.
kelMtIdeSocks* kelMtIdeSocksShared() noexcept;
