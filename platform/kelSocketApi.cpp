#include "platform/kelSocketApi.h"

#include "platform/kelLastError.h"
#include "platform/kelMonotonic.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <linux/tcp.h> // tcp_info with its segment counters
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <strings.h>

namespace {

// Stores the code and returns the library's failure value.
int fail(int code) noexcept
{
    kelWSASetLastError(code);
    return kelSocketError;
}

int failErrno() noexcept
{
    return fail(kelSockErrorFromErrno(errno));
}

// Linux reports every send that can no longer go as EPIPE; tell apart a
// socket that never connected, one shut down for sending here, and one the
// peer reset.
int brokenPipeCode(int fd) noexcept
{
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return WSAESHUTDOWN;
    tcp_info info{};
    len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return WSAECONNRESET;
    constexpr uint8_t kTcpClose = 7; // the kernel's TCP_CLOSE state
    if (info.tcpi_state == kTcpClose) return info.tcpi_segs_in == 0 ? WSAENOTCONN : WSAECONNRESET;
    return WSAESHUTDOWN;
}

// Data-transfer calls: a refusal reported by ICMP reads as a reset there.
int failTransfer(int fd) noexcept
{
    const int err = errno;
    if (err == EPIPE) return fail(brokenPipeCode(fd));
    return fail(err == ECONNREFUSED ? WSAECONNRESET : kelSockErrorFromErrno(err));
}

int fdOf(kelSocketHandle s) noexcept
{
    return (s < 0 || s > INT_MAX) ? -1 : static_cast<int>(s);
}

bool translateMsgFlags(int flags, int& out) noexcept
{
    out = 0;
    if (flags & ~(kelMSG_OOB | kelMSG_PEEK | kelMSG_DONTROUTE | kelMSG_WAITALL | kelMSG_TRY)) return false;
    if (flags & kelMSG_TRY) out |= MSG_DONTWAIT;
    if (flags & kelMSG_OOB) out |= MSG_OOB;
    if (flags & kelMSG_PEEK) out |= MSG_PEEK;
    if (flags & kelMSG_DONTROUTE) out |= MSG_DONTROUTE;
    if (flags & kelMSG_WAITALL) out |= MSG_WAITALL;
    return true;
}

// How an option's value travels between the two numberings.
enum class OptKind { Int, Bool, Timeout, Linger, Error, Addr, Mreq, DontFragment, MaxMsgSize };

struct OptMap
{
    int level;
    int opt;
    int nativeLevel;
    int nativeOpt;
    OptKind kind;
};

constexpr std::array<OptMap, 26> kOptions{{
    {kelSOL_SOCKET, kelSO_DEBUG, SOL_SOCKET, SO_DEBUG, OptKind::Bool},
    {kelSOL_SOCKET, kelSO_ACCEPTCONN, SOL_SOCKET, SO_ACCEPTCONN, OptKind::Bool},
    {kelSOL_SOCKET, kelSO_REUSEADDR, SOL_SOCKET, SO_REUSEADDR, OptKind::Bool},
    {kelSOL_SOCKET, kelSO_KEEPALIVE, SOL_SOCKET, SO_KEEPALIVE, OptKind::Bool},
    {kelSOL_SOCKET, kelSO_DONTROUTE, SOL_SOCKET, SO_DONTROUTE, OptKind::Bool},
    {kelSOL_SOCKET, kelSO_BROADCAST, SOL_SOCKET, SO_BROADCAST, OptKind::Bool},
    {kelSOL_SOCKET, kelSO_LINGER, SOL_SOCKET, SO_LINGER, OptKind::Linger},
    {kelSOL_SOCKET, kelSO_OOBINLINE, SOL_SOCKET, SO_OOBINLINE, OptKind::Bool},
    {kelSOL_SOCKET, kelSO_SNDBUF, SOL_SOCKET, SO_SNDBUF, OptKind::Int},
    {kelSOL_SOCKET, kelSO_RCVBUF, SOL_SOCKET, SO_RCVBUF, OptKind::Int},
    {kelSOL_SOCKET, kelSO_SNDLOWAT, SOL_SOCKET, SO_SNDLOWAT, OptKind::Int},
    {kelSOL_SOCKET, kelSO_RCVLOWAT, SOL_SOCKET, SO_RCVLOWAT, OptKind::Int},
    {kelSOL_SOCKET, kelSO_SNDTIMEO, SOL_SOCKET, SO_SNDTIMEO, OptKind::Timeout},
    {kelSOL_SOCKET, kelSO_RCVTIMEO, SOL_SOCKET, SO_RCVTIMEO, OptKind::Timeout},
    {kelSOL_SOCKET, kelSO_ERROR, SOL_SOCKET, SO_ERROR, OptKind::Error},
    {kelSOL_SOCKET, kelSO_TYPE, SOL_SOCKET, SO_TYPE, OptKind::Int},
    {kelSOL_SOCKET, kelSO_MAX_MSG_SIZE, SOL_SOCKET, SO_TYPE, OptKind::MaxMsgSize},
    {kelIPPROTO_IP, kelIP_TOS, IPPROTO_IP, IP_TOS, OptKind::Int},
    {kelIPPROTO_IP, kelIP_TTL, IPPROTO_IP, IP_TTL, OptKind::Int},
    {kelIPPROTO_IP, kelIP_MULTICAST_IF, IPPROTO_IP, IP_MULTICAST_IF, OptKind::Addr},
    {kelIPPROTO_IP, kelIP_MULTICAST_TTL, IPPROTO_IP, IP_MULTICAST_TTL, OptKind::Int},
    {kelIPPROTO_IP, kelIP_MULTICAST_LOOP, IPPROTO_IP, IP_MULTICAST_LOOP, OptKind::Bool},
    {kelIPPROTO_IP, kelIP_ADD_MEMBERSHIP, IPPROTO_IP, IP_ADD_MEMBERSHIP, OptKind::Mreq},
    {kelIPPROTO_IP, kelIP_DROP_MEMBERSHIP, IPPROTO_IP, IP_DROP_MEMBERSHIP, OptKind::Mreq},
    {kelIPPROTO_IP, kelIP_DONTFRAGMENT, IPPROTO_IP, IP_MTU_DISCOVER, OptKind::DontFragment},
    {kelIPPROTO_TCP, kelTCP_NODELAY, IPPROTO_TCP, TCP_NODELAY, OptKind::Bool},
}};

// 0 with the entry, or the code for an unknown level or option.
int findOption(int level, int opt, const OptMap*& out) noexcept
{
    bool levelKnown = false;
    for (const OptMap& m : kOptions) {
        if (m.level != level) continue;
        levelKnown = true;
        if (m.opt == opt) {
            out = &m;
            return 0;
        }
    }
    return levelKnown ? WSAENOPROTOOPT : WSAEINVAL;
}

// Linger record of the socket library: two 16-bit values.
struct kelLinger
{
    uint16_t l_onoff;
    uint16_t l_linger;
};

struct ProtoRow
{
    const char* name;
    uint16_t number;
};

// The protocol database the socket library ships (IANA numbers).
constexpr std::array<ProtoRow, 20> kProtocols{{
    {"ip", 0},   {"icmp", 1},       {"igmp", 2},        {"ggp", 3},        {"tcp", 6},
    {"egp", 8},  {"pup", 12},       {"udp", 17},        {"hmp", 20},       {"xns-idp", 22},
    {"rdp", 27}, {"ipv6", 41},      {"ipv6-route", 43}, {"ipv6-frag", 44}, {"esp", 50},
    {"ah", 51},  {"ipv6-icmp", 58}, {"ipv6-nonxt", 59}, {"ipv6-opts", 60}, {"rvd", 66},
}};

} // namespace

int kelWSAStartup(uint16_t version, kelWSAData* data) noexcept
{
    const unsigned major = version & 0xFFu;
    const unsigned minor = (version >> 8) & 0xFFu;
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    if (data == nullptr) return WSAEFAULT;
    *data = kelWSAData{};
    // Offer what was asked for, up to 2.2.
    data->wVersion = (major > 2 || (major == 2 && minor > 2)) ? 0x0202 : version;
    data->wHighVersion = 0x0202;
    std::strncpy(data->szDescription, "POSIX sockets", sizeof data->szDescription - 1);
    std::strncpy(data->szSystemStatus, "Running", sizeof data->szSystemStatus - 1);
    data->iMaxSockets = 0;
    data->iMaxUdpDg = 0;
    return 0;
}

int kelWSACleanup() noexcept
{
    return 0;
}

int kelWSAGetLastError() noexcept
{
    return static_cast<int>(kelGetLastError());
}

void kelWSASetLastError(int code) noexcept
{
    kelSetLastError(static_cast<uint32_t>(code));
}

int kelSockErrorFromErrno(int err) noexcept
{
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAENOTSOCK;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
    case ENODEV:
    case ENXIO:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return WSAEINVAL;
    }
}

kelSocketHandle kelSocketOpen(int af, int type, int protocol) noexcept
{
    if (af != kelAF_INET) return fail(WSAEAFNOSUPPORT);
    if (type != kelSOCK_STREAM && type != kelSOCK_DGRAM) return fail(WSAESOCKTNOSUPPORT);
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) return failErrno();
    return fd;
}

int kelCloseSocket(kelSocketHandle s) noexcept
{
    const int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    // close() releases the descriptor even when it reports EINTR: never retry.
    if (::close(fd) != 0 && errno != EINTR) return failErrno();
    return 0;
}

int kelBind(kelSocketHandle s, const sockaddr_in* addr) noexcept
{
    if (addr == nullptr) return fail(WSAEFAULT);
    if (::bind(fdOf(s), reinterpret_cast<const sockaddr*>(addr), sizeof *addr) != 0) return failErrno();
    return 0;
}

int kelListen(kelSocketHandle s, int backlog) noexcept
{
    if (::listen(fdOf(s), backlog) != 0) return failErrno();
    return 0;
}

kelSocketHandle kelAccept(kelSocketHandle s, sockaddr_in* peer) noexcept
{
    sockaddr_in from{};
    socklen_t len = sizeof from;
    int fd;
    do {
        fd = ::accept4(fdOf(s), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failErrno();
    if (peer != nullptr) *peer = from;
    return fd;
}

int kelConnect(kelSocketHandle s, const sockaddr_in* addr) noexcept
{
    if (addr == nullptr) return fail(WSAEFAULT);
    const int fd = fdOf(s);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(addr), sizeof *addr) == 0) return 0;
    if (errno == EINPROGRESS) return fail(WSAEWOULDBLOCK);
    if (errno != EINTR) return failErrno();
    // An interrupted connect goes on in the background: wait for its outcome.
    pollfd p{fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return failErrno();
    return err == 0 ? 0 : fail(kelSockErrorFromErrno(err));
}

int kelShutdown(kelSocketHandle s, int how) noexcept
{
    if (how < kelSD_RECEIVE || how > kelSD_BOTH) return fail(WSAEINVAL);
    if (::shutdown(fdOf(s), how) != 0) return failErrno();
    return 0;
}

int kelSend(kelSocketHandle s, const void* data, int len, int flags) noexcept
{
    int native = 0;
    if (!translateMsgFlags(flags, native)) return fail(WSAEOPNOTSUPP);
    if (len < 0 || (data == nullptr && len > 0)) return fail(WSAEFAULT);
    ssize_t n;
    do {
        n = ::send(fdOf(s), data, static_cast<size_t>(len), native | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return failTransfer(fdOf(s));
    return static_cast<int>(n);
}

int kelStreamResetCode(kelSocketHandle s) noexcept
{
    const int fd = fdOf(s);
    int type = 0;
    socklen_t len = sizeof type;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return 0;
    return brokenPipeCode(fd) == WSAECONNRESET ? WSAECONNRESET : 0;
}

int kelRecv(kelSocketHandle s, void* buf, int len, int flags) noexcept
{
    return kelRecvFrom(s, buf, len, flags, nullptr);
}

int kelSendTo(kelSocketHandle s, const void* data, int len, int flags, const sockaddr_in* to) noexcept
{
    int native = 0;
    if (!translateMsgFlags(flags, native)) return fail(WSAEOPNOTSUPP);
    if (len < 0 || (data == nullptr && len > 0)) return fail(WSAEFAULT);
    ssize_t n;
    do {
        n = ::sendto(fdOf(s), data, static_cast<size_t>(len), native | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(to), to ? sizeof *to : 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return failTransfer(fdOf(s));
    return static_cast<int>(n);
}

int kelSendToMany(kelSocketHandle s, const void* data, int len, const sockaddr_in* to, int count) noexcept
{
    if (len < 0 || (data == nullptr && len > 0) || count < 0 || (to == nullptr && count > 0))
        return fail(WSAEFAULT);
    // One vector for all: the payload is the same for every address.
    constexpr int kBatch = 64;
    iovec iov{const_cast<void*>(data), static_cast<size_t>(len)};
    mmsghdr msgs[kBatch];
    int sent = 0;
    while (sent < count) {
        const int n = std::min(kBatch, count - sent);
        for (int i = 0; i < n; ++i) {
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to[sent + i]);
            msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            msgs[i].msg_hdr.msg_iov = &iov;
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int done;
        do {
            done = ::sendmmsg(fdOf(s), msgs, static_cast<unsigned>(n), MSG_NOSIGNAL);
        } while (done < 0 && errno == EINTR);
        if (done < 0) {
            if (sent == 0) return failTransfer(fdOf(s));
            (void)failTransfer(fdOf(s));
            return sent;
        }
        sent += done;
        if (done < n) break;
    }
    return sent;
}

int kelRecvFrom(kelSocketHandle s, void* buf, int len, int flags, sockaddr_in* from) noexcept
{
    int native = 0;
    if (!translateMsgFlags(flags, native)) return fail(WSAEOPNOTSUPP);
    if (len < 0 || (buf == nullptr && len > 0)) return fail(WSAEFAULT);
    sockaddr_in peer{};
    iovec iov{buf, static_cast<size_t>(len)};
    msghdr msg{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
        n = ::recvmsg(fdOf(s), &msg, native);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return failTransfer(fdOf(s));
    if (from != nullptr) *from = peer;
    // The datagram did not fit: the buffer holds its start, the rest is gone.
    if (msg.msg_flags & MSG_TRUNC) return fail(WSAEMSGSIZE);
    return static_cast<int>(n);
}

int kelGetSockOpt(kelSocketHandle s, int level, int opt, void* value, int* len) noexcept
{
    const OptMap* m = nullptr;
    if (const int err = findOption(level, opt, m); err != 0) return fail(err);
    if (value == nullptr || len == nullptr) return fail(WSAEFAULT);
    const int fd = fdOf(s);
    if (m->kind == OptKind::Mreq) return fail(WSAENOPROTOOPT); // set-only
    if (*len < 4) return fail(WSAEFAULT);

    int32_t out = 0;
    switch (m->kind) {
    case OptKind::Int:
    case OptKind::Bool:
    case OptKind::Error:
    case OptKind::MaxMsgSize: {
        int v = 0;
        socklen_t l = sizeof v;
        if (::getsockopt(fd, m->nativeLevel, m->nativeOpt, &v, &l) != 0) return failErrno();
        if (m->kind == OptKind::Error) v = kelSockErrorFromErrno(v);
        // Datagrams are bounded by IPv4; a stream has no message limit and
        // reports the read-buffer size the stream readers have always used.
        if (m->kind == OptKind::MaxMsgSize) v = (v == SOCK_DGRAM) ? kelMaxUdpPayload : 65534;
        out = v;
        break;
    }
    case OptKind::Timeout: {
        timeval tv{};
        socklen_t l = sizeof tv;
        if (::getsockopt(fd, m->nativeLevel, m->nativeOpt, &tv, &l) != 0) return failErrno();
        out = static_cast<int32_t>(tv.tv_sec * 1000 + tv.tv_usec / 1000);
        break;
    }
    case OptKind::Linger: {
        linger lg{};
        socklen_t l = sizeof lg;
        if (::getsockopt(fd, m->nativeLevel, m->nativeOpt, &lg, &l) != 0) return failErrno();
        const kelLinger k{static_cast<uint16_t>(lg.l_onoff ? 1 : 0), static_cast<uint16_t>(lg.l_linger)};
        std::memcpy(value, &k, sizeof k);
        *len = sizeof k;
        return 0;
    }
    case OptKind::Addr: {
        in_addr a{};
        socklen_t l = sizeof a;
        if (::getsockopt(fd, m->nativeLevel, m->nativeOpt, &a, &l) != 0) return failErrno();
        std::memcpy(value, &a.s_addr, 4);
        *len = 4;
        return 0;
    }
    case OptKind::DontFragment: {
        int v = 0;
        socklen_t l = sizeof v;
        if (::getsockopt(fd, m->nativeLevel, m->nativeOpt, &v, &l) != 0) return failErrno();
        out = (v == IP_PMTUDISC_DO) ? 1 : 0;
        break;
    }
    case OptKind::Mreq:
        break;
    }
    std::memcpy(value, &out, sizeof out);
    *len = sizeof out;
    return 0;
}

int kelSetSockOpt(kelSocketHandle s, int level, int opt, const void* value, int len) noexcept
{
    const OptMap* m = nullptr;
    if (const int err = findOption(level, opt, m); err != 0) return fail(err);
    if (value == nullptr) return fail(WSAEFAULT);
    const int fd = fdOf(s);
    int rc = 0;
    switch (m->kind) {
    case OptKind::Error:
    case OptKind::MaxMsgSize:
        return fail(WSAENOPROTOOPT); // read-only
    case OptKind::Int:
    case OptKind::Bool: {
        // One-byte values are accepted for the booleans, as that library does.
        int v = 0;
        if (len >= 4) {
            int32_t v32 = 0;
            std::memcpy(&v32, value, 4);
            v = v32;
        } else if (len >= 1) {
            v = *static_cast<const uint8_t*>(value);
        } else {
            return fail(WSAEFAULT);
        }
        if (m->kind == OptKind::Bool) v = v ? 1 : 0;
        if (m->nativeOpt == SO_ACCEPTCONN || m->nativeOpt == SO_TYPE) return fail(WSAENOPROTOOPT);
        // A send buffer of 0 asks for unbuffered sends; Linux would clamp it to
        // a few KB and stall senders, so 0 leaves the default.
        if (m->nativeLevel == SOL_SOCKET && m->nativeOpt == SO_SNDBUF && v == 0) return 0;
        rc = ::setsockopt(fd, m->nativeLevel, m->nativeOpt, &v, sizeof v);
        break;
    }
    case OptKind::Timeout: {
        if (len < 4) return fail(WSAEFAULT);
        uint32_t ms = 0;
        std::memcpy(&ms, value, 4);
        timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
        rc = ::setsockopt(fd, m->nativeLevel, m->nativeOpt, &tv, sizeof tv);
        break;
    }
    case OptKind::Linger: {
        if (len < static_cast<int>(sizeof(kelLinger))) return fail(WSAEFAULT);
        kelLinger k{};
        std::memcpy(&k, value, sizeof k);
        linger lg{k.l_onoff ? 1 : 0, k.l_linger};
        rc = ::setsockopt(fd, m->nativeLevel, m->nativeOpt, &lg, sizeof lg);
        break;
    }
    case OptKind::Addr: {
        if (len < 4) return fail(WSAEFAULT);
        in_addr a{};
        std::memcpy(&a.s_addr, value, 4);
        rc = ::setsockopt(fd, m->nativeLevel, m->nativeOpt, &a, sizeof a);
        break;
    }
    case OptKind::Mreq: {
        if (len < static_cast<int>(sizeof(ip_mreq))) return fail(WSAEFAULT);
        ip_mreq req{};
        std::memcpy(&req, value, sizeof req); // same layout: group, interface
        rc = ::setsockopt(fd, m->nativeLevel, m->nativeOpt, &req, sizeof req);
        break;
    }
    case OptKind::DontFragment: {
        if (len < 1) return fail(WSAEFAULT);
        int32_t on = 0;
        std::memcpy(&on, value, std::min(len, 4));
        const int v = on ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
        rc = ::setsockopt(fd, m->nativeLevel, m->nativeOpt, &v, sizeof v);
        break;
    }
    }
    if (rc != 0) return failErrno();
    return 0;
}

int kelIoctlSocket(kelSocketHandle s, uint32_t cmd, uint32_t* argp) noexcept
{
    if (argp == nullptr) return fail(WSAEFAULT);
    const int fd = fdOf(s);
    switch (cmd) {
    case kelFIONREAD: {
        int n = 0;
        if (::ioctl(fd, FIONREAD, &n) != 0) return failErrno();
        *argp = static_cast<uint32_t>(n < 0 ? 0 : n);
        return 0;
    }
    case kelFIONBIO: {
        const int fl = ::fcntl(fd, F_GETFL);
        if (fl < 0) return failErrno();
        const int want = *argp ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
        if (want != fl && ::fcntl(fd, F_SETFL, want) != 0) return failErrno();
        return 0;
    }
    default:
        return fail(WSAEINVAL);
    }
}

int kelGetSockName(kelSocketHandle s, sockaddr_in* addr) noexcept
{
    if (addr == nullptr) return fail(WSAEFAULT);
    socklen_t len = sizeof *addr;
    if (::getsockname(fdOf(s), reinterpret_cast<sockaddr*>(addr), &len) != 0) return failErrno();
    return 0;
}

int kelGetPeerName(kelSocketHandle s, sockaddr_in* addr) noexcept
{
    if (addr == nullptr) return fail(WSAEFAULT);
    socklen_t len = sizeof *addr;
    if (::getpeername(fdOf(s), reinterpret_cast<sockaddr*>(addr), &len) != 0) return failErrno();
    return 0;
}

int kelPollTimeout(int64_t timeoutMs) noexcept
{
    if (timeoutMs == 4294967295LL) return -1;
    if (timeoutMs < 1) return 0;
    return timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
}

namespace {

// The conditions that poll()'s answer shows. A pending error makes the
// socket readable (the receive reports it); a hang-up alone does not make it
// writable (never connected, or closed both ways).
int conditionsOf(short revents) noexcept
{
    int held = 0;
    if (revents & (POLLIN | POLLERR)) held |= kelSelRead;
    if ((revents & POLLOUT) && !(revents & POLLHUP)) held |= kelSelWrite;
    if (revents & POLLPRI) held |= kelSelExcept;
    return held;
}

} // namespace

int kelSocketConditions(kelSocketHandle s) noexcept
{
    const int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    for (;;) {
        pollfd p{fd, POLLIN | POLLOUT | POLLPRI, 0};
        const int n = ::poll(&p, 1, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failErrno();
        }
        if (n == 0) return 0;
        if (p.revents & POLLNVAL) return fail(WSAENOTSOCK);
        return conditionsOf(p.revents);
    }
}

int kelSelectOne(kelSocketHandle s, int conditions, int64_t timeoutMs) noexcept
{
    const int fd = fdOf(s);
    if (fd < 0) return fail(WSAENOTSOCK);
    short events = 0;
    if (conditions & kelSelRead) events |= POLLIN;
    if (conditions & kelSelWrite) events |= POLLOUT;
    if (conditions & kelSelExcept) events |= POLLPRI;
    const int wait = kelPollTimeout(timeoutMs);
    const uint64_t start = kelMonotonicMs();
    for (;;) {
        pollfd p{fd, events, 0};
        int remaining = wait;
        if (wait > 0) {
            const uint64_t spent = kelMonotonicMs() - start;
            remaining = spent >= static_cast<uint64_t>(wait) ? 0 : wait - static_cast<int>(spent);
        }
        const int n = ::poll(&p, 1, remaining);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failErrno();
        }
        if (n == 0) return 0;
        if (p.revents & POLLNVAL) return fail(WSAENOTSOCK);
        if (conditionsOf(p.revents) & conditions) return 1;
        // Woken for a condition nobody asked about (a hang-up while waiting
        // to write): that is the answer until the state changes.
        if (p.revents & (POLLHUP | POLLERR)) return 0;
    }
}

uint32_t kelInetAddr(const char* text) noexcept
{
    if (text == nullptr) return INADDR_NONE;
    in_addr a{};
    if (::inet_aton(text, &a) == 0) return INADDR_NONE;
    return a.s_addr;
}

std::string kelInetNtoa(uint32_t addrN)
{
    char buf[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addrN;
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

int kelResolveHostIPv4(const std::string& host, std::vector<uint32_t>& addrsN)
{
    addrsN.clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not per socket kind
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        switch (rc) {
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
#endif
        case EAI_MEMORY:
            return WSAENOBUFS;
        case EAI_SYSTEM:
            return kelSockErrorFromErrno(errno);
        default:
            return WSANO_RECOVERY;
        }
    }
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
        sockaddr_in sin{};
        std::memcpy(&sin, ai->ai_addr, sizeof sin);
        if (std::find(addrsN.begin(), addrsN.end(), sin.sin_addr.s_addr) == addrsN.end())
            addrsN.push_back(sin.sin_addr.s_addr);
    }
    ::freeaddrinfo(list);
    return addrsN.empty() ? WSANO_DATA : 0;
}

int kelLocalIPv4Addresses(std::vector<uint32_t>& addrsN)
{
    addrsN.clear();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return kelSockErrorFromErrno(errno);
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if (!(it->ifa_flags & IFF_UP) || (it->ifa_flags & IFF_LOOPBACK)) continue;
        sockaddr_in sin{};
        std::memcpy(&sin, it->ifa_addr, sizeof sin);
        if ((ntohl(sin.sin_addr.s_addr) >> 24) == 127) continue;
        if (std::find(addrsN.begin(), addrsN.end(), sin.sin_addr.s_addr) == addrsN.end())
            addrsN.push_back(sin.sin_addr.s_addr);
    }
    ::freeifaddrs(list);
    return 0;
}

int kelGetProtoByName(const std::string& name, kelProtoEnt& entry)
{
    for (const ProtoRow& row : kProtocols) {
        if (::strcasecmp(row.name, name.c_str()) == 0) {
            entry.p_name = row.name;
            entry.p_proto = row.number;
            return 0;
        }
    }
    return WSANO_DATA;
}

int kelGetProtoByNumber(int number, kelProtoEnt& entry)
{
    for (const ProtoRow& row : kProtocols) {
        if (row.number == number) {
            entry.p_name = row.name;
            entry.p_proto = row.number;
            return 0;
        }
    }
    return WSANO_DATA;
}
