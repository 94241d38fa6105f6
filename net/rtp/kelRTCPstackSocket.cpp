// The socket side of kelRTCPstack: binding, the receive loop and sending.
#include "net/rtp/kelRTCPstack.h"

#include "core/kelParseInt.h"
#include "net/sockets/kelSockets.h"

namespace {

// The receive wait grows while nothing arrives, up to about 2.2 s, and
// drops back when a datagram comes.
constexpr int64_t kWaitAfterData = 18;
constexpr int64_t kWaitGrowLimit = 2240;
constexpr int kBindAttempts = 100;
constexpr size_t kReceiveBuffer = 4096;

} // namespace

void kelRTCPstack::beforeDestruction()
{
    kelThread::beforeDestruction();
    // Never started, or already stopped: make sure the idle thread is gone
    // before the members it ticks.
    if (f_idleThread) f_idleThread->stop(3000, true);
    f_idleThread.reset();
}

kelSocket* kelRTCPstack::activeSocket() const noexcept
{
    if (f_socket_M) return f_socket_M.get();
    if (f_socket_U) return f_socket_U.get();
    return f_socket_T.get();
}

void kelRTCPstack::startIn()
{
    const kelRTCPTransport transport = f_streamer ? f_streamer->rtcpTransport() : kelrtcp_udp;
    {
        std::lock_guard<std::mutex> guard(f_sendGuard);
        f_socket_U.reset();
        f_socket_M.reset();
        f_socket_T.reset();
        if (transport == kelrtcp_multicast)
            f_socket_M = std::make_unique<kelMulticastSocket>(true);
        else if (transport == kelrtcp_udp)
            f_socket_U = std::make_unique<kelUdpSocket>(true);
        else
            f_socket_T = std::make_unique<kelTcpSocket>(true);
    }
    kelSocket* socket = activeSocket();
    const kelString bindIP = f_streamer ? f_streamer->rtcpBindIP() : kelString();
    if (!bindIP.empty()) socket->setBindToIP(bindIP);

    // Our port, or the next free one above it.
    int64_t port = parseInteger(f_b2port, -1);
    int rc = -1;
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        rc = socket->bindSocketToPort(static_cast<int>(port < 0 ? 0 : port));
        if (rc == 0) break;
        port = (port < 0 ? 1000 : port) + 1;
        f_b2port = formatInteger(port);
    }
    if (rc != 0) {
        setSocketError(WSAEADDRINUSE);
    } else {
        setSocketError(0);
        const kelString group = f_streamer ? f_streamer->rtcpGroup() : kelString();
        if (f_socket_M && !group.empty())
            setSocketError(
                f_socket_M->mjoin(group, kelMJoinReceive | kelMJoinSend, f_streamer->rtcpTTL(), false));
        sockaddr_in bound{};
        if (socket->getSockAddrBound(bound) == 0) f_boundPort.store(ntohs(bound.sin_port));
    }

    f_session.reset();
    if (f_idleThread) (void)f_idleThread->start(10000);
}

void kelRTCPstack::startOut()
{
    if (f_idleThread) f_idleThread->stop(3000, true);
    std::lock_guard<std::mutex> guard(f_sendGuard);
    if (f_socket_M) (void)f_socket_M->mleave();
    if (kelSocket* socket = activeSocket()) (void)socket->close(false);
    f_socket_U.reset();
    f_socket_M.reset();
    f_socket_T.reset();
    f_boundPort.store(0);
    f_session.clearMembers();
}

int kelRTCPstack::receive(sockaddr_in& from, uint8_t* buf, size_t size, int64_t wait) noexcept
{
    kelSocket* socket = activeSocket();
    const kelSocketHandle fd = socket ? socket->handle() : kelInvalidSocket;
    if (!waitReadable(static_cast<int>(fd), wait)) return 0;
    if (f_socket_T) {
        uint32_t got = static_cast<uint32_t>(size);
        if (f_socket_T->read(buf, got, 0, true) != 0) return -1;
        (void)f_socket_T->getSockAddr(from);
        return static_cast<int>(got);
    }
    kelUdpSocket* udp = f_socket_M ? f_socket_M.get() : f_socket_U.get();
    return udp->recvfrom(&from, buf, static_cast<int>(size), true, 0, 0);
}

intptr_t kelRTCPstack::execute(uintptr_t)
{
    f_readyEv.setState(true);
    if (f_socketError.load() == 0) {
        std::vector<uint8_t> buf(kReceiveBuffer);
        int64_t wait = 100;
        while (!shouldStop()) {
            if (f_streamer && f_streamer->rtcpSocketsRented()) {
                sleepThread(10);
                continue;
            }
            sockaddr_in from{};
            const int n = receive(from, buf.data(), buf.size(), wait);
            if (n > 0) {
                wait = kWaitAfterData;
                processRTCP(from, buf.data(), static_cast<size_t>(n));
                f_session.noteCompoundSize(static_cast<size_t>(n));
            } else {
                if (wait < kWaitGrowLimit) wait *= 2;
                // A socket that keeps failing must not spin the loop.
                if (n < 0) sleepThread(10);
            }
        }
    }
    if (f_idleThread) f_idleThread->stop(3000, true);
    (void)f_session.report(true);
    f_readyEv.setState(false);
    return 0;
}

int kelRTCPstack::sendTo(const sockaddr_in* addr, const uint8_t* data, size_t size) noexcept
{
    std::lock_guard<std::mutex> guard(f_sendGuard);
    if (f_socket_M) return f_socket_M->sendData(data, static_cast<uint32_t>(size), false);
    if (f_socket_U) {
        if (addr == nullptr) return WSAEFAULT;
        return f_socket_U->sendto(*addr, data, static_cast<uint32_t>(size), 0, 10, false);
    }
    if (f_socket_T) return f_socket_T->send(data, static_cast<uint32_t>(size), false);
    return WSAENOTSOCK;
}
