#pragma once
// Helpers for the streamer tests on the loopback interface: a receiver that
// records what its hooks get, a clock the tests advance by hand, plain
// sockets and bounded waits.

#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestWait.h"
#include "core/kelParseInt.h"
#include "net/rtp/kelSocks_RTP.h"
#include "net/rtp/kelSocks_SNTP.h"
#include "net/sockets/kelSockets.h"
#include "platform/kelPlatformThread.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The RTP tests' short name for the shared bounded wait.
inline bool waitFor(const std::function<bool()>& done, uint64_t timeoutMs = kelTestWaitMs)
{
    return kelTestWaitUntil(done, timeoutMs);
}

inline uint16_t portOf(const kelString& port)
{
    return static_cast<uint16_t>(parseInteger(port, 0));
}

struct Received
{
    sockaddr_in from{};
    rtp_hdr header;
    Bytes payload;
    size_t packetSize = 0;
};

// A receiver that keeps every delivery and RTCP datagram.
class RecordingReceiver : public kelRTPReceiver
{
public:
    using kelRTPReceiver::kelRTPReceiver;

    void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t packetSize) override
    {
        Received r;
        r.from = from;
        if (header != payload && packetSize >= kelRTPHeaderSize) r.header = rtp_hdr::read(header);
        r.payload.assign(payload, payload + payloadSize);
        r.packetSize = packetSize;
        std::lock_guard<std::mutex> g(guard);
        data.push_back(std::move(r));
    }
    void onRTCPPacket(uint32_t, const sockaddr_in&, const uint8_t* packet, size_t size) override
    {
        std::lock_guard<std::mutex> g(guard);
        rtcpIn.emplace_back(packet, packet + size);
    }
    void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) override
    {
        std::lock_guard<std::mutex> g(guard);
        cnames.emplace_back(ssrc, std::string(item.r_data.begin(), item.r_data.begin() + item.length));
    }
    void onMemberGone(const rtp_site_info* member, bool timedOut) override
    {
        std::lock_guard<std::mutex> g(guard);
        gone.emplace_back(member->r_ssrc, timedOut);
    }

    size_t dataCount()
    {
        std::lock_guard<std::mutex> g(guard);
        return data.size();
    }
    std::vector<Received> dataCopy()
    {
        std::lock_guard<std::mutex> g(guard);
        return data;
    }
    std::vector<Bytes> rtcpCopy()
    {
        std::lock_guard<std::mutex> g(guard);
        return rtcpIn;
    }

    std::mutex guard;
    std::vector<Received> data;
    std::vector<Bytes> rtcpIn;
    std::vector<std::pair<uint32_t, std::string>> cnames;
    std::vector<std::pair<uint32_t, bool>> gone;
};

// A UDP receiver on 127.0.0.1, any port, started.
inline kelOwned<RecordingReceiver> startedReceiver(bool noRTCP = false, const kelString& port = u"0")
{
    kelOwned<RecordingReceiver> r(kelCreate<RecordingReceiver>(
        port, kelString(), false, kelString(u"127.0.0.1"), nullptr, true, noRTCP, 1));
    if (r && !r->start(10000)) r.reset();
    return r;
}

// A plain UDP socket on 127.0.0.1, any port.
inline std::unique_ptr<kelUdpSocket> plainSocket()
{
    auto s = std::make_unique<kelUdpSocket>();
    s->setBindToIP(u"127.0.0.1");
    if (s->bindSocketToPort(0) != 0) return nullptr;
    return s;
}

inline uint16_t boundPort(kelSocket& s)
{
    sockaddr_in a{};
    return s.getSockAddrBound(a) == 0 ? ntohs(a.sin_port) : 0;
}

// The next datagram within `timeoutMs`, empty when none came.
inline Bytes receiveOne(kelUdpSocket& s, int64_t timeoutMs, sockaddr_in* from = nullptr)
{
    Bytes buf(4096);
    const int n = s.recvfrom(from, buf.data(), static_cast<int>(buf.size()), false, 0, timeoutMs);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
}
