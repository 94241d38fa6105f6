#pragma once
// kelDNSQuery: one DNS request and its answer. It keeps the request message,
// the servers still to try, the socket of the current attempt and the
// parsed sections of the answer.
//
// Judging and parsing an answer (takeMessage) needs no socket, so tests and
// fuzzers feed it bytes directly. The socket work (issue, receive) runs on
// the owning kelDNSClient's thread; the object is used by one thread at a
// time.
//
// An answer is taken only when it comes from the server asked (UDP sender
// address and port; TCP: the connection made to it), has QR set, the
// request's id and opcode and repeats its question. Anything else is
// dropped and the wait goes on. Malformed answers are dropped the same way.

#include "net/protocols/kelDNSRR.h"

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class kelUdpSocket;
class kelTcpSocket;

enum kelDNS_transport : int {
    kelDnsTR_UDP = 0,
    kelDnsTR_TCP = 1,
    kelDnsTR_UDP_then_TCP = 2,
    kelDnsTR_TCP_then_UDP = 3,
};

// How long one attempt waits for its answer, and how many attempts a query
// makes at most.
inline constexpr uint64_t kelDNSAttemptTimeoutMs = 12000;
inline constexpr intptr_t kelDNSMaxAttempts = 16;

enum kelDNSVerdict : int {
    kelDNSNoAnswer = 0,  // nothing usable yet: dropped, or a TCP message not yet whole
    kelDNSAnswered = 1,  // the answer is parsed: the query succeeded
    kelDNSStartOver = 2, // truncated or refused: the next attempt uses the other transport
    kelDNSClosed = 3,    // the TCP server closed the connection without an answer
};

class kelDNSQuery : public kelObject
{
public:
    kelDNSQuery(uint16_t id, std::vector<std::string> dnsServers, const std::vector<std::string>& resources,
                int qtype, int opCode, int qClass, bool recurse, kelDNS_transport transport);
    ~kelDNSQuery() override;

    uint16_t id() const noexcept { return f_id; }
    // Servers still to try, first first ("address" or "address:port").
    const std::vector<std::string>& dnsServers() const noexcept { return f_dnsServers; }
    // The names that went into the request, one question each.
    const std::vector<std::string>& resources() const noexcept { return f_resources; }
    int qtype() const noexcept { return f_qtype; }
    int opCode() const noexcept { return f_opCode; }
    int qClass() const noexcept { return f_qClass; }
    // The request message (without the TCP length prefix).
    const uint8_t* req() const noexcept { return f_req.data() + 2; }
    size_t reqSize() const noexcept { return f_reqSize; }
    // The accepted answer; null before.
    const uint8_t* resp() const noexcept { return f_resp; }
    size_t respSize() const noexcept { return f_respSize; }
    int respCode() const noexcept { return f_respCode; }
    // 0 while fine or after success; -1 no answer; -3 attempt limit or bad
    // transport; else the socket code of resolving, connecting or sending.
    intptr_t status() const noexcept { return f_status; }
    kelDNS_transport transport() const noexcept { return f_transport; }
    bool queryWasTCP() const noexcept { return f_queryWasTCP; }
    intptr_t issuedCount() const noexcept { return f_issuedCount; }

    // Record `rindex` of section `index` (0 questions, 1 answers, 2
    // authority, 3 additional); null when there is none.
    kelDNSRR* getRR(intptr_t rindex, intptr_t index) const noexcept;
    intptr_t count(intptr_t index) const noexcept;

    // Judges one whole message that arrived over TCP (`viaTcp`) or UDP from
    // the server asked. Never throws.
    kelDNSVerdict takeMessage(const uint8_t* msg, size_t len, bool viaTcp) noexcept;

    // Socket work (the client thread). issue(): the next attempt to the
    // first server; false when nothing could be sent (status says why).
    bool issue(uint64_t nowMs) noexcept;
    // Reads what has arrived and judges it. `scratch` is the caller's buffer.
    kelDNSVerdict receive(std::vector<uint8_t>& scratch) noexcept;
    // The current attempt's socket, for poll(); -1 when none.
    int pollFd() const noexcept;
    // Time mark of the last send, 0 while not sent.
    uint64_t sentAt() const noexcept { return f_timeout; }
    // The attempt is over without an answer: true when the query starts over
    // (the other transport, or the next server), false when it has failed.
    bool failOver() noexcept;
    // Clears the send time so the next pass issues again.
    void startOver() noexcept { f_timeout = 0; }
    void setStatus(intptr_t status) noexcept { f_status = status; }

    kelString _classID() const override { return u"kelDNSQuery"; }

private:
    bool issueUdp(uint64_t nowMs) noexcept;
    bool issueTcp(uint64_t nowMs) noexcept;
    // The first server's address; false with the status set when it has none.
    bool serverAddr(sockaddr_in& addr) noexcept;
    bool canSwitch(bool viaTcp) const noexcept;
    kelDNSVerdict receiveUdp(std::vector<uint8_t>& scratch) noexcept;
    kelDNSVerdict receiveTcp() noexcept;

    uint16_t f_id;
    std::vector<std::string> f_dnsServers;
    std::vector<std::string> f_resources;
    int f_qtype;
    int f_opCode;
    int f_qClass;
    bool f_recurse;
    kelDNSSections f_sections;
    // Two bytes of TCP length, then the message.
    std::vector<uint8_t> f_req;
    const uint8_t* f_resp = nullptr;
    size_t f_reqSize = 0;
    size_t f_respSize = 0;
    uint64_t f_timeout = 0;
    kelDNS_transport f_transport;
    bool f_queryWasTCP = false;
    intptr_t f_issuedCount = 0;
    intptr_t f_status = 0;
    // The accepted answer, or the TCP bytes received so far (at most a
    // length prefix and the largest message).
    std::vector<uint8_t> f_buf;
    std::unique_ptr<kelUdpSocket> f_sockU;
    std::unique_ptr<kelTcpSocket> f_sockT;
    sockaddr_in f_serverAddr{};
    int f_respCode = 0;
};
