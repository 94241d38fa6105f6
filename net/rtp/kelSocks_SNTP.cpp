#include "net/rtp/kelSocks_SNTP.h"

#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "core/kelTick.h"
#include "core/kelUtf.h"
#include "net/rtp/kelSNTPPacket.h"
#include "net/sockets/kelSockets.h"

#include <time.h>

#include <vector>

namespace {

// The shared clock of the RTP unit. It asks the socket unit for a start-up
// of its own, so the sockets outlive it at process exit.
struct SharedClock
{
    kelObject lock;
    kelSNTP* obj = nullptr;
    std::atomic<bool> finishing{false};
    kelString server = u"pool.ntp.org";
    uint16_t port = kelSNTPPort;

    SharedClock() noexcept { socketsStartup(); }

    ~SharedClock()
    {
        finishing = true;
        kelLock guard(&lock, false, 1000);
        kelFree(obj);
        obj = nullptr;
        socketsShutdown();
    }
};

SharedClock& sharedClock() noexcept
{
    static SharedClock clock;
    return clock;
}

} // namespace

uint64_t kelSNTPSystemClock() noexcept
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t kelSNTPSystemClockUs() noexcept
{
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

namespace {

std::function<uint64_t()> microClockFromMs(kelSNTPClock clock)
{
    if (!clock) return kelSNTPSystemClockUs;
    return [c = std::move(clock)] { return c() * 1000u; };
}

// n / 1000 rounded to the nearest, halves away from zero.
int64_t usToMsRounded(int64_t us) noexcept
{
    return us >= 0 ? (us + 500) / 1000 : -((-us + 500) / 1000);
}

} // namespace

kelSNTP::kelSNTP() : kelThread(false), f_clockUs(kelSNTPSystemClockUs) {}

kelSNTP::kelSNTP(kelSNTPClock clock) : kelThread(false), f_clockUs(microClockFromMs(std::move(clock))) {}

kelSNTP::kelSNTP(kelSNTPMicroClock clock)
    : kelThread(false), f_clockUs(clock.nowUs ? std::move(clock.nowUs) : kelSNTPSystemClockUs)
{}

kelSNTP::~kelSNTP()
{
    // Normally stopped already by kelFree; the body must not outlive the
    // members it uses.
    stop(1000, true);
}

intptr_t kelSNTP::synch(const kelString& server) noexcept
{
    stop(kelSNTPAnswerTimeoutMs + 1000);
    f_serverList.clear();
    f_pendingName.clear();
    kelString ip;
    std::vector<kelString> addresses;
    if (lookupHost(server, ip, &addresses) != 0) return 0;
    for (const kelString& a : addresses)
        f_serverList.add(a);
    const intptr_t count = f_serverList.count();
    if (count > 0) {
        // A start that fails leaves the clock uncorrected, as a run without
        // answers would.
        [[maybe_unused]] const bool started = start(10000);
    }
    return count;
}

bool kelSNTP::synchInBackground(const kelString& server) noexcept
{
    stop(kelSNTPAnswerTimeoutMs + 1000);
    f_serverList.clear();
    f_pendingName = server;
    if (server.empty()) return false;
    return start(10000);
}

uint64_t kelSNTP::nowUnixUs() const noexcept
{
    try {
        return f_clockUs();
    } catch (...) {
        logCaught("the SNTP clock");
        return kelSNTPSystemClockUs();
    }
}

uint64_t kelSNTP::nowUnixMs(bool adjustOffset) const noexcept
{
    uint64_t now = nowUnixUs() / 1000u;
    const int64_t co = f_co.load();
    if (adjustOffset && co != 0) now = static_cast<uint64_t>(static_cast<int64_t>(now) + co);
    return now;
}

bool kelSNTP::nowNTP(kelNTP_timestamp& ntp, bool adjustOffset) const noexcept
{
    ntp = ntpFromUnixMs(nowUnixMs(adjustOffset));
    return true;
}

intptr_t kelSNTP::execute(uintptr_t /*globalIndex*/)
{
    f_stratum = 255;
    f_refCode = 0;
    if (!f_pendingName.empty()) {
        kelString ip;
        std::vector<kelString> addresses;
        if (lookupHost(f_pendingName, ip, &addresses) == 0) {
            for (const kelString& a : addresses)
                f_serverList.add(a);
        }
        f_pendingName.clear();
    }
    Averages avg;
    const intptr_t count = f_serverList.count();
    for (intptr_t i = 0; i < count && !shouldStop(); ++i)
        queryAddress(f_serverList.get(i), i == count - 1, avg);
    // Every usable measurement counts, 0 included: a clock once found off
    // and since put right must drop its old correction.
    if (avg.have) {
        f_rtd = usToMsRounded(avg.delayUs);
        f_co = usToMsRounded(avg.offsetUs);
    }
    f_serverList.clear();
    ++f_runsDone;
    return 0;
}

// One request to `address` and the wait for its answer. The socket is
// connected to the server, so the kernel drops datagrams of anyone else;
// what arrives must still be a server answer echoing our stamp.
void kelSNTP::queryAddress(const kelString& address, bool last, Averages& avg)
{
    kelUdpSocket sock;
    sock.setHost(address);
    sock.setPort(static_cast<int>(serverPort()));
    if (sock.bindSocketToPort(0) != 0 || sock.connect() != 0) return;

    // T1 at full resolution; the server echoes it, so it is T1 of the
    // arithmetic as well as the stamp that matches the answer.
    const kelNTP_timestamp t1 = sntpStampFromUnixUs(nowUnixUs());
    uint8_t request[kelSNTPPacketSize];
    sntpBuildRequest(request, t1);
    if (!sock.okToWrite(1000) || sock.send(request, sizeof request, true) != 0) return;
    const uint64_t sentMark = tickNow();

    uint8_t buf[512];
    while (!shouldStop() && ticksSince(sentMark) < kelSNTPAnswerTimeoutMs) {
        if (!waitReadable(static_cast<int>(sock.handle()), 100)) continue;
        const int got = sock.recvfrom(nullptr, buf, sizeof buf, true);
        const kelNTP_timestamp t4 = sntpStampFromUnixUs(nowUnixUs());
        kelSNTPAnswer answer;
        if (got < 0 || !sntpParseAnswer(buf, static_cast<size_t>(got), answer)) {
            // A short datagram or a failed receive: try again shortly.
            sleepThread(10);
            continue;
        }
        if (!sntpAnswersRequest(answer, t1)) continue;
        // The server has answered; whatever it said, it will say no more to
        // this request.
        switch (sntpJudgeAnswer(answer)) {
        case kelsv_usable: {
            int64_t delayUs = 0;
            int64_t offsetUs = 0;
            sntpDelayOffsetUs(answer.originate, answer.receive, answer.transmit, t4, delayUs, offsetUs);
            avg.delayUs = avg.have ? (avg.delayUs + delayUs) / 2 : delayUs;
            avg.offsetUs = avg.have ? (avg.offsetUs + offsetUs) / 2 : offsetUs;
            avg.have = true;
            f_stratum = answer.stratum;
            f_refCode = answer.refId;
            break;
        }
        case kelsv_kissOfDeath:
            // Its code says why there is no time.
            if (last && f_stratum == 255) {
                f_stratum = 0;
                f_refCode = answer.refId;
            }
            break;
        case kelsv_unusable:
            logFailuref("SNTP: discarded an answer from %s (leap %u, stratum %u%s)",
                        utf16ToUtf8(address).c_str(), unsigned(answer.leap), unsigned(answer.stratum),
                        answer.transmit == kelNTP_timestamp{} ? ", no transmit time" : "");
            break;
        }
        break;
    }
    sock.close(false);
}

bool getNTPTime(kelNTP_timestamp* ntp) noexcept
{
    SharedClock& s = sharedClock();
    if (s.finishing) return false;
    kelLock guard(&s.lock, false, 300);
    if (!guard || s.finishing) return false;
    bool ok = true;
    if (s.obj == nullptr) {
        s.obj = kelCreate<kelSNTP>();
        if (s.obj == nullptr) return false;
        s.obj->setServerPort(s.port);
        ok = s.obj->synchInBackground(s.server);
    }
    if (ok && ntp != nullptr) s.obj->nowNTP(*ntp, true);
    return ok;
}

void setNTPDefaultServer(const kelString& server, uint16_t port) noexcept
{
    SharedClock& s = sharedClock();
    kelLock guard(&s.lock, false, 1000);
    if (!guard) return;
    s.server = server;
    s.port = port;
}

void freeNTPSharedClock() noexcept
{
    SharedClock& s = sharedClock();
    kelSNTP* old = nullptr;
    {
        kelLock guard(&s.lock, false, 3000);
        if (!guard) return;
        old = s.obj;
        s.obj = nullptr;
    }
    kelFree(old);
}

kelSNTP* sharedNTPClock() noexcept
{
    SharedClock& s = sharedClock();
    kelLock guard(&s.lock, true, 300);
    return guard ? s.obj : nullptr;
}
