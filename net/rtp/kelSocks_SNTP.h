#pragma once
// kelSNTP: a one-shot SNTP client thread. synch() names a server; the thread
// queries every address of that name once over UDP, measures round-trip
// delay and clock offset, and from then on nowNTP() gives offset-corrected
// NTP timestamps. getNTPTime() is the process's shared corrected clock, which
// stamps RTCP sender reports.
//
// Threads: synch*() and the setters are for the owning thread; the run
// happens on the kelSNTP thread; nowNTP() and the result properties may be
// read from any thread. Make and free objects through kelCreate / kelFree.

#include "core/kelStringList.h"
#include "core/kelThread.h"
#include "core/kelTypes.h"
#include "net/rtp/kelNTPTimestamp.h"

#include <atomic>
#include <cstdint>
#include <functional>

// The UTC wall clock as milliseconds since 1970.
using kelSNTPClock = std::function<uint64_t()>;
uint64_t kelSNTPSystemClock() noexcept;
// The same clock in microseconds, for the exchange's own stamps: measured in
// whole milliseconds, the request and answer times would be cut short and
// bias the offset by up to a millisecond.
struct kelSNTPMicroClock
{
    std::function<uint64_t()> nowUs;
};
uint64_t kelSNTPSystemClockUs() noexcept;

// NTP servers answer on this port.
inline constexpr uint16_t kelSNTPPort = 123;
// How long one address is given to answer, and the receive wait step.
inline constexpr uint64_t kelSNTPAnswerTimeoutMs = 3000;

class kelSNTP : public kelThread
{
public:
    // The system's wall clock, in microseconds.
    kelSNTP();
    // `clock` stands in for the wall clock (tests drive it by hand).
    explicit kelSNTP(kelSNTPClock clock);
    explicit kelSNTP(kelSNTPMicroClock clock);
    ~kelSNTP() override;

    // Resolves `server` here into all its addresses and, when there is at
    // least one, starts a run over them. Returns the number of addresses.
    // A run still going is stopped first.
    intptr_t synch(const kelString& server) noexcept;
    // The same, but the name is resolved on the thread, so the caller never
    // waits for the resolver. True when the run started.
    bool synchInBackground(const kelString& server) noexcept;

    // The current UTC time; with `adjustOffset`, corrected by clockOffset().
    // Always true.
    bool nowNTP(kelNTP_timestamp& ntp, bool adjustOffset) const noexcept;

    // Round-trip delay and clock offset (to add to the local clock) in ms of
    // the last run that got a usable answer, whatever their value (0 too);
    // 0 before.
    int64_t roundtripDelay() const noexcept { return f_rtd.load(); }
    int64_t clockOffset() const noexcept { return f_co.load(); }
    // 1 after construction, 255 during a run until a usable answer came,
    // then the stratum of the last one; 0 when the only answer was a
    // kiss-of-death. Answers without a transmit time or from an
    // unsynchronised server leave it at 255.
    uintptr_t stratum() const noexcept { return f_stratum.load(); }
    // The answer's reference identifier bytes as a big-endian number;
    // "LOCL" after construction, 0 at the start of a run.
    uintptr_t refCode() const noexcept { return f_refCode.load(); }

    // The server port, 123 unless changed (tests use their own servers).
    uint16_t serverPort() const noexcept { return f_serverPort.load(); }
    void setServerPort(uint16_t port) noexcept { f_serverPort = port; }
    // Runs done, answered or not (for callers that wait for a result).
    uint64_t runsDone() const noexcept { return f_runsDone.load(); }

    kelString _classID() const override { return u"kelSNTP"; }

protected:
    intptr_t execute(uintptr_t globalIndex) override;

private:
    // The run's measurements in us; each new one is averaged with the
    // running value, the first taken as it is.
    struct Averages
    {
        bool have = false;
        int64_t delayUs = 0;
        int64_t offsetUs = 0;
    };
    void queryAddress(const kelString& address, bool last, Averages& avg);
    uint64_t nowUnixUs() const noexcept;
    uint64_t nowUnixMs(bool adjustOffset) const noexcept;

    kelStringList f_serverList;
    std::atomic<int64_t> f_rtd{0};
    std::atomic<int64_t> f_co{0};
    std::atomic<uintptr_t> f_stratum{1};
    std::atomic<uintptr_t> f_refCode{0x4C4F434Cu}; // "LOCL"
    std::atomic<uint16_t> f_serverPort{kelSNTPPort};
    std::atomic<uint64_t> f_runsDone{0};
    // A name the thread resolves before querying (synchInBackground).
    kelString f_pendingName;
    const std::function<uint64_t()> f_clockUs;
};

// The shared clock. Fills `ntp` (when given) with the corrected current time
// and returns true once a shared kelSNTP exists; the first call creates it
// and starts its run against the default server, resolving the name on the
// SNTP thread, and returns true when that run started. False while the unit
// shuts down or when its lock (300 ms) cannot be had. Any thread.
bool getNTPTime(kelNTP_timestamp* ntp) noexcept;
// The server (and port) the shared clock asks on creation; a public NTP pool
// unless changed. Takes effect for the next shared object.
void setNTPDefaultServer(const kelString& server, uint16_t port = kelSNTPPort) noexcept;
// Frees the shared clock; the next getNTPTime() makes a new one. Any thread
// but the SNTP thread.
void freeNTPSharedClock() noexcept;
// The shared object, null when none (it stays owned by the unit).
kelSNTP* sharedNTPClock() noexcept;
