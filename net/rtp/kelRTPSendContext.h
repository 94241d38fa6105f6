#pragma once
// kelRTPSendContext: what a kelRTPDestination may ask of the transmitter it
// belongs to, and nothing more: the time, the local binding its own sockets
// share, and a way to put one datagram on the sockets the transmitter
// shares with its internal receiver (the RTP socket and the RTCP stack's).
//
// The transmitter implements it; tests drive a destination through a fake
// that records what would be sent, with no socket at all.
//
// All calls may come from any thread, concurrently: a destination sends
// from the caller's thread and from the RTCP stack's threads at once.

#include "core/kelClock.h"
#include "core/kelTypes.h"

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

class kelRTPSendContext
{
public:
    virtual ~kelRTPSendContext() = default;

    // The clock of the destination's sign-of-life marks: the same clock
    // that the transmitter's keep-alive compares them with.
    virtual const kelClock& clock() const noexcept = 0;
    // Where the destination's own sockets (broadcast, multicast) bind, so
    // that they leave from the transmitter's port when the system allows.
    // Fixed once the transmitter is made.
    virtual const kelString& bind2ip() const noexcept = 0;
    virtual const kelString& bind2port() const noexcept = 0;

    // One datagram through the shared RTP socket, so that replies come back
    // to the port we listen on: 0, 10038 when that socket is not open, or
    // the send error. Nothing is counted as sent media.
    [[nodiscard]] virtual int sendRTPDatagram(const sockaddr_in& to, const uint8_t* data,
                                              size_t size) noexcept = 0;
    // True when an RTCP stack sends for the transmitter; RTCP then goes
    // through sendRTCPDatagram, whatever the destination's scope.
    virtual bool hasRTCPSocket() const noexcept = 0;
    // One datagram through the RTCP stack's socket (a multicast stack sends
    // to its group): 0, 10038 without a stack or an open socket, or the
    // send error.
    [[nodiscard]] virtual int sendRTCPDatagram(const sockaddr_in& to, const uint8_t* data,
                                               size_t size) noexcept = 0;
};
