#pragma once
// A lossy network between a sender and a receiver on 127.0.0.1: datagrams
// sent to the relay's port go on to the receiver's port, some dropped, some
// sent twice, some swapped with the one after them. The choices come from
// a seeded generator, so a run can be repeated, and the relay records what
// it let through, so a test knows exactly what the receiver must deliver.
// Datagrams the receiver sends back to the relay go to the last sender
// unchanged (hole packets, reports).
//
// The relay runs its own thread, stopped and joined by the destructor. The
// other members may be called from any thread.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct kelTestLossyPlan
{
    // Chances per datagram, 0 ... 1, tried in this order.
    double drop = 0;
    double duplicate = 0;
    double swap = 0;
    uint32_t seed = 1;
};

class kelTestLossyRelay
{
public:
    // Bound to 127.0.0.1 on a free port, forwarding to 127.0.0.1:`to`.
    kelTestLossyRelay(uint16_t to, const kelTestLossyPlan& plan);
    ~kelTestLossyRelay();
    kelTestLossyRelay(const kelTestLossyRelay&) = delete;
    kelTestLossyRelay& operator=(const kelTestLossyRelay&) = delete;

    bool ok() const { return f_fd >= 0 && f_wake[1] >= 0; }
    // The port senders send to (and the receiver sees its datagrams from).
    uint16_t port() const { return f_port; }

    // The datagrams that came from senders and were not dropped, in the
    // order they came: what the receiver must deliver, once each.
    std::vector<std::vector<uint8_t>> kept() const;
    // Datagrams that came from senders, and those forwarded (duplicates
    // counted twice).
    size_t arrived() const { return f_arrived.load(); }
    size_t forwarded() const { return f_forwarded.load(); }
    size_t dropped() const { return f_dropped.load(); }
    size_t duplicated() const { return f_duplicated.load(); }
    size_t swapped() const { return f_swapped.load(); }

private:
    void run();
    void forward(const std::vector<uint8_t>& datagram);

    kelTestLossyPlan f_plan;
    sockaddr_in f_to{};
    sockaddr_in f_lastSender{};
    int f_fd = -1;
    int f_wake[2] = {-1, -1};
    uint16_t f_port = 0;
    mutable std::mutex f_guard;
    std::vector<std::vector<uint8_t>> f_kept;
    std::atomic<size_t> f_arrived{0};
    std::atomic<size_t> f_forwarded{0};
    std::atomic<size_t> f_dropped{0};
    std::atomic<size_t> f_duplicated{0};
    std::atomic<size_t> f_swapped{0};
    std::thread f_thread;
};
