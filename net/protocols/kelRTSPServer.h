#pragma once
// kelRTSPServer: an RTSP server on the socket manager. One server thread
// listens (TCP or UDP); each client connection gets a kelRTSPServerParser
// when it connects, which collects its requests and answers every complete
// one in order, on the thread that delivers the connection's data. OPTIONS,
// REDIRECT and unknown methods are answered here; what the other requests
// mean is decided by onRequest, which a derived server overrides.
//
// Make and free it with kelCreate / kelFree (it is a kelSocks).

#include "net/protocols/kelRTSPServerParser.h"
#include "net/sockets/kelSocks.h"

#include <atomic>
#include <cstdint>
#include <string>

class kelRTSPServer : public kelSocks
{
public:
    kelRTSPServer();

    // Listens on `port` (missing or "0": 554) of `bindTo`, `transport` 6
    // (TCP) or 17 (UDP), after closing what an earlier open started.
    // 0 on success, -1 when no server thread could be had.
    int open(int transport, const kelString& port, const kelString& bindTo = u"0.0.0.0") noexcept;
    // Stops the server thread and drops every connection.
    void close() noexcept;
    // Sends an answer to `request` (a parser of this server) outside the
    // usual flow; false when its connection is gone or the send failed.
    bool sendResponse(const kelRTSPServerParser& request, intptr_t responseCode, const kelString& headers,
                      const std::string& body, const kelString& humanMsg) noexcept;

    bool active() const noexcept { return f_active.load(); }
    uint32_t threadID() const noexcept { return f_threadID.load(); }
    // The port the server listens on; 0 when not listening.
    uint16_t boundPort() noexcept;

    void raiseEvent(kelSocketEvent event, uint32_t id, uintptr_t connId, const void* data,
                    uintptr_t size) override;
    kelString _classID() const override { return u"kelRTSPServer"; }

protected:
    // The meaning of DESCRIBE, ANNOUNCE, GET_PARAMETER, SET_PARAMETER,
    // PAUSE, PLAY, RECORD, SETUP and TEARDOWN: `headers`, `body`,
    // `humanMsg` and `responseCode` come in as an empty 200 "OK". Runs on
    // the connection's delivery thread.
    virtual void onRequest(intptr_t method, const kelString& peer, const kelHTTPparser& request,
                           kelString& headers, std::string& body, kelString& humanMsg,
                           intptr_t& responseCode);
    void beforeDestruction() override;

private:
    // The remote IPv4 address of connection `connId` as text; empty when
    // it is gone.
    kelString peerOf(uint32_t id, uint32_t connId) noexcept;
    void serve(uint32_t id, uint32_t connId, const void* data, uintptr_t size) noexcept;

    kelParsersList f_parsers;
    std::atomic<bool> f_active{false};
    std::atomic<uint32_t> f_threadID{0};
};
