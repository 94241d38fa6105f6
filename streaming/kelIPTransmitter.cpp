// The transmitter component: its root RTP transmitter, opening and closing,
// and the sending of text and written data. The destinations known by
// session and the transport commands are in kelIPTransmitterCommands.cpp.
#include "streaming/kelIPTransmitter.h"

#include "core/kelLog.h"
#include "core/kelMemUtils.h"
#include "core/kelResultText.h"
#include "core/kelUtf.h"
#include "net/protocols/kelRE.h"
#include "net/rtp/kelRTPPayloadTypes.h"
#include "streaming/kelIPRTSPSrv.h"
#include "core/kelRandomGenThread.h"

#include <new>
#include <string>

// The root of the component: an RTP transmitter that tells its owner of the
// members that leave and of the packets it receives, and that asks the
// owner whether receivers punching holes may become destinations. Its
// receiver's and RTCP stack's threads call these hooks.
class TkelIPTransmitter::rtpTransmitter final : public kelRTPTransmitter
{
public:
    rtpTransmitter(TkelIPTransmitter* master, intptr_t payload, bool isRAW, bool noRTCP,
                   const kelString& bind2ip, const kelString& bind2port, const kelString& mgroup,
                   intptr_t ttl)
        : kelRTPTransmitter(payload, isRAW, noRTCP, bind2ip, bind2port, mgroup, ttl), f_master(master)
    {}

    // The owner first: it finds the member's session by its addresses
    // before this transmitter drops the destinations it had there.
    void onMemberGone(const rtp_site_info* member, bool timedOut) override
    {
        try {
            f_master->onMemberGone(member, timedOut);
        } catch (...) {
            logCaught("TkelIPTransmitter::onMemberGone");
        }
        kelRTPTransmitter::onMemberGone(member, timedOut);
    }
    void onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload, size_t payloadSize,
                   size_t packetSize) override
    {
        kelRTPTransmitter::onRTPData(from, header, payload, payloadSize, packetSize);
        try {
            f_master->onReceivedPayload(from, header, payload, payloadSize);
        } catch (...) {
            logCaught("TkelIPTransmitter::onReceivedPayload");
        }
    }
    void onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size) override
    {
        kelRTPTransmitter::onRTCPPacket(ssrc, from, packet, size);
        try {
            f_master->onRTCPPacket(ssrc, from, packet, size);
        } catch (...) {
            logCaught("TkelIPTransmitter::onRTCPPacket");
        }
    }
    // With autoAddDestFromHolePacket off the owner answers: destinations
    // added on purpose are taken, hole punchers are not. With it on, the
    // transmitter's own onAddDest decides.
    bool acceptDestination(const sockaddr_in& destRTP, const sockaddr_in& destRTCP, bool fromHole) override
    {
        if (!f_master->autoAddDestFromHolePacket()) return !fromHole;
        return kelRTPTransmitter::acceptDestination(destRTP, destRTCP, fromHole);
    }

    kelString _classID() const override { return u"rtpTransmitter"; }

private:
    TkelIPTransmitter* const f_master;
};

namespace {

kelString decimal(int64_t value)
{
    const std::string s = std::to_string(value);
    return kelString(s.begin(), s.end());
}

} // namespace

TkelIPTransmitter::TkelIPTransmitter(kelComponent* owner)
    : kelIPStreamer(owner), f_rtspActivity(std::make_unique<kelIPRTSPActivity>()), f_tm(tickNow())
{}

TkelIPTransmitter::~TkelIPTransmitter()
{
    reFree(f_reSessionDest);
}

void TkelIPTransmitter::beforeDestruction()
{
    kelIPStreamer::beforeDestruction();
    freeEncoders();
    freeProtocols();
    kelOwned<kelRTPTransmitter> root;
    {
        std::lock_guard lock(f_rootGuard);
        root = std::move(f_root);
    }
    // Stopped outside the guard: its threads may be waiting for it.
    root.reset();
    freeParked();
    f_sessions.clear(2);
}

void TkelIPTransmitter::setURI(const kelString& value)
{
    setDescriptionError({});
    kelIPStreamer::setURI(value);
    // The base keeps the address of the URI before a refused one; opening
    // there would report success on an address nobody asked for.
    f_uriError = descriptionError();
    f_uriRefused.store(!f_uriError.empty());
    if (f_uriRefused.load()) return;
    if (socketType() == kelIPSocketMulticast) return;
    setBind2port(protocol() == kelIPProtoRTSP ? kelString(u"0") : uriPort());
    setBind2ip(uriHost());
}

intptr_t TkelIPTransmitter::rootDestCount()
{
    std::lock_guard lock(f_rootGuard);
    return f_root ? f_root->destGetCount() : 0;
}

kelRTPTransmitter* TkelIPTransmitter::transRoot()
{
    std::lock_guard lock(f_rootGuard);
    return f_root.get();
}

uint32_t TkelIPTransmitter::rootTimestamp()
{
    std::lock_guard lock(f_rootGuard);
    return f_root ? f_root->timestamp() : 0;
}

kelString TkelIPTransmitter::rootPortLocal()
{
    std::lock_guard lock(f_rootGuard);
    if (!f_root || f_root->receiver() == nullptr) return u"<none>";
    return f_root->receiver()->portLocal();
}

kelString TkelIPTransmitter::rootPorts()
{
    kelString rtpPort = u"<none>";
    int64_t rtcpPort = 0;
    if (f_root && f_root->receiver() != nullptr) {
        rtpPort = f_root->receiver()->portLocal();
        if (const kelRTCPstack* stack = f_root->rtcp()) rtcpPort = stack->boundPort();
    }
    return rtpPort + u"-" + decimal(rtcpPort);
}

kelRTCPstack* TkelIPTransmitter::getRTCP()
{
    std::lock_guard lock(f_rootGuard);
    return f_root ? f_root->rtcp() : nullptr;
}

void TkelIPTransmitter::applyRTPOptions()
{
    kelIPStreamer::applyRTPOptions();
    std::lock_guard lock(f_rootGuard);
    if (!f_root) return;
    const kelString user = URIuserName();
    if (!user.empty() && f_root->receiver() != nullptr) f_root->receiver()->setUserName(user);
    f_root->setNewSSRC(_SSRC());

    struct listed
    {
        kelString uri;
        intptr_t ttl;
        uint32_t ssrc;
    };
    std::vector<listed> again;
    if (f_sessions.lock(true, 10)) {
        try {
            for (intptr_t i = 0; i < f_sessions.count(); ++i)
                if (const kelIPTransRTSPSession* s = f_sessions.session(i))
                    again.push_back({s->destURI(), s->ttl(), s->recSSRC()});
        } catch (const std::bad_alloc&) {
            again.clear();
        }
        f_sessions.unlockRO();
    }
    // An address the root has already is refused by it, which is fine.
    for (const listed& l : again)
        (void)f_root->destAdd(false, l.uri, true, l.ttl, l.ssrc);
}

// --- opening and closing ---------------------------------------------------------

bool TkelIPTransmitter::doOpen()
{
    setDescriptionInfo({});
    if (f_uriRefused.load()) {
        setDescriptionError(f_uriError);
        return false;
    }
    if (!prepareEncoders()) return false;
    if (!kelIPStreamer::doOpen()) return false;
    {
        std::lock_guard lock(f_rootGuard);
        f_keptText.clear();
        f_keptUnits = 0;
    }
    // The old root lets go of its port before a new one binds it. It is
    // stopped outside the guard, and only then parked: the idle tick that
    // frees parked roots is already running.
    kelOwned<kelRTPTransmitter> old;
    {
        std::lock_guard lock(f_rootGuard);
        old = std::move(f_root);
    }
    if (old) {
        old->close(false);
        std::lock_guard lock(f_parkGuard);
        f_parked.push_back(std::move(old));
    }
    freeProtocols();
    bool ok = false;
    const intptr_t proto = protocol();
    if (proto == kelIPProtoRAW || proto == kelIPProtoRTP) {
        f_autoAddDest.store(true);
        kelString data = uriHost() + u":" + uriPort();
        ok = doExTransCmd(kelTransCmdOpenRoot, data, static_cast<uint32_t>(socketType())) == 0;
    } else if (proto == kelIPProtoRTSP) {
        ok = openRTSP();
    } else if (proto == kelIPProtoHTTP) {
        ok = openSHOUT();
    } else {
        setDescriptionError(u"Cannot transmit on this URI's scheme");
    }
    if (ok) openEncoders();
    setActiveFlag(ok);
    return ok;
}

int32_t TkelIPTransmitter::openRootCommand(kelString& data, uint32_t udata)
{
    std::lock_guard lock(f_rootGuard);
    int32_t result = 0;
    if (!f_root) {
        const bool raw = protocol() == kelIPProtoRAW;
        const bool noRTCP = !enableRTCP() || raw;
        const intptr_t payload = mappingCopy().r_dynType;
        if (udata == kelIPSocketMulticast)
            f_root.reset(kelCreate<rtpTransmitter>(this, payload, raw, noRTCP, bind2ip(), uriPort(),
                                                   uriHost(), TTL()));
        else
            f_root.reset(kelCreate<rtpTransmitter>(this, payload, raw, noRTCP, bind2ip(), bind2port(),
                                                   kelString{}, intptr_t{-1}));
        if (!f_root) {
            result = kelTransCmdRootFailed;
        } else {
            f_root->setClock(clock());
            f_root->setNewSSRC(_SSRC());
            f_root->setSamplingRate(static_cast<uint32_t>(samplingRate() > 0 ? samplingRate() : 0));
            applyRTPOptions();
            if (!f_root->open()) {
                result = kelTransCmdRootFailed;
                intptr_t err = f_root->socketError();
                if (err == 0 && f_root->receiver() != nullptr) err = f_root->receiver()->socketError();
                if (err != 0) {
                    setDescriptionError(u"Socket error: " + decimal(err));
                    logMessage(u"TkelIPTransmitter: root transmitter did not open: " +
                               kelResultWithText(err));
                }
            }
        }
    }
    data = rootPorts();
    // A root that did not open is no root: the next command 1 tries anew.
    if (result != 0) (void)parkRoot();
    return result;
}

kelRTPTransmitter* TkelIPTransmitter::parkRoot()
{
    if (!f_root) return nullptr;
    kelRTPTransmitter* parked = f_root.get();
    std::lock_guard lock(f_parkGuard);
    f_parked.push_back(std::move(f_root));
    return parked;
}

void TkelIPTransmitter::freeParked()
{
    std::vector<kelOwned<kelRTPTransmitter>> gone;
    {
        std::lock_guard lock(f_parkGuard);
        gone.swap(f_parked);
    }
    gone.clear();
}

void TkelIPTransmitter::doClose()
{
    // The idle tick frees parked roots; stop it before touching them.
    stopIdleThread();
    // While the root still sends: the encoders' last frames go out, to the
    // destinations and the SHOUT source alike.
    closeEncoders();
    closeProtocols();
    freeParked();
    // Nobody frees the root meanwhile (a command 5 only parks it, and the
    // idle tick has stopped), so it is closed outside the guard, which its
    // own threads may be waiting for.
    kelRTPTransmitter* root = nullptr;
    {
        std::lock_guard lock(f_rootGuard);
        root = f_root.get();
    }
    if (root != nullptr) root->close(false);
    {
        std::lock_guard lock(f_rootGuard);
        f_keptText.clear();
        f_keptUnits = 0;
    }
    kelIPStreamer::doClose();
}

void TkelIPTransmitter::onIdle()
{
    kelIPStreamer::onIdle();
    dropIdleRTSPSessions();
    freeParked();
    std::lock_guard lock(f_rootGuard);
    sendKeptText();
}

// --- sending -----------------------------------------------------------------------

intptr_t TkelIPTransmitter::doTransmit(uint32_t samples, const uint8_t* data, size_t len, bool marker,
                                       intptr_t payload)
{
    choosePrefix(len, payload);
    intptr_t sent = 0;
    if (f_root)
        sent = f_root->transmit(samples, data, len, marker, payload, nullptr,
                                f_prebuf.empty() ? nullptr : f_prebuf.data(), f_prebuf.size(), true);
    sent += sendToSHOUTSource(data, len);
    if (sent > 0) {
        countOutBytes(sent);
        measureBandwidth(kelBandwidthDir::out, sent);
    }
    return sent;
}

void TkelIPTransmitter::onReceivedPayload(const sockaddr_in&, const uint8_t*, const uint8_t*, size_t) {}

int32_t TkelIPTransmitter::sendText(const kelString& text)
{
    if (text.empty()) return kelE_FAIL;
    std::lock_guard lock(f_rootGuard);
    if (!f_root || !f_root->active()) return kelE_FAIL;
    if (f_root->destGetCount() == 0) {
        keepText(text);
        return kelS_OK;
    }
    sendKeptText();
    transmitText(text);
    return kelS_OK;
}

size_t TkelIPTransmitter::textBacklog()
{
    std::lock_guard lock(f_rootGuard);
    return f_keptUnits;
}

void TkelIPTransmitter::keepText(const kelString& text)
{
    kelString kept = text;
    if (kept.size() > kTextBacklogUnits) {
        kept.erase(0, kept.size() - kTextBacklogUnits);
        // Never start on the second half of a character.
        if (kept[0] >= 0xDC00 && kept[0] <= 0xDFFF) kept.erase(0, 1);
    }
    // Whole texts go first, so an editing key never loses its first half.
    while (!f_keptText.empty() && f_keptUnits + kept.size() > kTextBacklogUnits) {
        f_keptUnits -= f_keptText.front().size();
        f_keptText.pop_front();
    }
    f_keptUnits += kept.size();
    f_keptText.push_back(std::move(kept));
}

void TkelIPTransmitter::sendKeptText()
{
    if (f_keptText.empty() || !f_root || !f_root->active() || f_root->destGetCount() == 0) return;
    // Several texts share a packet, each whole, so the backlog costs a few
    // packets rather than one per key.
    constexpr size_t kPacketUnits = 512;
    kelString packet;
    for (const kelString& text : f_keptText) {
        if (!packet.empty() && packet.size() + text.size() > kPacketUnits) {
            transmitText(packet);
            packet.clear();
        }
        packet += text;
    }
    if (!packet.empty()) transmitText(packet);
    f_keptText.clear();
    f_keptUnits = 0;
}

void TkelIPTransmitter::transmitText(const kelString& text)
{
    const std::string bytes = utf16ToUtf8(text);
    const intptr_t payload = customPayloadAware() ? kelRTPPayloadT140 : -1;
    (void)doTransmit(static_cast<uint32_t>(text.size()), reinterpret_cast<const uint8_t*>(bytes.data()),
                     bytes.size(), false, payload);
}

uint32_t TkelIPTransmitter::doWrite(const void* data, uint32_t len, kelmtlInOutPipe*)
{
    if (data == nullptr || len == 0) return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const intptr_t enc = encoding();
    std::lock_guard lock(f_rootGuard);
    if (enc == kelRTPEnc_L8 || enc == kelRTPEnc_L16) {
        // Below 8 bits a sample still takes a byte on the wire.
        const intptr_t bytesPerSample = bitsPerSample() >= 8 ? bitsPerSample() / 8 : 1;
        const intptr_t channels = numChannels() > 0 ? numChannels() : 1;
        const auto samples = static_cast<uint32_t>(len / bytesPerSample / channels);
        const bool swap =
            enc == kelRTPEnc_L16 && doEncode() && f_root && (!f_root->isRAW() || swapRAWbytes());
        if (swap) {
            // The block is shared with every other consumer of our provider:
            // the network order goes into our own buffer, never into it.
            f_swapBuf.assign(bytes, bytes + len);
            swapBytePairs(f_swapBuf.data(), len);
            bytes = f_swapBuf.data();
        }
        (void)doTransmit(samples, bytes, len, false, -1);
        return len;
    }
    if (enc == kelRTPEnc_vorbis) return len;
    if (writeCoded(enc, bytes, len)) return len;
    // Without a coder every other encoding goes out as it is.
    (void)doTransmit(static_cast<uint32_t>(frameSize()), bytes, len, false, -1);
    return len;
}
