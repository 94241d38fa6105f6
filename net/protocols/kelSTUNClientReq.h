#pragma once
// kelSTUNClient_server: one STUN server found by a DNS SRV lookup.
// kelSTUNClient_req: one Binding request of a kelSTUNclient, with its
// message, send history, the socket it goes from and the event signalled
// when it completes. Both are used under the client's request lock.

#include "core/kelObject.h"
#include "net/protocols/kelSTUNWire.h"

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

class kelEvent;
class kelSocket;

class kelSTUNClient_server : public kelObject
{
public:
    kelSTUNClient_server(const kelString& shost, const kelString& sport, uintptr_t priority, uintptr_t weight)
        : f_priority(priority), f_weight(weight), f_shost(shost), f_sport(sport)
    {}
    const kelString& shost() const noexcept { return f_shost; }
    const kelString& sport() const noexcept { return f_sport; }
    uintptr_t priority() const noexcept { return f_priority; }
    uintptr_t weight() const noexcept { return f_weight; }
    kelString _classID() const override { return u"kelSTUNClient_server"; }

private:
    uintptr_t f_priority;
    uintptr_t f_weight;
    kelString f_shost;
    kelString f_sport;
};

class kelSTUNClient_req : public kelObject
{
public:
    // A Binding request with a fresh 96-bit random transaction id.
    kelSTUNClient_req(const uint8_t* attrs, size_t attrsLen, kelSocket* socket, kelEvent* event);

    // True when the cookie and transaction id of `hdr` (a message of `len`
    // bytes) are the request's; the response is then remembered.
    bool sameTrans(const uint8_t* hdr, size_t len);

    const std::vector<uint8_t>& request() const noexcept { return f_data; }
    const std::vector<uint8_t>& response() const noexcept { return f_response; }
    bool hasResponse() const noexcept { return f_hasResponse; }
    bool fatalError() const noexcept { return f_fatalError; }
    void setFatalError() noexcept { f_fatalError = true; }
    // Not owned; null: the client's own socket.
    kelSocket* socket() const noexcept { return f_socket; }
    kelEvent* event() const noexcept { return f_event; }

    // Send history, kept by the client thread.
    uint64_t sentTM() const noexcept { return f_sentTM; }
    intptr_t sentCount() const noexcept { return f_sentCount; }
    void noteSent(uint64_t nowMs, const sockaddr_in& to) noexcept;
    void resetSent() noexcept { f_sentCount = 0; }
    // The server the last send went to: only it may answer.
    const sockaddr_in& sentTo() const noexcept { return f_sentTo; }

    kelString _classID() const override { return u"kelSTUNClient_req"; }

private:
    std::vector<uint8_t> f_data;
    size_t f_dataRawLen = 0;
    uint64_t f_sentTM = 0;
    intptr_t f_sentCount = 0;
    kelSocket* f_socket;
    kelEvent* f_event;
    // A copy: the receive buffer is reused for the next read.
    std::vector<uint8_t> f_response;
    bool f_hasResponse = false;
    bool f_fatalError = false;
    sockaddr_in f_sentTo{};
};
