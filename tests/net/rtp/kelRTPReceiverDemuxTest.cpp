// What kelRTPReceiver does with the other protocols that reach its RTP
// port: STUN goes to onSTUN, RTCP to the stack (or nowhere), neither counts
// against the stream, and input that really is not RTP still does.
#include "kelRTPStreamTestSupport.h"

#include "tests/support/kelTestDatagrams.h"

#include <gtest/gtest.h>

namespace {

class STUNRecordingReceiver : public RecordingReceiver
{
public:
    using RecordingReceiver::RecordingReceiver;

    void onSTUN(const sockaddr_in& from, const uint8_t* data, size_t size) override
    {
        std::lock_guard<std::mutex> g(guard);
        stun.emplace_back(data, data + size);
        stunFrom.push_back(ntohs(from.sin_port));
    }

    std::vector<Bytes> stun;
    std::vector<uint16_t> stunFrom;
};

void feed(kelRTPReceiver& r, const Bytes& b, uint16_t fromPort = 5006)
{
    r.processDatagram(kelTestLoopback(fromPort), b.data(), b.size());
}

TEST(kelRTPReceiverDemuxTest, StunGoesToItsHookAndNeitherCountsNorResets)
{
    kelOwned<STUNRecordingReceiver> r(kelCreate<STUNRecordingReceiver>(false));
    ASSERT_TRUE(r);
    // DTLS and a wrong-cookie "STUN" are not RTP and count as before.
    for (int i = 0; i < 3; ++i)
        feed(*r, kelTestDTLSClientHello);
    Bytes fake = kelTestSTUNBindingRequest;
    fake[4] = 0;
    feed(*r, fake);
    EXPECT_EQ(r->brokenCount(), 4);
    for (uint32_t i = 0; i < 100; ++i)
        feed(*r, kelTestSTUNBindingRequestNumbered(i), static_cast<uint16_t>(40000 + i));
    feed(*r, kelTestSTUNConnectivityCheck);
    EXPECT_EQ(r->brokenCount(), 4);
    EXPECT_FALSE(r->isRAW());
    EXPECT_EQ(r->dataCount(), 0u);
    ASSERT_EQ(r->stun.size(), 101u);
    EXPECT_EQ(r->stun[42], kelTestSTUNBindingRequestNumbered(42));
    EXPECT_EQ(r->stunFrom[42], 40042);
    EXPECT_EQ(r->stun[100], kelTestSTUNConnectivityCheck);

    feed(*r, kelTestDTLSClientHello);
    EXPECT_TRUE(r->isRAW());
    // Raw mode keeps its rule: every datagram is payload, STUN included.
    feed(*r, kelTestSTUNBindingRequest);
    EXPECT_EQ(r->stun.size(), 101u);
    ASSERT_EQ(r->dataCount(), 1u);
    EXPECT_EQ(r->dataCopy()[0].payload, kelTestSTUNBindingRequest);
}

TEST(kelRTPReceiverDemuxTest, RtcpWithoutAStackIsDroppedNotDeliveredAsRtp)
{
    kelOwned<STUNRecordingReceiver> r(kelCreate<STUNRecordingReceiver>(false));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->rtcp(), nullptr);
    for (int i = 0; i < 3; ++i) {
        feed(*r, kelTestRTCPReceiverReport);
        feed(*r, kelTestRTCPSenderReport);
    }
    EXPECT_EQ(r->dataCount(), 0u);
    EXPECT_EQ(r->brokenCount(), 0);
    EXPECT_FALSE(r->isRAW());
    EXPECT_TRUE(r->stun.empty());
}

// An rtcp-mux peer sends its reports to our RTP port: the stack learns the
// member, its CNAME and its RTCP address (that same port), and the owner
// sees the compound as RTCP, never as an RTP payload.
TEST(kelRTPReceiverDemuxTest, RtcpOnTheRtpPortReachesTheStack)
{
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    ASSERT_NE(r->rtcp(), nullptr);
    const uint16_t port = portOf(r->portLocal());
    auto peer = plainSocket();
    ASSERT_TRUE(peer);
    const Bytes& rr = kelTestRTCPReceiverReport;
    ASSERT_EQ(peer->sendto(kelTestLoopback(port), rr.data(), static_cast<uint32_t>(rr.size())), 0);
    const Bytes rtp = kelTestRTPTextPacket(1, "x");
    ASSERT_EQ(peer->sendto(kelTestLoopback(port), rtp.data(), static_cast<uint32_t>(rtp.size())), 0);

    ASSERT_TRUE(waitFor([&] { return r->dataCount() >= 1; }));
    EXPECT_EQ(r->dataCount(), 1u);
    EXPECT_EQ(r->dataCopy()[0].payload, (Bytes{'x'}));
    {
        std::lock_guard<std::mutex> g(r->guard);
        ASSERT_EQ(r->rtcpIn.size(), 1u);
        EXPECT_EQ(r->rtcpIn[0], rr);
        ASSERT_EQ(r->cnames.size(), 1u);
        EXPECT_EQ(r->cnames[0].first, kelTestRTCPSSRC);
        EXPECT_EQ(r->cnames[0].second, kelTestRTCPCName);
    }
    rtp_site_info* m = r->rtcp()->memberBySSRCAcq(kelTestRTCPSSRC, true, 1000);
    ASSERT_NE(m, nullptr);
    const bool valid = m->r_remoteAddrRTCPValid != 0;
    const uint16_t rtcpPort = ntohs(m->r_remoteAddrRTCP.sin_port);
    kelRTCPstack::memberReleaseRO(m);
    EXPECT_TRUE(valid);
    EXPECT_EQ(rtcpPort, boundPort(*peer));
    EXPECT_EQ(r->brokenCount(), 0);
    EXPECT_FALSE(r->isRAW());
}

} // namespace
