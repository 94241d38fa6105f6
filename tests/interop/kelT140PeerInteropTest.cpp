// Real-time text both ways with a standard RFC 4103 endpoint (a third-party
// text stream, tests/interop/kelT140Peer.cpp) on 127.0.0.1. The peer knows
// nothing of our hole packets: it sends its text, U+FEFF keep-alives, STUN
// checks and RTCP from its own ports to ours and wants our text back at its
// RTP port. Its text type is 113, its redundancy type 100, and we get no SDP.
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include "core/kelUtf.h"
#include "net/sockets/kelSockAddr.h"
#include "streaming/kelIPStreaming.h"
#include "streaming/kelT140Receive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr int kText = 113;
constexpr int kRed = 100;
// Keep-alives between the texts of every case.
constexpr int kKeepAliveMs = 300;

#ifdef KEL_T140_PEER
constexpr const char* kPeer = KEL_T140_PEER;
#else
constexpr const char* kPeer = nullptr;
#endif

#define KEL_SKIP_WITHOUT_PEER()                                                                              \
    if (kPeer == nullptr)                                                                                    \
    GTEST_SKIP() << "the RFC 4103 peer was not built: libmediastreamer-dev not found by pkg-config "         \
                    "(scripts/install-deps installs it)"

struct kelShownText
{
    std::mutex guard;
    kelString all;
    // Packets the peer sent us, text and keep-alives alike.
    std::atomic<uint64_t> packets{0};

    void add(const char16_t* text)
    {
        std::lock_guard lock(guard);
        all += text;
    }
    kelString get()
    {
        std::lock_guard lock(guard);
        return all;
    }
};

// The peer, its RTP port `local`, sending to our RTP port `remote`.
bool startPeer(kelTestProcess& peer, const kelTempDir& dir, uint16_t local, uint16_t remote, bool red)
{
    return peer.startWithInput({kPeer, std::to_string(local), std::to_string(remote), std::to_string(kText),
                                std::to_string(kRed), red ? "red" : "plain", std::to_string(kKeepAliveMs)},
                               dir.path() + "/peer.log") &&
           peer.waitLine("ready", 20000).has_value();
}

// The characters the peer reported, keep-alives left out.
kelString peerReceived(const kelTestProcess& peer)
{
    kelString text;
    for (const std::string& line : peer.linesWith("char ")) {
        const auto cp = static_cast<char32_t>(std::strtoul(line.c_str() + 5, nullptr, 16));
        if (cp == 0xFEFF) continue;
        if (cp < 0x10000) {
            text.push_back(static_cast<char16_t>(cp));
        } else {
            text.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    return text;
}

} // namespace

TEST(kelT140PeerInterop, PeerTextPlainAndRedundantIsShownExactlyOnAFreshReceiverAndAfterPlainText)
{
    KEL_SKIP_WITHOUT_PEER();
    struct Case
    {
        const char* name;
        bool startRed;
        // Texts sent in turn; "red" between them switches the peer to
        // redundancy in the same stream.
        std::vector<std::string> steps;
        kelString want;
    };
    const std::vector<Case> cases = {
        {"plain", false, {"Hello plain \xC3\xA9"}, u"Hello plain \u00E9"},
        {"redundant, fresh receiver", true, {"Hello red"}, u"Hello red"},
        {"redundant after plain text",
         false,
         {"Hello", "red", " red \xF0\x9F\x99\x82"},
         u"Hello red \U0001F642"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kelTempDir dir;
        ASSERT_FALSE(dir.path().empty());
        const uint16_t peerPort = kelTestFreeRTPPort();
        ASSERT_NE(peerPort, 0);
        kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
        ASSERT_TRUE(rx);
        kelShownText shown;
        rx->setOnText([&shown](kelmtlInOutPipe*, const char16_t* text) { shown.add(text); });
        rx->setOnRTPHeader(
            [&shown](kelmtlInOutPipe*, const rtp_hdr*, const void*, uint32_t) { ++shown.packets; });
        rx->setURI(kelTestURI(peerPort));
        ASSERT_TRUE(rx->open());
        const auto rxPort = static_cast<uint16_t>(portFromString(rx->portLocal()));
        ASSERT_NE(rxPort, 0);

        kelTestProcess peer;
        ASSERT_TRUE(startPeer(peer, dir, peerPort, rxPort, c.startRed)) << peer.log();
        kelString expected;
        for (const std::string& step : c.steps) {
            if (step == "red") {
                ASSERT_TRUE(peer.send("red"));
                ASSERT_TRUE(peer.waitLine("red", 10000).has_value()) << peer.log();
                continue;
            }
            // Keep-alives go out before the text, and between the texts.
            const uint64_t before = shown.packets.load();
            ASSERT_TRUE(kelTestWaitUntil([&] { return shown.packets.load() >= before + 2; }, 10000))
                << peer.log();
            ASSERT_TRUE(peer.send("text " + step));
            expected += kelT140Shown(utf8ToUtf16(step.data(), step.size()));
            EXPECT_TRUE(kelTestWaitUntil([&] { return shown.get().size() >= expected.size(); }, 10000))
                << peer.log();
            EXPECT_EQ(shown.get(), expected);
        }
        // More keep-alives, which show nothing.
        const uint64_t seen = shown.packets.load();
        ASSERT_TRUE(kelTestWaitUntil([&] { return shown.packets.load() >= seen + 3; }, 10000)) << peer.log();
        EXPECT_EQ(shown.get(), c.want);
        EXPECT_EQ(rx->encoding(), kelRTPEnc_t140c);
        peer.stop();
        rx->close();
    }
}

TEST(kelT140PeerInterop, WhatThePeerSendsUnaskedMakesItOurDestinationAndOurTextReachesIt)
{
    KEL_SKIP_WITHOUT_PEER();
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t txPort = kelTestFreeRTPPort();
    const uint16_t peerPort = kelTestFreeRTPPort();
    ASSERT_TRUE(txPort != 0 && peerPort != 0);
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    ASSERT_TRUE(tx);
    tx->setURI(kelTestURI(txPort));
    ASSERT_TRUE(tx->open());

    // The peer types nothing: its STUN checks, keep-alives and reports are
    // all we hear of it.
    kelTestProcess peer;
    ASSERT_TRUE(startPeer(peer, dir, peerPort, txPort, false)) << peer.log();
    ASSERT_TRUE(kelTestWaitUntil([&] { return tx->rootDestCount() == 1; }, 10000)) << peer.log();
    // Its first STUN check comes as its stream starts, before it reads
    // (what arrives then is flushed): type once its media runs, when it is
    // a member of our session.
    kelRTPTransmitter* root = tx->transRoot();
    ASSERT_TRUE(root && root->rtcp());
    ASSERT_TRUE(kelTestWaitUntil([&] { return root->rtcp()->memberCount() >= 2; }, 10000));

    const kelString text = u"Hi there \u00E9\U0001F642";
    // One character a call, as typed (a surrogate pair goes whole).
    for (size_t at = 0; at < text.size();) {
        const size_t n = text[at] >= 0xD800 && text[at] <= 0xDBFF ? 2 : 1;
        ASSERT_EQ(tx->sendText(text.substr(at, n)), kelS_OK);
        at += n;
    }
    EXPECT_TRUE(kelTestWaitUntil([&] { return peerReceived(peer).size() >= text.size(); }, 10000))
        << peer.log();
    EXPECT_EQ(peerReceived(peer), text);
    // Still one destination: the peer's later packets add nothing.
    EXPECT_EQ(tx->rootDestCount(), 1);
    peer.stop();
    tx->close();
}
