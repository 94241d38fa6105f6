// The load of the echo benchmarks, run in a process of its own so that it
// shares nothing with the server it measures. Usage:
//   kel_echo_load <port> <connections> conns|bytes <ms>
// conns: keeps <connections> connects in flight, each sending 16 bytes,
// reading them back and closing (SO_LINGER 0, so no TIME_WAIT piles up);
// prints "rate <completed per second>". bytes: opens <connections>
// connections that each echo 1 KiB messages back and forth; prints
// "rate <echoed bytes per second>". Exits 77 when the descriptor limit,
// raised to its hard limit, is below connections + 100.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Slot
{
    int fd = -1;
    size_t got = 0;
};

int openConnection(uint16_t port, int ep, size_t slot)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN;
    ev.data.u64 = slot;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) return 2;
    const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
    const size_t n = static_cast<size_t>(std::atol(argv[2]));
    const bool conns = std::string(argv[3]) == "conns";
    const long ms = std::atol(argv[4]);
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &rl);
    ::getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < n + 100) {
        std::printf("skip descriptor limit %llu\n", static_cast<unsigned long long>(rl.rlim_cur));
        return 77;
    }
    const size_t msgSize = conns ? 16 : 1024;
    std::vector<char> msg(msgSize, 'e');
    std::vector<Slot> slots(n);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < n; ++i)
        slots[i].fd = openConnection(port, ep, i);
    std::vector<bool> sent(n, false);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(ms);
    unsigned long long done = 0, bytes = 0;
    std::vector<epoll_event> evs(1024);
    char buf[65536];
    while (std::chrono::steady_clock::now() < end) {
        const int k = ::epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), 50);
        for (int e = 0; e < k; ++e) {
            const size_t i = evs[e].data.u64;
            Slot& s = slots[i];
            if (s.fd < 0) continue;
            if (!sent[i] && (evs[e].events & EPOLLOUT)) {
                if (::send(s.fd, msg.data(), msg.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(msg.size())) {
                    sent[i] = true;
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u64 = i;
                    ::epoll_ctl(ep, EPOLL_CTL_MOD, s.fd, &ev);
                }
            }
            if (evs[e].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                const ssize_t got = ::recv(s.fd, buf, sizeof buf, 0);
                bool restart = got == 0 || (got < 0 && errno != EAGAIN);
                if (got > 0) {
                    s.got += static_cast<size_t>(got);
                    bytes += static_cast<unsigned long long>(got);
                    if (s.got >= msgSize) {
                        s.got -= msgSize;
                        ++done;
                        if (conns) {
                            restart = true;
                        } else if (::send(s.fd, msg.data(), msg.size(), MSG_NOSIGNAL) !=
                                   static_cast<ssize_t>(msg.size())) {
                            restart = true;
                        }
                    }
                }
                if (restart) {
                    ::close(s.fd);
                    s = Slot{};
                    sent[i] = false;
                    s.fd = openConnection(port, ep, i);
                }
            }
        }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("rate %.1f\n", (conns ? double(done) : double(bytes)) / secs);
    for (Slot& s : slots)
        if (s.fd >= 0) ::close(s.fd);
    return 0;
}
