#include "net/rtp/kelRTPStreamer.h"

#include "core/kelFileUtils.h"
#include "core/kelUtf.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>

kelRTPStreamer::kelRTPStreamer(bool isRAW, bool noRTCP, bool isUDP, bool isMC, intptr_t ttl, bool useNTP,
                               intptr_t priority)
    : kelThread(false, priority), f_noRTCP(noRTCP), f_isRAW(isRAW), f_isUDP(isUDP), f_isMC(isMC), f_ttl(ttl)
{
    if (!isRAW && !noRTCP)
        f_rtcp.reset(kelCreate<kelRTCPstack>(static_cast<kelRTCPStackOwner*>(this), useNTP));
}

kelRTPStreamer::~kelRTPStreamer() = default;

void kelRTPStreamer::afterConstruction()
{
    {
        std::lock_guard<std::mutex> guard(f_nameGuard);
        f_userName = _classID();
    }
    kelThread::afterConstruction();
}

void kelRTPStreamer::beforeDestruction()
{
    kelThread::beforeDestruction();
    // The stack calls our hooks: it goes while we are still whole.
    f_rtcp.reset();
}

std::string kelRTPStreamer::cname8() const
{
    std::lock_guard<std::mutex> guard(f_nameGuard);
    return f_cname8;
}

kelString kelRTPStreamer::userName() const
{
    std::lock_guard<std::mutex> guard(f_nameGuard);
    return f_userName;
}

void kelRTPStreamer::setUserName(const kelString& name)
{
    std::lock_guard<std::mutex> guard(f_nameGuard);
    f_userName = name;
}

void kelRTPStreamer::setClock(const kelClock& clock) noexcept
{
    f_clock.set(clock);
    if (f_rtcp) f_rtcp->setClock(clock);
}

kelRTCPTransport kelRTPStreamer::rtcpTransport() const noexcept
{
    if (f_isMC) return kelrtcp_multicast;
    return f_isUDP ? kelrtcp_udp : kelrtcp_tcp;
}

void kelRTPStreamer::onRTPData(const sockaddr_in&, const uint8_t*, const uint8_t*, size_t, size_t) {}

void kelRTPStreamer::startIn()
{
    {
        std::lock_guard<std::mutex> guard(f_nameGuard);
        f_cname8 = utf16ToUtf8(f_userName + u"@" + computerName());
    }
    f_pingsockInProgress.store(false);
    f_pingsockDone.store(false);
}

bool kelRTPStreamer::grantStop()
{
    if (!kelThread::grantStop()) return false;
    if (!f_pingsockInProgress.load()) selfPing();
    return true;
}

void kelRTPStreamer::selfPing() noexcept
{
    if (!f_isUDP) return;
    sockaddr_in target{};
    {
        std::lock_guard<std::mutex> guard(f_socketGuard);
        if (!f_socket || f_socket->handle() == kelInvalidSocket || f_socket->getSockAddrBound(target) != 0 ||
            target.sin_port == 0)
            return;
    }
    if (target.sin_addr.s_addr == INADDR_ANY) target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    f_pingsockInProgress.store(true);
    kelUdpSocket ping;
    const uint8_t byte = 0;
    f_pingsockDone.store(ping.sendto(target, &byte, 1, 0, 10, false) == 0);
    // The receive loop also wakes through the thread's wake descriptor; the
    // byte covers a receive that waits on the socket alone.
    wakeUp();
}
