#pragma once
// Loopback broadcast for the broadcast pipe tests: every datagram goes to
// 127.255.255.255 (the loopback network's broadcast address), never to
// 255.255.255.255. A listener shares a port with the clients under test, a
// sender plays a foreign server, and a sink records what a client hands on.

#include "pipes/kelMT_pipe.h"
#include "pipes/kelWaveFormat.h"
#include "tests/support/kelTestWait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

inline constexpr uint32_t kelTestBroadcastH = 0x7FFFFFFFu; // 127.255.255.255

inline sockaddr_in kelTestBroadcastAddr(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kelTestBroadcastH);
    a.sin_port = htons(port);
    return a;
}

// A plain socket bound to 127.255.255.255:port beside the clients (the
// address reuse they set too), reading whole datagrams.
class kelTestBroadcastListener
{
public:
    explicit kelTestBroadcastListener(uint16_t port)
    {
        f_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        (void)::setsockopt(f_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in a = kelTestBroadcastAddr(port);
        f_ok = f_fd >= 0 && ::bind(f_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    ~kelTestBroadcastListener()
    {
        if (f_fd >= 0) ::close(f_fd);
    }
    kelTestBroadcastListener(const kelTestBroadcastListener&) = delete;
    kelTestBroadcastListener& operator=(const kelTestBroadcastListener&) = delete;

    bool ok() const { return f_ok; }

    // The next datagram within `timeoutMs`.
    std::optional<std::vector<uint8_t>> next(int timeoutMs = int(kelTestWaitMs))
    {
        pollfd p{f_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        std::vector<uint8_t> buf(65536);
        const ssize_t n = ::recv(f_fd, buf.data(), buf.size(), 0);
        if (n < 0) return std::nullopt;
        buf.resize(size_t(n));
        return buf;
    }

private:
    int f_fd = -1;
    bool f_ok = false;
};

// A foreign server: sends datagrams to 127.255.255.255:port from
// 127.0.0.1, on a port of its own.
class kelTestBroadcastSender
{
public:
    kelTestBroadcastSender()
    {
        f_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        (void)::setsockopt(f_fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        f_ok = f_fd >= 0 && ::bind(f_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    ~kelTestBroadcastSender()
    {
        if (f_fd >= 0) ::close(f_fd);
    }
    kelTestBroadcastSender(const kelTestBroadcastSender&) = delete;
    kelTestBroadcastSender& operator=(const kelTestBroadcastSender&) = delete;

    bool ok() const { return f_ok; }
    bool send(uint16_t port, const std::vector<uint8_t>& datagram)
    {
        const sockaddr_in to = kelTestBroadcastAddr(port);
        return ::sendto(f_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                        sizeof to) == ssize_t(datagram.size());
    }

private:
    int f_fd = -1;
    bool f_ok = false;
};

// Keeps every block it is written (one entry per write) and every format
// block it is offered (the kelWaveFormat at its start).
class kelTestBlockSink final : public kelmtlInOutPipe
{
public:
    std::vector<std::string> blocks() const
    {
        std::lock_guard lock(f_guard);
        return f_blocks;
    }
    size_t blockCount() const
    {
        std::lock_guard lock(f_guard);
        return f_blocks.size();
    }
    std::vector<kelWaveFormat> formats() const
    {
        std::lock_guard lock(f_guard);
        return f_formats;
    }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe*) override
    {
        std::lock_guard lock(f_guard);
        f_blocks.emplace_back(static_cast<const char*>(data), len);
        return len;
    }
    uint32_t doRead(void*, uint32_t) override { return 0; }
    uint32_t getAvailableDataLen(int) override { return 0; }
    bool doOpen() override { return f_active = kelmtlInOutPipe::doOpen(); }
    void doClose() override
    {
        f_active = false;
        kelmtlInOutPipe::doClose();
    }
    bool isActive() override { return f_active.load(); }
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override
    {
        if (data != nullptr && len >= sizeof(kelWaveFormat)) {
            kelWaveFormat f;
            std::memcpy(&f, data, sizeof f);
            std::lock_guard lock(f_guard);
            f_formats.push_back(f);
        }
        return kelmtlInOutPipe::applyFormat(data, len, provider, restoreActiveState);
    }

private:
    mutable std::mutex f_guard;
    std::vector<std::string> f_blocks;
    std::vector<kelWaveFormat> f_formats;
    std::atomic<bool> f_active{false};
};

// A provider whose format block is whatever the test sets; linking a
// consumer offers it.
class kelTestFormatProvider final : public kelmtlInOutPipe
{
public:
    kelTestFormatProvider() { setIsFormatProvider(true); }
    void setBlock(std::vector<uint8_t> block) { f_block = std::move(block); }

protected:
    uint32_t doWrite(const void*, uint32_t, kelmtlInOutPipe*) override { return 0; }
    uint32_t doRead(void*, uint32_t) override { return 0; }
    uint32_t getAvailableDataLen(int) override { return 0; }
    bool isActive() override { return false; }
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override
    {
        data = f_block;
        return uint32_t(data.size());
    }

private:
    std::vector<uint8_t> f_block;
};
