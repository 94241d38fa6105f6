#include "components/kelMtIdeSocks.h"

#include "components/kelmtlInOutIpPipe.h"
#include "core/kelCreate.h"
#include "net/sockets/kelWSA.h"

#include <algorithm>

namespace {

// The pipes whose events the calling thread is handling, innermost last.
thread_local std::vector<const kelmtlInOutIpPipe*> t_handling;

} // namespace

kelIpPipeHandlingScope::kelIpPipeHandlingScope(const kelmtlInOutIpPipe* pipe) noexcept
{
    t_handling.push_back(pipe);
}

kelIpPipeHandlingScope::~kelIpPipeHandlingScope()
{
    t_handling.pop_back();
}

bool kelMtIdeSocksClients::handling(const kelmtlInOutIpPipe* pipe) noexcept
{
    return std::find(t_handling.begin(), t_handling.end(), pipe) != t_handling.end();
}

void kelMtIdeSocksClients::add(kelmtlInOutIpPipe* pipe)
{
    std::lock_guard lock(f_guard);
    f_entries.push_back(Entry{pipe, 0});
}

void kelMtIdeSocksClients::remove(kelmtlInOutIpPipe* pipe)
{
    std::unique_lock lock(f_guard);
    const bool inside = handling(pipe);
    for (;;) {
        auto it =
            std::find_if(f_entries.begin(), f_entries.end(), [&](const Entry& e) { return e.pipe == pipe; });
        if (it == f_entries.end()) return;
        if (it->inFlight == 0 || inside) {
            f_entries.erase(it);
            return;
        }
        f_idle.wait(lock);
    }
}

bool kelMtIdeSocksClients::forward(uint32_t id, const std::function<void(kelmtlInOutIpPipe*)>& fn)
{
    if (id == 0) return false;
    kelmtlInOutIpPipe* pipe = nullptr;
    {
        std::lock_guard lock(f_guard);
        for (Entry& e : f_entries)
            if (e.pipe->socksId() == id && !e.pipe->destroying()) {
                pipe = e.pipe;
                ++e.inFlight;
                break;
            }
    }
    if (pipe == nullptr) return false;
    {
        kelIpPipeHandlingScope scope(pipe);
        try {
            fn(pipe);
        } catch (...) {
            kelReportHookFailure("kelMtIdeSocks event");
        }
    }
    std::lock_guard lock(f_guard);
    for (Entry& e : f_entries)
        if (e.pipe == pipe && --e.inFlight == 0) f_idle.notify_all();
    return true;
}

size_t kelMtIdeSocksClients::count() const
{
    std::lock_guard lock(f_guard);
    return f_entries.size();
}

kelMtIdeSocks::kelMtIdeSocks() : kelSocks(kPoolSize, false) {}

void kelMtIdeSocks::raiseEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                               uintptr_t size)
{
    kelSocks::raiseEvent(event, id, connId, data, size);
    (void)f_clients.forward(
        id, [&](kelmtlInOutIpPipe* pipe) { pipe->socketEvent(event, id, connId, data, size); });
}

namespace {

// Frees the shared manager at exit. It is made after the socket unit's
// state (the manager starts the unit first), so it is destroyed before it.
struct SharedHolder
{
    kelMtIdeSocks* socks;
    SharedHolder() noexcept
    {
        (void)socketsSharedWSA();
        socks = kelCreate<kelMtIdeSocks>();
    }
    ~SharedHolder() { kelFree(socks); }
};

} // namespace

kelMtIdeSocks* kelMtIdeSocksShared() noexcept
{
    static SharedHolder holder;
    return holder.socks;
}
