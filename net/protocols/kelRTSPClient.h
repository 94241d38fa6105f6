#pragma once
// The RTSP client: kelRTSPClientSocket is one connection to a server,
// kelRTSPClientSocketList keeps them, and kelRTSPClient is the thread that
// sends queued requests one at a time, in order, waits for each answer and
// hands it to its hooks; it keeps idle connections alive with GET_PARAMETER.
//
// Threads. sendRequest() and close() may be called from any thread; the
// requests go out, and onResponse / onRequestError run, on the client's
// thread. Time (answer time-out, keep-alive) comes from the clock given with
// setClock(), the system clock until then. Make and free the client with
// kelCreate / kelFree.

#include "core/kelClock.h"
#include "core/kelIdList.h"
#include "core/kelThread.h"
#include "core/kelTypes.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/sockets/kelSocket.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

// onRequestError codes.
inline constexpr intptr_t kelRTSPErrNoConnection = -2;
inline constexpr intptr_t kelRTSPErrNotWritable = -3;
inline constexpr intptr_t kelRTSPErrNoAnswer = -4;
inline constexpr uint64_t kelRTSPAnswerTimeoutMs = 14000;
inline constexpr uint64_t kelRTSPKeepAliveMs = 30001;
inline constexpr uint64_t kelRTSPConnectWaitMs = 6000;
inline constexpr uint16_t kelRTSPDefaultPort = 554;
// Bounds of an answer the client takes.
inline constexpr uintptr_t kelRTSPMaxAnswerHeader = 64 * 1024;
inline constexpr uintptr_t kelRTSPMaxAnswerBody = 1024 * 1024;

class kelRTSPClientSocket : public kelObject
{
public:
    // Owns `socket`. `scheme` and `host` lower case.
    kelRTSPClientSocket(std::unique_ptr<kelSocket> socket, const kelString& uri, const kelString& scheme,
                        const kelString& host, uint16_t port);

    // A key of (scheme, host, port): equal for URIs that name the same
    // server (host compared lower-cased). Different servers may share a key,
    // so a found connection is checked with matches().
    static int64_t uri2id(const kelString& scheme, const kelString& host, const kelString& port);
    bool matches(const kelString& scheme, const kelString& host, uint16_t port) const;

    // Milliseconds since the last activity by `clock`; the first call starts
    // the count.
    uint64_t getIdleTime(const kelClock& clock);
    void markActive(const kelClock& clock) { f_lastActivityTM = clock.nowMs(); }
    intptr_t nextSeq() noexcept { return ++f_cseq; }
    intptr_t cseq() const noexcept { return f_cseq.load(); }
    // True when connected and writable; a dropped connection is connected
    // again unless 50 connects have failed.
    bool okSendReq();
    // Closes, addresses and connects the socket, waiting up to
    // kelRTSPConnectWaitMs (by `clock`) for it to become writable; a failure
    // is counted. `stop` ends the wait early.
    bool reconnect(const kelClock& clock, const std::function<bool()>& stop);

    int64_t id() const noexcept { return f_id; }
    const kelString& uri() const noexcept { return f_uri; }
    kelSocket& socket() noexcept { return *f_socket; }
    kelHTTPparser& response() noexcept { return *f_response; }
    intptr_t connFailures() const noexcept { return f_connFailures; }

    kelString _classID() const override { return u"kelRTSPClientSocket"; }

private:
    std::unique_ptr<kelSocket> f_socket;
    const int64_t f_id;
    const kelString f_uri;
    const kelString f_scheme;
    const kelString f_host;
    const uint16_t f_port;
    std::unique_ptr<kelHTTPparser> f_response;
    uint64_t f_lastActivityTM = 0;
    std::atomic<intptr_t> f_cseq{0};
    intptr_t f_connFailures = 0;
};

// Client connections, owned, by uri2id (shared keys allowed).
class kelRTSPClientSocketList : public kelIdList
{
public:
    kelRTSPClientSocketList();
    ~kelRTSPClientSocketList() override;

    // Index of the connection to (scheme, host, port); -1 when none. The
    // caller holds the lock.
    intptr_t find(const kelString& scheme, const kelString& host, uint16_t port) noexcept;
    kelRTSPClientSocket* at(intptr_t index) noexcept
    {
        return index >= 0 && index < count() ? static_cast<kelRTSPClientSocket*>(get(index)) : nullptr;
    }

    kelString _classID() const override { return u"kelRTSPClientSocketList"; }

protected:
    int64_t getId(void* item) noexcept override;
};

class kelRTSPClient : public kelThread
{
public:
    explicit kelRTSPClient(const kelString& userAgent);
    ~kelRTSPClient() override;

    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }

    // Queues request `req` (a method index) for `uri` (blank: the last URI
    // used) with an optional `control` and header lines `params`, and starts
    // the thread when it is not running. 0.
    intptr_t sendRequest(intptr_t req, const kelString& uri, const kelString& control,
                         const kelString& params);
    // Without a URI: stops the thread and drops every connection; with one,
    // drops the connection to its scheme, host and port.
    void close(const kelString& uri = {});

    const kelString& userAgent() const noexcept { return f_userAgent; }
    kelRTSPClientSocketList& sockets() noexcept { return f_sockets; }
    intptr_t queued();
    // Keep-alives: after `intervalMs` of silence on a connection, a
    // GET_PARAMETER to `uri` (blank: the connection's own URI) with the header
    // lines `params` (a session's id, which a server wants to see). Until
    // set: every kelRTSPKeepAliveMs, no params. Any thread.
    void setKeepAlive(uint64_t intervalMs, const kelString& uri, const kelString& params);

    kelString _classID() const override { return u"kelRTSPClient"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void beforeDestruction() override;

    // The answer to `req`, complete; on the client thread, `response` valid
    // during the call.
    virtual void onResponse(const kelString& uri, const kelString& control, intptr_t req,
                            const kelHTTPparser& response);
    // A request that failed with `code` (kelRTSPErr*); on the client thread.
    virtual void onRequestError(const kelString& uri, const kelString& control, intptr_t req, intptr_t code);

private:
    struct Request
    {
        intptr_t req = 0;
        kelString uri;
        kelString control;
        kelString params;
    };
    bool takeRequest(Request& r);
    void process(const Request& r);
    // The listed connection for `requestURI`, locked for writing (release
    // with kelObject::releaseOf); null when none could be had.
    kelRTSPClientSocket* connectionFor(const kelString& requestURI);
    intptr_t exchange(kelRTSPClientSocket& conn, const Request& r, const kelString& requestURI);
    void dropConnection(kelRTSPClientSocket* conn);
    bool keepAlive();

    const kelString f_userAgent;
    kelRTSPClientSocketList f_sockets;
    std::deque<Request> f_requests;
    kelObject f_queueLock;
    kelString f_lastURI2;
    kelClockSlot f_clock;
    // Under f_queueLock.
    uint64_t f_keepAliveMs = kelRTSPKeepAliveMs;
    kelString f_keepAliveURI;
    kelString f_keepAliveParams;
};
