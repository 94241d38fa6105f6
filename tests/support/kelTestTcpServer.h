#pragma once
// A TCP server on 127.0.0.1 that plays the far end of a protocol client in
// tests: it records every byte each connection sent, as it came off the
// wire, and answers each complete request (header up to its empty line plus
// a Content-Length body) with what a script returns. It uses the operating
// system's sockets directly, so it shares no fault with the library's.
// A thread of its own serves the connections; the accessors may be used
// from any thread.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct kelTestTcpReply
{
    std::string bytes;  // sent at once
    bool close = false; // then the connection is closed
};

class kelTestTcpServer
{
public:
    // `request` is one whole request; `conn` counts connections from 0.
    using Script = std::function<kelTestTcpReply(const std::string& request, size_t conn)>;
    explicit kelTestTcpServer(Script script);
    // Raw mode: `script` gets the bytes of each read as they came, not
    // split into requests (for servers under test that do the splitting).
    struct Raw
    {
    };
    kelTestTcpServer(Raw, Script script);
    ~kelTestTcpServer();
    kelTestTcpServer(const kelTestTcpServer&) = delete;
    kelTestTcpServer& operator=(const kelTestTcpServer&) = delete;

    bool ok() const { return f_listen >= 0; }
    uint16_t port() const { return f_port; }
    // Connections accepted so far.
    size_t connections() const;
    // Everything connection `conn` sent.
    std::string received(size_t conn) const;
    size_t receivedSize(size_t conn) const;
    // Every complete request of every connection, in the order they came.
    std::vector<std::string> requests() const;
    // Sends `bytes` on connection `conn` (open); false when it is not.
    bool push(size_t conn, const std::string& bytes);
    // Closes connection `conn` from the server's end.
    void closeConnection(size_t conn);
    // Stops taking bytes from the connections (their buffers fill up), or
    // takes them again.
    void setReading(bool reading);

private:
    struct Conn
    {
        int fd = -1;
        std::string received;
        std::string pending;
    };
    void run();
    void serve(size_t index);

    Script f_script;
    int f_listen = -1;
    int f_wake[2] = {-1, -1};
    uint16_t f_port = 0;
    bool f_reading = true;
    bool f_raw = false;
    bool f_stop = false;
    mutable std::mutex f_mutex;
    std::vector<Conn> f_conns;
    std::vector<std::string> f_requests;
    std::thread f_thread;
};

// A script that answers every request with `status` and a Location of
// `location` (with "%n" replaced by the number of the request, from 1), for
// redirect chains and loops. No body; the connection is closed.
kelTestTcpServer::Script kelTestRedirector(int status, const std::string& location);
// The length of the request at the front of `buffer` (header and body), 0
// while it is incomplete.
size_t kelTestRequestLength(const std::string& buffer);
