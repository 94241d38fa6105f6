// One end of the IP streaming pair in a process of its own, for tests that
// put the transmitter and the receiver in different processes.
//
//   kelIPStreamPeer tx <uri>
//   kelIPStreamPeer rx <uri> <file>
//
// The component runs on a manual clock that only the "advance" command
// moves, so report times, member time-outs and keep-alives come when the
// test says. Once open it prints "READY <local RTP port>"; when the open
// fails it prints "ERROR <descriptionError>" and exits with 2. Then it
// reads commands from standard input, one a line, and answers each on
// standard output:
//   advance <ms>           (both) moves the clock on: "ADVANCED <ms>"
//   dest <n> <ms>          (tx) waits up to <ms> until the root transmitter
//                          has <n> destinations, hole-punching receivers
//                          included: "DEST <count>"
//   text <hex> ...         (tx) sends one text made of these UTF-16 code
//                          units: "SENT <result, 8 hex digits> <RTP timestamp>"
//   l16 <file> <bytes> <ms> (tx) writes the file's bytes through a pipe into
//                          the transmitter, <bytes> at a time, <ms> apart:
//                          "L16 <bytes written>"
//   holes                  (rx) what the hole plan knows of the transmitter:
//                          "HOLES <heard 0|1> <silent 0|1> <its report
//                          interval, ms> <clock ms>"
// The receiver's "advance" answers once its report timer has ticked at the
// new time (or after 2 s), so what is due then has been done.
// The receiver prints "TEXT <hex> ..." for every text it is given, one
// 4-digit group per UTF-16 code unit, and appends every block its pipe
// hands on to <file>. The end of standard input, SIGTERM or SIGINT close
// the component; the last line is "BYE" and the exit code 0.

#include "core/kelClock.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestPipes.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::mutex g_outGuard;

// One whole line on stdout; the receiver's thread writes too.
void say(const std::string& line)
{
    std::lock_guard lock(g_outGuard);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string narrow(const kelString& s)
{
    std::string out;
    for (char16_t c : s)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::string hexUnits(const char16_t* text)
{
    std::string out;
    char buf[8];
    for (; *text != 0; ++text) {
        std::snprintf(buf, sizeof buf, " %04x", static_cast<unsigned>(*text));
        out += buf;
    }
    return out;
}

// Appends what its provider hands on to a file. The receiver's RTP thread
// writes; the main thread only opens and closes.
class fileSink final : public kelTestPipeEnd
{
public:
    bool setFile(const std::string& path)
    {
        f_file = std::fopen(path.c_str(), "wb");
        return f_file != nullptr;
    }
    ~fileSink() override
    {
        if (f_file != nullptr) std::fclose(f_file);
    }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe*) override
    {
        std::lock_guard lock(f_guard);
        if (f_file == nullptr) return 0;
        const size_t n = std::fwrite(data, 1, len, f_file);
        // The test reads the file while we run: every block is there at once.
        std::fflush(f_file);
        return static_cast<uint32_t>(n);
    }

private:
    std::mutex f_guard;
    std::FILE* f_file = nullptr;
};

// Standard input and the stop signals, watched together.
class commandInput
{
public:
    explicit commandInput(int signals) : f_signals(signals) {}

    // The next line; false at end of input or on a stop signal.
    bool next(std::string& line)
    {
        for (;;) {
            const size_t eol = f_pending.find('\n');
            if (eol != std::string::npos) {
                line = f_pending.substr(0, eol);
                f_pending.erase(0, eol + 1);
                return true;
            }
            if (f_eof) return false;
            pollfd p[2] = {{0, POLLIN, 0}, {f_signals, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) continue;
            if (p[1].revents != 0) return false;
            char buf[4096];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) {
                f_eof = true;
                // A last line without its newline still counts.
                if (!f_pending.empty()) f_pending.push_back('\n');
                continue;
            }
            f_pending.append(buf, static_cast<size_t>(n));
        }
    }

    // Waits up to `ms`; false when a stop signal came meanwhile.
    bool pause(int ms)
    {
        pollfd p{f_signals, POLLIN, 0};
        return ::poll(&p, 1, ms) <= 0;
    }

private:
    int f_signals;
    std::string f_pending;
    bool f_eof = false;
};

// Handles the commands both ends take; false for any other.
bool commonCommand(const std::string& cmd, std::istringstream& in, kelManualClock& clock)
{
    if (cmd != "advance") return false;
    uint64_t ms = 0;
    in >> ms;
    clock.advanceMs(ms);
    say("ADVANCED " + std::to_string(ms));
    return true;
}

void runTransmitter(TkelIPTransmitter* tx, kelTestPump* pump, commandInput& input, kelManualClock& clock)
{
    std::string line;
    while (input.next(line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (commonCommand(cmd, in, clock)) {
        } else if (cmd == "dest") {
            intptr_t want = 1;
            int ms = 0;
            in >> want >> ms;
            for (int waited = 0; tx->rootDestCount() < want && waited < ms; waited += 10)
                if (!input.pause(10)) return;
            say("DEST " + std::to_string(tx->rootDestCount()));
        } else if (cmd == "text") {
            kelString text;
            std::string unit;
            while (in >> unit)
                text.push_back(static_cast<char16_t>(std::strtoul(unit.c_str(), nullptr, 16)));
            const int32_t rc = tx->sendText(text);
            char buf[16];
            std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(rc));
            say(std::string("SENT ") + buf + " " + std::to_string(tx->rootTimestamp()));
        } else if (cmd == "l16") {
            std::string path;
            size_t chunk = 0;
            int ms = 0;
            in >> path >> chunk >> ms;
            std::ifstream file(path, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            size_t done = 0;
            if (chunk == 0) chunk = bytes.size();
            while (done < bytes.size()) {
                const size_t n = std::min(chunk, bytes.size() - done);
                (void)pump->push(bytes.data() + done, static_cast<uint32_t>(n));
                done += n;
                if (done < bytes.size() && ms > 0 && !input.pause(ms)) return;
            }
            say("L16 " + std::to_string(done));
        } else if (!cmd.empty()) {
            say("UNKNOWN " + cmd);
        }
    }
}

int usage()
{
    std::fprintf(stderr, "usage: kelIPStreamPeer tx <uri> | rx <uri> <file>\n");
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return usage();
    const std::string mode = argv[1];
    if ((mode != "tx" && mode != "rx") || (mode == "rx" && argc < 4)) return usage();

    // Blocked before any thread starts, so every thread leaves them to the
    // signal descriptor and the main loop ends cleanly.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int signals = ::signalfd(-1, &stops, SFD_CLOEXEC);
    if (signals < 0) return 1;
    commandInput input(signals);
    const std::string uriText = argv[2];
    const kelString uri(uriText.begin(), uriText.end());
    // Outlives the component, which reads it until closed.
    kelManualClock clock;

    if (mode == "tx") {
        kelOwned<TkelIPTransmitter> tx(kelCreate<TkelIPTransmitter>());
        kelOwned<kelTestPump> pump(kelCreate<kelTestPump>());
        if (!tx || !pump) return 1;
        tx->setClock(clock);
        tx->setURI(uri);
        if (!tx->open()) {
            say("ERROR " + narrow(tx->descriptionError()));
            return 2;
        }
        // The pump is open before it is linked, so the transmitter, already
        // open, stays so.
        (void)pump->open();
        if (!pump->addConsumer(tx.get()) || !tx->active()) {
            say("ERROR the pipe link failed");
            return 2;
        }
        say("READY " + narrow(tx->rootPortLocal()));
        runTransmitter(tx.get(), pump.get(), input, clock);
        pump->removeConsumer(tx.get());
        tx->close();
    } else {
        kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
        kelOwned<fileSink> sink(kelCreate<fileSink>());
        if (!rx || !sink || !sink->setFile(argv[3])) return 1;
        rx->setOnText([](kelmtlInOutPipe*, const char16_t* text) { say("TEXT" + hexUnits(text)); });
        if (!rx->addConsumer(sink.get())) return 1;
        rx->setClock(clock);
        rx->setURI(uri);
        if (!rx->open()) {
            say("ERROR " + narrow(rx->descriptionError()));
            return 2;
        }
        if (!sink->active()) (void)sink->open();
        say("READY " + narrow(rx->portLocal()));
        std::string line;
        while (input.next(line)) {
            std::istringstream in(line);
            std::string cmd;
            in >> cmd;
            if (cmd == "advance") {
                uint64_t ms = 0;
                in >> ms;
                clock.advanceMs(ms);
                const uint64_t t = clock.nowMs();
                for (int waited = 0; rx->holes().lastTick() < t && waited < 2000; waited += 5)
                    if (!input.pause(5)) break;
                say("ADVANCED " + std::to_string(ms));
            } else if (cmd == "holes") {
                const kelIPReceiverHoles& h = rx->holes();
                say("HOLES " + std::to_string(h.heard() ? 1 : 0) + " " + std::to_string(h.silent() ? 1 : 0) +
                    " " + std::to_string(h.reportIntervalMs()) + " " + std::to_string(clock.nowMs()));
            } else if (!cmd.empty()) {
                say("UNKNOWN " + cmd);
            }
        }
        rx->close();
        rx->removeConsumer(sink.get());
    }
    say("BYE");
    ::close(signals);
    return 0;
}
