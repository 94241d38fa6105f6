#include "tests/support/kelTestLossyRelay.h"

#include "tests/support/kelTestNet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

namespace {

// A datagram held back for a swap goes out after this much quiet even when
// no successor comes (the end of a stream).
constexpr int kSwapFlushMs = 30;

} // namespace

kelTestLossyRelay::kelTestLossyRelay(uint16_t to, const kelTestLossyPlan& plan)
    : f_plan(plan), f_to(kelTestLoopback(to))
{
    f_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = kelTestLoopback(0);
    socklen_t len = sizeof a;
    if (f_fd < 0 || ::bind(f_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(f_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 || ::pipe2(f_wake, O_CLOEXEC) != 0) {
        if (f_fd >= 0) ::close(f_fd);
        f_fd = -1;
        return;
    }
    // Room for a burst while the test's receiver catches up.
    const int buffer = 1 << 20;
    (void)::setsockopt(f_fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    f_port = ntohs(a.sin_port);
    f_thread = std::thread([this] { run(); });
}

kelTestLossyRelay::~kelTestLossyRelay()
{
    if (f_thread.joinable()) {
        const char byte = 0;
        (void)!::write(f_wake[1], &byte, 1);
        f_thread.join();
    }
    for (int fd : {f_fd, f_wake[0], f_wake[1]})
        if (fd >= 0) ::close(fd);
}

std::vector<std::vector<uint8_t>> kelTestLossyRelay::kept() const
{
    std::lock_guard<std::mutex> g(f_guard);
    return f_kept;
}

void kelTestLossyRelay::forward(const std::vector<uint8_t>& datagram)
{
    if (::sendto(f_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&f_to),
                 sizeof f_to) == static_cast<ssize_t>(datagram.size()))
        f_forwarded.fetch_add(1);
}

void kelTestLossyRelay::run()
{
    std::mt19937 rng(f_plan.seed);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<uint8_t> held;
    bool holding = false;
    std::vector<uint8_t> buf(65536);
    for (;;) {
        pollfd fds[2] = {{f_fd, POLLIN, 0}, {f_wake[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, holding ? kSwapFlushMs : 200);
        if (fds[1].revents & POLLIN) return;
        if (ready == 0 && holding) {
            forward(held);
            holding = false;
            continue;
        }
        if (!(fds[0].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(f_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        std::vector<uint8_t> datagram(buf.begin(), buf.begin() + n);
        if (from.sin_port == f_to.sin_port && from.sin_addr.s_addr == f_to.sin_addr.s_addr) {
            if (f_lastSender.sin_port != 0)
                (void)::sendto(f_fd, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<const sockaddr*>(&f_lastSender), sizeof f_lastSender);
            continue;
        }
        f_lastSender = from;
        f_arrived.fetch_add(1);
        if (chance(rng) < f_plan.drop) {
            f_dropped.fetch_add(1);
            continue;
        }
        {
            std::lock_guard<std::mutex> g(f_guard);
            f_kept.push_back(datagram);
        }
        if (chance(rng) < f_plan.duplicate) {
            f_duplicated.fetch_add(1);
            forward(datagram);
        }
        if (holding) {
            // The held one goes out after its successor.
            forward(datagram);
            forward(held);
            holding = false;
        } else if (chance(rng) < f_plan.swap) {
            f_swapped.fetch_add(1);
            held = std::move(datagram);
            holding = true;
        } else {
            forward(datagram);
        }
    }
}
