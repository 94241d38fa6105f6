#pragma once
// kelSHOUTtransmitter: a source client thread that logs in to an Icecast
// server (HTTP SOURCE with Basic authorisation) or, when the URI's user name
// is "DNAS", to a SHOUTcast DNAS server (password line on the port above the
// given one), after which send() streams the encoded audio.
//
// Threads. open(), close() and send() are for the owner's threads; the login
// runs on the transmitter's own thread. send() and the end of the stream
// socket are serialised by the object's lock. Time-outs come from the clock
// given with setClock() (the system clock until then).

#include "core/kelClock.h"
#include "core/kelThread.h"
#include "core/kelTypes.h"
#include "net/sockets/kelSocket.h"
#include "net/sockets/kelURICrack.h"

#include <atomic>
#include <cstdint>
#include <memory>

inline constexpr intptr_t kelSHOUTOK = 0;
inline constexpr intptr_t kelSHOUTE_FAIL = static_cast<int32_t>(0x80004005u);
// error(): socket, connect, send or receive failure (an answer that did not
// come within kelSHOUTAnswerTimeoutMs included).
inline constexpr intptr_t kelSHOUTErrSocket = -2;
inline constexpr intptr_t kelSHOUTErrHost = -3;
inline constexpr intptr_t kelSHOUTErrAuth = -4;
inline constexpr intptr_t kelSHOUTErrRefused = -5;
inline constexpr uint64_t kelSHOUTAnswerTimeoutMs = 10000;
// How long send() waits for a peer that takes no byte before it gives up.
inline constexpr uint64_t kelSHOUTSendStallMs = 2000;

class kelSHOUTtransmitter : public kelThread
{
public:
    kelSHOUTtransmitter();
    ~kelSHOUTtransmitter() override;

    // Set before open(); the clock outlives the transmitter.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }

    // Stops a previous run, takes `uri` apart (kelSHOUTE_FAIL when it does
    // not split) and starts the login: kelSHOUTOK.
    intptr_t open(const kelString& uri);
    void close();
    // Sends every byte once the login finished: `len`, or 0 when there is no
    // stream yet, the lock (100 ms) could not be had, or sending failed (then
    // error() is -2 and the run ends).
    intptr_t send(const void* buf, intptr_t len);

    intptr_t error() const noexcept { return f_err.load(); }
    intptr_t iceCode() const noexcept { return f_iceErr.load(); }
    bool streaming() const noexcept { return f_streaming.load(); }
    bool dnasCompatible() const noexcept { return f_dnasCompatible; }

    // Set before open().
    kelString ice_URL, ice_name, ice_genre;
    bool ice_public = false;

    kelString _classID() const override { return u"kelSHOUTtransmitter"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void startOut() override;

private:
    intptr_t connectTo(kelTcpSocket& socket, uint16_t port);
    intptr_t sendText(kelTcpSocket& socket, const std::string& text);
    // Reads the login answer until it is judged: 1 accepted, or the code.
    intptr_t awaitAnswer(kelTcpSocket& socket);
    // The DNAS title update on the server's own port; its connection is
    // closed after the answer (or its time).
    void dnasAdmin();

    kelURICrack f_crack;
    std::atomic<intptr_t> f_err{0};
    std::atomic<intptr_t> f_iceErr{0};
    std::unique_ptr<kelTcpSocket> f_socket;
    std::atomic<bool> f_streaming{false};
    std::atomic<bool> f_ending{false};
    bool f_dnasCompatible = false;
    kelClockSlot f_clock;
    // Serialises send() with the end of the stream socket.
    kelObject f_sendLock;
};
