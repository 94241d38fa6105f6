#include "streaming/kelIPReceiver.h"
#include "streaming/kelIdleThread.h"
#include "streaming/kelIPReceiverSession.h"

#include "core/kelByteOrder.h"
#include "core/kelLog.h"
#include "core/kelMemUtils.h"
#include "core/kelResultText.h"
#include "core/kelUtf.h"
#include "net/rtp/kelRTCPParser.h"
#include "net/rtp/kelRTPHeader.h"
#include "net/rtp/kelRTPPayloadTypes.h"
#include "net/rtp/kelRTPReceiver.h"
#include "net/rtp/kelRTPTransmitter.h"
#include "net/sockets/kelSockAddr.h"
#include "streaming/kelIPReceiverMpegTS.h"
#include "streaming/kelT140Receive.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The RTP receiver of the component: hands every payload and the RTCP
// notices it needs back to its owner. Its threads call these hooks.
class TkelIPReceiver::rtpReceiver final : public kelRTPReceiver
{
public:
    rtpReceiver(TkelIPReceiver* owner, const kelString& bind2port, const kelString& ip, bool isRAW,
                const kelString& bind2ip, bool isUDP, bool noRTCP, intptr_t ttl)
        : kelRTPReceiver(bind2port, ip, isRAW, bind2ip, nullptr, isUDP, noRTCP, ttl), f_owner(owner)
    {}
    // Without socket, RTCP or thread: a duplex feeds it through
    // processDatagram.
    rtpReceiver(TkelIPReceiver* owner, bool isRAW) : kelRTPReceiver(isRAW), f_owner(owner) {}
    // What a start does to a fed receiver, with no thread: a new SSRC, the
    // expected transmitter resolved, the stream state reset.
    void prepareFed() { startIn(); }

    void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t packetSize) override
    {
        kelRTPReceiver::onRTPData(from, header, payload, payloadSize, packetSize);
        // A raw datagram comes with `header` pointing at its payload.
        const bool raw = isRAW() || header == nullptr || header == payload;
        if (!raw) f_owner->noteRTPFrom(from, header);
        f_owner->receivePacket(header, payload, payloadSize, raw);
    }
    void onIdle(bool timerExpired) override
    {
        // First, so the silent-member hooks of this tick know whether a set
        // already went out in it.
        f_owner->receiverIdle(timerExpired);
        kelRTPReceiver::onIdle(timerExpired);
    }
    void onMemberSilent(const rtp_site_info* member) override
    {
        kelRTPReceiver::onMemberSilent(member);
        f_owner->onMemberSilent(member);
    }
    // Jitter counts in the stream's own timestamp units: a dynamic type
    // has the clock rate its SDP mapping gives.
    uint32_t rtcpClockRate(uint8_t pt) const noexcept override
    {
        const uint32_t known = kelRTPReceiver::rtcpClockRate(pt);
        if (known != 0) return known;
        const kelRTPMap map = f_owner->mappingCopy();
        return map.r_dynType == pt && map.r_samplingRate > 0 ? static_cast<uint32_t>(map.r_samplingRate) : 0;
    }
    void onTransmitterChanged(uint32_t oldSSRC, uint32_t newSSRC) override
    {
        kelRTPReceiver::onTransmitterChanged(oldSSRC, newSSRC);
        f_owner->transmitterChangedTo(newSSRC);
    }
    void onSTUN(const sockaddr_in& from, const uint8_t* data, size_t size) override
    {
        kelRTPReceiver::onSTUN(from, data, size);
        f_owner->doSTUN(from, data, size);
    }
    void onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item) override
    {
        kelRTPReceiver::onSDESItem(ssrc, item);
        if (item.r_type == kelSDES_CNAME && item.length > 0)
            f_owner->setDescriptionInfo(utf8ToUtf16(item.r_data.data(), item.length));
    }
    void onMemberGone(const rtp_site_info* member, bool timedOut) override
    {
        kelRTPReceiver::onMemberGone(member, timedOut);
        f_owner->onMemberGone(member, timedOut);
    }
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size) override
    {
        kelRTPReceiver::onRTCPPacket(ssrc, from, packet, size);
        f_owner->onRTCPPacket(ssrc, from, packet, size);
    }

    kelString _classID() const override { return u"rtpReceiver"; }

protected:
    // On the new thread, before start() returns.
    void startIn() override
    {
        kelRTPReceiver::startIn();
        f_owner->onReceiverStarted();
    }

private:
    TkelIPReceiver* f_owner;
};

namespace {

kelString decimal(intptr_t value)
{
    const std::string s = std::to_string(value);
    return kelString(s.begin(), s.end());
}

// The static payload types whose first packet sets the format. The others
// of the table (G.723, LPC, QCELP, G.728, G.729) are left to the SDP: we
// have no decoder for them and their data passes through as it is.
bool detectsStaticFormat(intptr_t pt) noexcept
{
    switch (pt) {
    case kelRTPPayloadPCMU:
    case kelRTPPayloadGSM:
    case kelRTPPayloadDVI4_8000:
    case kelRTPPayloadDVI4_16000:
    case kelRTPPayloadPCMA:
    case kelRTPPayloadL16Stereo:
    case kelRTPPayloadL16Mono:
    case kelRTPPayloadMPA:
    case kelRTPPayloadDVI4_11025:
    case kelRTPPayloadDVI4_22050:
        return true;
    default:
        return false;
    }
}

// The MPEG audio-specific header in front of every MPA payload (RFC 2250).
constexpr size_t kMPAHeaderSize = 4;

} // namespace

TkelIPReceiver::TkelIPReceiver(kelComponent* owner)
    : kelIPStreamer(owner), f_text(std::make_unique<kelT140Receive>()),
      f_session(std::make_unique<kelIPReceiverSession>())
{
    makeLibraryDecoders();
}

TkelIPReceiver::~TkelIPReceiver() = default;

void TkelIPReceiver::beforeDestruction()
{
    kelIPStreamer::beforeDestruction();
    f_session->freeTransports();
    f_rec.reset();
    closeDecoders();
}

void TkelIPReceiver::setOnText(kelmtIPReceiverTextEvent handler)
{
    std::lock_guard lock(f_eventGuard);
    f_onText = std::move(handler);
}

void TkelIPReceiver::setOnRTPHeader(kelmtIPReceiverRTPHdr handler)
{
    std::lock_guard lock(f_eventGuard);
    f_onRTPHdr = std::move(handler);
}

void TkelIPReceiver::setOnRAWDataWrite(kelmtIPReceiverRAWWrite handler)
{
    std::lock_guard lock(f_eventGuard);
    f_onRAWWrite = std::move(handler);
}

kelString TkelIPReceiver::portLocal()
{
    return f_rec ? f_rec->portLocal() : kelString(u"<none>");
}

kelRTPReceiver* TkelIPReceiver::rec()
{
    return f_rec.get();
}

kelRTCPstack* TkelIPReceiver::getRTCP()
{
    return f_rec ? f_rec->rtcp() : nullptr;
}

bool TkelIPReceiver::isActive()
{
    if (!kelIPStreamer::isActive()) return false;
    if (transportEnded()) {
        // Closed in all but name: close() will not run doClose for a
        // component that reads closed, so the ticks end here too. Only
        // asked, never waited for, since any thread may be asking.
        setActiveFlag(false);
        if (kelIdleThread* idle = idleThread()) idle->askStop();
        return false;
    }
    return true;
}

void TkelIPReceiver::applyRTPOptions()
{
    kelIPStreamer::applyRTPOptions();
    if (!f_rec) return;
    f_rec->setClock(clock());
    const kelString user = URIuserName();
    if (!user.empty()) f_rec->setUserName(user);
    f_rec->setNewSSRC(_SSRC());
}

void TkelIPReceiver::onReceiverStarted()
{
    // A new run has not met a transport stream yet.
    setMpegTS_enabled(false);
}

bool TkelIPReceiver::doOpen()
{
    setDescriptionInfo({});
    if (!kelIPStreamer::doOpen()) return false;
    // What the last run's session threads dropped goes now.
    f_session->freeTransports();
    f_rec.reset();
    f_mpegTS = std::make_unique<kelIPReceiverMpegTS>(this);
    f_noHoles.store(false);
    f_firstPacket.store(true);
    f_l16Carry = -1;
    f_text->reset();
    f_holes.opened(now());
    f_servedExpiry.store(f_expiry.load());
    // Before the first packet can arrive.
    openDecoders();
    const intptr_t proto = protocol();
    bool ok = false;
    if ((proto == kelIPProtoRAW || proto == kelIPProtoRTP) && mastered()) {
        ok = openMastered();
    } else if (proto == kelIPProtoRTSP) {
        ok = openRTSP();
    } else if (proto == kelIPProtoHTTP) {
        ok = openSHOUT();
    } else if (proto == kelIPProtoRAW || proto == kelIPProtoRTP) {
        const bool raw = proto == kelIPProtoRAW;
        const bool noRTCP = !enableRTCP() || raw;
        const intptr_t type = socketType();
        if (type == kelIPSocketMulticast)
            f_rec =
                kelMakeOwned<rtpReceiver>(this, bind2port(), uriHost(), raw, bind2ip(), true, noRTCP, TTL());
        else if (type == kelIPSocketTCP)
            f_rec =
                kelMakeOwned<rtpReceiver>(this, uriPort(), uriHost(), raw, bind2ip(), false, noRTCP, TTL());
        else
            f_rec = kelMakeOwned<rtpReceiver>(this, bind2port(), kelString{}, raw, bind2ip(), true, noRTCP,
                                              TTL());
        if (f_rec) {
            // The user name and SSRC take effect when the thread starts.
            applyRTPOptions();
            // RTP only from the transmitter: where our hole packets go.
            f_rec->setExpectedSource(uriHost(), uriPort());
            f_rec->setTextPayloadType(redundantTextType());
            if (f_rec->start(10000)) {
                setRemoteAddresses(type, uriHost(), uriPort(), kelString{});
                ok = f_rec->socketError() == 0;
                if (!ok) {
                    const intptr_t err = f_rec->socketError();
                    setDescriptionError(u"Socket error: " + decimal(err));
                    logMessage(u"TkelIPReceiver: RTP receiver did not open: " + kelResultWithText(err));
                }
            }
        }
    }
    setActiveFlag(ok);
    if (!ok) {
        // A failed open leaves the component closed: nothing keeps ticking.
        closeRTSP();
        closeSHOUT();
        if (f_rec) (void)f_rec->stop();
        stopIdleThread();
        closeDecoders();
    }
    return ok;
}

void TkelIPReceiver::makeRTPReceiver(bool socketless, bool raw, bool noRTCP)
{
    if (socketless)
        f_rec = kelMakeOwned<rtpReceiver>(this, raw);
    else
        f_rec =
            kelMakeOwned<rtpReceiver>(this, bind2port(), kelString{}, raw, bind2ip(), true, noRTCP, TTL());
}

void TkelIPReceiver::prepareFedReceiver()
{
    if (f_rec) f_rec->prepareFed();
}

bool TkelIPReceiver::transportEnded()
{
    const intptr_t proto = protocol();
    if (proto == kelIPProtoRTSP || proto == kelIPProtoHTTP || mastered()) return sessionTransportEnded();
    if (!f_rec) return false;
    const kelThreadStatus status = f_rec->status();
    return status == keltsStopped || status == keltsStopping;
}

void TkelIPReceiver::doClose()
{
    // The session ends first: its TEARDOWN still needs the RTP side.
    closeRTSP();
    closeSHOUT();
    if (f_rec) (void)f_rec->stop();
    closeDecoders();
    kelIPStreamer::doClose();
}

void TkelIPReceiver::setRemoteAddresses(intptr_t kind, const kelString& host, const kelString& portRTP,
                                        const kelString& portRTCP)
{
    kelString ip;
    (void)lookupHost(host, ip);
    const int rtpPort = portFromString(portRTP);
    const int rtcpPort = portRTCP.empty() ? (rtpPort >= 0 && rtpPort < 65535 ? rtpPort + 1 : rtpPort)
                                          : portFromString(portRTCP);
    {
        std::lock_guard lock(f_addrGuard);
        f_addrST = kind;
        f_addrRTP = sockaddr_in{};
        f_addrRTP.sin_family = AF_INET;
        // An unresolved host leaves IP 0, to which nothing is sent.
        const uint32_t ipN = ip.empty() ? 0 : str2ipN(ip);
        f_addrRTP.sin_addr.s_addr = ipN == INADDR_NONE ? 0 : ipN;
        f_addrRTP.sin_port = htons(static_cast<uint16_t>(rtpPort > 0 ? rtpPort : 0));
        f_addrRTCP = f_addrRTP;
        f_addrRTCP.sin_port = htons(static_cast<uint16_t>(rtcpPort > 0 ? rtcpPort : 0));
    }
    sendHoles(true);
}

void TkelIPReceiver::sendHoles(bool withHELO)
{
    if (!f_rec) return;
    intptr_t kind;
    sockaddr_in rtp{};
    sockaddr_in rtcp{};
    {
        std::lock_guard lock(f_addrGuard);
        kind = f_addrST;
        rtp = f_addrRTP;
        rtcp = f_addrRTCP;
    }
    if (withHELO && enableRTCP()) {
        // The SDES goes first, so the transmitter knows our CNAME.
        if (kelRTCPstack* stack = f_rec->rtcp()) (void)stack->sendAPPto(rtcp, 0, "HELO", nullptr, 0, true);
    }
    if (kind != kelIPSocketTCP && kind != kelIPSocketMulticast) (void)f_rec->sendRTP_CN_To(rtp);
}

void TkelIPReceiver::onMemberSilent(const rtp_site_info* member)
{
    kelIPStreamer::onMemberSilent(member);
    if (f_noHoles.load()) return;
    // Until a unicast transmitter is heard, its repeats follow their own
    // plan (receiverIdle); and never more than one set per report time,
    // however many silent members claim the transmitter's host.
    if (punchesByPlan() && !f_holes.heard()) return;
    const uint64_t expiry = f_expiry.load();
    if (f_servedExpiry.load() == expiry) return;
    if (member == nullptr) {
        f_servedExpiry.store(expiry);
        // Nobody heard yet (the transmitter may have started after us): the
        // whole set again, or it would never learn where we are.
        sendHoles(true);
        return;
    }
    bool sameHost = false;
    {
        std::lock_guard lock(f_addrGuard);
        sameHost = member->r_remoteAddrRTCPValid != 0 &&
                   member->r_remoteAddrRTCP.sin_addr.s_addr == f_addrRTCP.sin_addr.s_addr;
    }
    if (!sameHost) return;
    f_servedExpiry.store(expiry);
    sendHoles(false);
}

bool TkelIPReceiver::punchesByPlan()
{
    std::lock_guard lock(f_addrGuard);
    return f_addrST == kelIPSocketUDP && f_addrRTP.sin_addr.s_addr != 0;
}

bool TkelIPReceiver::isFromTransmitter(const sockaddr_in& from, bool rtcp)
{
    std::lock_guard lock(f_addrGuard);
    const sockaddr_in& at = rtcp ? f_addrRTCP : f_addrRTP;
    // RTCP may come from any port of the transmitter's host; RTP comes from
    // the port it was asked for.
    return from.sin_addr.s_addr == at.sin_addr.s_addr && (rtcp || from.sin_port == at.sin_port);
}

void TkelIPReceiver::receiverIdle(bool timerExpired)
{
    if (timerExpired) f_expiry.fetch_add(1);
    if (f_noHoles.load() || !punchesByPlan()) return;
    uint64_t reportMs = 0;
    if (kelRTCPstack* stack = getRTCP())
        reportMs = static_cast<uint64_t>(std::max<int64_t>(stack->lastInterval().Td, 0));
    const uint64_t t = now();
    if (!f_holes.tick(t, timerExpired, reportMs)) return;
    if (timerExpired) f_servedExpiry.store(f_expiry.load());
    punchNow();
}

void TkelIPReceiver::punchNow()
{
    if (f_noHoles.load()) return;
    f_holes.punched(now());
    sendHoles(true);
}

void TkelIPReceiver::transmitterRestarted()
{
    punchNow();
}

void TkelIPReceiver::transmitterChangedTo(uint32_t ssrc)
{
    if (!punchesByPlan()) return;
    f_holes.adopt(ssrc, now());
    transmitterRestarted();
}

void TkelIPReceiver::noteRTPFrom(const sockaddr_in& from, const uint8_t* header)
{
    if (header == nullptr || !punchesByPlan() || !isFromTransmitter(from, false)) return;
    f_holes.rtpFromTransmitter(rtp_hdr::read(header).ssrc(), now());
}

void TkelIPReceiver::onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size)
{
    kelIPStreamer::onRTCPPacket(ssrc, from, packet, size);
    if (!punchesByPlan() || !isFromTransmitter(from, true)) return;
    kelRTCPReader reader(packet, size);
    kelRTCPPacketView p;
    while (reader.next(p)) {
        if ((p.type == kelrtcp_SR || p.type == kelrtcp_RR) && p.hasSSRC) {
            f_holes.reportFrom(p.ssrc, now());
            continue;
        }
        if (p.type != kelrtcp_BYE) continue;
        for (unsigned i = 0; i < p.byeCount; ++i) {
            if (f_holes.byeFromTransmitter(p.byeSSRC(i), now())) {
                punchNow();
                return;
            }
        }
    }
}

void TkelIPReceiver::receivePacket(const uint8_t* header, const uint8_t* payload, size_t size, bool raw)
{
    // An empty packet carries nothing to decide a format by or to hand on.
    if (payload == nullptr || size == 0 || size > UINT32_MAX) return;
    if (raw) {
        if (f_firstPacket.exchange(false) && doMpegTSFirstPacket(payload, size)) return;
        if (mpegTS_enabled()) return receiveMpegTS(payload, size);
        (void)write(payload, static_cast<uint32_t>(size), nullptr);
        return;
    }
    if (header == nullptr) return;
    const rtp_hdr hdr = rtp_hdr::read(header);
    doRTPHeader(&hdr, payload, static_cast<uint32_t>(size));
    const intptr_t pt = hdr.payloadType();
    // Comfort-noise pings keep paths open; they carry no audio.
    if (pt == kelRTPPayloadCN) return;
    if (pt == kelIPReceiverMpegTS::kPayloadType) {
        f_firstPacket.store(false);
        setMpegTS_enabled(true);
        return receiveMpegTS(payload, size);
    }
    const intptr_t redType = redundantTextType();
    if (redType >= 0 && pt == redType) {
        f_firstPacket.store(false);
        receiveRedundantText(hdr, payload, size);
        return;
    }
    const kelRTPMap map = mappingCopy();
    const int textType = textPayloadType();
    kelRTPPayloadFormat fmt;
    // A dynamic type nothing here names: a standard peer's redundant text
    // (its type is only in an SDP we did not get) is known by its layout.
    if (pt >= kelRTPPayloadDynamicFirst && pt != map.r_dynType && pt != textType &&
        !(customPayloadAware() && kelRTPCustomPayload(pt, fmt)) &&
        kelT140IsRedundantText(payload, size, textType)) {
        if (f_firstPacket.exchange(false)) switchToText(textType);
        // Its packets may wait for a missing one as long as text does.
        if (f_rec) f_rec->setTextPayloadType(pt);
        receiveRedundantText(hdr, payload, size);
        return;
    }
    // Text is shown only from the text type (and redundancy of it): a
    // payload of any other type is foreign to a text stream.
    if (encoding() == kelRTPEnc_t140c && pt != textType && !(customPayloadAware() && pt == kelRTPPayloadT140))
        return;
    if (f_firstPacket.load() && customPayloadAware() && pt >= kelRTPPayloadDynamicFirst &&
        kelRTPCustomPayload(pt, fmt)) {
        f_firstPacket.store(false);
        updateFormat(fmt.rate, fmt.channels, fmt.bits, fmt.encoding, fmt.bitrate);
    }
    if (pt < kelRTPPayloadDynamicFirst) {
        if (f_firstPacket.load() && detectsStaticFormat(pt) && kelRTPStaticPayload(pt, fmt)) {
            f_firstPacket.store(false);
            updateFormat(fmt.rate, fmt.channels, fmt.bits, fmt.encoding, 0);
        }
    } else if (f_firstPacket.load()) {
        // Another dynamic type is known only by the SDP's mapping; one that
        // is not the SDP's keeps us waiting for the first one that is.
        if (pt == map.r_dynType) {
            f_firstPacket.store(false);
            updateFormat(-1, -1, -1, map.r_rtpEncoding, 0);
        }
    }
    if (pt == kelRTPPayloadMPA) {
        if (size <= kMPAHeaderSize) return;
        payload += kMPAHeaderSize;
        size -= kMPAHeaderSize;
    }
    if (customPayloadAware() && pt == kelRTPPayloadT140) {
        doText(payload, static_cast<uint32_t>(size));
        return;
    }
    if (pt >= kelRTPPayloadDynamicFirst && encoding() == kelRTPEnc_CELT && splitCeltFrames(payload, size))
        return;
    (void)write(payload, static_cast<uint32_t>(size), nullptr);
}

int TkelIPReceiver::textPayloadType() const noexcept
{
    const intptr_t sdp = sdpTextType();
    if (sdp >= 0) return static_cast<int>(sdp);
    return customPayloadAware() ? kelRTPPayloadT140 : -1;
}

void TkelIPReceiver::switchToText(int textType)
{
    kelRTPPayloadFormat fmt;
    if (textType == sdpTextType())
        updateFormat(-1, -1, -1, kelRTPEnc_t140c, 0);
    else if (kelRTPCustomPayload(textType, fmt))
        updateFormat(fmt.rate, fmt.channels, fmt.bits, fmt.encoding, fmt.bitrate);
}

void TkelIPReceiver::receiveRedundantText(const rtp_hdr& hdr, const uint8_t* payload, size_t size)
{
    // The blocks are of the SDP's text type, or of our own when it has none.
    int textType = textPayloadType();
    if (textType < 0) textType = kelRTPPayloadT140;
    std::string text;
    if (!f_text->receiveRedundant(hdr.ssrc(), hdr.seq(), hdr.timestamp(), payload, size, textType, text)) {
        logMessage(u"TkelIPReceiver: redundant text packet with bad block headers dropped");
        return;
    }
    if (!text.empty() && text.size() <= UINT32_MAX) doText(text.data(), static_cast<uint32_t>(text.size()));
}

void TkelIPReceiver::doSTUN(const sockaddr_in&, const uint8_t*, size_t) {}

void TkelIPReceiver::doRTPHeader(const rtp_hdr* hdr, const void* data, uint32_t len)
{
    kelmtIPReceiverRTPHdr handler;
    {
        std::lock_guard lock(f_eventGuard);
        handler = f_onRTPHdr;
    }
    if (!handler) return;
    try {
        handler(this, hdr, data, len);
    } catch (...) {
        kelReportHookFailure("TkelIPReceiver::onRTPHeader");
    }
}

void TkelIPReceiver::doText(const void* data, uint32_t len)
{
    if (data == nullptr || len == 0) return;
    kelmtIPReceiverTextEvent handler;
    {
        std::lock_guard lock(f_eventGuard);
        handler = f_onText;
    }
    if (!handler) return;
    // Keep-alives and the marks in front of text are not for the reader.
    const kelString text = kelT140Shown(utf8ToUtf16(data, len));
    if (text.empty()) return;
    try {
        handler(this, text.c_str());
    } catch (...) {
        kelReportHookFailure("TkelIPReceiver::onText");
    }
}

uint32_t TkelIPReceiver::doWrite(const void* data, uint32_t len, kelmtlInOutPipe*)
{
    if (data == nullptr || len == 0) return 0;
    measureBandwidth(kelBandwidthDir::in, len);
    if (f_master != nullptr) f_master->measureBandwidth(kelBandwidthDir::in, len);
    {
        kelmtIPReceiverRAWWrite handler;
        {
            std::lock_guard lock(f_eventGuard);
            handler = f_onRAWWrite;
        }
        if (handler) {
            try {
                handler(this, data, len);
            } catch (...) {
                kelReportHookFailure("TkelIPReceiver::onRAWDataWrite");
            }
        }
    }
    const intptr_t enc = encoding();
    if (enc == kelRTPEnc_t140c) {
        doText(data, len);
        return len;
    }
    if (doEncode() && decodeCoded(enc, static_cast<const uint8_t*>(data), len)) return len;
    if (enc == kelRTPEnc_L16 && doEncode() && f_rec && (!f_rec->isRAW() || swapRAWbytes())) {
        swapL16On(static_cast<const uint8_t*>(data), len);
        return len;
    }
    // The consumers get the receiver itself as their provider.
    (void)onNewData(const_cast<void*>(data), len, this);
    return len;
}

void TkelIPReceiver::swapL16On(const uint8_t* in, uint32_t len)
{
    // A TCP stream may be read at any byte: a sample cut in two waits for
    // its second half in f_l16Carry. A datagram always starts a sample.
    const bool stream = socketType() == kelIPSocketTCP;
    const bool carried = stream && f_l16Carry >= 0;
    const size_t total = len + (carried ? 1 : 0);
    const size_t whole = stream ? total & ~size_t{1} : total;
    // From network order, into our own buffer: the packet is not ours to
    // change, and every consumer gets the same block.
    std::vector<uint8_t> big;
    uint8_t* out = scratch();
    if (total > kScratchSize) {
        big.resize(total);
        out = big.data();
    }
    if (carried) out[0] = static_cast<uint8_t>(f_l16Carry);
    std::memcpy(out + (carried ? 1 : 0), in, len);
    f_l16Carry = whole != total ? out[total - 1] : -1;
    swapBytePairs(out, whole);
    if (whole > 0) (void)onNewData(out, static_cast<uint32_t>(whole), this);
}

void TkelIPReceiver::doFormatChange(intptr_t rate, intptr_t channels, intptr_t bits, intptr_t encoding,
                                    intptr_t bitrate)
{
    kelIPStreamer::doFormatChange(rate, channels, bits, encoding, bitrate);
    setDescriptionInfo({});
    makeDecoder(rate, channels, encoding, bitrate);
    kelWaveFormat block;
    block.formatTag = kelWaveFormatTagPCM;
    // Without decoding, G.711 is handed on as it came, a byte a sample: the
    // block says so, or a consumer would read the bytes as 16-bit samples.
    if (!doEncode() && (encoding == kelRTPEnc_PCMU || encoding == kelRTPEnc_PCMA)) {
        block.formatTag = encoding == kelRTPEnc_PCMU ? kelWaveFormatTagMuLaw : kelWaveFormatTagALaw;
        bits = 8;
    }
    block.formatOriginal.pcmSamplesPerSecond = static_cast<uintptr_t>(rate > 0 ? rate : 0);
    block.formatOriginal.pcmBitsPerSample = static_cast<uintptr_t>(bits > 0 ? bits : 0);
    block.formatOriginal.pcmNumChannels = static_cast<uintptr_t>(channels > 0 ? channels : 0);
    block.formatChannelMask = 0xA0000000u;
    setExmtFormat(block);
    (void)applyFormat(&block, sizeof block, this, true);
}
