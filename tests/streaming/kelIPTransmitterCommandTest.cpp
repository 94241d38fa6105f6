// The IP transmitter's transport commands and the onExTransCmd hand-over,
// with plain UDP sockets on 127.0.0.1 as the peers.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kWait = 10000;

kelString text(const std::string& s)
{
    return kelString(s.begin(), s.end());
}

kelString portText(uint16_t port)
{
    return text(std::to_string(port));
}

struct command
{
    int32_t cmd;
    uint32_t udata;
    kelString data;
};

} // namespace

TEST(kelIPTransmitterCommandTest, OpenRootAnswersTheBoundPorts)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    std::vector<command> seen;
    tx->setOnExTransCmd([&](kelmtlInOutPipe* sender, uint32_t udata, int32_t cmd, kelString& data) {
        EXPECT_EQ(sender, tx.get());
        seen.push_back({cmd, udata, data});
        data = kelTransCmdNotHandled;
    });
    tx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    // Opening went through command 1 with "host:port" and the socket type.
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].cmd, kelTransCmdOpenRoot);
    EXPECT_EQ(seen[0].udata, static_cast<uint32_t>(kelIPSocketUDP));
    EXPECT_EQ(seen[0].data, u"127.0.0.1:" + portText(port));
    EXPECT_EQ(tx->rootPortLocal(), portText(port));

    // With the root there, command 1 only answers.
    kelString data = u"ignored";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdOpenRoot, data, kelIPSocketUDP), 0);
    EXPECT_EQ(data, portText(port) + u"-" + portText(static_cast<uint16_t>(port + 1)));
    tx->close();
}

TEST(kelIPTransmitterCommandTest, HandlerThatLeavesDataAloneTakesOverTheRoot)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    tx->setOnExTransCmd([](kelmtlInOutPipe*, uint32_t, int32_t, kelString&) {});
    tx->setURI(kelTestURI(port));
    EXPECT_TRUE(tx->open());
    EXPECT_EQ(tx->transRoot(), nullptr);
    EXPECT_EQ(tx->sendText(u"a"), kelE_FAIL);
    // The port is still free: nothing bound it.
    EXPECT_TRUE(kelTestUdpPortFree(port));
    tx->close();
}

TEST(kelIPTransmitterCommandTest, HandlerAnswerReplacesTheBuiltInOne)
{
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    kelString data;
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdDescribe, data, 0), 0);
    EXPECT_EQ(data, tx->SDP());
    EXPECT_NE(data.find(u"L16/8000"), kelString::npos);

    tx->setOnExTransCmd([](kelmtlInOutPipe*, uint32_t, int32_t cmd, kelString& d) {
        if (cmd == kelTransCmdDescribe)
            d = u"v=0\r\nm=audio 0 RTP/AVP 0\r\n";
        else
            d = kelTransCmdNotHandled;
    });
    data = u"/path";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdDescribe, data, 0), 0);
    EXPECT_EQ(data, u"v=0\r\nm=audio 0 RTP/AVP 0\r\n");
    // Handed back: the built-in handling sees the original text.
    data = u"*/live*2C*rtp://127.0.0.1:40000/";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdAddSession, data, 9), 0);
    EXPECT_EQ(data, u"*/live*2C*rtp://127.0.0.1:40000/");
    EXPECT_EQ(tx->destCount(), 1);

    // A handler that raises is treated as one that handed the command back.
    tx->setOnExTransCmd([](kelmtlInOutPipe*, uint32_t, int32_t, kelString& d) {
        d = u"half written";
        throw 1;
    });
    data = u"2C";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdRemoveSession, data, 0), 0);
    EXPECT_EQ(tx->destCount(), 0);
}

TEST(kelIPTransmitterCommandTest, AddSessionSplitsItsTextAtTheStars)
{
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    kelString data = u"*/live/stream*1B2*rtp://127.0.0.1:40000/";
    ASSERT_EQ(tx->doExTransCmd(kelTransCmdAddSession, data, 0xABCDu), 0);
    ASSERT_EQ(tx->destCount(), 1);
    ASSERT_TRUE(tx->sessions().lock(true));
    const kelIPTransRTSPSession* s = tx->sessions().session(0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->session(), u"1B2");
    EXPECT_EQ(s->id(), session2id(u"1B2"));
    EXPECT_EQ(s->destURI(), u"rtp://127.0.0.1:40000/");
    EXPECT_EQ(s->destHost(), u"127.0.0.1");
    EXPECT_EQ(s->destPort(), u"40000");
    EXPECT_EQ(s->destPath(), u"/");
    EXPECT_EQ(s->recSSRC(), 0xABCDu);
    EXPECT_EQ(s->ttl(), -1);
    tx->sessions().unlockRO();

    // The same session again changes nothing.
    data = u"*/other*1b2*rtp://127.0.0.1:40010/";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdAddSession, data, 0), 0);
    EXPECT_EQ(tx->destCount(), 1);

    for (const char16_t* bad :
         {u"", u"1B2 rtp://127.0.0.1:40000/", u"*/live*1B3*", u"*1B3*rtp://127.0.0.1:1/"}) {
        data = bad;
        EXPECT_EQ(tx->doExTransCmd(kelTransCmdAddSession, data, 0), -1)
            << std::string(data.begin(), data.end());
    }
    EXPECT_EQ(tx->destCount(), 1);
    // Unknown commands do nothing and succeed.
    data = u"x";
    EXPECT_EQ(tx->doExTransCmd(2, data, 0), 0);
    EXPECT_EQ(data, u"x");
}

TEST(kelIPTransmitterCommandTest, PlayOpensAndPauseStopsASessionDestination)
{
    kelTestPeer peer;
    ASSERT_TRUE(peer.ok());
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    tx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    kelString data = u"*/*5*" + peer.uri("/");
    ASSERT_EQ(tx->doExTransCmd(kelTransCmdAddSession, data, 0), 0);
    EXPECT_EQ(tx->rootDestCount(), 1);

    // Added but not opened: nothing goes there before PLAY.
    ASSERT_EQ(tx->sendText(u"0"), kelS_OK);
    data = u"5";
    ASSERT_EQ(tx->doExTransCmd(kelTransCmdPlay, data, 0), 0);
    ASSERT_EQ(tx->sendText(u"1"), kelS_OK);
    EXPECT_EQ(peer.receiveText(kWait), "1");

    data = u"5";
    ASSERT_EQ(tx->doExTransCmd(kelTransCmdPause, data, 0), 0);
    ASSERT_EQ(tx->sendText(u"2"), kelS_OK);
    data = u"5";
    ASSERT_EQ(tx->doExTransCmd(kelTransCmdPlay, data, 0), 0);
    ASSERT_EQ(tx->sendText(u"3"), kelS_OK);
    EXPECT_EQ(peer.receiveText(kWait), "3");

    data = u"6";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdPause, data, 0), -1) << "no such session";
    tx->close();
}

TEST(kelIPTransmitterCommandTest, RemovingTheLastSessionDropsTheRoot)
{
    kelTestPeer a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    tx->setURI(kelTestURI(port));
    ASSERT_TRUE(tx->open());
    ASSERT_EQ(tx->destAdd(false, a.uri(), true, u"A", 0, -1), 0);
    ASSERT_EQ(tx->destAdd(false, b.uri(), true, u"B", 0, -1), 1);

    // A session that is not listed removes nothing, and the root stays.
    kelString data = u"C";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdRemoveSession, data, 0), -1);
    data = u"A";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdRemoveSession, data, 0), 0);
    ASSERT_NE(tx->transRoot(), nullptr);
    ASSERT_EQ(tx->sendText(u"b"), kelS_OK);
    EXPECT_EQ(b.receiveText(kWait), "b");

    data = u"b";
    EXPECT_EQ(tx->doExTransCmd(kelTransCmdRemoveSession, data, 0), 0);
    EXPECT_EQ(tx->destCount(), 0);
    EXPECT_EQ(tx->transRoot(), nullptr);
    EXPECT_EQ(tx->sendText(u"c"), kelE_FAIL);
    // The parked root is freed on an idle tick and lets go of both its ports;
    // its two sockets close one after the other, so wait for the pair.
    EXPECT_TRUE(kelTestWaitUntil(
        [&] { return kelTestUdpPortFree(port) && kelTestUdpPortFree(static_cast<uint16_t>(port + 1)); },
        kWait));

    // Command 1 makes a new root on the same port.
    data.clear();
    ASSERT_EQ(tx->doExTransCmd(kelTransCmdOpenRoot, data, kelIPSocketUDP), 0);
    EXPECT_EQ(data, portText(port) + u"-" + portText(static_cast<uint16_t>(port + 1)));
    EXPECT_EQ(tx->sendText(u"d"), kelS_OK);
    tx->close();
}

TEST(kelIPTransmitterCommandTest, SecondTransmitterOnThePortFailsWithItsSocketError)
{
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    kelOwned<TkelIPTransmitter> first(kelCreate<TkelIPTransmitter>());
    kelOwned<TkelIPTransmitter> second(kelCreate<TkelIPTransmitter>());
    first->setURI(kelTestURI(port));
    second->setURI(kelTestURI(port));
    ASSERT_TRUE(first->open());
    kelString answer;
    second->setOnExTransCmd(
        [&](kelmtlInOutPipe*, uint32_t, int32_t, kelString& d) { d = kelTransCmdNotHandled; });
    EXPECT_FALSE(second->open());
    EXPECT_EQ(second->descriptionError(), u"Socket error: 10048"); // address in use
    EXPECT_EQ(second->transRoot(), nullptr);
    EXPECT_EQ(second->sendText(u"a"), kelE_FAIL);
    kelString data;
    EXPECT_EQ(second->doExTransCmd(kelTransCmdOpenRoot, data, kelIPSocketUDP), kelTransCmdRootFailed);
    EXPECT_EQ(data, u"<none>-0");
    // The first is undisturbed.
    EXPECT_EQ(first->sendText(u"a"), kelS_OK);
    first->close();
}
