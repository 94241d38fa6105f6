#include "streaming/kelIPTransmitter.h"

#include "core/kelUtf.h"

#include <string>

TkelIPTransmitter::TkelIPTransmitter(kelComponent* owner)
    : kelIPStreamer(owner)
{
}

TkelIPTransmitter::~TkelIPTransmitter() = default;

void TkelIPTransmitter::beforeDestruction()
{
    kelIPStreamer::beforeDestruction();
    std::lock_guard lock(f_rootGuard);
    f_root.reset();
    freeParked();
}

void TkelIPTransmitter::setURI(const kelString& value)
{
    kelIPStreamer::setURI(value);
    if (socketType() == kelIPSocketMulticast)
        return;
    setBind2port(protocol() == kelIPProtoRTSP ? kelString(u"0") : uriPort());
    setBind2ip(uriHost());
}

intptr_t TkelIPTransmitter::destCount()
{
    std::lock_guard lock(f_rootGuard);
    return f_root ? f_root->destGetCount() : 0;
}

uint32_t TkelIPTransmitter::rootTimestamp()
{
    std::lock_guard lock(f_rootGuard);
    return f_root ? f_root->timestamp() : 0;
}

kelString TkelIPTransmitter::rootPortLocal()
{
    std::lock_guard lock(f_rootGuard);
    if (!f_root || f_root->receiver() == nullptr)
        return u"<none>";
    return f_root->receiver()->portLocal();
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
    if (!f_root)
        return;
    const kelString user = URIuserName();
    if (!user.empty() && f_root->receiver() != nullptr)
        f_root->receiver()->setUserName(user);
    f_root->setNewSSRC(_SSRC());
}

bool TkelIPTransmitter::doOpen()
{
    setDescriptionInfo({});
    if (!kelIPStreamer::doOpen())
        return false;
    bool ok = false;
    {
        std::lock_guard lock(f_rootGuard);
        parkRoot();
        const intptr_t proto = protocol();
        if (proto == kelIPProtoRAW || proto == kelIPProtoRTP)
            ok = openRoot();
    }
    if (ok)
        applyRTPOptions();
    setActiveFlag(ok);
    return ok;
}

bool TkelIPTransmitter::openRoot()
{
    const bool raw = protocol() == kelIPProtoRAW;
    const bool noRTCP = !enableRTCP() || raw;
    const kelRTPMap map = mappingCopy();
    kelOwned<kelRTPTransmitter> root;
    if (socketType() == kelIPSocketMulticast)
        root = kelMakeOwned<kelRTPTransmitter>(static_cast<intptr_t>(map.r_dynType), raw, noRTCP, bind2ip(), uriPort(),
                                               uriHost(), TTL());
    else
        root = kelMakeOwned<kelRTPTransmitter>(static_cast<intptr_t>(map.r_dynType), raw, noRTCP, bind2ip(),
                                               bind2port(), kelString{}, intptr_t{-1});
    if (!root)
        return false;
    // With the option off, receivers that punch holes are not taken on;
    // destinations added on purpose always are.
    root->setOnAddDest([this](kelRTPTransmitter*, bool fromHole, const sockaddr_in&, const sockaddr_in&,
                              bool& accept) { accept = !fromHole || f_autoAddDest.load(); });
    root->setNewSSRC(_SSRC());
    root->setSamplingRate(static_cast<uint32_t>(samplingRate() > 0 ? samplingRate() : 0));
    f_root = std::move(root);
    if (f_root->open())
        return true;
    const intptr_t err = f_root->socketError() != 0
                             ? f_root->socketError()
                             : (f_root->receiver() != nullptr ? f_root->receiver()->socketError() : 0);
    if (err != 0) {
        const std::string code = std::to_string(err);
        setDescriptionError(u"Socket error: " + kelString(code.begin(), code.end()));
    }
    return false;
}

void TkelIPTransmitter::parkRoot()
{
    if (!f_root)
        return;
    f_root->close(false);
    std::lock_guard lock(f_parkGuard);
    f_parked.push_back(std::move(f_root));
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
    freeParked();
    {
        std::lock_guard lock(f_rootGuard);
        if (f_root)
            f_root->close(false);
    }
    kelIPStreamer::doClose();
}

void TkelIPTransmitter::onIdle()
{
    kelIPStreamer::onIdle();
    freeParked();
}

intptr_t TkelIPTransmitter::transmitLocked(uint32_t samples, const uint8_t* data, size_t len, bool marker,
                                           intptr_t payload)
{
    if (!f_root || !f_root->active())
        return -1;
    const intptr_t sent = f_root->transmit(samples, data, len, marker, payload);
    if (sent > 0)
        measureBandwidth(kelBandwidthDir::out, sent);
    return sent;
}

int32_t TkelIPTransmitter::sendText(const kelString& text)
{
    if (text.empty())
        return kelE_FAIL;
    const std::string bytes = utf16ToUtf8(text);
    std::lock_guard lock(f_rootGuard);
    if (!f_root || !f_root->active())
        return kelE_FAIL;
    const intptr_t payload = customPayloadAware() ? kelRTPPayloadT140 : -1;
    (void)transmitLocked(static_cast<uint32_t>(text.size()), reinterpret_cast<const uint8_t*>(bytes.data()),
                         bytes.size(), false, payload);
    return kelS_OK;
}

uint32_t TkelIPTransmitter::doWrite(const void* data, uint32_t len, kelmtlInOutPipe*)
{
    if (data == nullptr || len == 0)
        return 0;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const intptr_t enc = encoding();
    std::lock_guard lock(f_rootGuard);
    if (!f_root)
        return 0;
    if (enc == kelRTPEnc_L8 || enc == kelRTPEnc_L16) {
        // Below 8 bits a sample still takes a byte on the wire.
        const intptr_t bytesPerSample = bitsPerSample() >= 8 ? bitsPerSample() / 8 : 1;
        const intptr_t channels = numChannels() > 0 ? numChannels() : 1;
        const auto samples = static_cast<uint32_t>(len / bytesPerSample / channels);
        const bool swap = enc == kelRTPEnc_L16 && doEncode() && (!f_root->isRAW() || swapRAWbytes());
        if (swap) {
            // The block is shared with every other consumer of our provider:
            // the network order goes into our own buffer, never into it.
            f_swapBuf.resize(len);
            const uint32_t even = len & ~1u;
            for (uint32_t i = 0; i < even; i += 2) {
                f_swapBuf[i] = bytes[i + 1];
                f_swapBuf[i + 1] = bytes[i];
            }
            if (even != len)
                f_swapBuf[even] = bytes[even];
            bytes = f_swapBuf.data();
        }
        (void)transmitLocked(samples, bytes, len, false, -1);
        return len;
    }
    if (enc == kelRTPEnc_vorbis)
        return len;
    // Without a coder every other encoding goes out as it is.
    (void)transmitLocked(static_cast<uint32_t>(frameSize()), bytes, len, false, -1);
    return len;
}
