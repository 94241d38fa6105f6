#include "net/protocols/kelSHOUTtransmitter.h"

#include "core/kelUtf.h"
#include "net/protocols/kelICYWire.h"
#include "net/protocols/kelSocketSendAll.h"
#include "net/sockets/kelSockAddr.h"
#include "platform/kelSocketApi.h"

#include <string>

namespace {

constexpr uint64_t kConnectStallMs = 2000;
constexpr uint64_t kAdminAnswerMs = 2000;
constexpr size_t kAnswerMax = 2048;
constexpr intptr_t kSendLockMs = 100;
constexpr intptr_t kEndLockMs = 400;

} // namespace

kelSHOUTtransmitter::kelSHOUTtransmitter() = default;

kelSHOUTtransmitter::~kelSHOUTtransmitter() = default;

intptr_t kelSHOUTtransmitter::open(const kelString& uri)
{
    close();
    kelURICrack crack;
    if (!crackURI(uri, crack)) return kelSHOUTE_FAIL;
    f_crack = crack;
    f_err = 0;
    f_iceErr = 0;
    f_dnasCompatible = crack.r_userName == u"DNAS";
    start(10000);
    return kelSHOUTOK;
}

void kelSHOUTtransmitter::close()
{
    stop(3000, true);
}

intptr_t kelSHOUTtransmitter::connectTo(kelTcpSocket& socket, uint16_t port)
{
    kelString ip;
    if (lookupHost(f_crack.r_hostName, ip) != 0 || ip.empty()) return kelSHOUTErrHost;
    if (!socket.setHost(ip) || !socket.setPort(port)) return kelSHOUTErrSocket;
    return socket.connect() == 0 ? 0 : kelSHOUTErrSocket;
}

intptr_t kelSHOUTtransmitter::sendText(kelTcpSocket& socket, const std::string& text)
{
    const int rc = kelSendAll(socket, text.data(), text.size(), f_clock.get(), kConnectStallMs,
                              [this] { return shouldStop(); });
    return rc == 0 ? 0 : kelSHOUTErrSocket;
}

intptr_t kelSHOUTtransmitter::awaitAnswer(kelTcpSocket& socket)
{
    const kelClock& clock = f_clock.get();
    const uint64_t since = clock.nowMs();
    std::string answer;
    while (!shouldStop()) {
        bool ended = clock.msSince(since) >= kelSHOUTAnswerTimeoutMs;
        if (!ended && waitReadable(static_cast<int>(socket.handle()), 20)) {
            char buf[kAnswerMax];
            uint32_t size = static_cast<uint32_t>(kAnswerMax - answer.size());
            if (size == 0 || socket.read(buf, size, 0, true) != 0 || size == 0)
                ended = true;
            else
                answer.append(buf, size);
        }
        const kelSHOUTAnswer a = kelSHOUTJudgeAnswer(answer, f_dnasCompatible, ended);
        if (a.state != 0) {
            f_iceErr = a.iceCode;
            // An answer that ended before it could be judged is a receive
            // failure, not a refusal.
            if (ended && answer.size() <= 11 && !f_dnasCompatible) return kelSHOUTErrSocket;
            if (ended && answer.empty()) return kelSHOUTErrSocket;
            return a.state;
        }
    }
    return kelSHOUTErrSocket;
}

void kelSHOUTtransmitter::dnasAdmin()
{
    kelTcpSocket admin;
    if (connectTo(admin, f_crack.r_port) != 0) return;
    if (sendText(admin, kelICYBuildDNASAdmin(utf16ToUtf8(f_crack.r_password))) != 0) return;
    const kelClock& clock = f_clock.get();
    const uint64_t since = clock.nowMs();
    while (!shouldStop() && clock.msSince(since) < kAdminAnswerMs) {
        if (!waitReadable(static_cast<int>(admin.handle()), 20)) continue;
        char buf[kAnswerMax];
        uint32_t size = sizeof buf;
        if (admin.read(buf, size, 0, true) != 0 || size == 0) break;
    }
    admin.close(false);
}

intptr_t kelSHOUTtransmitter::execute(uintptr_t)
{
    auto socket = std::make_unique<kelTcpSocket>();
    const uint16_t port = static_cast<uint16_t>(f_crack.r_port + (f_dnasCompatible ? 1 : 0));
    intptr_t err = connectTo(*socket, port);
    if (err == 0) {
        if (f_dnasCompatible) {
            err = sendText(*socket, kelICYBuildDNASPassword(utf16ToUtf8(f_crack.r_password)));
        } else {
            kelIcecastLogin login;
            login.path = utf16ToUtf8(f_crack.r_path);
            login.user = utf16ToUtf8(f_crack.r_userName);
            login.password = utf16ToUtf8(f_crack.r_password);
            login.extraInfo = utf16ToUtf8(f_crack.r_extraInfo);
            login.name = utf16ToUtf8(ice_name);
            login.url = utf16ToUtf8(ice_URL);
            login.genre = utf16ToUtf8(ice_genre);
            login.isPublic = ice_public;
            err = sendText(*socket, kelICYBuildSourceLogin(login));
        }
    }
    if (err == 0) {
        const intptr_t answer = awaitAnswer(*socket);
        err = answer == 1 ? 0 : answer;
    }
    if (err == 0 && f_dnasCompatible) {
        err = sendText(*socket,
                       kelICYBuildDNASHeaders(utf16ToUtf8(ice_genre), utf16ToUtf8(ice_URL), ice_public));
        if (err == 0) dnasAdmin();
    }
    if (err != 0 || shouldStop()) {
        f_err = err;
        socket->close(false);
        return 0;
    }
    {
        kelLock lock(&f_sendLock, false, kEndLockMs);
        f_socket = std::move(socket);
        f_ending = false;
        f_streaming = true;
    }
    while (f_err == 0 && !shouldStop())
        sleepThread(20);
    return 0;
}

void kelSHOUTtransmitter::startOut()
{
    // A send stalled on the socket gives up at once, so the lock comes free.
    f_ending = true;
    kelLock lock(&f_sendLock, false, kEndLockMs);
    f_streaming = false;
    if (f_socket) f_socket->close(false);
    f_socket.reset();
}

intptr_t kelSHOUTtransmitter::send(const void* buf, intptr_t len)
{
    if (!buf || len <= 0 || !f_streaming || f_err != 0) return 0;
    kelLock lock(&f_sendLock, true, kSendLockMs);
    if (!lock || !f_socket) return 0;
    const int rc = kelSendAll(*f_socket, buf, static_cast<size_t>(len), f_clock.get(), kelSHOUTSendStallMs,
                              [this] { return f_ending.load(); });
    if (rc != 0) {
        f_err = kelSHOUTErrSocket;
        wakeUp();
        return 0;
    }
    return len;
}
