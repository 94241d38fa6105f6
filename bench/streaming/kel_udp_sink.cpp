// The one sink process of the RTSP fan-out benchmark: binds `n` pairs of
// UDP ports on 127.0.0.1 (an even RTP port and the RTCP port above it),
// prints "PORTS <p1> <p2> ..." (the RTP ports), then counts the RTP
// datagrams that reach them. Each "count" line on its input is answered
// with "COUNT <datagrams so far>". Ends with its input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

int bound(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int buf = 4 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv)
{
    const int pairs = argc > 1 ? std::atoi(argv[1]) : 256;
    std::vector<int> rtp;
    std::vector<int> fds;
    // Pairs of free ports from a range the system does not hand out on its own.
    for (uint16_t port = 20000; port < 30000 && int(rtp.size()) < pairs; port += 2) {
        const int a = bound(port);
        const int b = a >= 0 ? bound(uint16_t(port + 1)) : -1;
        if (a < 0 || b < 0) {
            if (a >= 0) ::close(a);
            continue;
        }
        rtp.push_back(port);
        fds.push_back(a);
        fds.push_back(b);
    }
    if (int(rtp.size()) < pairs) return 1;
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < fds.size(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = uint32_t(i);
        ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
    }
    std::string line = "PORTS";
    for (int p : rtp)
        line += " " + std::to_string(p);
    std::cout << line << std::endl;

    std::atomic<uint64_t> count{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        constexpr int kBatch = 64;
        mmsghdr msgs[kBatch]{};
        iovec iov[kBatch];
        static char bufs[kBatch][2048];
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {bufs[i], sizeof bufs[i]};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        epoll_event events[64];
        while (!done.load()) {
            const int n = ::epoll_wait(ep, events, 64, 100);
            for (int e = 0; e < n; ++e) {
                const uint32_t i = events[e].data.u32;
                int got;
                while ((got = ::recvmmsg(fds[i], msgs, kBatch, MSG_DONTWAIT, nullptr)) > 0)
                    if (i % 2 == 0) count.fetch_add(uint64_t(got));
            }
        }
    });
    while (std::getline(std::cin, line))
        if (line == "count") std::cout << "COUNT " << count.load() << std::endl;
    done.store(true);
    reader.join();
    return 0;
}
