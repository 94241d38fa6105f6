// kelRTPTransmitter on the loopback interface: packets to a receiver, the
// payload clocks, sender report counts, destinations from hole packets,
// NPNG answers, what a standard peer sends unasked, and the keep-alive driven
// by a hand-moved clock.
#include "kelRTPStreamTestSupport.h"

#include "core/kelParseInt.h"
#include "core/kelByteOrder.h"
#include "tests/support/kelTestDatagrams.h"
#include "tests/support/kelTestFlood.h"
#include "tests/support/kelTestPeer.h"
#include "tests/support/kelTestRTCP.h"
#include "tests/support/kelTestRTPPackets.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

kelOwned<kelRTPTransmitter> localTransmitter(intptr_t payload, const kelManualClock* clock = nullptr,
                                             bool raw = false)
{
    kelOwned<kelRTPTransmitter> t(kelCreate<kelRTPTransmitter>(payload, raw, false, kelString(u"127.0.0.1"),
                                                               kelString(u"0"), kelString(), 1));
    if (t && clock) t->setClock(*clock);
    if (t && !t->open()) t.reset();
    return t;
}

uint16_t localPort(kelRTPTransmitter& t)
{
    return portOf(t.receiver()->portLocal());
}

TEST(kelRTPTransmitterTest, PacketsReachTheReceiverWithHeadersAndPayloadIntact)
{
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    auto t = localTransmitter(0);
    ASSERT_TRUE(t);
    const sockaddr_in dest = kelTestLoopback(portOf(r->portLocal()));
    ASSERT_EQ(t->destAdd(true, &dest, nullptr, true), 0);
    EXPECT_EQ(t->destAdd(false, &dest, nullptr, true), -1) << "the same RTP address twice";

    const uint32_t ts0 = t->timestamp();
    for (int i = 0; i < 5; ++i) {
        Bytes payload(160, static_cast<uint8_t>(i));
        const Bytes prebuf{0xEE, static_cast<uint8_t>(i)};
        EXPECT_EQ(t->transmit(160, payload.data(), payload.size(), i == 0, -1, nullptr, prebuf.data(),
                              prebuf.size()),
                  12 + 2 + 160);
    }
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 5; }));
    const auto got = r->dataCopy();
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        const rtp_hdr& h = got[i].header;
        EXPECT_EQ(h.r_V_P_X_CC, 0x80);
        EXPECT_EQ(h.marker(), i == 0);
        EXPECT_EQ(h.payloadType(), 0);
        EXPECT_EQ(h.seq(), static_cast<uint16_t>(got[0].header.seq() + i));
        EXPECT_EQ(h.timestamp(), ts0 + 160u * (i + 1));
        EXPECT_EQ(h.ssrc(), t->_SSRC());
        Bytes expected{0xEE, static_cast<uint8_t>(i)};
        expected.insert(expected.end(), 160, static_cast<uint8_t>(i));
        EXPECT_EQ(got[i].payload, expected);
        // From the transmitter's own port: replies come back to it.
        EXPECT_EQ(ntohs(got[i].from.sin_port), localPort(*t));
    }
    // An explicit payload type and address.
    const uint8_t text[] = "hi";
    EXPECT_EQ(t->transmit(2, text, 2, false, 113, &dest), 14);
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 6; }));
    EXPECT_EQ(r->dataCopy()[5].header.payloadType(), 113);
}

TEST(kelRTPTransmitterTest, PayloadClocksConvertSamplesToTimestampTicks)
{
    auto t = localTransmitter(0);
    ASSERT_TRUE(t);
    const uint8_t b = 0;
    auto advance = [&](uint32_t samples) {
        const uint32_t before = t->timestamp();
        (void)t->transmit(samples, &b, 1);
        return t->timestamp() - before;
    };
    EXPECT_EQ(advance(160), 160u);
    t->setPayload(kelRTPPayloadL16Mono);
    EXPECT_EQ(t->RTPclockRate(), 44100u);
    EXPECT_EQ(advance(441), 441u);
    t->setPayload(kelRTPPayloadMPA);
    EXPECT_EQ(advance(1152), 2351u) << "1152 samples at 44100 Hz on the 90 kHz clock";
    // The stream's real rate: 1152 samples at 48 kHz are 24 ms, 2160 ticks.
    t->setSamplingRate(48000);
    EXPECT_EQ(advance(1152), 2160u);
    t->setPayload(113);
    EXPECT_EQ(advance(3), 3u) << "other types keep counting at their own rate";
    t->setPayload(kelRTPPayloadMPA);
    EXPECT_EQ(t->samplingRate(), 48000u) << "the known rate survives a payload change";
}

TEST(kelRTPTransmitterTest, SenderReportCountsEachPacketOnceWhateverTheDestinations)
{
    kelManualClock clock;
    std::vector<kelOwned<RecordingReceiver>> receivers;
    for (int i = 0; i < 3; ++i) {
        receivers.push_back(startedReceiver());
        ASSERT_TRUE(receivers.back());
    }
    auto t = localTransmitter(0, &clock);
    ASSERT_TRUE(t);
    for (auto& r : receivers) {
        const sockaddr_in d = kelTestLoopback(portOf(r->portLocal()));
        ASSERT_GE(t->destAdd(true, &d, nullptr, true), 0);
    }
    Bytes payload(100, 0x55);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(t->transmit(160, payload.data(), payload.size()), 3 * 112);
    // Past the first report interval.
    clock.advanceMs(10000);
    auto r = receivers[1].get();
    Bytes sr;
    ASSERT_TRUE(waitFor([&] {
        for (const Bytes& d : r->rtcpCopy())
            if (d.size() >= 28 && d[1] == 200) {
                sr = d;
                return true;
            }
        return false;
    }));
    EXPECT_EQ(kelLoadBE32(sr.data() + 4), t->_SSRC());
    // The report names the RTP time of its own instant: the last packet's
    // timestamp moved on by the 10 s since, at 8000 Hz.
    EXPECT_EQ(kelLoadBE32(sr.data() + 16), t->timestamp() + 80000u) << "RTP time of the report";
    EXPECT_EQ(kelLoadBE32(sr.data() + 20), 10u) << "packets";
    EXPECT_EQ(kelLoadBE32(sr.data() + 24), 1000u) << "payload octets";
    // The CNAME of the SDES that closes the compound reached the receiver.
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> g(r->guard);
        return !r->cnames.empty();
    }));
    std::lock_guard<std::mutex> g(r->guard);
    EXPECT_EQ(r->cnames[0].first, t->_SSRC());
    EXPECT_EQ(r->cnames[0].second, t->receiver()->cname8());
    EXPECT_EQ(r->cnames[0].second.rfind("kelRTPReceiver@", 0), 0u);
}

TEST(kelRTPTransmitterTest, HolePacketAddsItsSenderAsDestination)
{
    auto t = localTransmitter(0);
    ASSERT_TRUE(t);
    std::atomic<int> asked{0};
    std::atomic<bool> refuse{true};
    t->setOnAddDest(
        [&](kelRTPTransmitter* sender, bool fromHole, const sockaddr_in&, const sockaddr_in&, bool& accept) {
            EXPECT_EQ(sender, t.get());
            EXPECT_TRUE(fromHole);
            ++asked;
            accept = !refuse.load();
        });
    auto r = startedReceiver();
    ASSERT_TRUE(r);
    const sockaddr_in tx = kelTestLoopback(localPort(*t));
    ASSERT_EQ(r->sendRTP_CN_To(tx), 0);
    ASSERT_TRUE(waitFor([&] { return asked.load() == 1; }));
    EXPECT_EQ(t->destGetCount(), 0);

    // The repeated ping is numbered on, so it passes the sequence check.

    refuse = false;
    ASSERT_EQ(r->sendRTP_CN_To(tx), 0);
    ASSERT_TRUE(waitFor([&] { return t->destGetCount() == 1; }));
    kelRTPDestination* d = t->destGetAcq(0, true);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ntohs(d->addrRTP()->sin_port), portOf(r->portLocal()));
    EXPECT_EQ(ntohs(d->addrRTCP()->sin_port), portOf(r->portLocal()) + 1);
    EXPECT_FALSE(d->dstatic());
    EXPECT_TRUE(d->isOpen());
    EXPECT_EQ(d->recSSRC(), r->_SSRC());
    kelObject::releaseOf(d);

    // Our media now reaches the receiver that opened the hole; a second
    // ping adds nothing.
    ASSERT_EQ(r->sendRTP_CN_To(tx), 0);
    const uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(t->transmit(4, b, 4), 16);
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 1; }));
    EXPECT_EQ(r->dataCopy()[0].payload, Bytes(b, b + 4));
    EXPECT_EQ(t->destGetCount(), 1);
}

TEST(kelRTPTransmitterTest, NpngIsAnsweredWithAComfortNoisePing)
{
    auto t = localTransmitter(0);
    ASSERT_TRUE(t);
    auto rtpSock = plainSocket();
    auto rtcpSock = plainSocket();
    ASSERT_TRUE(rtpSock && rtcpSock);
    const uint16_t port = localPort(*t);
    const uint32_t peer = 0x0BADCAFE;
    // Media first, so the stack learns the peer's RTP address (from its
    // second packet: the first makes the member).
    for (uint16_t seq = 500; seq < 502; ++seq) {
        Bytes media(20, 0);
        rtpWriteHeader(media.data(), false, 0, seq, 0, peer);
        ASSERT_EQ(rtpSock->sendto(kelTestLoopback(port), media.data(), static_cast<uint32_t>(media.size())),
                  0);
    }
    ASSERT_TRUE(waitFor([&] {
        rtp_site_info* m = t->rtcp()->memberBySSRCAcq(peer, true, 100);
        const bool known = m && m->r_remoteAddrRTPValid;
        kelRTCPstack::memberReleaseRO(m);
        return known;
    }));
    Bytes app(12);
    kelRTCPWriter w(app.data(), app.size());
    ASSERT_TRUE(w.addAPP(peer, 0, "NPNG", nullptr, 0));
    ASSERT_EQ(rtcpSock->sendto(kelTestLoopback(port + 1), app.data(), static_cast<uint32_t>(w.size())), 0);
    Bytes ping;
    ASSERT_TRUE(waitFor([&] {
        ping = receiveOne(*rtpSock, 50);
        return ping.size() == kelRTPCNPingSize;
    }));
    EXPECT_EQ(ping[0], 0x80);
    EXPECT_EQ(ping[1], 13);
    EXPECT_EQ(kelLoadBE32(ping.data() + 4), 1u);
    EXPECT_EQ(kelLoadBE32(ping.data() + 8), t->_SSRC());
    EXPECT_EQ(ping[12], 0);
}

TEST(kelRTPTransmitterTest, KeepAliveDropsSilentDestinationsButNotReportingOrBroadcastOnes)
{
    kelManualClock clock;
    auto t = localTransmitter(0, &clock);
    ASSERT_TRUE(t);
    // A live receiver on the same clock, and two addresses where nobody
    // listens.
    kelOwned<RecordingReceiver> live(kelCreate<RecordingReceiver>(
        u"0", kelString(), false, kelString(u"127.0.0.1"), nullptr, true, false, 1));
    ASSERT_TRUE(live);
    live->setClock(clock);
    ASSERT_TRUE(live->start(10000));
    auto deadA = plainSocket();
    auto deadB = plainSocket();
    ASSERT_TRUE(deadA && deadB);
    const sockaddr_in liveAddr = kelTestLoopback(portOf(live->portLocal()));
    const sockaddr_in dynAddr = kelTestLoopback(boundPort(*deadA));
    const sockaddr_in staticAddr = kelTestLoopback(boundPort(*deadB));
    sockaddr_in bcast = kelTestLoopback(boundPort(*deadB));
    bcast.sin_addr.s_addr = htonl(0x7FFFFFFF); // 127.255.255.255
    ASSERT_GE(t->destAdd(false, &liveAddr, nullptr, true), 0);
    ASSERT_GE(t->destAdd(false, &dynAddr, nullptr, true), 0);
    ASSERT_GE(t->destAdd(true, &staticAddr, nullptr, true), 0);
    ASSERT_GE(t->destAdd(true, &bcast, nullptr, true), 0);
    {
        kelRTPDestination* b = t->destGetAcq(bcast, true);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->scope(), kelrds_broadcast);
        kelObject::releaseOf(b);
    }

    // Media keeps the live receiver reporting about us; the clock moves a
    // second per round until the silent dynamic destination is gone.
    const uint8_t b[8] = {};
    ASSERT_TRUE(waitFor(
        [&] {
            (void)t->transmit(160, b, sizeof b);
            clock.advanceMs(1000);
            kelSleepMs(20);
            return !t->destHas(dynAddr);
        },
        30000));
    EXPECT_TRUE(t->destHas(liveAddr)) << "reports about us keep a destination";
    kelRTPDestination* s = t->destGetAcq(staticAddr, true);
    ASSERT_NE(s, nullptr) << "a static destination stays in the list";
    EXPECT_FALSE(s->isOpen());
    kelObject::releaseOf(s);
    kelRTPDestination* bc = t->destGetAcq(bcast, true);
    ASSERT_NE(bc, nullptr);
    EXPECT_TRUE(bc->isOpen()) << "broadcast receivers report from their own addresses";
    kelObject::releaseOf(bc);
    kelRTPDestination* l = t->destGetAcq(liveAddr, true);
    ASSERT_NE(l, nullptr);
    EXPECT_TRUE(l->isOpen());
    kelObject::releaseOf(l);
    // Sending to a closed destination reports the error and goes on.
    EXPECT_GT(t->transmit(160, b, sizeof b), 0);
}

TEST(kelRTPTransmitterTest, RemoteBindingBecomesAStaticDestination)
{
    kelOwned<kelRTPTransmitter> mc(kelCreate<kelRTPTransmitter>(0, false, false, kelString(u"239.1.2.3"),
                                                                kelString(u"5004"), kelString(), 1));
    ASSERT_TRUE(mc);
    ASSERT_EQ(mc->destGetCount(), 1);
    kelRTPDestination* d = mc->destGetAcq(0, true);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->scope(), kelrds_multicast);
    EXPECT_EQ(ntohs(d->addrRTP()->sin_port), 5004);
    EXPECT_EQ(ntohs(d->addrRTCP()->sin_port), 5005);
    EXPECT_TRUE(d->dstatic());
    EXPECT_FALSE(d->isOpen());
    kelObject::releaseOf(d);
    EXPECT_EQ(mc->bind2ip(), u"0.0.0.0");
    EXPECT_EQ(mc->bind2port(), u"0");

    // A loopback address is local: the receiver binds there.
    kelOwned<kelRTPTransmitter> local(kelCreate<kelRTPTransmitter>(0, false, false, kelString(u"127.0.0.1"),
                                                                   kelString(u"0"), kelString(), 1));
    ASSERT_TRUE(local);
    EXPECT_EQ(local->destGetCount(), 0);
    EXPECT_EQ(local->bind2ip(), u"127.0.0.1");
}

TEST(kelRTPTransmitterTest, UriDestinationsEnableRemoveAndPause)
{
    auto r = startedReceiver(true);
    ASSERT_TRUE(r);
    auto t = localTransmitter(0);
    ASSERT_TRUE(t);
    const kelString uri = u"rtp://127.0.0.1:" + r->portLocal();
    ASSERT_EQ(t->destAdd(true, uri, true), 0);
    EXPECT_EQ(t->destAdd(true, uri, true), -1);
    EXPECT_EQ(t->destAdd(true, kelString(u"rtp://"), true), -1);
    const uint8_t b[3] = {7, 8, 9};
    ASSERT_TRUE(t->destEnable(uri, false));
    EXPECT_EQ(t->transmit(3, b, 3), 0) << "a disabled destination is not counted as sent";
    t->setPaused(true);
    ASSERT_TRUE(t->destEnable(uri, true));
    EXPECT_EQ(t->transmit(3, b, 3), 0);
    t->setPaused(false);
    EXPECT_EQ(t->transmit(3, b, 3), 15);
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 1; }));
    EXPECT_TRUE(t->destRemove(uri));
    EXPECT_EQ(t->destGetCount(), 0);
    EXPECT_EQ(t->transmit(3, b, 3), 0);
}

TEST(kelRTPTransmitterTest, RawAndTranslatorModesForwardBytesUnchanged)
{
    auto r = startedReceiver(true);
    ASSERT_TRUE(r);
    // Raw: the bytes go out as they are and arrive whole.
    auto raw = localTransmitter(0, nullptr, true);
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->rtcp(), nullptr);
    const sockaddr_in dest = kelTestLoopback(portOf(r->portLocal()));
    ASSERT_EQ(raw->destAdd(true, &dest, nullptr, true), 0);
    Bytes rtpLike(16, 0);
    rtpWriteHeader(rtpLike.data(), false, 0, 9, 9, 9);
    EXPECT_EQ(raw->transmit(160, rtpLike.data(), rtpLike.size()), 16);
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 1; }));
    EXPECT_EQ(r->dataCopy()[0].packetSize, 16u);
    EXPECT_EQ(r->dataCopy()[0].header.ssrc(), 9u) << "our own header was not added";

    // Translator: what arrives is sent on to every destination as it came.
    auto tr = localTransmitter(0);
    ASSERT_TRUE(tr);
    tr->setIsTranslator(true);
    ASSERT_EQ(tr->destAdd(true, &dest, nullptr, true), 0);
    auto s = plainSocket();
    ASSERT_TRUE(s);
    Bytes packet(40, 0x33);
    rtpWriteHeader(packet.data(), true, 96, 1234, 5678, 0xFEEDF00D);
    ASSERT_EQ(s->sendto(kelTestLoopback(localPort(*tr)), packet.data(), static_cast<uint32_t>(packet.size())),
              0);
    ASSERT_TRUE(waitFor([&] { return r->dataCount() == 2; }));
    const Received got = r->dataCopy()[1];
    EXPECT_EQ(got.header.ssrc(), 0xFEEDF00Du);
    EXPECT_EQ(got.header.seq(), 1234);
    EXPECT_EQ(got.packetSize, packet.size());
}

} // namespace

namespace {

TEST(kelRTPTransmitterTest, CloseSaysByeToDestinationsThatNeverReported)
{
    // The destination's RTP and RTCP ports: plain sockets that never answer.
    std::unique_ptr<kelUdpSocket> rtpSock, rtcpSock;
    for (int attempt = 0; attempt < 20 && !rtcpSock; ++attempt) {
        rtpSock = plainSocket();
        ASSERT_TRUE(rtpSock);
        auto next = std::make_unique<kelUdpSocket>();
        next->setBindToIP(u"127.0.0.1");
        if (next->bindSocketToPort(boundPort(*rtpSock) + 1) == 0) rtcpSock = std::move(next);
    }
    ASSERT_TRUE(rtcpSock);
    auto t = localTransmitter(0);
    ASSERT_TRUE(t);
    const sockaddr_in dest = kelTestLoopback(boundPort(*rtpSock));
    ASSERT_EQ(t->destAdd(true, &dest, nullptr, true), 0);
    const uint8_t b[10] = {};
    ASSERT_EQ(t->transmit(80, b, sizeof b), 22);
    EXPECT_EQ(receiveOne(*rtpSock, 2000).size(), 22u);
    const uint32_t ssrc = t->_SSRC();
    t->close(false);
    // Reports may come first; the BYE must follow, closing a compound that
    // a report (an SR: this side sent) leads.
    std::vector<kelTestRTCPPart> parts;
    ASSERT_TRUE(waitFor(
        [&] {
            parts = kelTestSplitCompound(receiveOne(*rtcpSock, 50));
            return !parts.empty() && parts.back().type == 203;
        },
        5000));
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].type, 200);
    EXPECT_EQ(parts[1].type, 202);
    EXPECT_EQ(parts[2].bytes, kelGoldenBYE(ssrc));
}

} // namespace

TEST(kelRTPTransmitterTest, InAConferenceOnlyThePeerGetsAPingForItsReport)
{
    auto t = localTransmitter(0);
    ASSERT_TRUE(t);
    t->rtcp()->setConferenceMode(true);
    const uint16_t port = localPort(*t);
    // The peer (first member) and another member, each known by its media.
    const uint32_t ssrcs[2] = {0x0000BEE1, 0x0000BEE2};
    std::unique_ptr<kelUdpSocket> rtpSocks[2] = {plainSocket(), plainSocket()};
    auto rtcpSock = plainSocket();
    ASSERT_TRUE(rtpSocks[0] && rtpSocks[1] && rtcpSock);
    for (int i = 0; i < 2; ++i) {
        for (uint16_t seq = 1; seq < 3; ++seq) {
            Bytes media(20, 0);
            rtpWriteHeader(media.data(), false, 0, seq, 0, ssrcs[i]);
            ASSERT_EQ(rtpSocks[i]->sendto(kelTestLoopback(port), media.data(), 20), 0);
        }
        ASSERT_TRUE(waitFor([&] {
            rtp_site_info m;
            return t->rtcp()->session().memberCopy(ssrcs[i], m) && m.r_remoteAddrRTPValid;
        }));
    }
    ASSERT_TRUE(t->rtcp()->session().isFirstMember(ssrcs[0]));

    // The other member reports first, then the peer: only the peer's report
    // is answered, so the pacing of pings does not hold the peer's back.
    for (const uint32_t ssrc : {ssrcs[1], ssrcs[0]}) {
        Bytes rr(8);
        kelRTCPWriter w(rr.data(), rr.size());
        ASSERT_TRUE(w.beginRR(ssrc));
        w.closePacket();
        ASSERT_EQ(rtcpSock->sendto(kelTestLoopback(port + 1), rr.data(), 8), 0);
    }
    Bytes ping;
    ASSERT_TRUE(waitFor([&] {
        ping = receiveOne(*rtpSocks[0], 50);
        return ping.size() == kelRTPCNPingSize;
    }));
    EXPECT_EQ(ping[1], 13);
    EXPECT_EQ(kelLoadBE32(ping.data() + 8), t->_SSRC());
    // Reports are handled in order: a ping to the other member would be
    // waiting by now.
    EXPECT_TRUE(receiveOne(*rtpSocks[1], 0).empty());
}

TEST(kelRTPTransmitterTest, WhatAStandardPeerSendsFromItsPortsMakesItADestination)
{
    constexpr uint32_t kPeer = 0x5EED4103, kSync = 0x5EED0001;
    kelTestBytes stunAnswer = kelTestSTUNBindingRequest;
    stunAnswer[0] = 0x01; // 0x0101, a Binding success response
    struct Case
    {
        const char* name;
        bool fromRTCPPort; // from the peer's odd port to our RTCP port
        kelTestBytes datagram;
        bool learnt;
        uint32_t recSSRC;
        bool translator = false;
    };
    const std::vector<Case> cases = {
        {"text", false, kelTestRTPPacket(113, 1, {'a'}, 0, kPeer), true, kPeer},
        {"keep-alive of a type we do not know", false, kelTestRTPPacket(98, 1, {0xEF, 0xBB, 0xBF}, 0, kPeer),
         true, kPeer},
        {"STUN binding request", false, kelTestSTUNBindingRequest, true, 0},
        {"report from the port above", true, kelTestRTCPCompound(kPeer, "peer@near"), true, kPeer},
        {"STUN answer", false, stunAnswer, false, 0},
        {"goodbye from the port above", true, kelTestRTCPCompound(kPeer, "peer@near", kelTestRTCPBye(kPeer)),
         false, 0},
        {"report from the RTP port", false, kelTestRTCPRR(kPeer), false, 0},
        {"text to a translator", false, kelTestRTPPacket(113, 1, {'a'}, 0, kPeer), false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto t = localTransmitter(0);
        ASSERT_TRUE(t);
        t->setIsTranslator(c.translator);
        const uint16_t rtp = kelTestFreeRTPPort(), sync = kelTestFreeRTPPort();
        kelTestPeer peerRTP(rtp), peerRTCP(static_cast<uint16_t>(rtp + 1));
        kelTestPeer syncRTP(sync), syncRTCP(static_cast<uint16_t>(sync + 1));
        ASSERT_TRUE(peerRTP.ok() && peerRTCP.ok() && syncRTP.ok() && syncRTCP.ok());
        const sockaddr_in tx = kelTestLoopback(localPort(*t));
        const sockaddr_in txRTCP = kelTestLoopback(static_cast<uint16_t>(localPort(*t) + 1));
        // A report goes to our RTCP port; everything else to our RTP port.
        const bool toRTCP = c.fromRTCPPort || c.datagram == kelTestRTCPRR(kPeer);
        ASSERT_TRUE((c.fromRTCPPort ? peerRTCP : peerRTP).sendTo(toRTCP ? txRTCP : tx, c.datagram));
        // Then, on the same socket thread, a sender that is always learnt:
        // once it is, the datagram before it has been handled.
        if (toRTCP)
            ASSERT_TRUE(syncRTCP.sendTo(txRTCP, kelTestRTCPCompound(kSync, "sync@near")));
        else
            ASSERT_TRUE(syncRTP.sendTo(tx, kelTestFlood::hole(kSync, 1)));
        ASSERT_TRUE(waitFor([&] { return t->destHas(kelTestLoopback(sync)); }));
        EXPECT_EQ(t->destGetCount(), c.learnt ? 2 : 1);
        if (!c.learnt) continue;
        kelRTPDestination* d = t->destGetAcq(kelTestLoopback(rtp), true);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(ntohs(d->addrRTCP()->sin_port), rtp + 1);
        EXPECT_EQ(d->recSSRC(), c.recSSRC);
        EXPECT_FALSE(d->dstatic());
        kelObject::releaseOf(d);
        // Our media reaches the peer's RTP port.
        const uint8_t b[2] = {'h', 'i'};
        EXPECT_EQ(t->transmit(2, b, 2), 2 * 14);
        const kelTestBytes got = peerRTP.receiveRTP(0, 10000);
        ASSERT_EQ(got.size(), 14u);
        EXPECT_EQ(got[12], 'h');
    }
}
