// Our sender and receiver reports against a live capture of the stream they
// describe. The RTP time of a sender report is the media clock at the
// report's own instant, carried on from the last packet sent (so it keeps
// counting through a pause), and the jitter of a receiver report is what the
// interarrival estimator gives for the arrival times the capture saw.

#include "core/kelParseInt.h"
#include "net/rtp/kelSocks_RTP.h"
#include "tests/support/kelTestCapture.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <thread>

namespace {

constexpr double kRate = 8000; // PCMU

struct Packet
{
    double time = 0;     // capture time, seconds
    uint32_t rtp = 0;    // RTP timestamp (media) or the report's RTP time
    double ntp = 0;      // sender reports: NTP time, seconds
    int64_t jitter = -1; // receiver reports: the block's jitter
};

struct Capture
{
    std::vector<Packet> media, senderReports, receiverReports;
};

Capture readCapture(const std::string& pcap, uint16_t port)
{
    const std::string p = std::to_string(port), rtcp = std::to_string(port + 1);
    const auto rows =
        tsharkFields("tshark -n -r '" + pcap + "' -d udp.port==" + p + ",rtp -d udp.port==" + rtcp +
                     ",rtcp -T fields -e frame.time_epoch -e udp.dstport -e rtp.timestamp "
                     "-e rtcp.pt -e rtcp.timestamp.ntp.msw -e rtcp.timestamp.ntp.lsw "
                     "-e rtcp.timestamp.rtp -e rtcp.ssrc.jitter 2>/dev/null");
    Capture c;
    for (const auto& row : rows) {
        if (row.size() < 4) continue;
        Packet k;
        k.time = std::stod(row[0]);
        if (row[1] == p && !row[2].empty()) {
            k.rtp = static_cast<uint32_t>(std::stoul(row[2]));
            c.media.push_back(k);
        } else if (row[1] == rtcp && row[3].rfind("200", 0) == 0 && row.size() >= 7) {
            k.ntp = std::stod(row[4]) + std::stod(row[5]) / 4294967296.0;
            k.rtp = static_cast<uint32_t>(std::stoul(row[6]));
            c.senderReports.push_back(k);
        } else if (row[1] != rtcp && row[3].rfind("201", 0) == 0 && row.size() >= 8 && !row[7].empty()) {
            k.jitter = std::stoll(row[7]);
            c.receiverReports.push_back(k);
        }
    }
    return c;
}

// The last media packet captured before `time`.
std::optional<Packet> lastMediaBefore(const Capture& c, double time)
{
    std::optional<Packet> last;
    for (const Packet& m : c.media)
        if (m.time < time) last = m;
    return last;
}

// The interarrival jitter of the media captured before `time`, in
// timestamp units: J += (|D| - J) / 16 over successive transit times.
double jitterBefore(const Capture& c, double time)
{
    double j = 0, prevTransit = 0;
    bool first = true;
    for (const Packet& m : c.media) {
        if (m.time >= time) break;
        const double transit = m.time * kRate - m.rtp;
        if (!first) j += (std::fabs(transit - prevTransit) - j) / 16;
        prevTransit = transit;
        first = false;
    }
    return j;
}

TEST(kelRTCPTimingTsharkTest, SenderReportTimeAndReceiverJitterMatchTheCapture)
{
    if (!kelTestProcess::available("tshark"))
        GTEST_SKIP() << "tshark not installed (scripts/install-deps installs it)";
    kelTempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const uint16_t port = kelTestFreeRTPPort();
    ASSERT_NE(port, 0);
    const std::string pcap = dir.path() + "/reports.pcap";
    kelTestProcess capture;
    const std::string why =
        startCapture(capture, "udp port " + std::to_string(port) + " or udp port " + std::to_string(port + 1),
                     0, pcap, dir.path() + "/tshark.log");
    if (!why.empty()) GTEST_SKIP() << why;

    kelOwned<kelRTPReceiver> rx(kelCreate<kelRTPReceiver>(formatInteger(port), kelString(), false,
                                                          kelString(u"127.0.0.1"), nullptr, true, false, 1));
    ASSERT_TRUE(rx);
    ASSERT_TRUE(rx->start(10000));
    kelOwned<kelRTPTransmitter> tx(kelCreate<kelRTPTransmitter>(
        kelRTPPayloadPCMU, false, false, kelString(u"127.0.0.1"), kelString(u"0"), kelString(), 1));
    ASSERT_TRUE(tx);
    ASSERT_TRUE(tx->open());
    ASSERT_GE(tx->destAdd(true, u"127.0.0.1", formatInteger(port), kelString(), true), 0);

    // 20 ms packets, every second one 10 ms late: each arrival is 10 ms off
    // its predecessor's spacing, which the estimator turns into about 80
    // timestamp units. The receiver reports a sender only once the
    // sender's RTCP has told it where to, and only for media heard since its
    // last report: the stream goes on until a sender report is in the
    // capture, and a little beyond, however late the first report comes.
    std::atomic<bool> senderReported{false}, streaming{true};
    std::thread watcher([&] {
        while (streaming.load() && !senderReported.load()) {
            senderReported = !readCapture(pcap, port).senderReports.empty();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const std::vector<uint8_t> payload(160, 0xFF);
    const auto start = std::chrono::steady_clock::now();
    int packets = 0, afterReport = 0;
    bool sent = true;
    while (packets < 120 || afterReport < 20) {
        std::this_thread::sleep_until(start +
                                      std::chrono::milliseconds(20 * packets + (packets % 2 ? 10 : 0)));
        sent = tx->transmit(160, payload.data(), payload.size()) > 0;
        if (!sent) break;
        ++packets;
        if (senderReported.load()) ++afterReport;
        if (packets == 3000) break; // a minute without a sender report
    }
    streaming = false;
    watcher.join();
    ASSERT_TRUE(sent) << "packet " << packets << " was not sent";
    ASSERT_TRUE(senderReported.load()) << "no sender report in the capture after " << packets << " packets";

    // Then silence, until a sender report well into the pause and a receiver
    // report after the last packet have gone out.
    Capture c;
    auto lastRead = std::chrono::steady_clock::now();
    const auto reportsDone = [&] {
        // Reading the capture runs tshark: twice a second is enough.
        if (std::chrono::steady_clock::now() - lastRead < std::chrono::milliseconds(500)) return false;
        lastRead = std::chrono::steady_clock::now();
        c = readCapture(pcap, port);
        if (c.media.size() < static_cast<size_t>(packets)) return false;
        const double end = c.media.back().time;
        bool pausedSR = false, finalRR = false;
        for (const Packet& sr : c.senderReports)
            pausedSR |= sr.time > end + 0.5;
        for (const Packet& rr : c.receiverReports)
            finalRR |= rr.time > end;
        return pausedSR && finalRR;
    };
    ASSERT_TRUE(kelTestWaitUntil(reportsDone, 40000))
        << "reports missing: " << c.media.size() << " packets, " << c.senderReports.size() << " SRs, "
        << c.receiverReports.size() << " RRs with a block";
    capture.stop();
    tx->close(false);
    rx->stop(3000);

    ASSERT_EQ(c.media.size(), static_cast<size_t>(packets));
    const double end = c.media.back().time;
    int pausedReports = 0, finalReports = 0;
    for (const Packet& sr : c.senderReports) {
        if (sr.time <= end) continue; // during the stream the pairing with a packet is ambiguous
        ++pausedReports;
        const Packet last = *lastMediaBefore(c, sr.time);
        const double expected = last.rtp + kRate * (sr.time - last.time);
        const double off = static_cast<int32_t>(sr.rtp - static_cast<uint32_t>(std::llround(expected)));
        EXPECT_LE(std::fabs(off), kRate * 0.005)
            << "SR " << (sr.time - end) << " s into the pause carries RTP time " << sr.rtp
            << ", the media clock says " << expected;
    }
    for (const Packet& rr : c.receiverReports) {
        if (rr.time <= end) continue;
        ++finalReports;
        const double seen = jitterBefore(c, rr.time);
        EXPECT_NEAR(static_cast<double>(rr.jitter), seen, 8 + seen / 4)
            << "the capture's arrival times give a jitter of " << seen;
        EXPECT_GT(rr.jitter, 40) << "10 ms of alternating lateness is about 80 units at 8 kHz";
    }
    EXPECT_GE(pausedReports, 1);
    EXPECT_GE(finalReports, 1);
}

} // namespace
