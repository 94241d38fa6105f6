#include "core/kelResultText.h"

#include <string>

#include "core/kelFileUtils.h"
#include "platform/kelSocketApi.h"
#include "platform/kelUrlSplit.h"

namespace {

struct kelCodeText
{
    int64_t code;
    const char* text;
};

// The unspecified failure, kept by some callers as a signed 32-bit value and
// by others as its unsigned bit pattern.
constexpr int64_t kUnspecifiedFailure = 0x80004005;
constexpr int64_t kUnspecifiedFailureSigned = static_cast<int32_t>(0x80004005u);

constexpr kelCodeText kTexts[] = {
    {0, "success"},
    // File routines.
    {kelFileNoName, "no file name"},
    {kelFileCannotOpen, "file cannot be opened"},
    {kelFileIoFailed, "file read or write failed"},
    {kelFileShort, "fewer bytes read or written than asked for"},
    // The IP transmitter's command result (kelTransCmdRootFailed, which sits
    // above this folder; its test keeps the two together).
    {-10, "root transmitter could not open"},
    // Multimedia-style results: 12 is also a lock or hand-shake time-out.
    {11, "invalid parameter"},
    {12, "busy or timed out"},
    // Socket codes.
    {WSAEINTR, "interrupted call"},
    {WSAEBADF, "bad file handle"},
    {WSAEACCES, "permission denied"},
    {WSAEFAULT, "bad address"},
    {WSAEINVAL, "invalid argument"},
    {WSAEMFILE, "too many open sockets"},
    {WSAEWOULDBLOCK, "operation would block"},
    {WSAEINPROGRESS, "operation now in progress"},
    {WSAEALREADY, "operation already in progress"},
    {WSAENOTSOCK, "not a socket"},
    {WSAEDESTADDRREQ, "destination address required"},
    {WSAEMSGSIZE, "message too long"},
    {WSAEPROTOTYPE, "wrong protocol type for socket"},
    {WSAENOPROTOOPT, "bad protocol option"},
    {WSAEPROTONOSUPPORT, "protocol not supported"},
    {WSAESOCKTNOSUPPORT, "socket type not supported"},
    {WSAEOPNOTSUPP, "operation not supported"},
    {WSAEPFNOSUPPORT, "protocol family not supported"},
    {WSAEAFNOSUPPORT, "address family not supported"},
    {WSAEADDRINUSE, "address already in use"},
    {WSAEADDRNOTAVAIL, "address not available"},
    {WSAENETDOWN, "network is down"},
    {WSAENETUNREACH, "network is unreachable"},
    {WSAENETRESET, "network dropped connection on reset"},
    {WSAECONNABORTED, "connection aborted"},
    {WSAECONNRESET, "connection reset by peer"},
    {WSAENOBUFS, "no buffer space available"},
    {WSAEISCONN, "socket is already connected"},
    {WSAENOTCONN, "socket is not connected"},
    {WSAESHUTDOWN, "socket has been shut down"},
    {WSAETOOMANYREFS, "too many references"},
    {WSAETIMEDOUT, "connection timed out"},
    {WSAECONNREFUSED, "connection refused"},
    {WSAELOOP, "too many levels of symbolic links"},
    {WSAENAMETOOLONG, "name too long"},
    {WSAEHOSTDOWN, "host is down"},
    {WSAEHOSTUNREACH, "no route to host"},
    {WSAENOTEMPTY, "directory not empty"},
    {WSAEPROCLIM, "too many processes"},
    {WSAEUSERS, "too many users"},
    {WSAEDQUOT, "disk quota exceeded"},
    {WSAESTALE, "stale file handle"},
    {WSAEREMOTE, "object is remote"},
    {WSASYSNOTREADY, "network subsystem unavailable"},
    {WSAVERNOTSUPPORTED, "socket library version not supported"},
    {WSANOTINITIALISED, "socket library not initialised"},
    {WSAHOST_NOT_FOUND, "host not found"},
    {WSATRY_AGAIN, "host not found, try again"},
    {WSANO_RECOVERY, "non-recoverable name server failure"},
    {WSANO_DATA, "no address for this name"},
    // The URL splitter.
    {kelERROR_INTERNET_INVALID_URL, "invalid URL"},
    // Unspecified failure.
    {kUnspecifiedFailure, "unspecified failure"},
    {kUnspecifiedFailureSigned, "unspecified failure"},
};

kelString widen(const std::string& s)
{
    return kelString(s.begin(), s.end());
}

} // namespace

kelString kelResultText(int64_t code)
{
    for (const kelCodeText& entry : kTexts) {
        if (entry.code == code) return widen(entry.text);
    }
    return widen("unknown code " + std::to_string(code));
}

kelString kelResultWithText(int64_t code)
{
    return widen(std::to_string(code)) + u" (" + kelResultText(code) + u")";
}
