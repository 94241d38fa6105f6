#include "streaming/kelIPStreamer.h"

#include <cstring>

#include "core/kelLog.h"
#include "core/kelUtf.h"
#include "net/protocols/kelSDPParser.h"
#include "net/rtp/kelRTCPstack.h"
#include "streaming/kelIdleThread.h"

namespace {
// The text and format properties are read and set whole under their guard.
template <class T> T lockedCopy(std::mutex& guard, const T& field)
{
    std::lock_guard lock(guard);
    return field;
}

template <class T> void lockedAssign(std::mutex& guard, T& field, const T& value)
{
    std::lock_guard lock(guard);
    field = value;
}

constexpr intptr_t kIdleStartTimeout = 10000;
constexpr intptr_t kIdleStopTimeout = 3000;
// doOpen waits a little longer than a sample does: a sender still inside
// its sample releases the window within a few milliseconds.
constexpr intptr_t kWindowRestartTimeout = 100;
} // namespace

kelIPStreamer::kelIPStreamer(kelComponent* owner) : kelmtlInOutPipe(owner), f_buf(kScratchSize, 0)
{
    f_idleThread = kelMakeOwned<kelIdleThread>(this);
    f_sdpParser = std::make_unique<kelSDPParser>();
}

kelIPStreamer::~kelIPStreamer() = default;

void kelIPStreamer::afterConstruction()
{
    kelmtlInOutPipe::afterConstruction();
    setSDP(kelIPStreamerDefaultSDP);
}

void kelIPStreamer::beforeDestruction()
{
    close();
    stopIdleThread();
    kelmtlInOutPipe::beforeDestruction();
}

void kelIPStreamer::stopIdleThread() noexcept
{
    if (f_idleThread) (void)f_idleThread->stop(kIdleStopTimeout, true);
}

// --- pipe operations ------------------------------------------------------------

uint32_t kelIPStreamer::doRead(void* data, uint32_t len)
{
    (void)data, (void)len;
    return 0;
}

uint32_t kelIPStreamer::getAvailableDataLen(int index)
{
    (void)index;
    return 0;
}

bool kelIPStreamer::doOpen()
{
    if (!kelmtlInOutPipe::doOpen()) return false;
    if (acquireCounter(f_bwAcq, kWindowRestartTimeout)) {
        f_bwTM = now();
        f_bwInDelta = 0;
        f_bwOutDelta = 0;
        releaseCounter(f_bwAcq);
    }
    setDescriptionError({});
    return f_idleThread && f_idleThread->start(kIdleStartTimeout);
}

void kelIPStreamer::doClose()
{
    kelmtlInOutPipe::doClose();
    stopIdleThread();
    // Only the figures are reset. The bandwidth lock is left alone: a sending
    // thread may still be inside a sample and will release it itself.
    f_bwIn.store(0);
    f_bwOut.store(0);
    f_frameSize.store(0);
    f_active.store(false);
}

uint32_t kelIPStreamer::getFormatExchangeData(std::vector<uint8_t>& data)
{
    const kelWaveFormat block = exmtFormat();
    data.resize(sizeof block);
    std::memcpy(data.data(), &block, sizeof block);
    return block.formatOriginal.pcmSamplesPerSecond != 0 ? static_cast<uint32_t>(sizeof block) : 0;
}

// --- streamer operations --------------------------------------------------------------

void kelIPStreamer::applyRTPOptions()
{
    if (kelRTCPstack* stack = getRTCP()) stack->setMemberTimeoutReports(f_memberTR.load());
}

void kelIPStreamer::onIdle()
{
    measureBandwidth(kelBandwidthDir::in, 0);
    measureBandwidth(kelBandwidthDir::out, 0);
}

void kelIPStreamer::onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size)
{
    (void)ssrc, (void)from, (void)packet, (void)size;
}

void kelIPStreamer::onMemberGone(const rtp_site_info* member, bool timedOut)
{
    (void)member, (void)timedOut;
}

void kelIPStreamer::onMemberSilent(const rtp_site_info* member)
{
    (void)member;
}

void kelIPStreamer::setRemoteAddresses(intptr_t kind, const kelString& host, const kelString& portRTP,
                                       const kelString& portRTCP)
{
    (void)kind, (void)host, (void)portRTP, (void)portRTCP;
}

// --- bandwidth --------------------------------------------------------------------------

void kelIPStreamer::measureBandwidth(kelBandwidthDir dir, int64_t bytes) noexcept
{
    if (!acquireCounter(f_bwAcq, kBandwidthLockTimeout)) return;
    try {
        uint64_t t = now();
        if (f_bwTM == 0) f_bwTM = t;
        (dir == kelBandwidthDir::in ? f_bwInDelta : f_bwOutDelta) += bytes;
        t = now();
        if (t > f_bwTM && t - f_bwTM > static_cast<uint64_t>(kBandwidthWindowMs)) {
            // Bytes over two seconds: x 8 bits / 2 s.
            f_bwIn.store(static_cast<intptr_t>(4 * f_bwInDelta));
            f_bwOut.store(static_cast<intptr_t>(4 * f_bwOutDelta));
            f_bwTM = t;
            f_bwInDelta = 0;
            f_bwOutDelta = 0;
        }
    } catch (...) {
        kelReportHookFailure("kelIPStreamer clock");
    }
    releaseCounter(f_bwAcq);
}

// --- properties -----------------------------------------------------------------------------

kelString kelIPStreamer::URI() const
{
    return lockedCopy(f_textGuard, f_URI);
}

kelString kelIPStreamer::uriHost() const
{
    return lockedCopy(f_textGuard, f_URIHost);
}

kelString kelIPStreamer::uriPort() const
{
    return lockedCopy(f_textGuard, f_URIport);
}

kelString kelIPStreamer::URIuserName() const
{
    return lockedCopy(f_textGuard, f_URIuserName);
}

void kelIPStreamer::setURIuserName(const kelString& value)
{
    lockedAssign(f_textGuard, f_URIuserName, value);
}

kelString kelIPStreamer::URIuserPass() const
{
    return lockedCopy(f_textGuard, f_URIuserPass);
}

void kelIPStreamer::setURIuserPass(const kelString& value)
{
    lockedAssign(f_textGuard, f_URIuserPass, value);
}

kelURICrack kelIPStreamer::uriCrack() const
{
    return lockedCopy(f_textGuard, f_crack);
}

kelString kelIPStreamer::SDP() const
{
    return lockedCopy(f_textGuard, f_SDP);
}

kelRTPMap kelIPStreamer::mappingCopy() const
{
    return lockedCopy(f_formatGuard, f_mapping);
}

kelString kelIPStreamer::descriptionInfo() const
{
    return lockedCopy(f_textGuard, f_descInfo);
}

kelString kelIPStreamer::descriptionError() const
{
    return lockedCopy(f_textGuard, f_descError);
}

void kelIPStreamer::setDescriptionInfo(const kelString& value)
{
    lockedAssign(f_textGuard, f_descInfo, value);
}

void kelIPStreamer::setDescriptionError(const kelString& value)
{
    bool changed = false;
    {
        std::lock_guard lock(f_textGuard);
        changed = f_descError != value;
        f_descError = value;
    }
    // Each new failure once, not every time a retry finds it again.
    if (changed && !value.empty()) logFailure("IP streamer: " + utf16ToUtf8(value));
}

intptr_t kelIPStreamer::rtcpTimeoutReports()
{
    if (kelRTCPstack* stack = getRTCP()) return stack->memberTimeoutReports();
    return f_memberTR.load();
}

void kelIPStreamer::setRtcpTimeoutReports(intptr_t value)
{
    if (kelRTCPstack* stack = getRTCP()) stack->setMemberTimeoutReports(value);
    f_memberTR.store(value);
}

kelString kelIPStreamer::bind2port() const
{
    return lockedCopy(f_textGuard, f_bind2port);
}

void kelIPStreamer::setBind2port(const kelString& value)
{
    lockedAssign(f_textGuard, f_bind2port, value);
}

kelString kelIPStreamer::bind2ip() const
{
    return lockedCopy(f_textGuard, f_bind2ip);
}

void kelIPStreamer::setBind2ip(const kelString& value)
{
    lockedAssign(f_textGuard, f_bind2ip, value);
}

kelString kelIPStreamer::getExLib(int index) const
{
    if (index < 0 || index >= kelKnownLibCount) return {};
    std::lock_guard lock(f_textGuard);
    return f_exLib[static_cast<size_t>(index)];
}

void kelIPStreamer::setExLib(int index, const kelString& value)
{
    if (index < 0 || index >= kelKnownLibCount) return;
    std::lock_guard lock(f_textGuard);
    f_exLib[static_cast<size_t>(index)] = value;
}

kelString kelIPStreamer::STUNserver() const
{
    return lockedCopy(f_textGuard, f_STUNserver);
}

kelString kelIPStreamer::STUNPort() const
{
    return lockedCopy(f_textGuard, f_STUNPort);
}

void kelIPStreamer::setSTUN(const kelString& host, const kelString& port)
{
    std::lock_guard lock(f_textGuard);
    f_STUNserver = host;
    f_STUNPort = port;
}

kelWaveFormat kelIPStreamer::exmtFormat() const
{
    return lockedCopy(f_formatGuard, f_exmtFormat);
}

void kelIPStreamer::setExmtFormat(const kelWaveFormat& value)
{
    lockedAssign(f_formatGuard, f_exmtFormat, value);
}
