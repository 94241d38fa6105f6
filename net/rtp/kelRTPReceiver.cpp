#include "net/rtp/kelRTPReceiver.h"

#include "core/kelLog.h"
#include "core/kelParseInt.h"
#include "net/rtp/kelDatagramDemux.h"
#include "net/rtp/kelRTPPayloadTypes.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <algorithm>
#include <random>

namespace {

// Room for the largest datagram UDP carries: a smaller buffer would cut
// long payloads (40 ms of 48 kHz stereo L16 is 7680 bytes) without notice.
constexpr size_t kUdpBuffer = 65536;
constexpr size_t kTcpBuffer = 14096;
// The receive wait drops to this after data and doubles while idle, up to
// about 1.8 s; the wake descriptor ends any wait at once.
constexpr int64_t kWaitAfterData = 17;
constexpr int64_t kWaitGrowLimit = 1800;
// Datagrams in a row that are not RTP before the receiver turns raw.
constexpr intptr_t kBrokenLimit = 4;
// How long a packet ahead of a missing one waits for it: audio cannot wait
// longer than a playout buffer would hide; text comes a few packets a
// second and a gap in it shows for good, so it waits about the second a
// text receiver grants a lost packet before marking the loss.
constexpr uint64_t kReorderWaitMs = 60;
constexpr uint64_t kTextReorderWaitMs = 1000;
// Silence after which another SSRC from the transmitter's address is taken
// as the transmitter restarted.
constexpr uint64_t kTransmitterSilentMs = 1000;
// While packets wait, the receive loop looks at the window this often at
// least (its clock may be one that tests move by hand).
constexpr int64_t kWindowPollMs = 10;
// Packets of a contender kept at most, and for at most this long: a
// transmitter's takeover comes within a second.
constexpr size_t kContenderMaxPackets = 64;
constexpr uint64_t kContenderKeepMs = 2 * kTransmitterSilentMs;

int64_t portNumber(const kelString& port)
{
    return parseInteger(port, 0);
}

bool isAnyAddress(const kelString& ip)
{
    return ip.empty() || ip == u"0.0.0.0";
}

// The local address through which this machine reaches `remote` (what a
// UDP socket connected to it is bound to); false when there is no route.
bool localAddressToward(const sockaddr_in& remote, in_addr& local) noexcept
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in to = remote;
    // Connecting a UDP socket sends nothing; any port finds the route.
    if (to.sin_port == 0) to.sin_port = htons(9);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) == 0 &&
                    bound.sin_addr.s_addr != INADDR_ANY;
    ::close(fd);
    if (ok) local = bound.sin_addr;
    return ok;
}

uint32_t randomNonZero()
{
    static thread_local std::mt19937 rng{std::random_device{}()};
    uint32_t v = 0;
    while (v == 0)
        v = rng();
    return v;
}

} // namespace

kelRTPReceiver::kelRTPReceiver(const kelString& bind2port, const kelString& ip, bool isRAW,
                               const kelString& bind2ip, kelRTPReceiverOwner* transmitter, bool isUDP,
                               bool noRTCP, intptr_t ttl)
    : kelRTPStreamer(isRAW || !isUDP, noRTCP, isUDP, isMulticastAddr(ip), ttl, transmitter != nullptr,
                     kelThreadPriorityHighest),
      f_bind2port(bind2port), f_bind2ip(bind2ip), f_ip(ip), f_transmitter(transmitter)
{
    if (f_isMC)
        f_socket = std::make_unique<kelMulticastSocket>();
    else if (isUDP)
        f_socket = std::make_unique<kelUdpSocket>();
    else {
        f_socket = std::make_unique<kelTcpSocket>();
        f_isServer = isAnyAddress(ip);
        if (!f_isServer) (void)f_socket->setHost(ip);
    }
}

kelRTPReceiver::kelRTPReceiver(bool isRAW)
    : kelRTPStreamer(isRAW, true, true, false, 1, false, kelThreadPriorityHighest)
{}

kelRTPReceiver::~kelRTPReceiver() = default;

// --- properties ----------------------------------------------------------------

kelString kelRTPReceiver::bind2port() const
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    return f_bind2port;
}

void kelRTPReceiver::setBind2port(const kelString& port)
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    f_bind2port = port;
}

kelString kelRTPReceiver::bind2ip() const
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    return f_bind2ip;
}

void kelRTPReceiver::setBind2ip(const kelString& ip)
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    f_bind2ip = ip;
}

kelString kelRTPReceiver::portLocal() const
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    return f_portL;
}

void kelRTPReceiver::setPortLocal(const kelString& port)
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    f_portL = port;
}

void kelRTPReceiver::setExpectedSource(const kelString& host, const kelString& port)
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    f_expectHost = isAnyAddress(host) ? kelString() : host;
    f_expectPort = port;
}

kelString kelRTPReceiver::boundIP() const
{
    std::lock_guard<std::mutex> guard(f_propGuard);
    return f_boundIP;
}

// Start only: the receive thread is not running yet.
void kelRTPReceiver::resolveExpectedSource() noexcept
{
    kelString host, port;
    {
        std::lock_guard<std::mutex> guard(f_propGuard);
        host = f_expectHost;
        port = f_expectPort;
    }
    f_lockSSRC = !host.empty() && f_isUDP;
    f_filterAddress = false;
    f_expectAddr = sockaddr_in{};
    if (!f_lockSSRC || f_isMC) return;
    kelString ip;
    if (lookupHost(host, ip) != 0) {
        // No address to check against: the SSRC lock alone guards the
        // stream (refusing every packet would leave the receiver deaf).
        logMessage(u"kelRTPReceiver: transmitter host not found; only its SSRC is checked");
        return;
    }
    const int p = portFromString(port);
    f_expectAddr.sin_family = AF_INET;
    f_expectAddr.sin_addr.s_addr = str2ipN(ip);
    f_expectAddr.sin_port = htons(static_cast<uint16_t>(p > 0 && p < 65536 ? p : 0));
    f_filterAddress = true;
}

kelString kelRTPReceiver::chooseBindIP()
{
    // The any-address is every component's default: it asks for nothing.
    const kelString set = bind2ip();
    if (!isAnyAddress(set) || !f_filterAddress) return set;
    in_addr local{};
    if (!localAddressToward(f_expectAddr, local)) return set;
    return ipN2str(local.s_addr);
}

kelString kelRTPReceiver::rtcpGroup() const
{
    return f_isMC ? f_ip : kelString();
}

// --- start and stop ----------------------------------------------------------------

void kelRTPReceiver::startIn()
{
    kelRTPStreamer::startIn();
    f_broken.store(0);
    f_seenRTP.store(false);
    f_txSSRC.store(0);
    f_txLastMs = 0;
    f_window.reset();
    f_waiting.store(0);
    f_contender.clear();
    f_contenderSSRC = 0;
    const uint32_t parent = f_ssrcParent.load();
    f_ssrc.store(parent != 0 ? parent : randomNonZero());
    setPortLocal(u"<none>");
    setSocketError(0);
    resolveExpectedSource();
    const kelString bindIP = f_isMC ? bind2ip() : chooseBindIP();
    {
        std::lock_guard<std::mutex> guard(f_propGuard);
        f_boundIP = bindIP.empty() ? kelString(u"0.0.0.0") : bindIP;
    }
    if (!f_socket) return;
    {
        std::lock_guard<std::mutex> guard(f_socketGuard);
        f_socket->setBindToIP(bindIP);
        if (f_isUDP) {
            bindUdp();
        } else if (!f_isServer) {
            (void)f_socket->setPort(bind2port());
        }
    }
    if (f_isUDP && socketError() == 0) {
        sockaddr_in bound{};
        if (f_socket->getSockAddrBound(bound) == 0) setPortLocal(formatInteger(ntohs(bound.sin_port)));
        startRTCP();
        f_active.store(true);
    }
}

// Called with f_socketGuard held.
void kelRTPReceiver::bindUdp() noexcept
{
    const int64_t port = portNumber(bind2port());
    if (f_isMC) {
        auto* ms = static_cast<kelMulticastSocket*>(f_socket.get());
        // Several receivers (and the transmitter's group socket) may share
        // the group's port on one machine.
        if (ms->getSocket(true) != kelInvalidSocket) (void)ms->setOptBool(kelSO_REUSEADDR, true);
        if (port > 0) (void)ms->setBindToPort(formatInteger(port));
        setSocketError(ms->mjoin(f_ip, kelMJoinReceive, 1, false));
        return;
    }
    if (port > 0)
        setSocketError(f_socket->bindSocketToPort(static_cast<int>(port)));
    else
        (void)f_socket->bindSocketToPort(0);
}

void kelRTPReceiver::startRTCP() noexcept
{
    if (!f_rtcp || f_noRTCP.load() || f_isRAW.load()) return;
    const int64_t port = portNumber(portLocal());
    f_rtcp->setBind2port(formatInteger(port > 0 ? port + 1 : 0));
    if (f_rtcp->start(10000)) (void)f_rtcp->readyEvent().waitFor(1000);
}

void kelRTPReceiver::startOut()
{
    {
        std::lock_guard<std::mutex> guard(f_socketGuard);
        if (f_socket) {
            if (f_isMC) (void)static_cast<kelMulticastSocket*>(f_socket.get())->mleave();
            f_accepted.reset();
            (void)f_socket->close(false);
        }
    }
    if (f_rtcp) (void)f_rtcp->stop(3000, true);
    f_active.store(false);
}

// --- receive loop --------------------------------------------------------------------

int kelRTPReceiver::receiveUdp(sockaddr_in& from, uint8_t* buf, size_t size, int64_t wait) noexcept
{
    const kelSocketHandle fd = f_socket->handle();
    if (!waitReadable(static_cast<int>(fd), wait)) return 0;
    const int got =
        static_cast<kelUdpSocket*>(f_socket.get())->recvfrom(&from, buf, static_cast<int>(size), true);
    if (got < 0) {
        // A larger datagram keeps its start; anything else is passed over
        // (a port-unreachable reported on a socket we also send from).
        return kelWSAGetLastError() == WSAEMSGSIZE ? static_cast<int>(size) : 0;
    }
    return got;
}

int kelRTPReceiver::receiveTcp(sockaddr_in& from, uint8_t* buf, size_t size, int64_t wait) noexcept
{
    kelSocket* data = f_isServer ? f_accepted.get() : f_socket.get();
    pollfd fds[3];
    nfds_t count = 0;
    const int wake = wakeFd();
    if (wake >= 0) fds[count++] = {wake, POLLIN, 0};
    const nfds_t listenAt = count;
    if (f_isServer && f_socket->handle() != kelInvalidSocket)
        fds[count++] = {static_cast<int>(f_socket->handle()), POLLIN, 0};
    const nfds_t dataAt = count;
    if (data && data->handle() != kelInvalidSocket)
        fds[count++] = {static_cast<int>(data->handle()), POLLIN, 0};
    if (::poll(fds, count, static_cast<int>(wait)) <= 0) return 0;
    if (wake >= 0 && (fds[0].revents & POLLIN)) consumeWake();
    // The connection is served before the listener: when a peer leaves and
    // the next one knocks in the same round, the leaving peer's end of stream
    // must be read first, or the newcomer would be turned away as a second
    // connection.
    const bool dataReady = dataAt < count && (fds[dataAt].revents & (POLLIN | POLLERR | POLLHUP));
    if (!dataReady) {
        if (f_isServer && listenAt < dataAt && (fds[listenAt].revents & POLLIN)) {
            intptr_t result = 0;
            std::unique_ptr<kelSocket> peer = f_socket->accept(result, 1);
            // One connection at a time: a further one is turned away.
            if (peer && !f_accepted)
                f_accepted = std::move(peer);
            else if (peer)
                (void)peer->close(false);
        }
        return 0;
    }
    uint32_t got = static_cast<uint32_t>(size);
    const int rc = data->read(buf, got, 0, true);
    if (rc != 0 || got == 0) {
        // The peer went: a server waits for the next one, a client
        // reconnects on the next round.
        std::lock_guard<std::mutex> guard(f_socketGuard);
        if (f_isServer)
            f_accepted.reset();
        else
            (void)f_socket->close(false);
        return 0;
    }
    (void)data->getSockAddr(from);
    return static_cast<int>(got);
}

intptr_t kelRTPReceiver::execute(uintptr_t)
{
    if (socketError() != 0 || !f_socket) return 0;
    std::vector<uint8_t> buf(f_isUDP ? kUdpBuffer : kTcpBuffer);
    int64_t wait = 100;
    if (!f_isUDP) {
        // Leave the owner a moment to finish its own set-up.
        if (sleepThread(100) && shouldStop()) return 0;
        std::lock_guard<std::mutex> guard(f_socketGuard);
        if (f_isServer) {
            const int64_t port = portNumber(bind2port());
            int rc = f_socket->bindSocketToPort(static_cast<int>(port > 0 ? port : 0));
            if (rc == 0) rc = f_socket->listen(5);
            setSocketError(rc);
            sockaddr_in bound{};
            if (rc == 0 && f_socket->getSockAddrBound(bound) == 0)
                setPortLocal(formatInteger(ntohs(bound.sin_port)));
        } else if (f_socket->connect() == 0) {
            sockaddr_in bound{};
            if (f_socket->getSockAddrBound(bound) == 0) setPortLocal(formatInteger(ntohs(bound.sin_port)));
        }
        f_active.store(socketError() == 0);
    }
    while (!shouldStop() && socketError() == 0) {
        try {
            if (socketsRented()) {
                sleepThread(10);
                continue;
            }
            if (!f_isUDP && !f_isServer && f_socket->handle() == kelInvalidSocket) {
                std::lock_guard<std::mutex> guard(f_socketGuard);
                (void)f_socket->connect();
            }
            sockaddr_in from{};
            const int n = f_isUDP ? receiveUdp(from, buf.data(), buf.size(), windowWait(wait))
                                  : receiveTcp(from, buf.data(), buf.size(), wait);
            retryContender();
            if (n <= 0) {
                deliverReady();
                if (wait < kWaitGrowLimit) wait *= 2;
                if (!f_isUDP && f_socket->handle() == kelInvalidSocket) sleepThread(100);
                continue;
            }
            wait = kWaitAfterData;
            processDatagram(from, buf.data(), static_cast<size_t>(n));
            // Foreign datagrams must not keep the window's due packets in.
            deliverReady();
        } catch (...) {
            logCaught("the RTP receive round");
        }
    }
    return 0;
}

void kelRTPReceiver::processDatagram(const sockaddr_in& from, const uint8_t* data, size_t size) noexcept
{
    if (f_pingsockInProgress.load() || data == nullptr) return;
    try {
        if (f_isRAW.load()) {
            onRTPData(from, data, data, size, size);
            return;
        }
        // Peers that run ICE or rtcp-mux send STUN and RTCP to this port
        // too: they go their own way before the RTP checks, neither counted
        // against the stream nor resetting the count.
        switch (kelClassifyDatagram(data, size)) {
        case keldg_stun:
            onSTUN(from, data, size);
            return;
        case keldg_rtcp:
            if (f_rtcp && !f_noRTCP.load()) f_rtcp->processRTCP(from, data, size);
            return;
        default:
            break;
        }
        if (size < kelRTPHeaderSize) return;
        if (!fromTransmitterAddress(from)) {
            f_foreign.fetch_add(1);
            return;
        }
        if (!rtpIsVersion2(data[0])) {
            notRTP(from);
            return;
        }
        f_broken.store(0);
        kelRTPPacketInfo info;
        // Shorter than its own header and padding: nothing to deliver.
        if (!rtpParsePacket(data, size, info)) return;
        if (f_lockSSRC) {
            fromTransmitter(from, data, size, info);
            return;
        }
        if (f_rtcp && !f_noRTCP.load()) {
            f_rtcp->processRTP(from, info.header, size);
            if (!f_rtcp->updateSeq(info.header)) return;
        }
        f_seenRTP.store(true);
        onRTPData(from, data, data + info.payloadOffset, info.payloadSize, size);
    } catch (...) {
        logCaught("the RTP data hook");
    }
}

bool kelRTPReceiver::fromTransmitterAddress(const sockaddr_in& from) const noexcept
{
    if (!f_filterAddress) return true;
    return from.sin_addr.s_addr == f_expectAddr.sin_addr.s_addr &&
           (f_expectAddr.sin_port == 0 || from.sin_port == f_expectAddr.sin_port);
}

void kelRTPReceiver::notRTP(const sockaddr_in&) noexcept
{
    // A stream that has sent RTP is an RTP stream: what else arrives is
    // noise, never a reason to read its packets as raw bytes.
    if (f_seenRTP.load()) {
        f_garbage.fetch_add(1);
        return;
    }
    if (f_broken.fetch_add(1) + 1 > kBrokenLimit) f_isRAW.store(true);
}

bool kelRTPReceiver::acceptSSRC(uint32_t ssrc, const sockaddr_in& from)
{
    const uint32_t current = f_txSSRC.load();
    if (ssrc == current) return true;
    if (current != 0) {
        const bool left = kelRTPStreamer::now() - f_txLastMs >= kTransmitterSilentMs || saidBye(current);
        // Without an address to check (a group, an unknown host) the new
        // SSRC must at least come from the host the old one came from.
        const bool sameHost = f_filterAddress || from.sin_addr.s_addr == f_txFrom.sin_addr.s_addr;
        if (!left || !sameHost) return false;
    }
    f_txSSRC.store(ssrc);
    f_window.reset();
    if (current != 0) onTransmitterChanged(current, ssrc);
    return true;
}

bool kelRTPReceiver::saidBye(uint32_t ssrc) noexcept
{
    if (!f_rtcp || f_noRTCP.load()) return false;
    rtp_site_info m;
    if (f_rtcp->session().memberCopy(ssrc, m, 20)) return m.r_hardBye != kelFalse;
    // Not in the table: its BYE was taken and the member already removed
    // (or it timed out). A second look tells that from a lock not had.
    return !f_rtcp->session().isMember(ssrc, 100);
}

void kelRTPReceiver::fromTransmitter(const sockaddr_in& from, const uint8_t* data, size_t size,
                                     const kelRTPPacketInfo& info)
{
    const uint32_t ssrc = info.header.ssrc();
    // Our own packets looped back are neither the transmitter nor foreign.
    if (ssrc == _SSRC()) return;
    if (!acceptSSRC(ssrc, from)) {
        f_foreign.fetch_add(1);
        keepContender(from, data, size, ssrc);
        return;
    }
    // The transmitter still talks: the contender was a second source, not
    // its successor.
    if (ssrc != f_contenderSSRC) f_contender.clear();
    f_seenRTP.store(true);
    f_txLastMs = kelRTPStreamer::now();
    f_txFrom = from;
    if (f_rtcp && !f_noRTCP.load()) {
        // Statistics and jitter at the true arrival time; the window, not
        // the statistics' sequence check, decides what is delivered.
        f_rtcp->processRTP(from, info.header, size);
        (void)f_rtcp->updateSeq(info.header);
    }
    const intptr_t pt = info.header.payloadType();
    const bool text = pt == kelRTPPayloadT140 || pt == f_textPT.load();
    const auto verdict =
        f_window.push(info.header.seq(), data, size, f_txLastMs, text ? kTextReorderWaitMs : kReorderWaitMs);
    f_duplicates.store(f_window.duplicates());
    f_late.store(f_window.late());
    f_waiting.store(f_window.heldCount());
    if (verdict == kelRTPReorderWindow::verdict::deliver)
        onRTPData(from, data, data + info.payloadOffset, info.payloadSize, size);
    deliverReady();
}

void kelRTPReceiver::keepContender(const sockaddr_in& from, const uint8_t* data, size_t size, uint32_t ssrc)
{
    // Only the transmitter's own address can bring its successor.
    if (!f_filterAddress) return;
    if (ssrc != f_contenderSSRC) {
        f_contender.clear();
        f_contenderSSRC = ssrc;
    }
    if (f_contender.size() >= kContenderMaxPackets) return;
    try {
        f_contender.push_back({from, kelRTPStreamer::now(), std::vector<uint8_t>(data, data + size)});
    } catch (const std::bad_alloc&) {
        // Dropped, as it would have been.
    }
}

void kelRTPReceiver::retryContender()
{
    if (f_contender.empty()) return;
    const uint64_t now = kelRTPStreamer::now();
    std::erase_if(f_contender,
                  [&](const contenderPacket& p) { return now - p.arrivedMs > kContenderKeepMs; });
    if (f_contender.empty() || !acceptSSRC(f_contenderSSRC, f_contender.front().from)) return;
    std::vector<contenderPacket> kept;
    kept.swap(f_contender);
    for (const contenderPacket& p : kept) {
        kelRTPPacketInfo info;
        if (!rtpParsePacket(p.bytes.data(), p.bytes.size(), info)) continue;
        // Counted as foreign when it came; it was not after all.
        f_foreign.fetch_sub(1);
        fromTransmitter(p.from, p.bytes.data(), p.bytes.size(), info);
    }
}

void kelRTPReceiver::deliverReady()
{
    if (f_window.heldCount() == 0) return;
    kelRTPReorderPacket p;
    while (f_window.popReady(kelRTPStreamer::now(), p)) {
        kelRTPPacketInfo info;
        // Checked when it arrived; parsed again for its payload's place.
        if (rtpParsePacket(p.bytes.data(), p.bytes.size(), info))
            onRTPData(f_txFrom, p.bytes.data(), p.bytes.data() + info.payloadOffset, info.payloadSize,
                      p.bytes.size());
    }
    f_late.store(f_window.late());
    f_waiting.store(f_window.heldCount());
}

int64_t kelRTPReceiver::windowWait(int64_t wait) const noexcept
{
    if (!f_contender.empty()) wait = std::min(wait, kWindowPollMs);
    if (f_window.heldCount() == 0) return wait;
    const uint64_t due = f_window.nextDueMs();
    const uint64_t now = kelRTPStreamer::now();
    const int64_t left = due <= now ? 0 : static_cast<int64_t>(std::min<uint64_t>(due - now, kWindowPollMs));
    return std::min(wait, left);
}

// --- sending -------------------------------------------------------------------------

int kelRTPReceiver::sendDatagram(const sockaddr_in& addr, const uint8_t* data, size_t size,
                                 int64_t checkMs) noexcept
{
    std::lock_guard<std::mutex> guard(f_socketGuard);
    if (!f_socket || !f_isUDP || f_socket->handle() == kelInvalidSocket) return WSAENOTSOCK;
    return static_cast<kelUdpSocket*>(f_socket.get())
        ->sendto(addr, data, static_cast<uint32_t>(size), 0, checkMs, false);
}

int kelRTPReceiver::sendDatagrams(const sockaddr_in* addrs, size_t count, const uint8_t* data, size_t size,
                                  int64_t checkMs, size_t& sent) noexcept
{
    sent = 0;
    std::lock_guard<std::mutex> guard(f_socketGuard);
    if (!f_socket || !f_isUDP || f_socket->handle() == kelInvalidSocket) return WSAENOTSOCK;
    return static_cast<kelUdpSocket*>(f_socket.get())
        ->sendtoMany(addrs, count, data, static_cast<uint32_t>(size), checkMs, sent);
}

int kelRTPReceiver::sendRTP_CN_To(const sockaddr_in& addr) noexcept
{
    if (!f_socket) return WSAENOTSOCK;
    if (addr.sin_addr.s_addr == 0) return 0;
    // A transmitter numbers its media from our stack's counter: the pings
    // take their numbers from it too, so the far side sees one sequence.
    kelRTCPstack* paired = f_transmitter ? f_rtcp.get() : nullptr;
    // Without a paired transmitter the pings count up from 1 on their own:
    // repeats of one number would be dropped as duplicates by the far
    // side's sequence check, so a path that had to be reopened never would.
    const uint16_t seq = paired ? paired->nextSeq() : static_cast<uint16_t>(f_pingSeq.fetch_add(1) + 1);
    uint8_t ping[kelRTPCNPingSize];
    rtpBuildCNPing(ping, seq, _SSRC());
    const int rc = sendDatagram(addr, ping, sizeof ping, 100);
    // A socket without a usable handle (its bind failed) is no send error:
    // it must not replace the error that explains why.
    if (rc != 0 && rc != WSAENOTSOCK) setSocketError(rc);
    return rc;
}

void kelRTPReceiver::onRTPSent(const sockaddr_in&, const uint8_t* packet, size_t size) noexcept
{
    if (!f_rtcp || f_noRTCP.load() || packet == nullptr || size < kelRTPHeaderSize) return;
    // Sender reports carry the RTP time of their own instant, moved on from
    // this packet's timestamp at the transmitter's clock rate.
    const uint32_t rate = f_transmitter ? f_transmitter->rtpSendClockRate() : 0;
    f_rtcp->onRTPSent(rtp_hdr::read(packet), size - kelRTPHeaderSize, rate);
}

// --- hooks: forwarded to the owner -------------------------------------------------

void kelRTPReceiver::onMemberSilent(const rtp_site_info*) {}

void kelRTPReceiver::onSTUN(const sockaddr_in& from, const uint8_t* data, size_t size)
{
    if (f_transmitter) f_transmitter->onSTUN(from, data, size);
}

void kelRTPReceiver::onTransmitterChanged(uint32_t, uint32_t) {}

void kelRTPReceiver::onRTPData(const sockaddr_in& from, const uint8_t* header, const uint8_t* payload,
                               size_t payloadSize, size_t packetSize)
{
    if (f_transmitter) f_transmitter->onRTPData(from, header, payload, payloadSize, packetSize);
}

void kelRTPReceiver::onRTCPReport(const uint8_t* data, size_t size)
{
    if (f_transmitter) f_transmitter->onRTCPReport(data, size);
}

void kelRTPReceiver::onRTCPPacket(uint32_t ssrc, const sockaddr_in& from, const uint8_t* packet, size_t size)
{
    if (f_transmitter) f_transmitter->onRTCPPacket(ssrc, from, packet, size);
}

void kelRTPReceiver::onSDESItem(uint32_t ssrc, const rtcp_sdes_item& item)
{
    if (f_transmitter) f_transmitter->onSDESItem(ssrc, item);
}

void kelRTPReceiver::onMemberGone(const rtp_site_info* member, bool timedOut)
{
    if (f_transmitter) f_transmitter->onMemberGone(member, timedOut);
}

void kelRTPReceiver::onRTCPApp(const sockaddr_in& from, uint32_t ssrc, uint8_t subtype, const char* name,
                               const uint8_t* data, size_t size)
{
    if (f_transmitter) f_transmitter->onRTCPApp(from, ssrc, subtype, name, data, size);
}

void kelRTPReceiver::onIdle(bool timerExpired)
{
    if (timerExpired && f_rtcp && !f_noRTCP.load()) {
        // Copies, so the hook runs with no lock held.
        std::vector<rtp_site_info> members;
        std::vector<uint32_t> busy;
        if (f_rtcp->session().copyMembers(members, &busy, 100, 20)) {
            const uint32_t own = _SSRC();
            bool any = std::any_of(busy.begin(), busy.end(), [own](uint32_t ssrc) { return ssrc != own; });
            for (const rtp_site_info& m : members)
                any = any || m.r_ssrc != own;
            if (!any) onMemberSilent(nullptr);
            for (const rtp_site_info& m : members)
                if (m.r_ssrc != own && m.r_lastPayloadTM == 0) onMemberSilent(&m);
        }
    }
    if (f_transmitter) f_transmitter->onIdle(timerExpired);
}
