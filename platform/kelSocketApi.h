#pragma once
// The socket library the network code is written against, over POSIX
// sockets: IPv4 handles, the library's option, ioctl and flag numbers, and
// its numeric error codes as the only codes callers ever see.
//
// Conventions of every call below, kept from that library:
//  - calls return -1 (kelSocketError) on failure, or kelInvalidSocket for the
//    calls that make handles, and leave the error code in the calling
//    thread's last error (kelWSAGetLastError); success is 0 or a count;
//  - error codes are 10000 plus the BSD errno of the condition (10035 would
//    block, 10054 connection reset, 10060 timed out, ...), 11001-11004 for
//    name resolution; a Linux errno value never escapes;
//  - a refused connect reports 10061, but a receive on a datagram socket after
//    an ICMP port-unreachable reports 10054, as that library does;
//  - sends never raise SIGPIPE; a datagram larger than the receive buffer
//    fails with 10040 after filling the buffer;
//  - option levels and names (kelSOL_SOCKET, kelSO_*, kelIP_*), ioctl codes
//    (kelFIONREAD, kelFIONBIO) and message flags use the library's numbers
//    and are translated here;
//  - waits take milliseconds: 4294967295 waits without limit, below 1 does
//    not wait.
// All calls are safe from any thread; a handle is used by one thread at a
// time.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

using kelSocketHandle = intptr_t;
inline constexpr kelSocketHandle kelInvalidSocket = -1;
inline constexpr int kelSocketError = -1;

// Error codes.
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// Socket kinds (the same numbers as the POSIX ones, named for clarity).
inline constexpr int kelAF_INET = 2;
inline constexpr int kelSOCK_STREAM = 1;
inline constexpr int kelSOCK_DGRAM = 2;
inline constexpr int kelIPPROTO_TCP = 6;
inline constexpr int kelIPPROTO_UDP = 17;

// Option levels and names.
inline constexpr int kelSOL_SOCKET = 0xFFFF;
inline constexpr int kelSO_DEBUG = 0x0001;
inline constexpr int kelSO_ACCEPTCONN = 0x0002;
inline constexpr int kelSO_REUSEADDR = 0x0004;
inline constexpr int kelSO_KEEPALIVE = 0x0008;
inline constexpr int kelSO_DONTROUTE = 0x0010;
inline constexpr int kelSO_BROADCAST = 0x0020;
inline constexpr int kelSO_LINGER = 0x0080;
inline constexpr int kelSO_OOBINLINE = 0x0100;
inline constexpr int kelSO_SNDBUF = 0x1001;
inline constexpr int kelSO_RCVBUF = 0x1002;
inline constexpr int kelSO_SNDLOWAT = 0x1003;
inline constexpr int kelSO_RCVLOWAT = 0x1004;
inline constexpr int kelSO_SNDTIMEO = 0x1005;
inline constexpr int kelSO_RCVTIMEO = 0x1006;
inline constexpr int kelSO_ERROR = 0x1007;
inline constexpr int kelSO_TYPE = 0x1008;
inline constexpr int kelSO_MAX_MSG_SIZE = 0x2003;

inline constexpr int kelIPPROTO_IP = 0;
inline constexpr int kelIP_TOS = 3;
inline constexpr int kelIP_TTL = 4;
inline constexpr int kelIP_MULTICAST_IF = 9;
inline constexpr int kelIP_MULTICAST_TTL = 10;
inline constexpr int kelIP_MULTICAST_LOOP = 11;
inline constexpr int kelIP_ADD_MEMBERSHIP = 12;
inline constexpr int kelIP_DROP_MEMBERSHIP = 13;
inline constexpr int kelIP_DONTFRAGMENT = 14;
inline constexpr int kelTCP_NODELAY = 0x0001;

// The largest payload of one IPv4 UDP datagram.
inline constexpr int kelMaxUdpPayload = 65507;

// ioctl codes.
inline constexpr uint32_t kelFIONREAD = 0x4004667F;
inline constexpr uint32_t kelFIONBIO = 0x8004667E;
inline constexpr uint32_t kelSIOCATMARK = 0x40047307;

// Message flags.
inline constexpr int kelMSG_OOB = 0x1;
inline constexpr int kelMSG_PEEK = 0x2;
inline constexpr int kelMSG_DONTROUTE = 0x4;
inline constexpr int kelMSG_WAITALL = 0x8;
// This library's own: do not wait, fail with 10035 when the call would block
// (the wrappers try a transfer before they wait for readiness).
inline constexpr int kelMSG_TRY = 0x10000;

// Shutdown directions.
inline constexpr int kelSD_RECEIVE = 0;
inline constexpr int kelSD_SEND = 1;
inline constexpr int kelSD_BOTH = 2;

// kelSelectOne conditions.
inline constexpr int kelSelRead = 1;
inline constexpr int kelSelWrite = 2;
inline constexpr int kelSelExcept = 4;

// The record start-up fills. iMaxUdpDg is 0: version 2 of the library no
// longer states a datagram limit, callers fall back to their own.
struct kelWSAData
{
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
};

// An entry of the protocol database: the protocol number read as a 16-bit
// unsigned value (callers keep port numbers in it).
struct kelProtoEnt
{
    std::string p_name;
    uint16_t p_proto = 0;
};

// Start-up and clean-up. Returns 0 or the error code (versions below 1.1
// give 10092); the library needs no global state on this system.
int kelWSAStartup(uint16_t version, kelWSAData* data) noexcept;
int kelWSACleanup() noexcept;

int kelWSAGetLastError() noexcept;
void kelWSASetLastError(int code) noexcept;
// The socket code for an errno value (EAGAIN 10035, ECONNREFUSED 10061, ...).
int kelSockErrorFromErrno(int err) noexcept;

kelSocketHandle kelSocketOpen(int af, int type, int protocol) noexcept;
int kelCloseSocket(kelSocketHandle s) noexcept;
int kelBind(kelSocketHandle s, const sockaddr_in* addr) noexcept;
int kelListen(kelSocketHandle s, int backlog) noexcept;
// Fills `peer` when given.
kelSocketHandle kelAccept(kelSocketHandle s, sockaddr_in* peer) noexcept;
// A connect that cannot finish at once on a non-blocking handle reports
// 10035, not 10036.
int kelConnect(kelSocketHandle s, const sockaddr_in* addr) noexcept;
int kelShutdown(kelSocketHandle s, int how) noexcept;

// Byte counts or -1. Datagram receives report 10040 for a datagram cut short.
int kelSend(kelSocketHandle s, const void* data, int len, int flags) noexcept;
int kelRecv(kelSocketHandle s, void* buf, int len, int flags) noexcept;
int kelSendTo(kelSocketHandle s, const void* data, int len, int flags, const sockaddr_in* to) noexcept;
// One datagram of `len` bytes to each of `count` addresses, as few calls
// into the system as it takes: the number sent from the front of `to`
// (fewer when one would block or failed: that one's code is the last
// error), or -1 when the first could not go.
int kelSendToMany(kelSocketHandle s, const void* data, int len, const sockaddr_in* to, int count) noexcept;
int kelRecvFrom(kelSocketHandle s, void* buf, int len, int flags, sockaddr_in* from) noexcept;
// 10054 when `s` is a stream connection the peer reset (its pending error may
// already have been taken by another call), else 0.
int kelStreamResetCode(kelSocketHandle s) noexcept;

// Options with the library's numbers and value layouts (4-byte integers and
// booleans, millisecond timeouts, a linger record of two 16-bit values).
// `len` is in/out for the get form: a 4-byte option may be read into a longer
// buffer and reports 4.
int kelGetSockOpt(kelSocketHandle s, int level, int opt, void* value, int* len) noexcept;
int kelSetSockOpt(kelSocketHandle s, int level, int opt, const void* value, int len) noexcept;
int kelIoctlSocket(kelSocketHandle s, uint32_t cmd, uint32_t* argp) noexcept;
int kelGetSockName(kelSocketHandle s, sockaddr_in* addr) noexcept;
int kelGetPeerName(kelSocketHandle s, sockaddr_in* addr) noexcept;

// Waits up to `timeoutMs` for any of the kelSel* conditions on one handle:
// 1 when one holds, 0 on timeout, -1 on error. Readable includes a pending
// error or hang-up (the next receive reports it); the exception condition is
// a pending error or urgent data.
int kelSelectOne(kelSocketHandle s, int conditions, int64_t timeoutMs) noexcept;
// The kelSel* conditions that hold on one handle now, as kelSelectOne would
// find each of them without waiting (0 when none), or -1 on error: one call
// for callers that test several.
int kelSocketConditions(kelSocketHandle s) noexcept;
// The poll() timeout for a millisecond wait of the conventions above.
int kelPollTimeout(int64_t timeoutMs) noexcept;

// Dotted-quad conversion. kelInetAddr gives the network-order address, or
// INADDR_NONE (all ones) when `text` does not convert.
uint32_t kelInetAddr(const char* text) noexcept;
std::string kelInetNtoa(uint32_t addrN);

// Every IPv4 address of `host` (network order, resolver order), or the error
// code: 11001 unknown, 11002 try again, 11003 unrecoverable, 11004 no IPv4
// address.
int kelResolveHostIPv4(const std::string& host, std::vector<uint32_t>& addrsN);
// The machine's own IPv4 addresses from its interfaces, loopback excluded.
int kelLocalIPv4Addresses(std::vector<uint32_t>& addrsN);

// The protocol database of the socket library (ip 0, icmp 1, tcp 6, udp 17,
// ...), the same on every machine. 0, or 11004 when there is no such entry.
int kelGetProtoByName(const std::string& name, kelProtoEnt& entry);
int kelGetProtoByNumber(int number, kelProtoEnt& entry);
