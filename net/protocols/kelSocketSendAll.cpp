#include "net/protocols/kelSocketSendAll.h"

#include "platform/kelSocketApi.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

int kelSendAll(kelSocket& socket, const void* data, size_t len, const kelClock& clock, uint64_t stallMs,
               const std::function<bool()>& abort)
{
    const kelSocketHandle h = socket.handle();
    if (h == kelInvalidSocket) return WSAENOTSOCK;
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t progressAt = clock.nowMs();
    while (len > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(len, 1u << 20));
        // The library's send has no "don't wait" flag; the handle is the
        // descriptor, so the one non-blocking call goes to it directly.
        ssize_t n;
        do {
            n = ::send(static_cast<int>(h), p, static_cast<size_t>(chunk), MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            progressAt = clock.nowMs();
            continue;
        }
        const int err = n < 0 ? kelSockErrorFromErrno(errno) : 0;
        if (n < 0 && err != WSAEWOULDBLOCK) return err;
        if (clock.msSince(progressAt) >= stallMs || (abort && abort())) return WSAETIMEDOUT;
        (void)kelSelectOne(h, kelSelWrite, 10);
    }
    return 0;
}
