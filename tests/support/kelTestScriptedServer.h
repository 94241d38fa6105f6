#pragma once
// A scripted UDP and TCP server for protocol tests (DNS, STUN): it binds
// one address (127.x, port 0 for an ephemeral one), records every request
// and answers with what the test's script returns. The script may answer
// with nothing (a silent server), with several datagrams, with bytes meant
// to hurt, or from another socket (replyFrom), so hostile servers are one
// lambda each. TCP requests are framed by the test's frame function;
// replies are written raw, so a script can split or lie about lengths.
//
// Plain POSIX sockets on a thread of its own, none of the library's code,
// so it is an independent peer. Start, script and stop it from the test
// thread; the script runs on the server thread.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using kelTestBytes = std::vector<uint8_t>;

class kelTestScriptedServer
{
public:
    struct Request
    {
        kelTestBytes data;
        sockaddr_in from{};
        bool tcp = false;
    };
    struct Reply
    {
        kelTestBytes data;
        // UDP: send from this socket instead of the server's (-1: the
        // server's own), to this address (port 0: back to the sender).
        int fromFd = -1;
        sockaddr_in to{};
    };
    struct Action
    {
        std::vector<Reply> replies;
        // TCP: close the connection after the replies.
        bool close = false;
    };
    using Script = std::function<Action(const Request&)>;
    // The size of the whole message at the start of a TCP stream, 0 while
    // incomplete.
    using Frame = std::function<size_t(const kelTestBytes&)>;

    explicit kelTestScriptedServer(const std::string& address = "127.0.0.1", Frame tcpFrame = {});
    ~kelTestScriptedServer();
    kelTestScriptedServer(const kelTestScriptedServer&) = delete;
    kelTestScriptedServer& operator=(const kelTestScriptedServer&) = delete;

    bool ok() const { return f_udp >= 0; }
    uint16_t port() const { return f_port; }
    const std::string& address() const { return f_address; }
    // "address:port".
    std::string entry() const { return f_address + ":" + std::to_string(f_port); }
    // The server's UDP socket, for a test that sends answers of its own
    // making from the server's address.
    int udpFd() const { return f_udp; }
    void setScript(Script script);
    std::vector<Request> requests();
    size_t count(bool tcp);

private:
    void run();
    void serveTcp(int fd, kelTestBytes& buf);

    std::string f_address;
    Frame f_frame;
    int f_udp = -1;
    int f_tcp = -1;
    int f_stop[2] = {-1, -1};
    uint16_t f_port = 0;
    std::mutex f_lock;
    Script f_script;
    std::vector<Request> f_requests;
    std::thread f_thread;
};

// Frames of the two protocols' TCP streams.
size_t kelTestDnsTcpFrame(const kelTestBytes& b);
size_t kelTestStunTcpFrame(const kelTestBytes& b);

// A DNS answer to `query`: its id and question, QR RD RA set, `rcodeFlags`
// or'ed into bytes 2-3 (TC 0x0200, RCODE), and `records` (whole wire
// records, see kelTestDnsRR) as answers.
kelTestBytes kelTestDnsAnswer(const kelTestBytes& query, const std::vector<kelTestBytes>& records,
                              uint16_t extraFlags = 0);
// One record: `name` (wire form; default a pointer to the question name),
// type, class IN, TTL 60 and `rdata`.
kelTestBytes kelTestDnsRR(uint16_t type, const kelTestBytes& rdata, const kelTestBytes& name = {0xC0, 0x0C});
// A name in wire form ("a.b" -> 01 61 01 62 00).
kelTestBytes kelTestDnsName(const std::string& name);
// SRV record data.
kelTestBytes kelTestSrvData(uint16_t priority, uint16_t weight, uint16_t port, const std::string& target);

// A STUN Binding success answer to `request` with an XOR-MAPPED-ADDRESS of
// `mapped`, or an answer of another type with the attributes given.
kelTestBytes kelTestStunSuccess(const kelTestBytes& request, const sockaddr_in& mapped);
kelTestBytes kelTestStunAnswer(const kelTestBytes& request, uint16_t type, const kelTestBytes& attrs);
