#pragma once
// An I/O completion port over epoll and an eventfd: the service the
// completion-port socket threads are written against.
//
// Sockets are associated with a key. Operations started on a socket
// (accept, receive, send, receive-from, send-to) wait in one FIFO per
// direction and complete through the port as (bytes, key, operation), one
// completion per wait() call, whichever worker waits; an operation that
// could finish at once completes through the port as well. A socket is
// armed one-shot: after a worker took one of its completions nobody else is
// given that socket until the same worker calls wait() again, so one worker
// at a time serves a socket and its completions come in the order its
// operations were started. post() queues a completion of the caller's own
// making; each is taken by one waiter.
//
// dissociate() must come before the socket is closed: its started
// operations complete with error 995 (operation aborted).
//
// All calls are safe from any thread. Operation records belong to the
// caller and must live until they completed.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

inline constexpr int kelCPWaitTimeout = 258;      // WAIT_TIMEOUT
inline constexpr int kelCPOperationAborted = 995; // ERROR_OPERATION_ABORTED

enum kelCPOpKind : int32_t {
    kelcpAccept = 0,
    kelcpRecv = 1,
    kelcpSend = 2,
    kelcpRecvFrom = 3,
    kelcpSendTo = 4
};

// One started operation. The caller fills kind, buffer (its size is the
// length to receive or to send) and, for send-to, addr; the port fills the
// results.
struct kelCPOperation
{
    kelCPOpKind kind = kelcpRecv;
    std::vector<uint8_t> buffer;
    // Receive-from: grow `buffer` to the size of the pending datagram, so
    // none is cut.
    bool sizeFromPending = false;
    sockaddr_in addr{}; // receive-from: the sender; send-to: the target
    // Results: bytes moved (for a receive also buffer's valid part), the
    // socket error code (0 success, 995 aborted), the accepted handle.
    uint32_t transferred = 0;
    int error = 0;
    int accepted = -1;
    // Sends: bytes gone so far (a send completes when all went).
    uint32_t progress = 0;
    // The caller's own, untouched by the port.
    void* context = nullptr;
};

struct kelCPCompletion
{
    uint32_t bytes = 0;
    uintptr_t key = 0;
    kelCPOperation* op = nullptr; // null for a post() without one
    int error = 0;                // op->error, or the post's own
};

class kelCompletionPort
{
public:
    kelCompletionPort() noexcept;
    ~kelCompletionPort();
    kelCompletionPort(const kelCompletionPort&) = delete;
    kelCompletionPort& operator=(const kelCompletionPort&) = delete;

    // Ports work on this machine: probed once. Tests may make them
    // unavailable (and back) with setAvailableForTesting.
    static bool available() noexcept;
    static void setAvailableForTesting(bool available) noexcept;

    bool ok() const noexcept { return f_epoll >= 0 && f_posted >= 0; }
    // Makes `fd` non-blocking and serves it under `key`. False when it is
    // associated already or epoll refuses it.
    bool associate(int fd, uintptr_t key) noexcept;
    // Forgets `fd`; its started operations complete with 995.
    bool dissociate(int fd) noexcept;
    // Starts `op` on an associated socket: 0, or 10038 when `fd` is not
    // associated (the op is not started).
    int start(int fd, kelCPOperation* op) noexcept;
    // Queues a completion (bytes, key, op, error) for one waiter.
    bool post(uint32_t bytes, uintptr_t key, kelCPOperation* op, int error = 0) noexcept;

    // Waits up to `timeoutMs` (negative: no limit) for one completion.
    // `stopFd` (the caller's wake descriptor, may be -1) ends the wait at
    // once when readable. 0 with `out` filled, 258 on time-out, 995 when
    // `stopFd` ended it, -1 when the port failed. The caller's previous
    // socket is re-armed first.
    int wait(kelCPCompletion& out, int64_t timeoutMs, int stopFd) noexcept;
    // Re-arms the socket the calling thread served last (wait() does it).
    void finishServing() noexcept;

private:
    struct Sock;
    std::shared_ptr<Sock> find(uint64_t token) noexcept;
    void arm(Sock& s) noexcept;
    // Runs the head operations `events` allow; true with `out` when one
    // completed.
    bool serve(Sock& s, uint32_t events, kelCPCompletion& out) noexcept;
    bool takePosted(kelCPCompletion& out) noexcept;

    int f_epoll = -1;
    int f_posted = -1;
    std::mutex f_mutex;
    std::unordered_map<int, std::shared_ptr<Sock>> f_byFd;
    std::unordered_map<uint64_t, std::shared_ptr<Sock>> f_byToken;
    uint64_t f_nextToken = 1;
    std::deque<kelCPCompletion> f_queue;
};
