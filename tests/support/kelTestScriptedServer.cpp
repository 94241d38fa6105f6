#include "tests/support/kelTestScriptedServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>

namespace {

void put16(kelTestBytes& b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put32(kelTestBytes& b, uint32_t v)
{
    put16(b, static_cast<uint16_t>(v >> 16));
    put16(b, static_cast<uint16_t>(v));
}

int boundSocket(int type, const std::string& address, uint16_t port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

kelTestScriptedServer::kelTestScriptedServer(const std::string& address, Frame tcpFrame)
    : f_address(address), f_frame(std::move(tcpFrame))
{
    if (::pipe2(f_stop, O_CLOEXEC) != 0) return;
    // The TCP side takes the UDP side's port number, which a connection of
    // some other test may hold as its local port: draw again then.
    for (int attempt = 0; attempt < 64 && f_udp < 0; ++attempt) {
        f_udp = boundSocket(SOCK_DGRAM, address, 0);
        if (f_udp < 0) return;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(f_udp, reinterpret_cast<sockaddr*>(&a), &len);
        f_port = ntohs(a.sin_port);
        if (!f_frame) break;
        f_tcp = boundSocket(SOCK_STREAM, address, f_port);
        if (f_tcp >= 0 && ::listen(f_tcp, 16) == 0) break;
        if (f_tcp >= 0) ::close(f_tcp);
        f_tcp = -1;
        ::close(f_udp);
        f_udp = -1;
    }
    if (f_udp < 0) return;
    f_thread = std::thread([this] { run(); });
}

kelTestScriptedServer::~kelTestScriptedServer()
{
    if (f_stop[1] >= 0) (void)!::write(f_stop[1], "x", 1);
    if (f_thread.joinable()) f_thread.join();
    for (const int fd : {f_udp, f_tcp, f_stop[0], f_stop[1]})
        if (fd >= 0) ::close(fd);
}

void kelTestScriptedServer::setScript(Script script)
{
    std::lock_guard<std::mutex> g(f_lock);
    f_script = std::move(script);
}

std::vector<kelTestScriptedServer::Request> kelTestScriptedServer::requests()
{
    std::lock_guard<std::mutex> g(f_lock);
    return f_requests;
}

size_t kelTestScriptedServer::count(bool tcp)
{
    std::lock_guard<std::mutex> g(f_lock);
    size_t n = 0;
    for (const Request& r : f_requests)
        n += r.tcp == tcp ? 1 : 0;
    return n;
}

void kelTestScriptedServer::run()
{
    std::map<int, kelTestBytes> conns;
    std::vector<uint8_t> buf(65536);
    for (;;) {
        std::vector<pollfd> fds{{f_stop[0], POLLIN, 0}, {f_udp, POLLIN, 0}};
        if (f_tcp >= 0) fds.push_back({f_tcp, POLLIN, 0});
        for (const auto& c : conns)
            fds.push_back({c.first, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
        if (fds[0].revents != 0) break;
        if (fds[1].revents != 0) {
            Request r;
            socklen_t len = sizeof r.from;
            const ssize_t n =
                ::recvfrom(f_udp, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&r.from), &len);
            if (n >= 0) {
                r.data.assign(buf.begin(), buf.begin() + n);
                Action act;
                {
                    std::lock_guard<std::mutex> g(f_lock);
                    f_requests.push_back(r);
                    if (f_script) act = f_script(r);
                }
                for (const Reply& rep : act.replies) {
                    const sockaddr_in to = rep.to.sin_port != 0 ? rep.to : r.from;
                    ::sendto(rep.fromFd >= 0 ? rep.fromFd : f_udp, rep.data.data(), rep.data.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
                }
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == f_tcp) {
                const int c = ::accept4(f_tcp, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) conns[c];
                continue;
            }
            const int c = fds[i].fd;
            const ssize_t n = ::recv(c, buf.data(), buf.size(), 0);
            if (n <= 0) {
                ::close(c);
                conns.erase(c);
                continue;
            }
            kelTestBytes& stream = conns[c];
            stream.insert(stream.end(), buf.begin(), buf.begin() + n);
            serveTcp(c, stream);
            if (stream.size() == 1 && stream[0] == 0xFF) { // closed by the script
                ::close(c);
                conns.erase(c);
            }
        }
    }
    for (const auto& c : conns)
        ::close(c.first);
}

void kelTestScriptedServer::serveTcp(int fd, kelTestBytes& stream)
{
    for (;;) {
        const size_t size = f_frame(stream);
        if (size == 0 || size > stream.size()) return;
        Request r;
        r.tcp = true;
        r.data.assign(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(size));
        stream.erase(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(size));
        socklen_t len = sizeof r.from;
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&r.from), &len);
        Action act;
        {
            std::lock_guard<std::mutex> g(f_lock);
            f_requests.push_back(r);
            if (f_script) act = f_script(r);
        }
        for (const Reply& rep : act.replies)
            (void)!::send(fd, rep.data.data(), rep.data.size(), MSG_NOSIGNAL);
        if (act.close) {
            stream.assign(1, 0xFF);
            return;
        }
    }
}

size_t kelTestDnsTcpFrame(const kelTestBytes& b)
{
    return b.size() < 2 ? 0 : 2 + ((size_t(b[0]) << 8) | b[1]);
}

size_t kelTestStunTcpFrame(const kelTestBytes& b)
{
    return b.size() < 20 ? 0 : 20 + ((size_t(b[2]) << 8) | b[3]);
}

kelTestBytes kelTestDnsName(const std::string& name)
{
    kelTestBytes out;
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        out.push_back(static_cast<uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + static_cast<ptrdiff_t>(start),
                   name.begin() + static_cast<ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

kelTestBytes kelTestDnsRR(uint16_t type, const kelTestBytes& rdata, const kelTestBytes& name)
{
    kelTestBytes r = name;
    put16(r, type);
    put16(r, 1);
    put32(r, 60);
    put16(r, static_cast<uint16_t>(rdata.size()));
    r.insert(r.end(), rdata.begin(), rdata.end());
    return r;
}

kelTestBytes kelTestSrvData(uint16_t priority, uint16_t weight, uint16_t port, const std::string& target)
{
    kelTestBytes r;
    put16(r, priority);
    put16(r, weight);
    put16(r, port);
    const kelTestBytes n = target == "." ? kelTestBytes{0} : kelTestDnsName(target);
    r.insert(r.end(), n.begin(), n.end());
    return r;
}

kelTestBytes kelTestDnsAnswer(const kelTestBytes& query, const std::vector<kelTestBytes>& records,
                              uint16_t extraFlags)
{
    if (query.size() < 12) return {};
    // The question section of the query: everything after its header.
    kelTestBytes a(query.begin(), query.end());
    const uint16_t flags = static_cast<uint16_t>(((a[2] << 8) | a[3]) | 0x8000 | 0x0080 | extraFlags);
    a[2] = static_cast<uint8_t>(flags >> 8);
    a[3] = static_cast<uint8_t>(flags);
    a[6] = static_cast<uint8_t>(records.size() >> 8);
    a[7] = static_cast<uint8_t>(records.size());
    a[8] = a[9] = a[10] = a[11] = 0;
    for (const kelTestBytes& r : records)
        a.insert(a.end(), r.begin(), r.end());
    return a;
}

kelTestBytes kelTestStunAnswer(const kelTestBytes& request, uint16_t type, const kelTestBytes& attrs)
{
    kelTestBytes a;
    put16(a, type);
    put16(a, static_cast<uint16_t>(attrs.size()));
    a.insert(a.end(), request.begin() + 4, request.begin() + 20);
    a.insert(a.end(), attrs.begin(), attrs.end());
    return a;
}

kelTestBytes kelTestStunSuccess(const kelTestBytes& request, const sockaddr_in& mapped)
{
    kelTestBytes attr;
    put16(attr, 0x0020);
    put16(attr, 8);
    attr.push_back(0);
    attr.push_back(1);
    put16(attr, static_cast<uint16_t>(ntohs(mapped.sin_port) ^ 0x2112));
    put32(attr, ntohl(mapped.sin_addr.s_addr) ^ 0x2112A442u);
    return kelTestStunAnswer(request, 0x0101, attr);
}
