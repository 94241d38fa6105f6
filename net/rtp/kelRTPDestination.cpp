#include "net/rtp/kelRTPDestination.h"

#include "net/rtp/kelRTPSendContext.h"
#include "net/sockets/kelSockets.h"

#include <arpa/inet.h>

kelRTPDestination::kelRTPDestination(bool dstatic, kelRTPSendContext* trans, const sockaddr_in& addrRTP,
                                     const sockaddr_in* addrRTCP, bool doOpen, intptr_t ttl, uint32_t recSSRC)
    : f_trans(trans), f_destAddrRTP(addrRTP), f_recSSRC(recSSRC), f_ttl(ttl), f_dstatic(dstatic),
      f_openAtCreation(doOpen)
{
    if (addrRTCP != nullptr) {
        f_destAddrRTCP = *addrRTCP;
    } else {
        f_destAddrRTCP = addrRTP;
        f_destAddrRTCP.sin_port = htons(static_cast<uint16_t>(ntohs(addrRTP.sin_port) + 1));
    }
    const uint32_t ipN = addrRTP.sin_addr.s_addr;
    if (isMulticastAddrN(ipN)) {
        f_scope = kelrds_multicast;
        f_mgroup = ipN2str(ipN);
        f_msocket = std::make_unique<kelMulticastSocket>();
    } else if (isBroadcastAddrN(ipN)) {
        f_scope = kelrds_broadcast;
        f_bsocket = std::make_unique<kelUdpSocket>();
    }
}

kelRTPDestination::~kelRTPDestination()
{
    closeDest();
}

void kelRTPDestination::afterConstruction()
{
    if (f_openAtCreation)
        (void)openDest();
    else
        f_lastRRTM.store(nowMs());
}

uint64_t kelRTPDestination::nowMs() const noexcept
{
    return (f_trans ? f_trans->clock() : kelClock::system()).nowMs();
}

bool kelRTPDestination::openDest() noexcept
{
    f_lastRRTM.store(nowMs());
    std::lock_guard<std::mutex> guard(f_socketGuard);
    if (f_isOpen.load()) return true;
    const kelString bindIP = f_trans ? f_trans->bind2ip() : kelString();
    const kelString bindPort = f_trans ? f_trans->bind2port() : kelString(u"0");
    switch (f_scope) {
    case kelrds_unicast:
        f_isOpen.store(true);
        break;
    case kelrds_broadcast:
        f_bsocket->setBindToIP(bindIP);
        (void)f_bsocket->setBindToPort(bindPort);
        // Shares the transmitter's port when its socket allows it; else the
        // bind fails and the first send picks a port of its own.
        if (f_bsocket->getSocket(true) != kelInvalidSocket)
            (void)f_bsocket->setOptBool(kelSO_REUSEADDR, true);
        (void)f_bsocket->bind();
        (void)f_bsocket->setOptBool(kelSO_BROADCAST, true);
        f_isOpen.store(true);
        break;
    case kelrds_multicast:
        f_msocket->setBindToIP(bindIP);
        (void)f_msocket->setBindToPort(bindPort);
        (void)f_msocket->setPort(static_cast<int>(ntohs(f_destAddrRTP.sin_port)));
        // Receivers of the group on this machine bind the same port.
        if (f_msocket->getSocket(true) != kelInvalidSocket)
            (void)f_msocket->setOptBool(kelSO_REUSEADDR, true);
        f_isOpen.store(f_msocket->mjoin(f_mgroup, kelMJoinReceive | kelMJoinSend,
                                        static_cast<int>(f_ttl.load()), false) == 0);
        break;
    }
    return f_isOpen.load();
}

void kelRTPDestination::closeDest() noexcept
{
    std::lock_guard<std::mutex> guard(f_socketGuard);
    if (f_bsocket) (void)f_bsocket->close(false);
    if (f_msocket) {
        if (f_isOpen.load()) (void)f_msocket->mleave();
        (void)f_msocket->close(false);
    }
    f_isOpen.store(false);
}

void kelRTPDestination::setTtl(intptr_t ttl) noexcept
{
    f_ttl.store(ttl);
    std::lock_guard<std::mutex> guard(f_socketGuard);
    if (f_msocket) f_msocket->setTtl(static_cast<uint32_t>(ttl < 0 ? 0 : ttl));
}

int kelRTPDestination::transmit(const uint8_t* data, size_t len, bool isRTCP) noexcept
{
    if (!f_isOpen.load()) return WSAENOTSOCK;
    if (!f_enabled.load()) return 0;
    if (isRTCP && f_trans && f_trans->hasRTCPSocket())
        return f_trans->sendRTCPDatagram(f_destAddrRTCP, data, len);
    const sockaddr_in& to = isRTCP ? f_destAddrRTCP : f_destAddrRTP;
    switch (f_scope) {
    case kelrds_broadcast: {
        std::lock_guard<std::mutex> guard(f_socketGuard);
        return f_bsocket->sendto(to, data, static_cast<uint32_t>(len), 0, 10, false);
    }
    case kelrds_multicast: {
        std::lock_guard<std::mutex> guard(f_socketGuard);
        return f_msocket->sendData(data, static_cast<uint32_t>(len));
    }
    case kelrds_unicast:
        break;
    }
    return f_trans ? f_trans->sendRTPDatagram(to, data, len) : WSAENOTSOCK;
}

bool kelRTPDestination::sameAddr(bool isRTP, const sockaddr_in& addr, bool checkIPOnly) const noexcept
{
    const sockaddr_in& own = isRTP ? f_destAddrRTP : f_destAddrRTCP;
    if (own.sin_addr.s_addr != addr.sin_addr.s_addr) return false;
    if (checkIPOnly) return true;
    return own.sin_port == 0 || addr.sin_port == 0 || own.sin_port == addr.sin_port;
}
