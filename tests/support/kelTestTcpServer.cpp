#include "tests/support/kelTestTcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cctype>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kMaxPending = 256 * 1024;

} // namespace

size_t kelTestRequestLength(const std::string& buffer)
{
    size_t end = buffer.find("\r\n\r\n");
    size_t sep = 4;
    const size_t lf = buffer.find("\n\n");
    if (lf != std::string::npos && (end == std::string::npos || lf < end)) {
        end = lf;
        sep = 2;
    }
    if (end == std::string::npos) return 0;
    const size_t header = end + sep;
    size_t body = 0;
    std::string lower = buffer.substr(0, header);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t cl = lower.find("\ncontent-length:");
    if (cl != std::string::npos) body = std::strtoul(lower.c_str() + cl + 16, nullptr, 10);
    return buffer.size() >= header + body ? header + body : 0;
}

kelTestTcpServer::kelTestTcpServer(Script script) : f_script(std::move(script))
{
    f_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (f_listen < 0) return;
    const int one = 1;
    ::setsockopt(f_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(f_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(f_listen, 16) != 0 ||
        ::getsockname(f_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        ::pipe2(f_wake, O_CLOEXEC) != 0) {
        ::close(f_listen);
        f_listen = -1;
        return;
    }
    f_port = ntohs(a.sin_port);
    f_thread = std::thread([this] { run(); });
}

kelTestTcpServer::kelTestTcpServer(Raw, Script script) : kelTestTcpServer(std::move(script))
{
    std::lock_guard<std::mutex> lock(f_mutex);
    f_raw = true;
}

kelTestTcpServer::~kelTestTcpServer()
{
    {
        std::lock_guard<std::mutex> lock(f_mutex);
        f_stop = true;
    }
    if (f_wake[1] >= 0) (void)!::write(f_wake[1], "x", 1);
    if (f_thread.joinable()) f_thread.join();
    for (Conn& c : f_conns)
        if (c.fd >= 0) ::close(c.fd);
    if (f_listen >= 0) ::close(f_listen);
    for (int fd : f_wake)
        if (fd >= 0) ::close(fd);
}

void kelTestTcpServer::run()
{
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<size_t> which;
        {
            std::lock_guard<std::mutex> lock(f_mutex);
            if (f_stop) return;
            fds.push_back({f_wake[0], POLLIN, 0});
            fds.push_back({f_listen, POLLIN, 0});
            if (f_reading) {
                for (size_t i = 0; i < f_conns.size(); ++i) {
                    if (f_conns[i].fd < 0) continue;
                    fds.push_back({f_conns[i].fd, POLLIN, 0});
                    which.push_back(i);
                }
            }
        }
        if (::poll(fds.data(), fds.size(), 50) < 0) continue;
        if (fds[0].revents) {
            char b[16];
            (void)!::read(f_wake[0], b, sizeof b);
        }
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(f_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> lock(f_mutex);
                f_conns.push_back(Conn{fd, {}, {}});
            }
        }
        for (size_t k = 0; k < which.size(); ++k)
            if (fds[k + 2].revents) serve(which[k]);
    }
}

void kelTestTcpServer::serve(size_t index)
{
    int fd;
    {
        std::lock_guard<std::mutex> lock(f_mutex);
        fd = f_conns[index].fd;
    }
    char buf[65536];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    std::lock_guard<std::mutex> lock(f_mutex);
    Conn& c = f_conns[index];
    if (n <= 0) {
        ::close(c.fd);
        c.fd = -1;
        return;
    }
    c.received.append(buf, static_cast<size_t>(n));
    c.pending.append(buf, static_cast<size_t>(n));
    while (c.fd >= 0 && !c.pending.empty()) {
        const size_t len = f_raw ? c.pending.size() : kelTestRequestLength(c.pending);
        if (len == 0) {
            // A stream rather than requests (a source's audio): keep no
            // growing buffer to scan again at every read.
            if (c.pending.size() > kMaxPending) c.pending.clear();
            break;
        }
        const std::string request = c.pending.substr(0, len);
        c.pending.erase(0, len);
        f_requests.push_back(request);
        const kelTestTcpReply reply = f_script ? f_script(request, index) : kelTestTcpReply{};
        size_t sent = 0;
        while (sent < reply.bytes.size()) {
            const ssize_t k =
                ::send(c.fd, reply.bytes.data() + sent, reply.bytes.size() - sent, MSG_NOSIGNAL);
            if (k <= 0) break;
            sent += static_cast<size_t>(k);
        }
        if (reply.close) {
            ::close(c.fd);
            c.fd = -1;
        }
    }
}

size_t kelTestTcpServer::connections() const
{
    std::lock_guard<std::mutex> lock(f_mutex);
    return f_conns.size();
}

std::string kelTestTcpServer::received(size_t conn) const
{
    std::lock_guard<std::mutex> lock(f_mutex);
    return conn < f_conns.size() ? f_conns[conn].received : std::string();
}

size_t kelTestTcpServer::receivedSize(size_t conn) const
{
    std::lock_guard<std::mutex> lock(f_mutex);
    return conn < f_conns.size() ? f_conns[conn].received.size() : 0;
}

std::vector<std::string> kelTestTcpServer::requests() const
{
    std::lock_guard<std::mutex> lock(f_mutex);
    return f_requests;
}

bool kelTestTcpServer::push(size_t conn, const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(f_mutex);
    if (conn >= f_conns.size() || f_conns[conn].fd < 0) return false;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t k = ::send(f_conns[conn].fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (k <= 0) return false;
        sent += static_cast<size_t>(k);
    }
    return true;
}

void kelTestTcpServer::closeConnection(size_t conn)
{
    std::lock_guard<std::mutex> lock(f_mutex);
    if (conn < f_conns.size() && f_conns[conn].fd >= 0) {
        ::close(f_conns[conn].fd);
        f_conns[conn].fd = -1;
    }
}

void kelTestTcpServer::setReading(bool reading)
{
    {
        std::lock_guard<std::mutex> lock(f_mutex);
        f_reading = reading;
    }
    (void)!::write(f_wake[1], "x", 1);
}

kelTestTcpServer::Script kelTestRedirector(int status, const std::string& location)
{
    auto count = std::make_shared<int>(0);
    return [status, location, count](const std::string&, size_t) {
        std::string loc = location;
        const size_t at = loc.find("%n");
        ++*count;
        if (at != std::string::npos) loc.replace(at, 2, std::to_string(*count));
        return kelTestTcpReply{
            "HTTP/1.0 " + std::to_string(status) + " Moved\r\nLocation: " + loc + "\r\n\r\n", true};
    };
}
