/* A plain epoll echo server, the benchmarks' yardstick for a server that
 * does nothing but echo: one thread, edge-triggered, no library of ours.
 * Listens on 127.0.0.1 (port any), prints the port on its first output
 * line, and runs until killed. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (ls < 0 || bind(ls, (struct sockaddr*)&a, sizeof a) != 0 || listen(ls, 4096) != 0 ||
        getsockname(ls, (struct sockaddr*)&a, &len) != 0)
        return 1;
    printf("%u\n", (unsigned)ntohs(a.sin_port));
    fflush(stdout);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev = {.events = EPOLLIN, .data.fd = ls};
    epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);
    struct epoll_event evs[256];
    char buf[65536];
    for (;;) {
        int n = epoll_wait(ep, evs, 256, -1);
        for (int i = 0; i < n; ++i) {
            int fd = evs[i].data.fd;
            if (fd == ls) {
                int c;
                while ((c = accept4(ls, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    struct epoll_event ce = {.events = EPOLLIN | EPOLLET, .data.fd = c};
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
                }
                continue;
            }
            for (;;) {
                ssize_t got = recv(fd, buf, sizeof buf, 0);
                if (got > 0) {
                    ssize_t off = 0;
                    while (off < got) {
                        ssize_t w = send(fd, buf + off, (size_t)(got - off), MSG_NOSIGNAL);
                        if (w <= 0) break;
                        off += w;
                    }
                    continue;
                }
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
                close(fd); /* end of stream or an error */
                break;
            }
        }
    }
}
