#include "platform/kelCompletionPort.h"

#include "platform/kelSocketApi.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr uint64_t kPostedToken = 0;

std::atomic<int> g_forced{-1}; // -1 probe, 0 unavailable, 1 available

bool probe() noexcept
{
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    const int ev = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const bool ok = ep >= 0 && ev >= 0;
    if (ep >= 0) ::close(ep);
    if (ev >= 0) ::close(ev);
    return ok;
}

// Which socket the calling worker served last, and on which port.
thread_local kelCompletionPort* t_port = nullptr;
thread_local uint64_t t_token = 0;

} // namespace

struct kelCompletionPort::Sock
{
    int fd;
    uintptr_t key;
    uint64_t token;
    std::mutex mutex;
    std::deque<kelCPOperation*> reads;  // accept, receive, receive-from
    std::deque<kelCPOperation*> writes; // send, send-to
    bool serving = false;               // a worker holds its last completion
    bool gone = false;
};

bool kelCompletionPort::available() noexcept
{
    static const bool probed = probe();
    const int forced = g_forced.load();
    return forced < 0 ? probed : forced == 1 && probed;
}

void kelCompletionPort::setAvailableForTesting(bool available) noexcept
{
    g_forced.store(available ? -1 : 0);
}

kelCompletionPort::kelCompletionPort() noexcept
{
    if (!available()) return;
    f_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    f_posted = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (f_epoll >= 0 && f_posted >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kPostedToken;
        if (::epoll_ctl(f_epoll, EPOLL_CTL_ADD, f_posted, &ev) != 0) {
            ::close(f_posted);
            f_posted = -1;
        }
    }
}

kelCompletionPort::~kelCompletionPort()
{
    if (t_port == this) t_port = nullptr;
    if (f_posted >= 0) ::close(f_posted);
    if (f_epoll >= 0) ::close(f_epoll);
}

bool kelCompletionPort::associate(int fd, uintptr_t key) noexcept
{
    if (!ok() || fd < 0) return false;
    try {
        std::lock_guard lock(f_mutex);
        if (f_byFd.count(fd)) return false;
        auto s = std::make_shared<Sock>();
        s->fd = fd;
        s->key = key;
        s->token = f_nextToken++;
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        epoll_event ev{};
        ev.events = EPOLLONESHOT;
        ev.data.u64 = s->token;
        if (::epoll_ctl(f_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
        f_byFd[fd] = s;
        f_byToken[s->token] = s;
    } catch (...) {
        return false;
    }
    return true;
}

bool kelCompletionPort::dissociate(int fd) noexcept
{
    std::shared_ptr<Sock> s;
    {
        std::lock_guard lock(f_mutex);
        auto it = f_byFd.find(fd);
        if (it == f_byFd.end()) return false;
        s = it->second;
        f_byFd.erase(it);
        f_byToken.erase(s->token);
        (void)::epoll_ctl(f_epoll, EPOLL_CTL_DEL, fd, nullptr);
    }
    std::deque<kelCPOperation*> aborted;
    {
        std::lock_guard lock(s->mutex);
        s->gone = true;
        aborted.swap(s->reads);
        aborted.insert(aborted.end(), s->writes.begin(), s->writes.end());
        s->writes.clear();
    }
    for (kelCPOperation* op : aborted) {
        op->error = kelCPOperationAborted;
        op->transferred = 0;
        (void)post(0, s->key, op, kelCPOperationAborted);
    }
    return true;
}

std::shared_ptr<kelCompletionPort::Sock> kelCompletionPort::find(uint64_t token) noexcept
{
    std::lock_guard lock(f_mutex);
    auto it = f_byToken.find(token);
    return it == f_byToken.end() ? nullptr : it->second;
}

void kelCompletionPort::arm(Sock& s) noexcept
{
    // Caller holds s.mutex.
    if (s.gone || s.serving) return;
    epoll_event ev{};
    ev.events = EPOLLONESHOT | (s.reads.empty() ? 0u : unsigned(EPOLLIN)) |
                (s.writes.empty() ? 0u : unsigned(EPOLLOUT));
    ev.data.u64 = s.token;
    (void)::epoll_ctl(f_epoll, EPOLL_CTL_MOD, s.fd, &ev);
}

int kelCompletionPort::start(int fd, kelCPOperation* op) noexcept
{
    std::shared_ptr<Sock> s;
    {
        std::lock_guard lock(f_mutex);
        auto it = f_byFd.find(fd);
        if (it != f_byFd.end()) s = it->second;
    }
    if (!s || !op) return WSAENOTSOCK;
    op->transferred = 0;
    op->error = 0;
    op->progress = 0;
    op->accepted = -1;
    std::lock_guard lock(s->mutex);
    if (s->gone) return WSAENOTSOCK;
    try {
        (op->kind == kelcpSend || op->kind == kelcpSendTo ? s->writes : s->reads).push_back(op);
    } catch (...) {
        return WSAENOBUFS;
    }
    arm(*s);
    return 0;
}

bool kelCompletionPort::post(uint32_t bytes, uintptr_t key, kelCPOperation* op, int error) noexcept
{
    if (!ok()) return false;
    try {
        std::lock_guard lock(f_mutex);
        f_queue.push_back({bytes, key, op, error});
    } catch (...) {
        return false;
    }
    const uint64_t one = 1;
    return ::write(f_posted, &one, sizeof one) == sizeof one;
}

bool kelCompletionPort::takePosted(kelCPCompletion& out) noexcept
{
    uint64_t v = 0;
    if (::read(f_posted, &v, sizeof v) != sizeof v) return false;
    std::lock_guard lock(f_mutex);
    if (f_queue.empty()) return false;
    out = f_queue.front();
    f_queue.pop_front();
    return true;
}

bool kelCompletionPort::serve(Sock& s, uint32_t events, kelCPCompletion& out) noexcept
{
    // Caller holds s.mutex. Errors and hang-ups let both directions try,
    // so the operation reports the condition.
    const bool err = events & (EPOLLERR | EPOLLHUP);
    if (!s.reads.empty() && (events & EPOLLIN || err)) {
        kelCPOperation* op = s.reads.front();
        int n = -1;
        if (op->kind == kelcpAccept) {
            const int a = ::accept4(s.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (a >= 0) {
                op->accepted = a;
                n = 0;
            }
        } else if (op->kind == kelcpRecvFrom) {
            if (op->sizeFromPending) {
                int pending = 0;
                if (::ioctl(s.fd, FIONREAD, &pending) == 0 &&
                    static_cast<size_t>(pending) > op->buffer.size()) {
                    try {
                        op->buffer.resize(static_cast<size_t>(pending));
                    } catch (...) {
                    }
                }
            }
            socklen_t len = sizeof op->addr;
            n = static_cast<int>(::recvfrom(s.fd, op->buffer.data(), op->buffer.size(), MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&op->addr), &len));
        } else {
            n = static_cast<int>(::recv(s.fd, op->buffer.data(), op->buffer.size(), MSG_DONTWAIT));
        }
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            s.reads.pop_front();
            op->transferred = n > 0 ? static_cast<uint32_t>(n) : 0;
            op->error = n >= 0 ? 0 : kelSockErrorFromErrno(errno);
            out = {op->transferred, s.key, op, op->error};
            return true;
        }
    }
    if (!s.writes.empty() && (events & EPOLLOUT || err)) {
        kelCPOperation* op = s.writes.front();
        const uint32_t size = static_cast<uint32_t>(op->buffer.size());
        int code = 0;
        while (op->progress < size || (size == 0 && op->kind == kelcpSendTo && op->progress == 0)) {
            const ssize_t n = op->kind == kelcpSendTo
                                  ? ::sendto(s.fd, op->buffer.data() + op->progress, size - op->progress,
                                             MSG_DONTWAIT | MSG_NOSIGNAL,
                                             reinterpret_cast<const sockaddr*>(&op->addr), sizeof op->addr)
                                  : ::send(s.fd, op->buffer.data() + op->progress, size - op->progress,
                                           MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
                code = kelSockErrorFromErrno(errno);
                break;
            }
            // A datagram goes whole or not at all.
            op->progress = op->kind == kelcpSendTo ? size : op->progress + static_cast<uint32_t>(n);
            if (size == 0) break;
        }
        s.writes.pop_front();
        op->transferred = code ? op->progress : size;
        op->error = code;
        out = {op->transferred, s.key, op, code};
        return true;
    }
    return false;
}

void kelCompletionPort::finishServing() noexcept
{
    if (t_port != this || t_token == 0) return;
    const uint64_t token = t_token;
    t_token = 0;
    if (std::shared_ptr<Sock> s = find(token)) {
        std::lock_guard lock(s->mutex);
        s->serving = false;
        arm(*s);
    }
}

int kelCompletionPort::wait(kelCPCompletion& out, int64_t timeoutMs, int stopFd) noexcept
{
    if (!ok()) return -1;
    finishServing();
    const int64_t deadline = timeoutMs < 0 ? -1 : timeoutMs;
    int64_t left = deadline;
    struct timespec t0
    {
    };
    ::clock_gettime(CLOCK_MONOTONIC, &t0);
    for (;;) {
        pollfd fds[2] = {{f_epoll, POLLIN, 0}, {stopFd, POLLIN, 0}};
        const int n = ::poll(fds, stopFd >= 0 ? 2 : 1, left < 0 ? -1 : static_cast<int>(left));
        if (n < 0 && errno != EINTR) return -1;
        if (stopFd >= 0 && (fds[1].revents & POLLIN)) return kelCPOperationAborted;
        if (n > 0 && (fds[0].revents & POLLIN)) {
            epoll_event ev{};
            if (::epoll_wait(f_epoll, &ev, 1, 0) == 1) {
                if (ev.data.u64 == kPostedToken) {
                    if (takePosted(out)) return 0;
                } else if (std::shared_ptr<Sock> s = find(ev.data.u64)) {
                    std::lock_guard lock(s->mutex);
                    if (serve(*s, ev.events, out)) {
                        // This worker serves the socket until its next wait.
                        s->serving = true;
                        t_port = this;
                        t_token = s->token;
                        return 0;
                    }
                    arm(*s);
                }
            }
        }
        if (deadline >= 0) {
            struct timespec t1
            {
            };
            ::clock_gettime(CLOCK_MONOTONIC, &t1);
            const int64_t spent = (t1.tv_sec - t0.tv_sec) * 1000 + (t1.tv_nsec - t0.tv_nsec) / 1000000;
            left = deadline - spent;
            if (left <= 0) return kelCPWaitTimeout;
        }
    }
}
