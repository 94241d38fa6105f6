#pragma once
// Scaffolding for the IP components' audio coding: a receiver fed payloads
// by the test as its RTP thread would hand them over (open on 127.0.0.1,
// so its decoders are open, but fed directly, so nothing races the test),
// a transmitter set up for one encoding whose destination is a test peer,
// and the field readers of RTP packets taken off the wire. The test's own
// thread.

#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTPPackets.h"
#include "tests/support/kelTestWait.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

// The stand-in CELT library (tests/support/celt).
inline const std::string kelTestCeltLibrary = std::string(KEL_TEST_CELT_DIR) + "/kel_test_celt_full.so";

class kelTestFedReceiver : public TkelIPReceiver
{
public:
    kelTestFedReceiver()
    {
        setIsFormatProvider(true);
        setOnDataAvailable([this](kelmtlInOutPipe*, void* data, uint32_t len) {
            std::lock_guard lock(f_guard);
            f_pcm.append(static_cast<const char*>(data), len);
            f_blocks.push_back(len);
        });
    }

    // Opens towards `peer`, which takes the hole packets.
    bool openTowards(const kelTestPeer& peer)
    {
        setURI(kelTestURI(peer.port()));
        return open();
    }
    void feedRTP(uint8_t pt, const std::vector<uint8_t>& payload, uint16_t seq = 1)
    {
        const std::vector<uint8_t> packet = kelTestRTPPacket(pt, seq, payload);
        receivePacket(packet.data(), packet.data() + 12, payload.size(), false);
    }
    void feedRaw(const std::vector<uint8_t>& datagram)
    {
        receivePacket(datagram.data(), datagram.data(), datagram.size(), true);
    }
    std::string pcm()
    {
        std::lock_guard lock(f_guard);
        return f_pcm;
    }
    std::vector<uint32_t> blocks()
    {
        std::lock_guard lock(f_guard);
        return f_blocks;
    }
    void forget()
    {
        std::lock_guard lock(f_guard);
        f_pcm.clear();
        f_blocks.clear();
    }
    // Frames of CELT payloads carry `streams` streams; false without a CELT
    // decoder. Until the next format change.
    bool setCeltStreams(intptr_t streams)
    {
        celtDecoder* d = decoderCELT();
        if (d == nullptr) return false;
        d->f_numStreams = streams;
        return true;
    }
    using TkelIPReceiver::exmtFormat;

private:
    std::mutex f_guard;
    std::string f_pcm;
    std::vector<uint32_t> f_blocks;
};

// A transmitter on a free port of 127.0.0.1 with `sdp` applied (and
// `setup` run) before it opens, whose destination is `peer`; null when a
// step failed (descriptionError then tells why, when it opened no further).
template <class Setup>
kelOwned<TkelIPTransmitter> kelTestCodingTransmitter(const kelTestPeer& peer, const kelString& sdp,
                                                     Setup setup)
{
    const uint16_t port = kelTestFreeRTPPort();
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    if (port == 0 || !tx || !peer.ok()) return {};
    tx->setURI(kelTestURI(port));
    setup(*tx);
    tx->setSDP(sdp);
    if (!tx->open() || !peer.sendTo(port, kelTestRTPPacket(13, 1, {0}))) return {};
    if (!kelTestWaitUntil([&] { return tx->rootDestCount() >= 1; })) return {};
    return tx;
}

// "v=0 ... m=audio 0 RTP/AVP <pt>" with `rtpmap` (and `fmtp`) when given.
inline kelString kelTestAudioSDP(int pt, const std::string& rtpmap = {}, const std::string& fmtp = {})
{
    std::string s = "v=0\r\nm=audio 0 RTP/AVP " + std::to_string(pt) + "\r\n";
    if (!rtpmap.empty()) s += "a=rtpmap:" + std::to_string(pt) + " " + rtpmap + "\r\n";
    if (!fmtp.empty()) s += "a=fmtp:" + std::to_string(pt) + " " + fmtp + "\r\n";
    return kelString(s.begin(), s.end());
}

inline uint32_t kelTestRTPTimestamp(const std::vector<uint8_t>& p)
{
    return p.size() < 8 ? 0
                        : uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | uint32_t(p[7]);
}

inline std::vector<uint8_t> kelTestRTPPayload(const std::vector<uint8_t>& p)
{
    return p.size() < 12 ? std::vector<uint8_t>{} : std::vector<uint8_t>(p.begin() + 12, p.end());
}

// `count` 16-bit samples of a sweep, as the bytes a pipe writes.
inline std::vector<uint8_t> kelTestSweepPCM(size_t count, int step = 37)
{
    std::vector<uint8_t> out(count * 2);
    for (size_t i = 0; i < count; ++i) {
        const auto s = static_cast<int16_t>(int32_t(i * step % 60000) - 30000);
        std::memcpy(&out[i * 2], &s, 2);
    }
    return out;
}
