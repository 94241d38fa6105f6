#pragma once
// kelSHOUTreceiver: a thread that pulls an ICY (SHOUTcast/Icecast) stream
// with an HTTP GET, follows redirects, splits the interleaved metadata from
// the audio and hands both to its hooks.
//
// Threads. The owner creates it (kelCreate), starts and stops it, and reads
// its properties from any thread; the hooks and every socket operation run
// on the receiver's own thread. Time-outs come from the clock given with
// setClock() (the system clock until then), so tests drive them by hand.
//
// The run ends with errorCode() non-zero: the table in kelSHOUTCodes below,
// or the negated status of a refused answer (-404, ...).

#include "core/kelClock.h"
#include "core/kelThread.h"
#include "core/kelTypes.h"
#include "net/protocols/kelHTTPparser.h"
#include "net/protocols/kelICYStream.h"
#include "net/sockets/kelSocket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// The receiver's own codes.
inline constexpr intptr_t kelSHOUTErrBadURI = -1;
inline constexpr intptr_t kelSHOUTErrNotHTTP = -2;
// The server ended the connection.
inline constexpr intptr_t kelSHOUTErrEnded = -10058;
// No complete answer header within kelSHOUTHeaderTimeoutMs, or no byte of the
// stream for kelSHOUTStallTimeoutMs.
inline constexpr intptr_t kelSHOUTErrTimeout = -10060;
// An answer header longer than kelSHOUTMaxHeader whose status did not parse
// (with a status, its negation is the code).
inline constexpr intptr_t kelSHOUTErrHeaderTooLong = -10040;
inline constexpr uint64_t kelSHOUTHeaderTimeoutMs = 15000;
inline constexpr uint64_t kelSHOUTStallTimeoutMs = 30000;
inline constexpr uintptr_t kelSHOUTMaxHeader = 16000;

class kelSHOUTreceiver : public kelThread, private kelICYStreamSink
{
public:
    kelSHOUTreceiver(const kelString& uri, const kelString& userAgent, bool allowMetadata);
    ~kelSHOUTreceiver() override;

    // Set before start(); the clock outlives the receiver.
    void setClock(const kelClock& clock) noexcept { f_clock.set(clock); }

    // Answer header `name` of the last answer (untrimmed), empty when none.
    kelString getICYHeaderValue(const kelString& name);

    kelString URI();
    intptr_t errorCode() const noexcept { return f_errorCode.load(); }
    bool libOK() const noexcept { return f_libOK; }
    const kelString& userAgent() const noexcept { return f_agent; }
    // -1 connecting, 0 connected, 1 request sent, 2 receiving the stream.
    intptr_t mode() const noexcept { return f_mode.load(); }
    kelString srv_bitrate();
    kelString srv_genre();
    kelString srv_name();
    kelString srv_url();
    kelString song_title();
    kelString song_url();
    // Redirects followed in this run.
    int redirects() const noexcept { return f_redirects.load(); }

    kelString _classID() const override { return u"kelSHOUTreceiver"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;
    void startIn() override;
    void startOut() override;

    // Audio bytes, on the receiver thread; valid during the call.
    virtual void onData(const uint8_t* data, size_t len);
    // One metadata block, on the receiver thread; valid during the call.
    // The base fills song_title and song_url.
    virtual void onMetadata(const uint8_t* data, size_t len);

private:
    // Takes f_uri apart and makes the socket; false (with the code set) for
    // a URI that cannot be used.
    bool setup();
    // Connects and waits for the socket to become writable; false with the
    // code set when it fails or the thread stops.
    bool connectSocket(uint64_t writableWaitMs);
    void onHeader();
    void handleRedirect(intptr_t status);
    kelString guarded(const kelString& field);
    void icyAudio(const uint8_t* data, size_t len) override { onData(data, len); }
    void icyMetadata(const uint8_t* data, size_t len) override { onMetadata(data, len); }

    std::unique_ptr<kelTcpSocket> f_socket;
    kelString f_uri;
    kelString f_host;
    kelString f_songPath;
    uint16_t f_port = 80;
    std::unique_ptr<kelHTTPparser> f_parser;
    std::atomic<intptr_t> f_mode{-1};
    kelICYStreamSplitter f_splitter;
    std::atomic<intptr_t> f_errorCode{0};
    const kelString f_agent;
    const bool f_metaOK;
    kelString f_srv_bitrate, f_srv_genre, f_srv_name, f_srv_url;
    kelString f_song_title, f_song_url;
    std::string f_answerHeader;
    bool f_libOK = false;
    std::atomic<int> f_redirects{0};
    uint64_t f_headerSince = 0;
    uint64_t f_lastByteAt = 0;
    kelClockSlot f_clock;
    // Guards the texts other threads read (the thread's own lock is held by
    // start() while startIn runs).
    kelObject f_fieldsLock;
};
