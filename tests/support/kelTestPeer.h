#pragma once
// A plain UDP socket on 127.0.0.1 that plays the other end of an RTP/RTCP
// object or an IP streaming component in tests: it sends hand-built packets
// and shows the datagrams that reach it as they came off the wire. It uses
// the operating system's sockets directly, so it does not share a fault
// with the library's socket classes. Used from the test's own thread.

#include "core/kelTypes.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class kelTestPeer
{
public:
    // Bound to 127.0.0.1:`port` (0 for any); ok() says whether it worked.
    explicit kelTestPeer(uint16_t port = 0);
    ~kelTestPeer();
    kelTestPeer(const kelTestPeer&) = delete;
    kelTestPeer& operator=(const kelTestPeer&) = delete;

    bool ok() const { return f_fd >= 0; }
    // The bound port; 0 when not bound.
    uint16_t port() const;
    // "rtp://127.0.0.1:<port>" with `suffix` after it.
    kelString uri(const std::string& suffix = {}) const;

    // True when the whole datagram went out.
    bool sendTo(const sockaddr_in& to, const std::vector<uint8_t>& data) const;
    bool sendTo(uint16_t port, const std::vector<uint8_t>& data) const;

    // The next datagram within `timeoutMs`, empty when none came; `from`
    // gets the sender's port.
    std::vector<uint8_t> receive(int timeoutMs, uint16_t* from = nullptr) const;
    // The next datagram whose first byte says RTP and whose payload type is
    // `pt`, within `timeoutMs`; empty when none came. Others are skipped.
    std::vector<uint8_t> receiveRTP(uint8_t pt, int timeoutMs) const;
    // The payload of the next real-time text packet, as text; empty when
    // none came within `timeoutMs`.
    std::string receiveText(int timeoutMs) const;
    // The next datagram that starts with an RTCP packet of `type` (200 SR,
    // 201 RR, 202 SDES, 203 BYE, 204 APP), within `timeoutMs`; empty when
    // none came. Others are skipped.
    std::vector<uint8_t> receiveRTCP(uint8_t type, int timeoutMs, uint16_t* from = nullptr) const;
    // The next well-formed compound that holds an RTCP packet of `type`
    // anywhere in it, whole; empty when none came within `timeoutMs`.
    std::vector<uint8_t> receiveCompoundWith(uint8_t type, int timeoutMs, uint16_t* from = nullptr) const;

private:
    // The next datagram for which `wanted` holds, skipping others.
    std::vector<uint8_t> receiveMatching(const std::function<bool(const std::vector<uint8_t>&)>& wanted,
                                         int timeoutMs, uint16_t* from = nullptr) const;

    int f_fd = -1;
};
