#include "net/sockets/kelSocket.h"

#include "net/sockets/kelSockAddr.h"
#include "core/kelLog.h"
#include "core/kelTextUtils.h"
#include "core/kelTick.h"
#include "core/kelUtf.h"
#include "net/sockets/kelWSA.h"
#include "platform/kelLastError.h"

#include <arpa/inet.h>

#include <new>
#include <string>

namespace {

// The errors after which a connection is gone: network down ... refused.
bool closesSocket(int err) noexcept
{
    return err >= WSAENETDOWN && err <= WSAECONNREFUSED;
}

} // namespace

kelSocket::kelSocket(int addressFamily, int socketProtocol, int socketType, bool overlapped) noexcept
    : f_addressFamily(addressFamily), f_socketProtocol(socketProtocol), f_socketType(socketType),
      f_overlapped(overlapped), f_bindToIP(u"0.0.0.0")
{}

kelSocket::~kelSocket()
{
    close(true);
}

int kelSocket::ensureSocket() noexcept
{
    if (f_socket != kelInvalidSocket) return 0;
    // The handle serves overlapped use as it is: the completion-port layer
    // switches it to non-blocking mode itself.
    const kelSocketHandle h = kelSocketOpen(f_addressFamily, f_socketType, f_socketProtocol);
    if (h == kelInvalidSocket) return kelWSAGetLastError();
    f_socket = h;
    f_bound = false;
    return 0;
}

void kelSocket::clearState() noexcept
{
    forgetSoundRead();
    f_bound = false;
    f_MTUValid = false;
    f_MTU = 0;
}

kelSocketHandle kelSocket::getSocket(bool forceCreate) noexcept
{
    if (forceCreate) ensureSocket();
    return f_socket;
}

int kelSocket::closeSocket() noexcept
{
    if (f_socket == kelInvalidSocket) return 0;
    const int rc = kelCloseSocket(f_socket);
    // The descriptor is gone even when close reports an error: never retry
    // it, a retry could close a descriptor another thread has just opened.
    f_socket = kelInvalidSocket;
    return rc == 0 ? 0 : kelWSAGetLastError();
}

int kelSocket::ioctl(uint32_t cmd, uint32_t* argp) noexcept
{
    if (const int err = ensureSocket(); err != 0) return err;
    return kelIoctlSocket(f_socket, cmd, argp) == 0 ? 0 : kelWSAGetLastError();
}

int kelSocket::bind(const sockaddr_in* addr) noexcept
{
    if (const int err = ensureSocket(); err != 0) return err;
    sockaddr_in own{};
    if (addr == nullptr) {
        own.sin_family = AF_INET;
        own.sin_port = htons(f_bindToPort.p_proto);
        uint32_t ip = str2ipN(f_bindToIP);
        own.sin_addr.s_addr = ip == INADDR_NONE ? 0 : ip;
        addr = &own;
    }
    if (kelBind(f_socket, addr) != 0) {
        const int err = kelWSAGetLastError();
        char ip[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &addr->sin_addr, ip, sizeof ip);
        logFailuref("Socket error: %d binding to %s:%u", err, ip, unsigned(ntohs(addr->sin_port)));
        return err;
    }
    f_bound = true;
    return 0;
}

int kelSocket::bindSocketToPort(int port) noexcept
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port >= 0 && port <= 65535 ? port : f_bindToPort.p_proto));
    const uint32_t ip = str2ipN(f_bindToIP);
    a.sin_addr.s_addr = ip == INADDR_NONE ? 0 : ip;
    return bind(&a);
}

int kelSocket::listen(int backlog) noexcept
{
    if (isListening()) return 0;
    if (!f_bound) {
        if (const int err = bindSocketToPort(getPortInt()); err != 0) return err;
    }
    return kelListen(f_socket, backlog) == 0 ? 0 : kelWSAGetLastError();
}

int kelSocket::connect(const sockaddr_in* addr) noexcept
{
    if (f_socketProtocol == kelIPPROTO_TCP && isActive()) return 0;
    if (const int err = ensureSocket(); err != 0) return err;
    sockaddr_in to{};
    if (addr != nullptr) {
        to = *addr;
        f_port = kelProtoEnt{};
        f_port.p_proto = ntohs(addr->sin_port);
        f_host = ipN2str(addr->sin_addr.s_addr);
    } else if (const int err = getSockAddr(to); err != 0) {
        return err;
    }
    if (f_socketProtocol != kelIPPROTO_TCP && !f_bound) {
        if (const int err = bindSocketToPort(-1); err != 0) return err;
    }
    int rc = kelConnect(f_socket, &to) == 0 ? 0 : kelWSAGetLastError();
    if (rc == WSAEWOULDBLOCK && f_overlapped) rc = 0;
    if (rc == 0) f_bound = true;
    return rc;
}

std::unique_ptr<kelSocket> kelSocket::accept(intptr_t& result, int64_t timeout) noexcept
{
    if (const int err = ensureSocket(); err != 0) {
        result = err;
        return nullptr;
    }
    if (!okToRead(timeout)) {
        result = WSAETIMEDOUT;
        return nullptr;
    }
    sockaddr_in peer{};
    const kelSocketHandle h = kelAccept(f_socket, &peer);
    if (h == kelInvalidSocket) {
        result = kelWSAGetLastError();
        return nullptr;
    }
    std::unique_ptr<kelSocket> s(
        new (std::nothrow) kelSocket(peer.sin_family, f_socketProtocol, f_socketType, f_overlapped));
    if (!s) {
        kelCloseSocket(h);
        result = WSAENOBUFS;
        return nullptr;
    }
    s->f_socket = h;
    s->f_bound = true;
    kelString ip;
    if (lookupHost(ipN2str(peer.sin_addr.s_addr), ip) == 0) s->f_host = ip;
    s->f_port.p_proto = ntohs(peer.sin_port);
    result = h;
    return s;
}

int kelSocket::close(bool graceful) noexcept
{
    int rc = 0;
    if (f_socket != kelInvalidSocket) {
        // The shutdown only lets the peer see an orderly end; whatever it
        // reports, the handle is released.
        if (graceful && !isListening()) shutdown(kelSD_BOTH);
        rc = closeSocket();
    }
    clearState();
    return rc;
}

int kelSocket::shutdown(int how) noexcept
{
    int rc = 0;
    if (isActive()) rc = kelShutdown(f_socket, how) == 0 ? 0 : kelWSAGetLastError();
    clearState();
    return rc;
}

bool kelSocket::okToRead(int64_t timeout, bool noCheckState) noexcept
{
    if (noCheckState) return true;
    return kelSelectOne(f_socket, kelSelRead, timeout) == 1;
}

bool kelSocket::okToWrite(int64_t timeout, bool noCheckState) noexcept
{
    if (noCheckState) return true;
    return kelSelectOne(f_socket, kelSelWrite, timeout) == 1;
}

bool kelSocket::check_error(int64_t timeout) noexcept
{
    if (f_socket == kelInvalidSocket) return true;
    return kelSelectOne(f_socket, kelSelExcept, timeout) != 0;
}

bool kelSocket::isConnected(int64_t timeout) noexcept
{
    return f_bound && !check_error(timeout) && okToWrite(timeout);
}

bool kelSocket::isListening() noexcept
{
    if (!isStream()) return false;
    return getOptBool(kelSO_ACCEPTCONN);
}

bool kelSocket::waitForData(int64_t timeout, bool noCheckState) noexcept
{
    if (getPendingDataSize(true) != 0) return true;
    return okToRead(timeout, noCheckState);
}

uint32_t kelSocket::getPendingDataSize(bool noCheckState) noexcept
{
    if (f_socket == kelInvalidSocket) return 0;
    if (!noCheckState && !okToRead(0)) return 0;
    uint32_t n = 0;
    if (kelIoctlSocket(f_socket, kelFIONREAD, &n) != 0) return 0;
    return n;
}

int kelSocket::read(void* buf, uint32_t& size, int64_t timeout, bool noCheck) noexcept
{
    const uint32_t want = size;
    const int len = static_cast<int>(want > 0x7FFFFFFFu ? 0x7FFFFFFFu : want);
    size = 0;
    // The checks are isActive() and waitForData(timeout). One look at the
    // socket answers the three conditions of a connected one (no urgent data,
    // writable, readable); waitForData waits only when nothing is readable
    // yet, and isListening() runs only for a socket that is not connected.
    // Within the tick of a read whose look found them all at once and which
    // filled its buffer, the look is not repeated: only a send, shutdown or
    // option of ours could make the socket unwritable, and those forget the
    // answer. What the peer does (urgent data, a reset) may then show one
    // read later, within that millisecond: the race between a look and the
    // read after it, which was always there, over a longer window. A read
    // that stops short (at an urgent mark, say) or finds nothing waiting looks
    // and waits as usual.
    if (!noCheck) {
        const uint64_t soundAt = f_soundReadAt.load(std::memory_order_relaxed);
        if (soundAt != kNoSoundRead && soundAt == tickNow()) {
            const int n = kelRecv(f_socket, buf, len, kelMSG_TRY);
            if (n > 0) {
                size = static_cast<uint32_t>(n);
                if (n != len) forgetSoundRead();
                return 0;
            }
            forgetSoundRead();
            if (n == 0) return 0; // end of stream: still writable, so the look would have passed
            const int err = kelWSAGetLastError();
            if (err != WSAEWOULDBLOCK) {
                // The error the look would have found pending, and reported
                // the same way.
                if (closesSocket(err)) {
                    close(false);
                    kelWSASetLastError(err);
                }
                return err;
            }
        }
    }
    uint64_t checkedAt = kNoSoundRead;
    int held = 0;
    if (!noCheck) {
        checkedAt = tickNow();
        held = f_bound ? kelSocketConditions(f_socket) : -1;
        const bool connected = held >= 0 && !(held & kelSelExcept) && (held & kelSelWrite);
        if (!connected) held = -1;
    }
    if (!noCheck && held < 0 && !isListening()) {
        // A connection the peer reset is no longer writable, so it is not
        // active; its error is still pending, though, and is what the read
        // reports, closing the socket as a failed receive would. A send may
        // have taken that error first; the connection's state still tells.
        int err = takePendingStreamError();
        if (err == 0 && isStream() && f_bound) err = kelStreamResetCode(f_socket);
        if (err == 0) return -1;
        if (closesSocket(err)) close(false);
        kelWSASetLastError(err);
        return err;
    }
    if (!noCheck && !(held > 0 && (held & kelSelRead)) && !waitForData(timeout)) return -1;
    if (const int err = ensureSocket(); err != 0) return err;
    const int n = kelRecv(f_socket, buf, len, 0);
    if (n < 0) {
        const int err = kelWSAGetLastError();
        forgetSoundRead();
        if (closesSocket(err)) {
            close(false);
            kelWSASetLastError(err);
        }
        return err;
    }
    size = static_cast<uint32_t>(n);
    // Remembered only for a stream the look found connected and readable at
    // once (an answer from before a wait is stale) whose read filled the
    // buffer.
    if (held > 0 && (held & kelSelRead) && n == len && n > 0 && isStream())
        f_soundReadAt.store(checkedAt, std::memory_order_relaxed);
    else
        forgetSoundRead();
    return 0;
}

int kelSocket::takePendingStreamError() noexcept
{
    if (f_socket == kelInvalidSocket || !isStream() || !f_bound) return 0;
    int32_t buf[2] = {0, 0};
    int len = sizeof buf;
    if (kelGetSockOpt(f_socket, kelSOL_SOCKET, kelSO_ERROR, buf, &len) != 0) return 0;
    return buf[0];
}

int kelSocket::send(const void* data, uint32_t size, bool noCheck) noexcept
{
    forgetSoundRead();
    const int len = static_cast<int>(size > 0x7FFFFFFFu ? 0x7FFFFFFFu : size);
    const auto* bytes = static_cast<const uint8_t*>(data);
    int sent = 0;
    if (!noCheck) {
        // The check is that the socket is writable within 1 ms. A send that
        // does not wait is tried first: when it takes bytes the socket was
        // writable, and only one that would block (or fails) pays for the
        // wait. An error counts as the blocking send's only where the check
        // would have let that send happen.
        if (f_socket == kelInvalidSocket) return -1;
        const int n = kelSend(f_socket, bytes, len, kelMSG_TRY);
        if (n < 0) {
            const int err = kelWSAGetLastError();
            if (!okToWrite(1)) return -1;
            if (err != WSAEWOULDBLOCK) return err;
        } else {
            sent = n;
            if (sent == len) return static_cast<uint32_t>(sent) < size ? -2 : 0;
        }
    }
    if (const int err = ensureSocket(); err != 0) return err;
    // The rest as one blocking send, as an unchecked send sends it all.
    const int n = kelSend(f_socket, bytes + sent, len - sent, 0);
    if (n < 0) return sent > 0 ? -2 : kelWSAGetLastError();
    return static_cast<uint32_t>(sent + n) < size ? -2 : 0;
}

int kelSocket::send(const std::string& data, bool noCheck) noexcept
{
    return send(data.data(), static_cast<uint32_t>(data.size()), noCheck);
}

bool kelSocket::getOptBool(int opt) noexcept
{
    if (check_error(0)) return false;
    int32_t v = 0;
    int len = sizeof v;
    if (kelGetSockOpt(f_socket, kelSOL_SOCKET, opt, &v, &len) != 0) return false;
    return v != 0;
}

int kelSocket::setOptBool(int opt, bool value) noexcept
{
    forgetSoundRead();
    if (f_socket == kelInvalidSocket) return -1;
    const int32_t v = value ? 1 : 0;
    return kelSetSockOpt(f_socket, kelSOL_SOCKET, opt, &v, sizeof v) == 0 ? 0 : kelWSAGetLastError();
}

int kelSocket::getOptInt(int opt) noexcept
{
    if (f_socket == kelInvalidSocket) return -1;
    // The integer options are 4 bytes; the buffer is larger so that a wider
    // value would not be cut, and only the length reported counts.
    int32_t buf[2] = {0, 0};
    int len = sizeof buf;
    if (kelGetSockOpt(f_socket, kelSOL_SOCKET, opt, buf, &len) != 0) return -1;
    if (len < static_cast<int>(sizeof(int32_t))) return -1;
    return buf[0];
}

int kelSocket::setOptInt(int opt, int value) noexcept
{
    forgetSoundRead();
    if (f_socket == kelInvalidSocket) return -1;
    const int32_t v = value;
    return kelSetSockOpt(f_socket, kelSOL_SOCKET, opt, &v, sizeof v) == 0 ? 0 : kelWSAGetLastError();
}

uint32_t kelSocket::getMTU() noexcept
{
    if (!f_MTUValid) {
        const int v = getOptInt(kelSO_MAX_MSG_SIZE);
        if (v <= 0) return getGeneralMTU();
        f_MTU = static_cast<uint32_t>(v) & 0xFFFFu;
        f_MTUValid = true;
    }
    return f_MTU;
}

uint32_t kelSocket::getGeneralMTU() const noexcept
{
    const kelWSA* wsa = socketsSharedWSA();
    if (wsa == nullptr) return 0;
    const uint16_t dg = wsa->data().iMaxUdpDg;
    return dg == 0 ? 1500 : dg;
}

bool kelSocket::setHost(const kelString& host) noexcept
{
    if (isActive()) return false;
    f_host = trimText(host);
    return true;
}

bool kelSocket::setPort(int port, bool noCheck) noexcept
{
    if (port < 0 || port > 65535) return false;
    const std::string text = std::to_string(port);
    return setPort(kelString(text.begin(), text.end()), noCheck);
}

bool kelSocket::setPort(const kelString& port, bool noCheck) noexcept
{
    if (!noCheck && isActive()) return false;
    kelProtoEnt entry;
    if (resolvePort(port, entry) != 0) return false;
    f_port = entry;
    return true;
}

int kelSocket::getSockAddr(sockaddr_in& addr) noexcept
{
    addr = sockaddr_in{};
    addr.sin_family = static_cast<sa_family_t>(f_addressFamily);
    if (!f_host.empty()) {
        kelString ip;
        if (const int err = lookupHost(f_host, ip); err != 0) return err;
        addr.sin_addr.s_addr = str2ipN(ip);
    } else {
        const uint32_t ip = str2ipN(f_bindToIP);
        addr.sin_addr.s_addr = ip == INADDR_NONE ? 0 : ip;
    }
    addr.sin_port = htons(static_cast<uint16_t>(getPortInt()));
    return 0;
}

int kelSocket::getSockAddrBound(sockaddr_in& addr) noexcept
{
    addr = sockaddr_in{};
    return kelGetSockName(f_socket, &addr) == 0 ? 0 : kelWSAGetLastError();
}

kelString kelSocket::bindToPort() const
{
    const std::string text = std::to_string(f_bindToPort.p_proto);
    return kelString(text.begin(), text.end());
}

bool kelSocket::setBindToPort(const kelString& port) noexcept
{
    kelProtoEnt entry;
    if (resolvePort(port, entry) != 0) return false;
    f_bindToPort = entry;
    return true;
}
