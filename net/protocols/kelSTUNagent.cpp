#include "net/protocols/kelSTUNagent.h"

#include "core/kelLog.h"
#include "net/sockets/kelSockets.h"

#include <poll.h>

namespace {

constexpr int kMaxWaitMs = 50;
constexpr size_t kReadSize = 4096;

} // namespace

kelSTUNagent::kelSTUNagent(intptr_t proto, const kelString& port, const kelString& bind2ip)
    : kelThread(false), f_port(port), f_bind2ip(bind2ip), f_proto(proto)
{}

kelSTUNagent::~kelSTUNagent()
{
    stop(3000, true);
}

void kelSTUNagent::onOpen()
{
    f_socketError = 0;
}

bool kelSTUNagent::open() noexcept
{
    if (f_active && status() == keltsRunning) return true;
    try {
        onOpen();
    } catch (...) {
        logCaught("kelSTUNagent::onOpen");
        return false;
    }
    f_active = true;
    if (!start(10000)) {
        f_active = false;
        return false;
    }
    return true;
}

void kelSTUNagent::close() noexcept
{
    f_active = false;
    (void)stop(3000, true);
    f_socket.reset();
}

void kelSTUNagent::pollFds(std::vector<int>&) {}

intptr_t kelSTUNagent::execute(uintptr_t)
{
    std::vector<uint8_t> buf(kReadSize);
    std::vector<int> fds;
    std::vector<pollfd> pfds;
    while (f_active && !shouldStop()) {
        try {
            sockaddr_in from{};
            kelSocket* on = nullptr;
            const intptr_t got = readData(buf.data(), buf.size(), from, on);
            const bool work = processData(from, buf.data(), got, on);
            if (got > 0) continue; // more may be waiting
            fds.clear();
            if (f_socket && f_socket->handle() >= 0) fds.push_back(static_cast<int>(f_socket->handle()));
            pollFds(fds);
            pfds.clear();
            const int wake = wakeFd();
            if (wake >= 0) pfds.push_back(pollfd{wake, POLLIN, 0});
            for (const int fd : fds)
                pfds.push_back(pollfd{fd, POLLIN, 0});
            const int wait = work ? kMaxWaitMs : 2 * kMaxWaitMs;
            if (wake < 0) {
                sleepThread(wait);
            } else if (::poll(pfds.data(), pfds.size(), wait) > 0 && pfds[0].revents != 0) {
                consumeWake();
            }
        } catch (...) {
            logCaught("kelSTUNagent thread");
            sleepThread(10);
        }
    }
    return 0;
}
