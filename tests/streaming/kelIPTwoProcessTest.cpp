// The transmitter and the receiver in two processes on 127.0.0.1, each run
// by the peer program: texts and L16 audio cross between them, whichever
// starts first, and a second transmitter on a taken port says why it failed.

#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

const std::string kPeer = KEL_IP_STREAM_PEER;

// "a", backspace, the editing-key pair 127 + 10, a Cyrillic letter and a
// character outside the BMP (one surrogate pair, one text), as the peer's
// "text" command and as its receiver prints them.
const std::vector<std::string> kTexts = {"0061", "0008", "007f 000a", "0416", "d83d de00"};
// The UTF-16 code units of each text: the RTP timestamp step.
const std::vector<uint32_t> kUnits = {1, 1, 2, 1, 2};

class kelIPTwoProcessTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(f_dir.path().empty());
        f_port = kelTestFreeRTPPort();
        ASSERT_NE(f_port, 0);
        f_uri = "rtp://127.0.0.1:" + std::to_string(f_port);
    }

    // Starts a peer and waits for its first answer: READY or ERROR.
    std::string startPeer(kelTestProcess& peer, const std::vector<std::string>& args, const std::string& name)
    {
        std::vector<std::string> argv = {kPeer};
        argv.insert(argv.end(), args.begin(), args.end());
        EXPECT_TRUE(peer.startWithInput(argv, f_dir.file(name + ".log")));
        std::string answer;
        (void)kelTestWaitUntil(
            [&] {
                const bool ended = peer.exited();
                for (const std::string& line : peer.lines())
                    if (line.rfind("READY ", 0) == 0 || line.rfind("ERROR ", 0) == 0) answer = line;
                return !answer.empty() || ended;
            },
            20000);
        return answer.empty() ? "no answer: " + peer.log() : answer;
    }

    std::string startTransmitter(kelTestProcess& peer, const std::string& name = "tx")
    {
        return startPeer(peer, {"tx", f_uri}, name);
    }
    std::string startReceiver(kelTestProcess& peer)
    {
        return startPeer(peer, {"rx", f_uri, f_dir.file("received.raw")}, "rx");
    }

    // Asks `tx` for `want` destinations while `rx` moves its clock on
    // through its report times, at which it repeats its hole packets; the
    // transmitter's last answer.
    static std::string destWhileAdvancing(kelTestProcess& tx, kelTestProcess& rx, int want)
    {
        const std::string wanted = "DEST " + std::to_string(want);
        std::string last = "none";
        for (int round = 0; round < 24 && last != wanted; ++round) {
            const size_t asked = tx.linesWith("DEST ").size();
            if (!rx.send("advance 2500") || !tx.send("dest " + std::to_string(want) + " 150")) break;
            last = tx.waitLine("DEST ", kelTestWaitMs, asked + 1).value_or("none");
        }
        return last;
    }

    // Sends every text once the transmitter knows the receiver, and expects
    // them at the receiver exactly and in order.
    void sendTextsAndExpectThem(kelTestProcess& tx, kelTestProcess& rx)
    {
        // The receiver's hole packets make it a destination.
        ASSERT_EQ(destWhileAdvancing(tx, rx, 1), "DEST 1") << rx.log();
        std::vector<uint32_t> stamps;
        for (size_t i = 0; i < kTexts.size(); ++i) {
            ASSERT_TRUE(tx.send("text " + kTexts[i]));
            const std::optional<std::string> sent = tx.waitLine("SENT ", 10000, i + 1);
            ASSERT_TRUE(sent) << tx.log();
            EXPECT_EQ(sent->substr(0, 14), "SENT 00000000 ") << *sent;
            stamps.push_back(static_cast<uint32_t>(std::stoul(sent->substr(14))));
        }
        // The timestamp after each text has moved on by its code units.
        for (size_t i = 1; i < stamps.size(); ++i)
            EXPECT_EQ(stamps[i] - stamps[i - 1], kUnits[i]) << "after text " << i;
        ASSERT_TRUE(rx.waitLine("TEXT ", 10000, kTexts.size())) << rx.log();
        std::vector<std::string> expected;
        for (const std::string& t : kTexts)
            expected.push_back("TEXT " + t);
        EXPECT_EQ(rx.linesWith("TEXT "), expected);
    }

    // Ends a peer by closing its input (or by `sig`) and expects a clean end.
    static void expectCleanEnd(kelTestProcess& peer, int sig = 0)
    {
        if (sig != 0)
            peer.signal(sig);
        else
            peer.closeInput();
        ASSERT_TRUE(peer.waitExit(15000)) << peer.log();
        EXPECT_EQ(peer.exitCode(), 0) << peer.log();
        const std::vector<std::string> lines = peer.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "BYE");
    }

    kelTempDir f_dir;
    uint16_t f_port = 0;
    std::string f_uri;
};

TEST_F(kelIPTwoProcessTest, TextsArriveInOrderWhenTheReceiverStartsFirst)
{
    kelTestProcess rx, tx;
    ASSERT_EQ(startReceiver(rx).substr(0, 6), "READY ");
    // The first hole packets went to a port nobody held yet: the receiver
    // is found through the ones it repeats at its report times.
    ASSERT_EQ(startTransmitter(tx), "READY " + std::to_string(f_port));
    sendTextsAndExpectThem(tx, rx);
    expectCleanEnd(rx, SIGTERM);
    expectCleanEnd(tx);
}

TEST_F(kelIPTwoProcessTest, TextsArriveInOrderWhenTheReceiverStartsLater)
{
    kelTestProcess rx, tx;
    ASSERT_EQ(startTransmitter(tx), "READY " + std::to_string(f_port));
    ASSERT_EQ(startReceiver(rx).substr(0, 6), "READY ");
    sendTextsAndExpectThem(tx, rx);
    expectCleanEnd(tx, SIGTERM);
    expectCleanEnd(rx);
}

TEST_F(kelIPTwoProcessTest, EitherEndRestartedFindsTheOtherAgain)
{
    kelTestProcess rx, tx;
    ASSERT_EQ(startReceiver(rx).substr(0, 6), "READY ");
    ASSERT_EQ(startTransmitter(tx), "READY " + std::to_string(f_port));
    ASSERT_EQ(destWhileAdvancing(tx, rx, 1), "DEST 1") << rx.log();
    ASSERT_TRUE(tx.send("text 0061"));
    ASSERT_TRUE(rx.waitLine("TEXT ", 10000, 1)) << rx.log();

    // A transmitter that stops says goodbye: the receiver that outlived it
    // punches its holes again at its next report time, and the successor
    // on the same port finds it.
    expectCleanEnd(tx, SIGTERM);
    kelTestProcess tx2;
    ASSERT_EQ(startTransmitter(tx2, "tx2"), "READY " + std::to_string(f_port));
    ASSERT_EQ(destWhileAdvancing(tx2, rx, 1), "DEST 1") << rx.log();
    ASSERT_TRUE(tx2.send("text 0062"));
    ASSERT_TRUE(rx.waitLine("TEXT ", 10000, 2)) << rx.log();

    // A receiver that dies says no goodbye and leaves its destination
    // behind (the transmitter's clock stands still); a new one is added beside it and hears what
    // follows.
    rx.signal(SIGKILL);
    ASSERT_TRUE(rx.waitExit(10000));
    kelTestProcess rx2;
    ASSERT_EQ(startPeer(rx2, {"rx", f_uri, f_dir.file("received2.raw")}, "rx2").substr(0, 6), "READY ");
    const size_t asked = tx2.linesWith("DEST ").size();
    ASSERT_TRUE(tx2.send("dest 2 30000"));
    ASSERT_EQ(tx2.waitLine("DEST ", 40000, asked + 1).value_or("none"), "DEST 2");
    ASSERT_TRUE(tx2.send("text 0063"));
    ASSERT_TRUE(rx2.waitLine("TEXT ", 10000, 1)) << rx2.log();
    EXPECT_EQ(rx.linesWith("TEXT "), (std::vector<std::string>{"TEXT 0061", "TEXT 0062"}));
    EXPECT_EQ(rx2.linesWith("TEXT "), (std::vector<std::string>{"TEXT 0063"}));
    expectCleanEnd(tx2);
    expectCleanEnd(rx2);
}

// A transmitter killed without a BYE and started again on its port has
// lost its destinations: the receiver punches once the old one's report is
// overdue and every 2.5 s while the transmitter's RTP is quiet, so the new
// one hears it within 3 s of the receiver's clock from the restart.
TEST_F(kelIPTwoProcessTest, TransmitterKilledAndRestartedHearsTheReceiverWithinThreeSeconds)
{
    kelTestProcess rx, tx;
    ASSERT_EQ(startReceiver(rx).substr(0, 6), "READY ");
    ASSERT_EQ(startTransmitter(tx), "READY " + std::to_string(f_port));
    ASSERT_EQ(destWhileAdvancing(tx, rx, 1), "DEST 1") << rx.log();
    ASSERT_TRUE(tx.send("text 0061"));
    ASSERT_TRUE(rx.waitLine("TEXT ", 10000, 1)) << rx.log();

    // Both clocks on together until the receiver knows the interval of the
    // transmitter's reports, then a few seconds more.
    auto step = [](kelTestProcess& peer, uint64_t ms) {
        const size_t asked = peer.linesWith("ADVANCED ").size();
        return peer.send("advance " + std::to_string(ms)) && peer.waitLine("ADVANCED ", 10000, asked + 1);
    };
    auto holes = [&] {
        const size_t asked = rx.linesWith("HOLES ").size();
        if (!rx.send("holes")) return std::string();
        return rx.waitLine("HOLES ", 10000, asked + 1).value_or("");
    };
    std::string known;
    for (int i = 0; i < 120 && known.empty(); ++i) {
        ASSERT_TRUE(step(tx, 500) && step(rx, 500));
        const std::string h = holes();
        if (h.rfind("HOLES 1 0 ", 0) == 0 && h.substr(10, 2) != "0 ") known = h;
    }
    ASSERT_FALSE(known.empty()) << "the transmitter's reports were never learnt: " << holes();
    for (int i = 0; i < 7; ++i)
        ASSERT_TRUE(step(tx, 500) && step(rx, 500));

    tx.signal(SIGKILL);
    ASSERT_TRUE(tx.waitExit(10000));
    kelTestProcess tx2;
    ASSERT_EQ(startTransmitter(tx2, "tx2"), "READY " + std::to_string(f_port));
    uint64_t moved = 0;
    std::string dest = "none";
    for (; moved < 20000 && dest != "DEST 1"; moved += 250) {
        ASSERT_TRUE(step(tx2, 250) && step(rx, 250));
        const size_t asked = tx2.linesWith("DEST ").size();
        ASSERT_TRUE(tx2.send("dest 1 50"));
        dest = tx2.waitLine("DEST ", 10000, asked + 1).value_or("none");
    }
    ASSERT_EQ(dest, "DEST 1") << rx.log();
    EXPECT_LE(moved, 3000u) << "heard " << moved << " ms after the restart (" << known << ")";
    ASSERT_TRUE(tx2.send("text 0062"));
    ASSERT_TRUE(rx.waitLine("TEXT ", 10000, 2)) << rx.log();
    expectCleanEnd(tx2);
    expectCleanEnd(rx);
}

TEST_F(kelIPTwoProcessTest, L16AudioThroughThePipeArrivesByteExact)
{
    // Three seconds of 8000 Hz mono (the streamers' default format) in host
    // order: a pseudo-random pattern, so a lost, repeated, reordered or
    // unswapped sample shows.
    std::string audio(48000, '\0');
    uint32_t state = 0x2545F491u;
    for (char& byte : audio) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    const std::string source = f_dir.file("source.raw");
    kelWriteBytes(source, audio);

    kelTestProcess rx, tx;
    ASSERT_EQ(startTransmitter(tx), "READY " + std::to_string(f_port));
    ASSERT_EQ(startReceiver(rx).substr(0, 6), "READY ");
    ASSERT_TRUE(tx.send("dest 1 30000"));
    ASSERT_EQ(tx.waitLine("DEST ", 40000).value_or("none"), "DEST 1") << rx.log();
    // 20 ms blocks in real time, as an audio source hands them on.
    ASSERT_TRUE(tx.send("l16 " + source + " 320 20"));
    ASSERT_EQ(tx.waitLine("L16 ", 60000).value_or("none"), "L16 48000") << tx.log();
    const std::string received = f_dir.file("received.raw");
    EXPECT_TRUE(kelTestWaitUntil([&] { return kelReadBytes(received).size() >= audio.size(); }, 10000));
    expectCleanEnd(tx);
    expectCleanEnd(rx);
    const std::string got = kelReadBytes(received);
    EXPECT_EQ(got.size(), audio.size());
    EXPECT_TRUE(got == audio) << "received audio differs from the file sent";
}

TEST_F(kelIPTwoProcessTest, SecondTransmitterOnTheSamePortFailsWithSocketError)
{
    kelTestProcess first, second;
    ASSERT_EQ(startTransmitter(first), "READY " + std::to_string(f_port));
    // The library's socket code for an address in use, not the errno.
    EXPECT_EQ(startTransmitter(second, "second"), "ERROR Socket error: 10048");
    ASSERT_TRUE(second.waitExit(10000));
    EXPECT_EQ(second.exitCode(), 2);
    expectCleanEnd(first);
}

} // namespace
