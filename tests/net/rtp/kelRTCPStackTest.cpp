// The stack around its session, without sockets: what the session builds
// leaves through the stack's sendTo, members stay reachable through the
// stack, and the timer does nothing until the receive loop runs. The
// session's own behaviour is tested in kelRTCPSessionTest.
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestRTCP.h"
#include "net/rtp/kelSocks_RTP.h"

#include "core/kelCreate.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <vector>

namespace {

using Bytes = kelTestBytes;
constexpr uint32_t kOwnSSRC = 0xC0FFEE01;

// The stack with its socket replaced by a record of what it sends and its
// clock by a manual one.
class TestStack : public kelRTCPstack
{
public:
    explicit TestStack(kelRTCPStackOwner* owner) : kelRTCPstack(owner, false)
    {
        setClock(manual);
        setRandom([](uint32_t upper) { return std::min<uint32_t>(upper, 50); });
        // No synchronised clock: the shared one would ask a public server.
        setNTPClock([](kelNTP_timestamp&) { return false; });
    }

    struct Sent
    {
        sockaddr_in to;
        Bytes data;
    };
    int sendTo(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept override
    {
        sent.push_back(Sent{addr ? *addr : sockaddr_in{}, Bytes(data, data + size)});
        return result;
    }

    kelManualClock manual;
    std::vector<Sent> sent;
    int result = 0;
};

class kelRTCPStackTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        stack.reset(kelCreate<TestStack>(&owner));
        ASSERT_TRUE(stack);
        stack->session().reset();
    }

    void feed(const Bytes& b, uint16_t port = 6001)
    {
        stack->processRTCP(kelTestLoopback(port), b.data(), b.size());
    }

    kelTestRTCPOwner owner{kOwnSSRC};
    kelOwned<TestStack> stack;
};

TEST_F(kelRTCPStackTest, MembersAreReachableThroughTheStack)
{
    feed(kelTestRTCPCompound(0x1111, "peer@near"));
    feed(kelTestRTCPSRWithCname(0x2222, "peer@far"), 6003);
    EXPECT_EQ(stack->memberCount(), 3);
    EXPECT_EQ(stack->session().memberCount(), 3);

    rtp_site_info* m = stack->memberBySSRCAcq(0x2222, true, 100);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(ntohs(m->r_remoteAddrRTCP.sin_port), 6003);
    kelRTCPstack::memberReleaseRO(m);
    m = stack->memberByAddrAcq(false, kelTestLoopback(6003), true, 100);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->r_ssrc, 0x2222u);
    kelRTCPstack::memberReleaseRO(m);
    EXPECT_EQ(stack->memberBySSRCAcq(0x9999, true, 100), nullptr);

    // RTP through the stack reaches the same table.
    rtp_hdr h;
    h.setSsrc(0x1111);
    h.setSeq(5);
    stack->processRTP(kelTestLoopback(6000), h, 172);
    EXPECT_TRUE(stack->updateSeq(0x1111, 5));
    rtp_site_info copy;
    ASSERT_TRUE(stack->session().memberCopy(0x1111, copy));
    EXPECT_TRUE(copy.r_remoteAddrRTPValid);
    EXPECT_EQ(stack->senders(), 1);
}

TEST_F(kelRTCPStackTest, ReportsLeaveThroughSendTo)
{
    feed(kelTestRTCPCompound(0x1111, "peer@near"));
    ASSERT_TRUE(stack->report(false));
    ASSERT_EQ(stack->sent.size(), 1u);
    EXPECT_EQ(ntohs(stack->sent[0].to.sin_port), 6001);
    ASSERT_EQ(owner.reports.size(), 1u);
    EXPECT_EQ(owner.reports[0], stack->sent[0].data);
    ASSERT_TRUE(stack->report(true));
    EXPECT_EQ(stack->sent.back().data,
              kelTestRTCPCompound(kOwnSSRC, "tester@host", kelTestRTCPBye(kOwnSSRC)));
}

TEST_F(kelRTCPStackTest, AppWithoutAddressSendsNothing)
{
    sockaddr_in none{};
    EXPECT_EQ(stack->sendAPPto(none, 0, "HELO", nullptr, 0, true), 0);
    EXPECT_TRUE(stack->sent.empty());
    EXPECT_EQ(stack->sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0, true), 0);
    // One compound carries the CNAME ahead of the APP.
    ASSERT_EQ(stack->sent.size(), 1u);
    EXPECT_EQ(stack->sent[0].data,
              kelTestRTCPCompound(kOwnSSRC, "tester@host",
                                  Bytes{0x80, 204, 0, 2, 0xC0, 0xFF, 0xEE, 0x01, 'H', 'E', 'L', 'O'}));
}

TEST_F(kelRTCPStackTest, FailedApplicationSendsAreKeptInSocketError)
{
    stack->result = 10065;
    EXPECT_EQ(stack->sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0, false), 10065);
    EXPECT_EQ(stack->socketError(), 10065);
    stack->result = 0;
    EXPECT_EQ(stack->sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0, true), 0);
    EXPECT_EQ(stack->socketError(), 10065) << "kept until the next failure or start";

    // A failed CNAME stops the APP behind it.
    stack->result = 10051;
    stack->sent.clear();
    EXPECT_EQ(stack->sendAPPto(kelTestLoopback(5007), 0, "HELO", nullptr, 0, true), 10051);
    EXPECT_EQ(stack->sent.size(), 1u);
    EXPECT_EQ(stack->socketError(), 10051);

    // So does a session's own probe echo.
    stack->result = 10065;
    kelRTTPayload theirs;
    theirs.proberSSRC = 0x1111;
    theirs.probedSSRC = kOwnSSRC;
    feed(kelTestRTCPApp(0x1111, kelRTTProbe, "_RTT", theirs));
    EXPECT_EQ(stack->socketError(), 10065);
}

TEST_F(kelRTCPStackTest, TimerDoesNothingUntilTheReceiveLoopRuns)
{
    stack->manual.advanceMs(10000);
    stack->timerTick(); // waits its 100 ms for the loop, then gives up
    EXPECT_EQ(owner.expiries, 0);
    EXPECT_TRUE(owner.reports.empty());
    stack->readyEvent().setState(true);
    stack->timerTick();
    EXPECT_EQ(owner.expiries, 1);
    EXPECT_EQ(owner.reports.size(), 1u);
    stack->readyEvent().setState(false);
}

} // namespace
