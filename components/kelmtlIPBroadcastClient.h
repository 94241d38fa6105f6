#pragma once
// kelmtlIPBroadcastClient: receives a broadcast stream. Its receive thread
// (kelmtlBroadcastClientThread) judges every datagram through a
// kelmtlBroadcastReception, applies a format taken to the pipe and pushes
// it to the consumers, and hands audio payloads to the pipe's new-data path
// (consumers, onDataAvailable) as one block each, on the receive thread.
//
// The socket binds bindTo and port with SO_REUSEADDR, so several clients on
// one machine share the port (each gets every broadcast datagram). A bind
// that fails makes open fail, with the code in lastError().
//
// Writing into a client takes nothing. Changing its port closes it.
// Threads: open, close and the properties on the window thread; data and
// formats come from the receive thread.

#include "components/kelmtlBroadcastReception.h"
#include "components/kelmtlIPBroadcastPipe.h"
#include "core/kelThread.h"

#include <atomic>
#include <cstdint>
#include <vector>

class kelmtlIPBroadcastClient;

// The receive thread of one client: waits in poll() on the socket and its
// wake descriptor, so a stop ends the wait at once.
class kelmtlBroadcastClientThread : public kelThread
{
public:
    explicit kelmtlBroadcastClientThread(kelmtlIPBroadcastClient& owner);
    kelString _classID() const override { return u"kelmtlBroadcastClientThread"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

private:
    kelmtlIPBroadcastClient& f_owner;
};

class kelmtlIPBroadcastClient : public kelmtlIPBroadcastPipe
{
public:
    static constexpr intptr_t kThreadStartTimeout = 10000;
    static constexpr intptr_t kThreadStopTimeout = 3000;
    // Longest wait for a datagram before the loop looks round again; a stop
    // ends it early.
    static constexpr int64_t kIdleWaitMs = 1000;

    explicit kelmtlIPBroadcastClient(kelComponent* owner = nullptr);

    void setPort(const kelString& value) override;

    uint64_t packetsReceived() const noexcept { return f_reception.received(); }
    uint64_t packetsLost() const noexcept { return f_reception.lost(); }
    uint64_t packetsLate() const noexcept { return f_reception.late(); }
    uint64_t packetsDamaged() const noexcept { return f_reception.damaged(); }
    uint64_t packetsForeign() const noexcept { return f_reception.foreign(); }
    // The sender of the last datagram (host order).
    uint32_t remoteHost() const noexcept { return f_remoteHost.load(); }
    uint16_t remotePort() const noexcept { return f_remotePort.load(); }
    int lastError() const noexcept { return f_lastError.load(); }
    // The socket handle while open, -1 when closed (for tests of its
    // options).
    intptr_t socketHandle() const noexcept { return f_handle.load(); }

    // Published, true by default: the received format goes to the consumers.
    using kelmtlInOutPipe::isFormatProvider;
    using kelmtlInOutPipe::setIsFormatProvider;

    kelString _classID() const override { return u"kelmtlIPBroadcastClient"; }

protected:
    bool doOpen() override;
    void doClose() override;
    uint32_t doWrite(const void*, uint32_t, kelmtlInOutPipe*) override { return 0; }

private:
    friend class kelmtlBroadcastClientThread;

    // On the receive thread: reads one datagram; 0 when none was waiting.
    int receiveWaiting();
    void handleDatagram(uint8_t* datagram, size_t len, const sockaddr_in& from);
    void applyReceivedFormat(const kelBroadcastFormat& format);

    kelOwned<kelmtlBroadcastClientThread> f_thread;
    kelmtlBroadcastReception f_reception;
    std::vector<uint8_t> f_buffer;
    std::atomic<uint32_t> f_remoteHost{0};
    std::atomic<uint16_t> f_remotePort{0};
    std::atomic<int> f_lastError{0};
    std::atomic<intptr_t> f_handle{-1};
};
