#pragma once
// Scaffolding for the IP pipe tests: packets of the pipes' protocol built
// byte by byte from the protocol's table (not with the library's builder),
// a format-providing pump, and a pipe with a pump before and a byte sink
// after it. Header only; used from the test's thread.

#include "components/kelMT_socks.h"
#include "core/kelCrc.h"
#include "net/sockets/kelSockets.h"
#include "tests/support/kelTestPipes.h"
#include "tests/support/kelTestSocks.h"
#include "tests/support/kelTestWait.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The checksum field: the library CRC of the payload, folded to 16 bits.
inline uint16_t kelTestIpChecksum(const std::string& payload)
{
    const uint32_t crc = libCrc32(payload.data(), payload.size(), 0xFFFFFFFFu);
    return static_cast<uint16_t>((crc ^ (crc >> 16)) & 0xFFFF);
}

// One piece: command, checksum (of `whole`, the uncut payload), sequence
// number, index with the last flag, size, then `piece`.
inline std::string kelTestIpPiece(uint8_t cmd, uint16_t seq, uint8_t index, bool last,
                                  const std::string& piece, const std::string& whole)
{
    const uint16_t sum = kelTestIpChecksum(whole);
    std::string out;
    out.push_back(static_cast<char>(cmd));
    out.push_back(static_cast<char>(sum & 0xFF));
    out.push_back(static_cast<char>(sum >> 8));
    out.push_back(static_cast<char>(seq & 0xFF));
    out.push_back(static_cast<char>(seq >> 8));
    out.push_back(static_cast<char>((index & 0x7F) | (last ? 0x80 : 0)));
    out.push_back(static_cast<char>(piece.size() & 0xFF));
    out.push_back(static_cast<char>((piece.size() >> 8) & 0xFF));
    return out + piece;
}

// A packet of one piece.
inline std::string kelTestIpPacket(uint8_t cmd, uint16_t seq, const std::string& payload = {})
{
    return kelTestIpPiece(cmd, seq, 0, true, payload, payload);
}

// A pump that offers a format block of its own.
class kelTestFormatPump final : public kelTestPipeEnd
{
public:
    kelTestFormatPump() { setIsFormatProvider(true); }
    void setFormat(const std::string& block)
    {
        {
            std::lock_guard lock(f_guard);
            f_format = block;
        }
        (void)checkFormatChange(active());
    }
    bool push(void* data, uint32_t len) { return onNewData(data, len, this); }

protected:
    uint32_t doWrite(const void*, uint32_t, kelmtlInOutPipe*) override { return 0; }
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override
    {
        std::lock_guard lock(f_guard);
        data.assign(f_format.begin(), f_format.end());
        return static_cast<uint32_t>(data.size());
    }

private:
    std::mutex f_guard;
    std::string f_format;
};

// pump -> pipe -> sink. Opening the pump opens the pipe and the sink.
template <class Pipe> struct kelTestIpEnd
{
    Pipe* pipe = kelCreate<Pipe>();
    kelTestFormatPump* pump = kelCreate<kelTestFormatPump>();
    kelTestByteSink* sink = kelCreate<kelTestByteSink>();

    explicit kelTestIpEnd(tkelmtlProtoType proto, tkelmtlStreamingMode mode = kelsm_MT)
    {
        pipe->setProto(proto);
        pipe->setStreamingMode(mode);
        pipe->setBindTo(u"127.0.0.1");
        (void)pump->addConsumer(pipe);
        (void)pipe->addConsumer(sink);
        pipe->setOnSocketEvent(
            [this](kelmtlInOutIpPipe*, uint32_t, kelSocketEvent e, const void*, uintptr_t) {
                std::lock_guard lock(f_guard);
                f_listened = f_listened || e == kelseServerListen;
            });
    }
    ~kelTestIpEnd()
    {
        kelFree(pump);
        kelFree(pipe);
        kelFree(sink);
    }
    kelTestIpEnd(const kelTestIpEnd&) = delete;
    kelTestIpEnd& operator=(const kelTestIpEnd&) = delete;

    bool send(const std::string& bytes)
    {
        std::string copy = bytes;
        return pump->push(copy.data(), static_cast<uint32_t>(copy.size()));
    }
    bool waitBytes(size_t n, uint64_t ms = kelTestWaitMs)
    {
        return kelTestWaitUntil([&] { return sink->size() >= n; }, ms);
    }
    // A server's socket thread reported its socket listening or bound.
    bool listened()
    {
        std::lock_guard lock(f_guard);
        return f_listened;
    }

private:
    std::mutex f_guard;
    bool f_listened = false;
};

// The port a server end's socket thread is bound to, once it reported its
// socket listening (TCP) or bound (UDP); 0 when that did not happen within
// the wait.
template <class End> uint16_t kelTestIpServerPort(End& server)
{
    if (!kelTestWaitUntil([&] { return server.listened(); })) return 0;
    kelMtIdeSocks* socks = kelMtIdeSocksShared();
    return socks ? kelTestSocksPort(*socks, server.pipe->socksId()) : 0;
}

inline kelString kelTestPortText(uint16_t port)
{
    const std::string s = std::to_string(port);
    return kelString(s.begin(), s.end());
}
