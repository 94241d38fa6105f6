#pragma once
// The RTSP side of the transmitter in tests: a transmitter serving an rtsp
// (or rtspu) URI on a free port of 127.0.0.1, and a plain TCP connection to
// it that sends a request and reads its whole answer as bytes. The answer's
// Date line, the one part a test cannot know, reads "Date: *". Used from
// the test's own thread.

#include "core/kelCreate.h"
#include "core/kelUtf.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestDnsPeers.h"
#include "tests/support/kelTestWait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

// A transmitter open on `scheme`://127.0.0.1:<free port>/s, its server
// listening; null when any step failed. `clock`, when given, is the
// component's clock (set before the open).
inline kelOwned<TkelIPTransmitter> kelTestRTSPTransmitter(uint16_t& port, const kelClock* clock = nullptr,
                                                          const std::string& scheme = "rtsp")
{
    port = kelTestFreePortOn("127.0.0.1");
    kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
    if (port == 0 || !tx) return {};
    if (clock != nullptr) tx->setClock(*clock);
    tx->setURI(utf8ToUtf16(scheme + "://127.0.0.1:" + std::to_string(port) + "/s"));
    if (!tx->open()) return {};
    if (!kelTestWaitUntil([&] { return tx->srvRTSP() && tx->srvRTSP()->active(); })) return {};
    return tx;
}

class kelTestRTSPConnection
{
public:
    explicit kelTestRTSPConnection(uint16_t port)
    {
        f_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (f_fd >= 0 && ::connect(f_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(f_fd);
            f_fd = -1;
        }
    }
    ~kelTestRTSPConnection()
    {
        if (f_fd >= 0) ::close(f_fd);
    }
    kelTestRTSPConnection(const kelTestRTSPConnection&) = delete;
    kelTestRTSPConnection& operator=(const kelTestRTSPConnection&) = delete;

    bool ok() const { return f_fd >= 0; }

    // Sends `request` and returns its answer (header and the body its
    // Content-Length announces) with the Date value replaced by "*"; empty
    // when nothing whole came within `timeoutMs`.
    std::string ask(const std::string& request, int timeoutMs = 10000)
    {
        if (f_fd < 0 || ::send(f_fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
            return {};
        for (int waited = 0; waited < timeoutMs;) {
            if (std::string answer; takeAnswer(answer)) return maskDate(answer);
            pollfd p{f_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                waited += 50;
                continue;
            }
            char buf[4096];
            const ssize_t n = ::recv(f_fd, buf, sizeof buf, 0);
            if (n <= 0) return {};
            f_pending.append(buf, size_t(n));
        }
        return {};
    }

    // "<method> rtsp://127.0.0.1:<port>/s RTSP/1.0", CSeq `cseq`, the
    // `headers` lines (each ended by CR LF), the empty line.
    static std::string request(const std::string& method, uint16_t port, int cseq,
                               const std::string& headers = {})
    {
        return method + " rtsp://127.0.0.1:" + std::to_string(port) +
               "/s RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + headers + "\r\n";
    }

    // The value of header `name` in `answer` (up to its CR LF); empty when
    // it has none.
    static std::string header(const std::string& answer, const std::string& name)
    {
        const size_t at = answer.find("\r\n" + name + ": ");
        if (at == std::string::npos) return {};
        const size_t begin = at + name.size() + 4;
        return answer.substr(begin, answer.find("\r\n", begin) - begin);
    }

private:
    bool takeAnswer(std::string& answer)
    {
        const size_t end = f_pending.find("\r\n\r\n");
        if (end == std::string::npos) return false;
        size_t body = 0;
        const size_t cl = f_pending.find("Content-Length: ");
        if (cl != std::string::npos && cl < end)
            body = std::strtoul(f_pending.c_str() + cl + 16, nullptr, 10);
        if (f_pending.size() < end + 4 + body) return false;
        answer = f_pending.substr(0, end + 4 + body);
        f_pending.erase(0, end + 4 + body);
        return true;
    }
    static std::string maskDate(std::string answer)
    {
        const size_t at = answer.find("\r\nDate: ");
        if (at == std::string::npos) return answer;
        const size_t end = answer.find("\r\n", at + 2);
        return answer.replace(at + 8, end - at - 8, "*");
    }

    int f_fd = -1;
    std::string f_pending;
};
