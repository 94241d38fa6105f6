// The epoll completion port: completions in start order (immediate ones
// too), one worker at a time per socket, posted completions taken once,
// time-outs, a waiter's own stop, and dissociation aborting what was
// started.
#include "platform/kelCompletionPort.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

struct Pair
{
    int fd[2] = {-1, -1};
    explicit Pair(int type) { EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fd), 0); }
    ~Pair()
    {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
};

kelCPOperation recvOp(size_t size)
{
    kelCPOperation op;
    op.kind = kelcpRecv;
    op.buffer.resize(size);
    return op;
}

std::string got(const kelCPCompletion& c)
{
    return std::string(reinterpret_cast<const char*>(c.op->buffer.data()), c.bytes);
}

} // namespace

TEST(kelCompletionPortTest, ReceivesCompleteInStartOrderAndImmediateOnesToo)
{
    kelCompletionPort port;
    ASSERT_TRUE(port.ok());
    Pair p(SOCK_DGRAM);
    ASSERT_TRUE(port.associate(p.fd[0], 7));
    EXPECT_FALSE(port.associate(p.fd[0], 8));
    ASSERT_EQ(::send(p.fd[1], "one", 3, 0), 3); // before any receive was started
    kelCPOperation ops[3] = {recvOp(16), recvOp(16), recvOp(16)};
    for (auto& op : ops)
        ASSERT_EQ(port.start(p.fd[0], &op), 0);
    ASSERT_EQ(::send(p.fd[1], "two", 3, 0), 3);
    ASSERT_EQ(::send(p.fd[1], "three", 5, 0), 5);
    const char* want[3] = {"one", "two", "three"};
    for (int i = 0; i < 3; ++i) {
        kelCPCompletion c;
        ASSERT_EQ(port.wait(c, 5000, -1), 0);
        EXPECT_EQ(c.key, 7u);
        EXPECT_EQ(c.op, &ops[i]);
        EXPECT_EQ(got(c), want[i]);
    }
    kelCPCompletion none;
    EXPECT_EQ(port.wait(none, 20, -1), kelCPWaitTimeout);
    EXPECT_EQ(port.start(p.fd[1], &ops[0]), 10038); // not associated
}

TEST(kelCompletionPortTest, OneWorkerAtATimeServesASocket)
{
    kelCompletionPort port;
    Pair p(SOCK_DGRAM);
    ASSERT_TRUE(port.associate(p.fd[0], 1));
    kelCPOperation a = recvOp(8), b = recvOp(8);
    ASSERT_EQ(port.start(p.fd[0], &a), 0);
    ASSERT_EQ(port.start(p.fd[0], &b), 0);
    ASSERT_EQ(::send(p.fd[1], "a", 1, 0), 1);
    ASSERT_EQ(::send(p.fd[1], "b", 1, 0), 1);
    kelCPCompletion first;
    ASSERT_EQ(port.wait(first, 5000, -1), 0); // this thread now serves the socket
    int other = -2;
    kelCPCompletion second;
    std::thread t([&] { other = port.wait(second, 200, -1); });
    t.join();
    EXPECT_EQ(other, kelCPWaitTimeout);
    port.finishServing();
    std::thread t2([&] { other = port.wait(second, 5000, -1); });
    t2.join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(second.op, &b);
}

TEST(kelCompletionPortTest, PostedCompletionsGoToOneWaiterEachAndAStopEndsAWaitAtOnce)
{
    kelCompletionPort port;
    kelCPOperation op;
    ASSERT_TRUE(port.post(5, 9, &op, 0));
    ASSERT_TRUE(port.post(0, 10, nullptr, 64));
    kelCPCompletion c;
    ASSERT_EQ(port.wait(c, 1000, -1), 0);
    EXPECT_EQ(c.bytes, 5u);
    EXPECT_EQ(c.key, 9u);
    EXPECT_EQ(c.op, &op);
    ASSERT_EQ(port.wait(c, 1000, -1), 0);
    EXPECT_EQ(c.key, 10u);
    EXPECT_EQ(c.error, 64);
    EXPECT_EQ(port.wait(c, 20, -1), kelCPWaitTimeout);
    const int stop = ::eventfd(1, EFD_CLOEXEC);
    EXPECT_EQ(port.wait(c, -1, stop), kelCPOperationAborted);
    ::close(stop);
}

TEST(kelCompletionPortTest, SendsCompleteWhenEveryByteWentAndDissociationAbortsTheRest)
{
    kelCompletionPort port;
    Pair p(SOCK_STREAM);
    ASSERT_TRUE(port.associate(p.fd[0], 3));
    kelCPOperation send;
    send.kind = kelcpSend;
    send.buffer.assign(4 << 20, 0x5A);
    ASSERT_EQ(port.start(p.fd[0], &send), 0);
    size_t drained = 0;
    std::thread reader([&] {
        char buf[65536];
        while (drained < send.buffer.size()) {
            const ssize_t n = ::recv(p.fd[1], buf, sizeof buf, 0);
            if (n <= 0) break;
            drained += static_cast<size_t>(n);
        }
    });
    kelCPCompletion c;
    int rc;
    // Partial progress does not complete the send.
    while ((rc = port.wait(c, 5000, -1)) == 0 && c.op != &send)
        port.finishServing();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(c.bytes, send.buffer.size());
    EXPECT_EQ(c.error, 0);
    port.finishServing();
    reader.join();
    EXPECT_EQ(drained, send.buffer.size());
    kelCPOperation r = recvOp(8);
    ASSERT_EQ(port.start(p.fd[0], &r), 0);
    ASSERT_TRUE(port.dissociate(p.fd[0]));
    ASSERT_EQ(port.wait(c, 1000, -1), 0);
    EXPECT_EQ(c.op, &r);
    EXPECT_EQ(c.error, kelCPOperationAborted);
    EXPECT_EQ(port.start(p.fd[0], &r), 10038);
}

TEST(kelCompletionPortTest, AvailabilityCanBeTurnedOffForTests)
{
    ASSERT_TRUE(kelCompletionPort::available());
    kelCompletionPort::setAvailableForTesting(false);
    EXPECT_FALSE(kelCompletionPort::available());
    kelCompletionPort off;
    EXPECT_FALSE(off.ok());
    kelCompletionPort::setAvailableForTesting(true);
    EXPECT_TRUE(kelCompletionPort::available());
}
