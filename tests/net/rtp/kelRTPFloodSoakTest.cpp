// A receiver of a real stream under a flood of forged members: 1,000
// datagrams a second of parseable RTP and RTCP with fresh SSRCs from
// 127.0.0.2, for KEL_SOAK_SECONDS (20 unless set). The member table and
// the memory stay bounded and every packet of the stream arrives, in
// order and intact. Runs on the system clock: the flood is real traffic.
#include "kelRTPStreamTestSupport.h"

#include "tests/support/kelTestFlood.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

double soakSeconds()
{
    const char* text = std::getenv("KEL_SOAK_SECONDS");
    const double value = text ? std::atof(text) : 0;
    return value > 0 ? value : 20;
}

// Resident memory of this process, bytes.
uint64_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Keeps the payloads of one SSRC; counts the rest.
class StreamReceiver : public kelRTPReceiver
{
public:
    using kelRTPReceiver::kelRTPReceiver;

    void onRTPData(const sockaddr_in&, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t packetSize) override
    {
        if (packetSize < kelRTPHeaderSize || rtp_hdr::read(header).ssrc() != expected.load()) {
            ++others;
            return;
        }
        std::lock_guard<std::mutex> g(guard);
        payloads.emplace_back(payload, payload + payloadSize);
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(guard);
        return payloads.size();
    }

    std::atomic<uint32_t> expected{0};
    std::atomic<uint64_t> others{0};
    std::mutex guard;
    std::vector<Bytes> payloads;
};

Bytes numbered(uint32_t n)
{
    return {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(n)};
}

TEST(kelRTPFloodSoakTest, FloodOfForgedMembersKeepsTheTableBoundedAndTheStreamExact)
{
    kelOwned<kelRTPTransmitter> t(kelCreate<kelRTPTransmitter>(0, false, false, kelString(u"127.0.0.1"),
                                                               kelString(u"0"), kelString(), 1));
    ASSERT_TRUE(t && t->open());
    kelOwned<StreamReceiver> r(kelCreate<StreamReceiver>(u"0", kelString(), false, kelString(u"127.0.0.1"),
                                                         nullptr, true, false, 1));
    ASSERT_TRUE(r);
    r->expected = t->_SSRC();
    ASSERT_TRUE(r->start(10000));
    const uint16_t rxPort = portOf(r->portLocal());
    const sockaddr_in rx = kelTestLoopback(rxPort);
    const sockaddr_in rxRTCP = kelTestLoopback(static_cast<uint16_t>(rxPort + 1));
    ASSERT_EQ(r->sendRTP_CN_To(kelTestLoopback(portOf(t->receiver()->portLocal()))), 0);
    ASSERT_TRUE(waitFor([&] { return t->destHas(rx); }));

    kelTestFlood flood(200);
    ASSERT_TRUE(flood.ok());
    const double seconds = soakSeconds();
    flood.start(1000, seconds, [&](uint64_t n, Bytes& d, sockaddr_in& to, size_t&) {
        const uint32_t ssrc = 0x40000000 + static_cast<uint32_t>(n);
        switch (n % 4) {
        case 0:
            d = kelTestFlood::rtp(ssrc, static_cast<uint16_t>(n), 0, 160);
            to = rx;
            break;
        case 1:
            d = kelTestFlood::receiverReport(ssrc);
            to = rxRTCP;
            break;
        case 2:
            d = kelTestFlood::reportWithCNAME(ssrc, "forged@far");
            to = rxRTCP;
            break;
        default:
            d = kelTestFlood::rtp(ssrc, 1, 98, 12);
            to = rx;
            break;
        }
    });

    // The stream: 50 packets a second, numbered, throughout the flood.
    kelRTCPSession& session = r->rtcp()->session();
    const intptr_t cap = session.maxMembers() + 1;
    intptr_t mostMembers = 0;
    uint64_t baseline = 0, mostMemory = 0;
    uint32_t sent = 0;
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration<double>(seconds);
    for (auto next = begin; next < end; next += std::chrono::milliseconds(20)) {
        std::this_thread::sleep_until(next);
        const Bytes payload = numbered(sent);
        if (t->transmit(1, payload.data(), payload.size()) > 0) ++sent;
        mostMembers = std::max(mostMembers, session.memberCount());
        // Memory counts from the first second on, after the start-up.
        if (baseline == 0 && next - begin > std::chrono::seconds(1)) baseline = residentBytes();
        if (baseline != 0) mostMemory = std::max(mostMemory, residentBytes());
    }
    const uint64_t flooded = flood.stop();

    EXPECT_GE(flooded, static_cast<uint64_t>(seconds * 900));
    EXPECT_LE(mostMembers, cap);
    EXPECT_GT(r->others.load(), 0u) << "the forged RTP did arrive";
#if !defined(KEL_ASAN)
    // (AddressSanitizer holds freed blocks back in its quarantine, so the
    // resident size says nothing about the table there.)
    EXPECT_LT(mostMemory - std::min(mostMemory, baseline), 16u << 20) << "memory stays bounded";
#endif
    ASSERT_TRUE(waitFor([&] { return r->count() >= sent; }));
    std::lock_guard<std::mutex> g(r->guard);
    ASSERT_EQ(r->payloads.size(), sent);
    for (uint32_t n = 0; n < sent; ++n)
        ASSERT_EQ(r->payloads[n], numbered(n)) << "packet " << n;
    EXPECT_TRUE(t->destHas(rx)) << "the receiver kept reporting";
}

} // namespace
