// The IP transmitter's destinations known by session, against plain UDP
// sockets on 127.0.0.1 that see the packets as they leave.

#include "net/rtp/kelRTCPSiteInfo.h"
#include "net/rtp/kelRTPTransmitter.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>

namespace {

constexpr int kWait = 10000;

// Exposes the member-gone hook, which the RTCP threads of the root call.
class memberGoneTransmitter : public TkelIPTransmitter
{
public:
    using TkelIPTransmitter::onMemberGone;
};

// Counts the RTP packets the root hands on (its receiver thread).
class countingTransmitter : public TkelIPTransmitter
{
public:
    int received() const { return f_received.load(); }

protected:
    void onReceivedPayload(const sockaddr_in&, const uint8_t*, const uint8_t*, size_t) override
    {
        ++f_received;
    }

private:
    std::atomic<int> f_received{0};
};

kelOwned<TkelIPTransmitter> openTransmitter(uint16_t& port)
{
    port = kelTestFreeRTPPort();
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    if (port == 0 || !tx) return {};
    tx->setURI(kelTestURI(port));
    if (!tx->open()) return {};
    return tx;
}

kelString portText(uint16_t port)
{
    const std::string s = std::to_string(port);
    return kelString(s.begin(), s.end());
}

kelString sessionAt(TkelIPTransmitter& tx, intptr_t index)
{
    kelString text;
    if (tx.sessions().lock(true)) {
        if (const kelIPTransRTSPSession* s = tx.sessions().session(index))
            text = s->session() + u"@" + s->destURI();
        tx.sessions().unlockRO();
    }
    return text;
}

} // namespace

TEST(kelIPTransmitterSessionTest, SameSessionTwiceIsListedOnceAtTheSameIndex)
{
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    EXPECT_EQ(tx->destAdd(false, u"rtp://127.0.0.1:40000", true, u"5", 0, -1), 0);
    EXPECT_EQ(tx->destAdd(false, u"rtp://127.0.0.1:40002", true, u"6", 0, -1), 1);
    // Same id in another case and at another address: still session 6.
    EXPECT_EQ(tx->destAdd(false, u"rtp://127.0.0.1:40004", true, u"6", 0, -1), 1);
    EXPECT_EQ(tx->destCount(), 2);
    EXPECT_EQ(sessionAt(*tx, 1), u"6@rtp://127.0.0.1:40002");
}

TEST(kelIPTransmitterSessionTest, DestinationsWithoutSessionAreKeptApartByAddress)
{
    kelTestPeer a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    tx->setURI(kelTestURI(port));
    // Listed before the root exists: opening adds them to it.
    EXPECT_EQ(tx->destAdd(false, a.uri(), true, u"", 0, -1), 0);
    EXPECT_EQ(tx->destAdd(false, b.uri(), true, u"", 0, -1), 1);
    // The same URI again, in another case, is the same entry.
    const std::string upper = "RTP://127.0.0.1:" + std::to_string(a.port());
    EXPECT_EQ(tx->destAdd(false, kelString(upper.begin(), upper.end()), true, u"", 0, -1), 0);
    EXPECT_EQ(tx->destCount(), 2);
    ASSERT_TRUE(tx->open());
    EXPECT_EQ(tx->rootDestCount(), 2);

    ASSERT_EQ(tx->sendText(u"x"), kelS_OK);
    const std::vector<uint8_t> atA = a.receiveRTP(113, kWait);
    const std::vector<uint8_t> atB = b.receiveRTP(113, kWait);
    ASSERT_EQ(atA.size(), 13u);
    EXPECT_EQ(atA[12], 'x');
    EXPECT_EQ(atA, atB) << "both got the same packet";

    // Removing one by its URI leaves the other listed and served.
    EXPECT_TRUE(tx->destRemove(a.uri(), u""));
    EXPECT_EQ(tx->destCount(), 1);
    EXPECT_EQ(tx->rootDestCount(), 1);
    ASSERT_EQ(tx->sendText(u"y"), kelS_OK);
    EXPECT_EQ(b.receiveText(kWait), "y");
    tx->close();
}

TEST(kelIPTransmitterSessionTest, DestRemoveBySessionOrURIStopsThePackets)
{
    kelTestPeer a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = openTransmitter(port);
    ASSERT_TRUE(tx);
    ASSERT_EQ(tx->destAdd(false, a.uri(), true, u"1A", 0, -1), 0);
    ASSERT_EQ(tx->destAdd(false, b.uri("/"), true, u"1B", 0, -1), 1);
    EXPECT_FALSE(tx->destRemove(u"rtp://127.0.0.1:1", u"77")) << "neither the session nor the URI is listed";

    EXPECT_TRUE(tx->destRemove(u"", u"1a"));
    EXPECT_EQ(tx->destCount(), 1);
    ASSERT_EQ(tx->sendText(u"1"), kelS_OK);
    EXPECT_EQ(b.receiveText(kWait), "1");
    // A is gone from the root: listed again, the next text is its first.
    ASSERT_EQ(tx->destAdd(false, a.uri(), true, u"1A", 0, -1), 1);
    ASSERT_EQ(tx->sendText(u"2"), kelS_OK);
    EXPECT_EQ(a.receiveText(kWait), "2");

    // By URI, with an unknown session id beside it.
    EXPECT_TRUE(tx->destRemove(b.uri("/"), u"ZZ"));
    EXPECT_EQ(tx->destCount(), 1);
    EXPECT_EQ(tx->rootDestCount(), 1);
    EXPECT_TRUE(tx->destRemove(0));
    EXPECT_FALSE(tx->destRemove(0));
    EXPECT_EQ(tx->destCount(), 0);
    tx->close();
}

TEST(kelIPTransmitterSessionTest, DestEnableStopsAndRestartsOneDestination)
{
    kelTestPeer a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = openTransmitter(port);
    ASSERT_TRUE(tx);
    ASSERT_EQ(tx->destAdd(false, a.uri(), true, u"A1", 0, -1), 0);
    ASSERT_EQ(tx->destAdd(false, b.uri(), true, u"", 0, -1), 1);

    ASSERT_TRUE(tx->destEnable(u"", u"a1", false));
    ASSERT_EQ(tx->sendText(u"1"), kelS_OK);
    EXPECT_EQ(b.receiveText(kWait), "1");
    ASSERT_TRUE(tx->destEnable(0, true));
    ASSERT_EQ(tx->sendText(u"2"), kelS_OK);
    // The text sent while A was disabled never reached it.
    EXPECT_EQ(a.receiveText(kWait), "2");
    EXPECT_EQ(b.receiveText(kWait), "2");

    // The sessionless one by its URI.
    ASSERT_TRUE(tx->destEnable(b.uri(), u"", false));
    ASSERT_EQ(tx->sendText(u"3"), kelS_OK);
    EXPECT_EQ(a.receiveText(kWait), "3");
    ASSERT_TRUE(tx->destEnable(1, true));
    ASSERT_EQ(tx->sendText(u"4"), kelS_OK);
    EXPECT_EQ(b.receiveText(kWait), "4");
    EXPECT_FALSE(tx->destEnable(5, true));
    EXPECT_FALSE(tx->destEnable(u"rtp://127.0.0.1:1", u"", true));
    tx->close();
}

TEST(kelIPTransmitterSessionTest, MemberGoneFindsTheSessionBySSRCThenByAddress)
{
    kelOwned<memberGoneTransmitter> tx(kelCreate<memberGoneTransmitter>());
    ASSERT_EQ(tx->destAdd(false, u"rtp://127.0.0.1:40000", true, u"1", 0x1234u, -1), 0);
    ASSERT_EQ(tx->destAdd(false, u"rtp://127.0.0.1:40002", true, u"", 0, -1), 1);
    ASSERT_EQ(tx->destAdd(false, u"rtp://127.0.0.1:40004", true, u"3", 0, -1), 2);

    // The SSRC wins over the address, which names the second entry.
    rtp_site_info member;
    member.r_ssrc = 0x1234;
    member.r_remoteAddrRTP = kelTestLoopback(40002);
    member.r_remoteAddrRTPValid = kelTrue;
    tx->onMemberGone(&member, false);
    ASSERT_EQ(tx->destCount(), 2);
    EXPECT_EQ(sessionAt(*tx, 0), u"@rtp://127.0.0.1:40002");

    // A timed-out destination reports only its addresses: the entry without
    // a session goes by address.
    member.r_ssrc = 0;
    tx->onMemberGone(&member, true);
    ASSERT_EQ(tx->destCount(), 1);
    EXPECT_EQ(sessionAt(*tx, 0), u"3@rtp://127.0.0.1:40004");

    // No match: nothing changes.
    member.r_remoteAddrRTP = kelTestLoopback(40006);
    member.r_remoteAddrRTCP = kelTestLoopback(40005);
    member.r_remoteAddrRTCPValid = kelTrue;
    tx->onMemberGone(&member, false);
    EXPECT_EQ(tx->destCount(), 1);

    // A member that never sent RTP is found by its RTCP port, the one
    // beside the session's RTP port.
    member.r_remoteAddrRTPValid = kelFalse;
    member.r_remoteAddrRTCP = kelTestLoopback(40004);
    tx->onMemberGone(&member, false);
    EXPECT_EQ(tx->destCount(), 1) << "the RTP port itself is not the RTCP port";
    member.r_remoteAddrRTCP.sin_port = htons(40005);
    member.r_remoteAddrRTCP.sin_addr.s_addr = htonl(0x7F000002);
    tx->onMemberGone(&member, false);
    EXPECT_EQ(tx->destCount(), 1) << "another host";
    member.r_remoteAddrRTCP = kelTestLoopback(40005);
    tx->onMemberGone(&member, false);
    EXPECT_EQ(tx->destCount(), 0);
}

TEST(kelIPTransmitterSessionTest, ByeOfARealPeerRemovesItsSession)
{
    kelTestPeer other;
    ASSERT_TRUE(other.ok());
    uint16_t port = 0;
    kelOwned<TkelIPTransmitter> tx = openTransmitter(port);
    ASSERT_TRUE(tx);
    const uint16_t peerPort = kelTestFreeRTPPort();
    ASSERT_NE(peerPort, 0);
    // The peer: an RTP transmitter on 127.0.0.1 sending to ours.
    kelOwned<kelRTPTransmitter> peer(kelCreate<kelRTPTransmitter>(
        intptr_t{0}, false, false, kelString(u"127.0.0.1"), portText(peerPort), kelString(), intptr_t{-1}));
    ASSERT_TRUE(peer);
    ASSERT_GE(peer->destAdd(true, kelTestURI(port), true), 0);
    ASSERT_TRUE(peer->open());
    ASSERT_EQ(tx->destAdd(false, kelTestURI(peerPort), true, u"7", 0, -1), 0);
    ASSERT_EQ(tx->destAdd(false, other.uri(), true, u"8", 0, -1), 1);

    // Our RTCP stack learns the peer, and where it sends from, from its
    // packets.
    const uint8_t payload[4] = {1, 2, 3, 4};
    ASSERT_TRUE(kelTestWaitUntil(
        [&] {
            (void)peer->transmit(160, payload, sizeof payload);
            rtp_site_info* m = tx->rtcp() ? tx->rtcp()->memberBySSRCAcq(peer->_SSRC(), true, 100) : nullptr;
            const bool located = m != nullptr && (m->r_remoteAddrRTPValid || m->r_remoteAddrRTCPValid);
            kelRTCPstack::memberReleaseRO(m);
            return located;
        },
        kWait));
    peer->close(false); // says BYE
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->destCount() == 1; }, kWait));
    EXPECT_EQ(sessionAt(*tx, 0), u"8@" + other.uri());
    // A session is left, so the root stays.
    EXPECT_EQ(tx->sendText(u"k"), kelS_OK);
    EXPECT_EQ(other.receiveText(kWait), "k");
    tx->close();
}

TEST(kelIPTransmitterSessionTest, HolePunchersAreRefusedWhileTheOptionIsOff)
{
    kelTestPeer refused, taken, listed;
    ASSERT_TRUE(refused.ok() && taken.ok() && listed.ok());
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<countingTransmitter> tx(kelCreate<countingTransmitter>());
    tx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    tx->setAutoAddDestFromHolePacket(false);
    refused.sendTo(port, kelTestRTPPacket(13, 1, {0}));
    // Every packet the root receives reaches the component after the root
    // handled it.
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->received() >= 1; }, kWait));
    EXPECT_EQ(tx->rootDestCount(), 0);
    // Destinations added on purpose are still taken.
    ASSERT_EQ(tx->destAdd(false, listed.uri(), true, u"", 0, -1), 0);
    EXPECT_EQ(tx->rootDestCount(), 1);

    tx->setAutoAddDestFromHolePacket(true);
    taken.sendTo(port, kelTestRTPPacket(13, 2, {0}));
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->received() >= 2; }, kWait));
    EXPECT_EQ(tx->rootDestCount(), 2);
    ASSERT_EQ(tx->sendText(u"h"), kelS_OK);
    EXPECT_EQ(taken.receiveText(kWait), "h");
    EXPECT_EQ(listed.receiveText(kWait), "h");
    tx->close();
}
