#pragma once
// kelSocket: one IPv4 socket handle with its addressing (remote host and
// port, local bind address and port) and its option operations;
// kelTcpSocket is the stream kind. Datagram kinds are in kelUdpSocket.h.
//
// The handle is made lazily by the first operation that needs it and is
// released by close() or destruction. Results are the socket library's error
// codes (0 = success, 10038 not a socket, 10054 reset, 10060 timed out, ...)
// unless an operation says otherwise; nothing throws. Timeouts are
// milliseconds: 4294967295 waits without limit, below 1 does not wait.
//
// A socket object is used by one thread at a time: the class takes no locks
// of its own (callers that share one lock it through kelObject).

#include "core/kelObject.h"
#include "core/kelTypes.h"
#include "platform/kelSocketApi.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class kelSocket : public kelObject
{
public:
    kelSocket(int addressFamily, int socketProtocol, int socketType, bool overlapped = false) noexcept;
    // Closes gracefully.
    ~kelSocket() override;

    // The handle; with `forceCreate` made first when there is none. -1 when
    // there is none (the creation error is the thread's last socket error).
    kelSocketHandle getSocket(bool forceCreate = true) noexcept;
    kelSocketHandle handle() const noexcept { return f_socket; }

    // Releases the handle: 0 or the error code.
    virtual int closeSocket() noexcept;
    // ioctl with the library's codes (kelFIONREAD, kelFIONBIO).
    virtual int ioctl(uint32_t cmd, uint32_t* argp) noexcept;
    // Binds to `addr`, or when null to bindToIP:bindToPort (an address that
    // does not convert binds to any).
    virtual int bind(const sockaddr_in* addr = nullptr) noexcept;

    // Binds to bindToIP and `port` when `port` >= 0, else to the bindToPort
    // number.
    int bindSocketToPort(int port) noexcept;
    // Binds to bindToIP and the socket's port (unless bound already) and
    // listens; 0 at once when already listening.
    int listen(int backlog) noexcept;
    // Connects to `addr` (which then becomes the socket's host and port), or
    // to the socket's host and port. A datagram socket is bound first. An
    // active TCP socket returns 0 at once. Overlapped sockets count "would
    // block" (10035) as success.
    int connect(const sockaddr_in* addr = nullptr) noexcept;
    // Waits up to `timeout` for a connection. Returns the accepted socket
    // (owned by the caller, host and port of the peer) with `result` = its
    // handle, or null with `result` = the error code (10060 on timeout).
    std::unique_ptr<kelSocket> accept(intptr_t& result, int64_t timeout) noexcept;
    // Releases the handle, after shutting a connected socket down when
    // `graceful`. The handle is released whatever the shutdown reports.
    // Returns the release result.
    int close(bool graceful = true) noexcept;
    // Shuts down direction `how` (kelSD_*) while active; 0 or the error code.
    int shutdown(int how) noexcept;

    // True at once with `noCheckState`, else whether the socket becomes
    // readable (data, end of stream, a pending error, a connection to
    // accept) / writable within `timeout`.
    bool okToRead(int64_t timeout, bool noCheckState = false) noexcept;
    bool okToWrite(int64_t timeout, bool noCheckState = false) noexcept;
    // True without a handle, when the wait fails, or when urgent data is
    // pending within `timeout`.
    bool check_error(int64_t timeout) noexcept;
    bool isConnected(int64_t timeout) noexcept;
    bool isListening() noexcept;
    bool isActive() noexcept { return isConnected(0) || isListening(); }
    bool waitForData(int64_t timeout, bool noCheckState = false) noexcept;
    // Bytes waiting to be read (for a datagram socket: the next datagram's
    // size); 0 on error, or when not `noCheckState` and nothing is readable.
    uint32_t getPendingDataSize(bool noCheckState = false) noexcept;

    // Reads up to `size` bytes; `size` receives the count (0 at end of
    // stream). Unless `noCheck`, the socket must be active and data must
    // arrive within `timeout`, else -1; a connection that is no longer active
    // because the peer reset it reports that error instead (10054). Errors
    // 10050 ... 10061 close the socket.
    int read(void* buf, uint32_t& size, int64_t timeout, bool noCheck = false) noexcept;
    // One send call: 0 when everything went, -2 when only part did, the error
    // code, or -1 when not `noCheck` and the socket is not writable within
    // 1 ms.
    int send(const void* data, uint32_t size, bool noCheck = false) noexcept;
    int send(const std::string& data, bool noCheck = false) noexcept;

    // Socket-level options (kelSO_*) as 4-byte values. getOptBool is false
    // without a handle or on failure; getOptInt is -1 without a handle or on
    // failure; the setters return -1 without a handle, else 0 or the error.
    bool getOptBool(int opt) noexcept;
    int setOptBool(int opt, bool value) noexcept;
    int getOptInt(int opt) noexcept;
    int setOptInt(int opt, int value) noexcept;

    // The largest message the socket takes (datagrams: 65507), cached until
    // close or shutdown; getGeneralMTU() when it cannot be read.
    uint32_t getMTU() noexcept;
    // The datagram size the library start-up reports, 1500 when it reports
    // none, 0 when the library is not started.
    uint32_t getGeneralMTU() const noexcept;

    // Addressing; refused (false) while the socket is active. setPort parses a
    // port string (see resolvePort). `noCheck` skips the activity test.
    bool setHost(const kelString& host) noexcept;
    bool setPort(int port, bool noCheck = false) noexcept;
    bool setPort(const kelString& port, bool noCheck = false) noexcept;
    int getPortInt() const noexcept { return f_port.p_proto; }
    // The remote address (host resolved, or bindToIP without a host) and
    // port: 0 or the lookup error code.
    int getSockAddr(sockaddr_in& addr) noexcept;
    // The local address the handle is bound to: 0 or the error code.
    int getSockAddrBound(sockaddr_in& addr) noexcept;

    const kelString& host() const noexcept { return f_host; }
    int addressFamily() const noexcept { return f_addressFamily; }
    int socketProtocol() const noexcept { return f_socketProtocol; }
    int socketType() const noexcept { return f_socketType; }
    bool overlapped() const noexcept { return f_overlapped; }
    bool bound() const noexcept { return f_bound; }
    const kelString& bindToIP() const noexcept { return f_bindToIP; }
    void setBindToIP(const kelString& ip) { f_bindToIP = ip; }
    // Decimal form of the bind port; the setter parses a port string.
    kelString bindToPort() const;
    bool setBindToPort(const kelString& port) noexcept;
    int sndBufSize() noexcept { return getOptInt(kelSO_SNDBUF); }
    int setSndBufSize(int size) noexcept { return setOptInt(kelSO_SNDBUF, size); }
    int rcvBufSize() noexcept { return getOptInt(kelSO_RCVBUF); }
    int setRcvBufSize(int size) noexcept { return setOptInt(kelSO_RCVBUF, size); }

    kelString _classID() const override { return u"kelSocket"; }

protected:
    // 0, or the creation error code.
    int ensureSocket() noexcept;
    void clearState() noexcept;
    bool isStream() const noexcept { return f_socketType == kelSOCK_STREAM; }
    // The error a connected stream socket has pending (a reset, say), taken
    // from it; 0 when none or for any other socket.
    int takePendingStreamError() noexcept;
    // Forgets the last checked read's answer: a call that may have changed
    // whether the connection is writable.
    void forgetSoundRead() noexcept { f_soundReadAt.store(kNoSoundRead, std::memory_order_relaxed); }

    kelSocketHandle f_socket = kelInvalidSocket;
    int f_addressFamily;
    int f_socketProtocol;
    int f_socketType;
    kelString f_host;
    bool f_overlapped;
    kelString f_bindToIP;
    kelProtoEnt f_bindToPort;
    bool f_bound = false;
    bool f_MTUValid = false;
    uint32_t f_MTU = 0;
    kelProtoEnt f_port;
    // The tick of the last checked read that found a stream connected,
    // writable and free of urgent data and then filled the caller's buffer.
    // A checked read in the same tick, with no call of ours in between that
    // could change the answer, reads at once and checks only when nothing is
    // there: one system call per read instead of two.
    static constexpr uint64_t kNoSoundRead = ~uint64_t{0};
    std::atomic<uint64_t> f_soundReadAt{kNoSoundRead};
};

class kelTcpSocket : public kelSocket
{
public:
    explicit kelTcpSocket(bool overlapped = false) noexcept
        : kelSocket(kelAF_INET, kelIPPROTO_TCP, kelSOCK_STREAM, overlapped)
    {}
    kelString _classID() const override { return u"kelTcpSocket"; }
};
