#include "net/protocols/kelRTSPClient.h"

#include "core/kelCrc.h"
#include "core/kelCreate.h"
#include "core/kelTextUtils.h"
#include "core/kelUtf.h"
#include "net/protocols/kelRTSPTables.h"
#include "net/protocols/kelRTSPWire.h"
#include "net/protocols/kelSocketSendAll.h"
#include "net/sockets/kelURICrack.h"
#include "net/sockets/kelUdpSocket.h"

#include <string>
#include <vector>

namespace {

constexpr intptr_t kConnLockMs = 1000;
constexpr intptr_t kQueueLockMs = 1000;
constexpr intptr_t kMaxConnFailures = 50;
constexpr uint64_t kSendStallMs = 2000;
constexpr size_t kReadSize = 4096;

} // namespace

// --- kelRTSPClientSocket ------------------------------------------------

kelRTSPClientSocket::kelRTSPClientSocket(std::unique_ptr<kelSocket> socket, const kelString& uri,
                                         const kelString& scheme, const kelString& host, uint16_t port)
    : f_socket(std::move(socket)), f_id(uri2id(scheme, host, utf8ToUtf16(std::to_string(port)))), f_uri(uri),
      f_scheme(scheme), f_host(host), f_port(port), f_response(std::make_unique<kelHTTPparser>())
{
    f_response->setLimits(kelRTSPMaxAnswerHeader, kelRTSPMaxAnswerBody);
}

int64_t kelRTSPClientSocket::uri2id(const kelString& scheme, const kelString& host, const kelString& port)
{
    const uint32_t s = libCrc32(utf16ToUtf8(lowerAscii(scheme)));
    const uint32_t h = libCrc32(utf16ToUtf8(lowerAscii(host)));
    const uint32_t p = libCrc32(utf16ToUtf8(port));
    const uint32_t mixed = s ^ ((p << 16) | (p >> 16));
    return static_cast<int64_t>((uint64_t(mixed) << 32 | h) & 0x7FFFFFFFFFFFFFFFull);
}

bool kelRTSPClientSocket::matches(const kelString& scheme, const kelString& host, uint16_t port) const
{
    return f_port == port && compareText(f_scheme, scheme, true) == 0 && compareText(f_host, host, true) == 0;
}

uint64_t kelRTSPClientSocket::getIdleTime(const kelClock& clock)
{
    if (f_lastActivityTM == 0) f_lastActivityTM = clock.nowMs();
    return clock.msSince(f_lastActivityTM);
}

bool kelRTSPClientSocket::okSendReq()
{
    if (!f_socket->isConnected(10)) {
        if (f_connFailures >= kMaxConnFailures) return false;
        if (f_socket->connect() != 0) {
            ++f_connFailures;
            return false;
        }
    }
    return f_socket->okToWrite(0);
}

bool kelRTSPClientSocket::reconnect(const kelClock& clock, const std::function<bool()>& stop)
{
    f_socket->close(false);
    f_socket->setHost(f_host);
    f_socket->setPort(f_port);
    if (f_socket->connect() == 0) {
        const uint64_t since = clock.nowMs();
        while (!(stop && stop()) && clock.msSince(since) < kelRTSPConnectWaitMs) {
            if (f_socket->okToWrite(10)) return true;
        }
    }
    ++f_connFailures;
    return false;
}

// --- kelRTSPClientSocketList ------------------------------------------

kelRTSPClientSocketList::kelRTSPClientSocketList() : kelIdList(uldt_obj, false)
{
    setAllowDuplicateId(true);
}

kelRTSPClientSocketList::~kelRTSPClientSocketList()
{
    clear(2, true);
}

int64_t kelRTSPClientSocketList::getId(void* item) noexcept
{
    return static_cast<kelRTSPClientSocket*>(item)->id();
}

intptr_t kelRTSPClientSocketList::find(const kelString& scheme, const kelString& host, uint16_t port) noexcept
{
    const int64_t id = kelRTSPClientSocket::uri2id(scheme, host, utf8ToUtf16(std::to_string(port)));
    for (intptr_t i = indexOfId(id); i >= 0; i = indexOfId(id, i + 1)) {
        if (at(i) && at(i)->matches(scheme, host, port)) return i;
    }
    return -1;
}

// --- kelRTSPClient --------------------------------------------------------

kelRTSPClient::kelRTSPClient(const kelString& userAgent) : f_userAgent(userAgent) {}

kelRTSPClient::~kelRTSPClient() = default;

void kelRTSPClient::beforeDestruction()
{
    kelThread::beforeDestruction();
    f_sockets.clear(2, true);
}

intptr_t kelRTSPClient::sendRequest(intptr_t req, const kelString& uri, const kelString& control,
                                    const kelString& params)
{
    {
        kelLock lock(&f_queueLock, false, kQueueLockMs);
        if (!lock) return 0;
        f_requests.push_back(Request{req, uri, control, params});
    }
    const kelThreadStatus st = status();
    if (st != keltsRunning && st != keltsBeforeRunning) start(10000);
    wakeUp();
    return 0;
}

intptr_t kelRTSPClient::queued()
{
    kelLock lock(&f_queueLock, true, kQueueLockMs);
    return lock ? static_cast<intptr_t>(f_requests.size()) : 0;
}

void kelRTSPClient::close(const kelString& uri)
{
    if (trimText(uri).empty()) {
        stop(3000, true);
        {
            kelLock lock(&f_queueLock, false, kQueueLockMs);
            f_requests.clear();
        }
        f_sockets.clear(2);
        return;
    }
    kelURICrack c;
    if (!crackURI(uri, c)) return;
    const uint16_t port = c.r_port != 0 ? c.r_port : kelRTSPDefaultPort;
    if (!f_sockets.lock(false, kConnLockMs)) return;
    const intptr_t index = f_sockets.find(c.r_scheme, c.r_hostName, port);
    if (index >= 0) f_sockets.removeByIndex(index, 2);
    f_sockets.unlockWO();
}

bool kelRTSPClient::takeRequest(Request& r)
{
    kelLock lock(&f_queueLock, false, kQueueLockMs);
    if (!lock || f_requests.empty()) return false;
    r = std::move(f_requests.front());
    f_requests.pop_front();
    return true;
}

intptr_t kelRTSPClient::execute(uintptr_t)
{
    while (!shouldStop()) {
        bool did = false;
        Request r;
        if (takeRequest(r)) {
            process(r);
            did = true;
        }
        if (keepAlive()) did = true;
        if (!did) sleepThread(50);
    }
    return 0;
}

kelRTSPClientSocket* kelRTSPClient::connectionFor(const kelString& requestURI)
{
    kelURICrack c;
    if (!crackURI(requestURI, c)) return nullptr;
    const uint16_t port = c.r_port != 0 ? c.r_port : kelRTSPDefaultPort;
    if (!f_sockets.lock(false, kConnLockMs)) return nullptr;
    intptr_t index = f_sockets.find(c.r_scheme, c.r_hostName, port);
    if (index < 0) {
        std::unique_ptr<kelSocket> socket;
        if (c.r_scheme == u"rtspu")
            socket = std::make_unique<kelUdpSocket>();
        else
            socket = std::make_unique<kelTcpSocket>();
        auto* conn = new kelRTSPClientSocket(std::move(socket), requestURI, c.r_scheme, c.r_hostName, port);
        index = f_sockets.add(static_cast<kelObject*>(conn));
        if (index < 0) delete conn;
    }
    kelObject* obj = index >= 0 ? f_sockets.lockObject(index, false, kConnLockMs) : nullptr;
    f_sockets.unlockWO();
    auto* conn = static_cast<kelRTSPClientSocket*>(obj);
    if (conn && !conn->socket().okToWrite(10))
        conn->reconnect(f_clock.get(), [this] { return shouldStop(); });
    return conn;
}

intptr_t kelRTSPClient::exchange(kelRTSPClientSocket& conn, const Request& r, const kelString& requestURI)
{
    const kelClock& clock = f_clock.get();
    const std::string text = kelRTSPBuildRequest(r.req, requestURI, conn.nextSeq(), r.params, f_userAgent);
    if (text.empty()) return kelRTSPErrNoConnection;
    kelHTTPparser& answer = conn.response();
    answer.cleanup();
    if (!conn.socket().okToWrite(0)) return kelRTSPErrNotWritable;
    if (kelSendAll(conn.socket(), text.data(), text.size(), clock, kSendStallMs,
                   [this] { return shouldStop(); }) != 0)
        return kelRTSPErrNotWritable;
    if (requestURI != u"*") f_lastURI2 = requestURI;
    conn.markActive(clock);
    const intptr_t cseq = conn.cseq();
    const uint64_t since = clock.nowMs();
    std::vector<uint8_t> buf(kReadSize);
    while (!shouldStop() && clock.msSince(since) < kelRTSPAnswerTimeoutMs) {
        if (!waitReadable(static_cast<int>(conn.socket().handle()), 20)) continue;
        uint32_t size = static_cast<uint32_t>(buf.size());
        if (conn.socket().read(buf.data(), size, 0, true) != 0 || size == 0) return kelRTSPErrNoAnswer;
        answer.feed(buf.data(), size);
        for (;;) {
            const kelRTSPAnswerState state = kelRTSPCheckAnswer(answer, cseq);
            if (state == kelRTSPAnswerState::Complete) {
                conn.markActive(clock);
                return 0;
            }
            if (state == kelRTSPAnswerState::Overflow) return kelRTSPErrNoAnswer;
            if (state != kelRTSPAnswerState::OtherCSeq || !answer.dropIfComplete(0)) break;
        }
    }
    return kelRTSPErrNoAnswer;
}

void kelRTSPClient::process(const Request& r)
{
    const kelString requestURI = kelRTSPRequestURI(r.uri, f_lastURI2, r.control);
    // "*" names no server: the connection is the one of the base URI.
    const kelString server = requestURI.find(u"://") != kelString::npos
                                 ? requestURI
                                 : (trimText(r.uri).empty() ? f_lastURI2 : r.uri);
    kelRTSPClientSocket* conn = connectionFor(server);
    intptr_t result = kelRTSPErrNoConnection;
    // The hooks get their own copy of the answer, so they run with no lock
    // held and may close the very connection.
    kelHTTPparser answer;
    if (conn) {
        result = exchange(*conn, r, requestURI);
        if (result == 0) {
            kelHTTPparser& got = conn->response();
            const uintptr_t size = got.headerSize() + static_cast<uintptr_t>(got.getPayloadSize());
            answer.setLimits(got.maxHeaderSize(), got.maxBodySize());
            answer.feed(got.dataP(), static_cast<intptr_t>(size));
            got.cleanup();
        }
        kelObject::releaseOf(conn);
        // A connection that broke or kept silent may still deliver the late
        // answer; it must not pass for the answer to the next request.
        if (result == kelRTSPErrNoAnswer) dropConnection(conn);
    }
    try {
        if (result == 0)
            onResponse(r.uri, r.control, r.req, answer);
        else
            onRequestError(r.uri, r.control, r.req, result);
    } catch (...) {
        kelReportHookFailure("kelRTSPClient hook");
    }
}

void kelRTSPClient::dropConnection(kelRTSPClientSocket* conn)
{
    if (!f_sockets.lock(false, kConnLockMs)) return;
    const intptr_t index = f_sockets.indexOf(static_cast<void*>(conn));
    if (index >= 0) f_sockets.removeByIndex(index, 2);
    f_sockets.unlockWO();
}

void kelRTSPClient::setKeepAlive(uint64_t intervalMs, const kelString& uri, const kelString& params)
{
    kelLock lock(&f_queueLock, false, kQueueLockMs);
    if (!lock) return;
    f_keepAliveMs = intervalMs > 0 ? intervalMs : kelRTSPKeepAliveMs;
    f_keepAliveURI = uri;
    f_keepAliveParams = params;
}

bool kelRTSPClient::keepAlive()
{
    uint64_t interval = kelRTSPKeepAliveMs;
    kelString uri, params;
    {
        kelLock lock(&f_queueLock, true, kQueueLockMs);
        if (!lock) return false;
        interval = f_keepAliveMs;
        uri = f_keepAliveURI;
        params = f_keepAliveParams;
    }
    std::vector<kelString> due;
    if (!f_sockets.lock(true, kConnLockMs)) return false;
    for (intptr_t i = 0; i < f_sockets.count(); ++i) {
        auto* conn = static_cast<kelRTSPClientSocket*>(f_sockets.lockObject(i, false, kConnLockMs));
        if (!conn) continue;
        if (conn->getIdleTime(f_clock.get()) >= interval && conn->okSendReq()) {
            due.push_back(trimText(uri).empty() ? conn->uri() : uri);
            conn->markActive(f_clock.get());
        }
        kelObject::releaseOf(conn);
    }
    f_sockets.unlockRO();
    if (due.empty()) return false;
    kelLock lock(&f_queueLock, false, kQueueLockMs);
    if (!lock) return false;
    for (const kelString& u : due)
        f_requests.push_back(Request{kelRTSP_GET_PARAMETER, u, {}, params});
    return true;
}

void kelRTSPClient::onResponse(const kelString&, const kelString&, intptr_t, const kelHTTPparser&) {}

void kelRTSPClient::onRequestError(const kelString&, const kelString&, intptr_t, intptr_t) {}
