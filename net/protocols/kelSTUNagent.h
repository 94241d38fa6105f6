#pragma once
// kelSTUNagent: the thread base of a STUN client, owning one socket (UDP or
// TCP) that is made anew at each start. The body reads what arrived
// (readData) and hands it to processData until it is asked to stop; between
// passes it waits in poll() on its sockets and its wake descriptor, at most
// 50 ms, so a clock moved by hand is seen promptly.
//
// Threads: open() and close() from the owner's thread; the hooks run on the
// agent thread. Make and free agents with kelCreate / kelFree.

#include "core/kelClock.h"
#include "core/kelThread.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class kelSocket;

inline constexpr intptr_t kelSTUNProtoUDP = 1;
inline constexpr intptr_t kelSTUNProtoTCP = 2;

class kelSTUNagent : public kelThread
{
public:
    kelSTUNagent(intptr_t proto, const kelString& port, const kelString& bind2ip);
    ~kelSTUNagent() override;

    // True at once when active; otherwise onOpen(), then the thread starts
    // (10000 ms). False when it does not.
    bool open() noexcept;
    // Stops the thread and closes the socket.
    void close() noexcept;

    bool active() const noexcept { return f_active.load(); }
    const kelString& port() const noexcept { return f_port; }
    intptr_t socketError() const noexcept { return f_socketError.load(); }
    intptr_t proto() const noexcept { return f_proto; }
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }
    const kelClock& clock() const noexcept { return f_clock.get(); }

    kelString _classID() const override { return u"kelSTUNagent"; }

protected:
    // On the owner's thread before the thread starts.
    virtual void onOpen();
    // Reads what has arrived without waiting: the byte count (0 for none),
    // the sender and the socket it came on. TCP: -1 when the connection is
    // closed.
    virtual intptr_t readData(uint8_t* buf, size_t size, sockaddr_in& from, kelSocket*& on) = 0;
    // Handles it (size 0 for nothing); true when there was work.
    virtual bool processData(const sockaddr_in& from, const uint8_t* buf, intptr_t size, kelSocket* on) = 0;
    // Descriptors the body waits on besides its own socket.
    virtual void pollFds(std::vector<int>& fds);

    intptr_t execute(uintptr_t globalIndex) override;

    std::unique_ptr<kelSocket> f_socket;
    std::atomic<bool> f_active{false};
    kelString f_port;
    kelString f_bind2ip;
    intptr_t f_proto;
    std::atomic<intptr_t> f_socketError{0};
    kelClockSlot f_clock;
};
