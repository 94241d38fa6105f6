// Random sequences of port operations over socket pairs (a stream and a
// datagram pair): receives and sends started, bytes written and read by the
// peer, posts, waits, dissociation. Every started operation completes
// exactly once, a stream's bytes come out in the order they went in, and
// nothing completes on a socket that is no longer associated.
#include "platform/kelCompletionPort.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

void check(bool ok)
{
    if (!ok) std::abort();
}

struct Pair
{
    int fd[2] = {-1, -1};
    bool associated = false;
    std::string sentToUs;   // written by the peer, in order
    std::string receivedUs; // delivered by completed receives
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelCompletionPort port;
    if (!port.ok()) return 0;
    Pair pairs[2];
    const int types[2] = {SOCK_STREAM, SOCK_DGRAM};
    for (int k = 0; k < 2; ++k) {
        if (::socketpair(AF_UNIX, types[k] | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pairs[k].fd) != 0) return 0;
        pairs[k].associated = port.associate(pairs[k].fd[0], uintptr_t(k + 1));
    }
    std::vector<std::unique_ptr<kelCPOperation>> ops;
    std::set<kelCPOperation*> pending;
    const auto drain = [&](int64_t timeout) {
        kelCPCompletion c;
        while (port.wait(c, timeout, -1) == 0) {
            if (c.op && c.op->kind != kelcpSendTo) {
                check(pending.erase(c.op) == 1); // once, and only started ones
                const int k = int(c.key) - 1;
                check(k == 0 || k == 1);
                if (c.op->kind == kelcpRecv && c.error == 0)
                    pairs[k].receivedUs.append(reinterpret_cast<char*>(c.op->buffer.data()), c.bytes);
            }
            port.finishServing();
        }
    };
    for (size_t i = 0; i + 1 < size; i += 2) {
        Pair& p = pairs[data[i] & 1];
        const uint8_t arg = data[i + 1];
        switch ((data[i] >> 1) % 6) {
        case 0: { // start a receive
            auto op = std::make_unique<kelCPOperation>();
            op->kind = kelcpRecv;
            op->buffer.resize(1 + arg % 64);
            if (port.start(p.fd[0], op.get()) == 0) {
                check(p.associated);
                pending.insert(op.get());
            }
            ops.push_back(std::move(op));
            break;
        }
        case 1: { // start a send
            auto op = std::make_unique<kelCPOperation>();
            op->kind = kelcpSend;
            op->buffer.assign(arg % 200, arg);
            if (port.start(p.fd[0], op.get()) == 0) pending.insert(op.get());
            ops.push_back(std::move(op));
            break;
        }
        case 2: { // the peer writes
            const std::string bytes(1 + arg % 32, char('a' + arg % 26));
            if (::send(p.fd[1], bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
                ssize_t(bytes.size()))
                p.sentToUs += bytes;
            break;
        }
        case 3: { // the peer reads what our sends wrote
            char buf[512];
            while (::recv(p.fd[1], buf, sizeof buf, MSG_DONTWAIT) > 0) {
            }
            break;
        }
        case 4:
            drain(0);
            break;
        default:
            if (arg % 4 == 0 && p.associated) {
                check(port.dissociate(p.fd[0]));
                p.associated = false;
            } else {
                check(port.post(arg, 9, nullptr));
            }
            break;
        }
    }
    for (Pair& p : pairs)
        if (p.associated) check(port.dissociate(p.fd[0]));
    drain(0);
    check(pending.empty());
    // A stream's bytes come out in the order they went in.
    const Pair& s = pairs[0];
    check(s.sentToUs.compare(0, s.receivedUs.size(), s.receivedUs) == 0);
    for (Pair& p : pairs) {
        ::close(p.fd[0]);
        ::close(p.fd[1]);
    }
    return 0;
}
