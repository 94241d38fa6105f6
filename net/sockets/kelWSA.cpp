#include "net/sockets/kelWSA.h"

#include <new>

namespace {

struct SocketsUnit
{
    kelObject lock;
    std::atomic<bool> ready{false};
    std::atomic<kelWSA*> wsa{nullptr};
    int64_t refs = 0;
    std::atomic<int64_t> threadCeiling{256};

    SocketsUnit() noexcept
    {
        ready = true;
        startupLocked(0x0202);
    }

    ~SocketsUnit()
    {
        // Drop whatever start-ups are left: the process is ending.
        if (lock.acquire(false, 1000)) {
            refs = 0;
            delete wsa.exchange(nullptr);
            ready = false;
            lock.releaseWO();
        } else {
            ready = false;
        }
    }

    // Needs `lock` held (or the constructor running).
    void startupLocked(uint16_t version) noexcept
    {
        if (wsa.load() == nullptr) wsa = new (std::nothrow) kelWSA(true, version);
        ++refs;
    }
};

SocketsUnit& unit() noexcept
{
    static SocketsUnit u;
    return u;
}

} // namespace

kelWSA::kelWSA(bool active, uint16_t version) noexcept
{
    if (active) startup(version);
}

kelWSA::~kelWSA()
{
    if (isActive()) shutdown();
}

int kelWSA::startup(uint16_t version) noexcept
{
    f_status = kelWSAStartup(version, &f_data);
    return f_status;
}

int kelWSA::shutdown() noexcept
{
    if (!isActive()) return WSANOTINITIALISED;
    f_status = WSASYSNOTREADY;
    return kelWSACleanup();
}

int socketsStartup(uint16_t version) noexcept
{
    SocketsUnit& u = unit();
    if (!u.ready) return -1;
    kelLock lock(&u.lock, false, 1000);
    if (!lock || !u.ready) return -1;
    u.startupLocked(version);
    return 0;
}

int socketsShutdown() noexcept
{
    SocketsUnit& u = unit();
    if (!u.ready) return -1;
    kelLock lock(&u.lock, false, 1000);
    if (!lock) return -1;
    if (u.refs > 0) --u.refs;
    if (u.refs == 0) delete u.wsa.exchange(nullptr);
    return 0;
}

kelWSA* socketsSharedWSA() noexcept
{
    return unit().wsa.load();
}

std::atomic<int64_t>& socketsThreadPoolCeiling() noexcept
{
    return unit().threadCeiling;
}
