// Decoding received streams: our receiver beside a GStreamer pipeline
// (udpsrc ! depayloader or demultiplexer ! decoder ! fakesink) on the same
// recorded packets, sent over 127.0.0.1 at 20 times real time. Each
// subject's time is processor time per decoded second of audio: ours is
// that of all our threads but the sender's, from the first decoded block
// to the end of the stream; GStreamer's is its process's from the rusage
// of a run of the whole stream less the median of three runs of one packet
// (its start-up).
// A run that loses a packet fails instead of timing: our receiver must take
// every packet (every datagram of a raw transport stream), GStreamer's
// udpsrc stops only after the last one.
// Goals: ours <= 0.5x GStreamer's for PCMU, PCMA and GSM, <= 0.8x for
// Speex WB, MPEG audio at 128 kbit/s and a raw transport stream carrying
// it (the same libraries decode both sides).
#include "kelBenchChild.h"
#include "kelBenchMp3.h"
#include "kelBenchRatios.h"

#include "codecs/kelGSM.h"
#include "codecs/kelG711.h"
#include "codecs/kelSpeexCoder.h"
#include "platform/kelPlatformThread.h"
#include "streaming/kelIPStreaming.h"
#include "tests/support/kelTestNet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Long enough that GStreamer's decoding outweighs the spread of its
// start-up, which is subtracted.
constexpr int kSeconds = 30;
// One packet of 20 ms of audio (one MPEG frame: 26 ms) each millisecond.
constexpr long kPacketIntervalNs = 1000000;

struct Stream
{
    int pt = 0;
    bool raw = false;     // datagrams as they are (a transport stream), no RTP
    std::string caps;     // GStreamer's udpsrc caps
    std::string decoders; // its depayloader or demultiplexer and decoder
    std::vector<std::vector<uint8_t>> payloads;
    double seconds = 0; // of audio
    long intervalNs = kPacketIntervalNs;
};

std::string rtpCaps(const std::string& what)
{
    return "application/x-rtp,media=audio," + what;
}

std::vector<int16_t> signal(int rate, size_t samples)
{
    std::vector<int16_t> out(samples);
    uint32_t seed = 12345;
    for (size_t i = 0; i < samples; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const double t = double(i) / rate;
        out[i] = int16_t(8000 * std::sin(2 * M_PI * 330 * t) + 3000 * std::sin(2 * M_PI * 1700 * t) +
                         double(int32_t(seed >> 24) - 128) * 8);
    }
    return out;
}

Stream g711(bool alaw)
{
    Stream st;
    st.pt = alaw ? 8 : 0;
    st.caps = rtpCaps(alaw ? "clock-rate=8000,encoding-name=PCMA,payload=8"
                           : "clock-rate=8000,encoding-name=PCMU,payload=0");
    st.decoders = alaw ? "rtppcmadepay ! alawdec" : "rtppcmudepay ! mulawdec";
    st.seconds = kSeconds;
    const std::vector<int16_t> pcm = signal(8000, 8000 * kSeconds);
    for (size_t at = 0; at < pcm.size(); at += 160) {
        std::vector<uint8_t> p(160);
        if (alaw)
            alawCompress(160, pcm.data() + at, p.data());
        else
            ulawCompress(160, pcm.data() + at, p.data());
        st.payloads.push_back(std::move(p));
    }
    return st;
}

const Stream& pcmu()
{
    static const Stream s = g711(false);
    return s;
}

const Stream& pcma()
{
    static const Stream s = g711(true);
    return s;
}

const Stream& gsm()
{
    static const Stream s = [] {
        Stream st;
        st.pt = 3;
        st.caps = rtpCaps("clock-rate=8000,encoding-name=GSM,payload=3");
        st.decoders = "rtpgsmdepay ! gsmdec";
        st.seconds = kSeconds;
        struct Enc : kelGSMEncoder
        {
            using kelGSMEncoder::kelGSMEncoder;
            std::vector<std::vector<uint8_t>>* out = nullptr;
            void dataAvailable(kelGSMcoder*, const uint8_t* d, intptr_t n) override
            {
                out->emplace_back(d, d + n);
            }
        } enc(false);
        enc.out = &st.payloads;
        const std::vector<int16_t> pcm = signal(8000, 8000 * kSeconds);
        enc.write(pcm.data(), intptr_t(pcm.size() * 2));
        return st;
    }();
    return s;
}

const Stream& speexWB()
{
    static const Stream s = [] {
        Stream st;
        st.pt = 111;
        st.caps = rtpCaps("clock-rate=16000,encoding-name=SPEEX,payload=111");
        st.decoders = "rtpspeexdepay ! speexdec";
        st.seconds = kSeconds;
        kelSpeexLib lib;
        if (!lib.libOK()) return st;
        kelSpeexEncoder enc(&lib, kelSpeexModeWB);
        enc.setOnDataAvailable(
            [&](intptr_t, const uint8_t* d, size_t n, int) { st.payloads.emplace_back(d, d + n); });
        if (!enc.open()) return st;
        const std::vector<int16_t> pcm = signal(16000, 16000 * kSeconds);
        enc.encode_int(pcm.data(), intptr_t(pcm.size() * 2));
        enc.close();
        return st;
    }();
    return s;
}

const Stream& mpa()
{
    static const Stream s = [] {
        Stream st;
        st.pt = 14;
        st.caps = rtpCaps("clock-rate=90000,encoding-name=MPA,payload=14");
        st.decoders = "rtpmpadepay ! mpegaudioparse ! mpg123audiodec";
        const std::string& file = kelBenchMp3File(kSeconds);
        if (file.empty()) return st;
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        kelIPMpegFrames frames;
        (void)frames.write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), false,
                           [&](const uint8_t* f, size_t n, intptr_t spf, intptr_t rate) {
                               std::vector<uint8_t> p(4, 0);
                               p.insert(p.end(), f, f + n);
                               st.payloads.push_back(std::move(p));
                               st.seconds += double(spf) / double(rate);
                           });
        return st;
    }();
    return s;
}

// The same MP3 in an MPEG transport stream (the audio on PID 256), as
// 1316-byte datagrams of seven packets sent at 20 times real time.
const Stream& rawTS()
{
    static const Stream s = [] {
        Stream st;
        st.raw = true;
        st.caps = "video/mpegts,systemstream=true,packetsize=188";
        st.decoders = "tsdemux ! mpegaudioparse ! mpg123audiodec";
        const Stream& audio = mpa();
        const std::string& mp3 = kelBenchMp3File(kSeconds);
        if (audio.payloads.empty() || mp3.empty()) return st;
        const std::string ts = mp3 + ".ts";
        const std::string cmd = "ffmpeg -v error -i '" + mp3 +
                                "' -map 0:a -c copy -f mpegts -mpegts_start_pid 256 -y '" + ts +
                                "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) return st;
        std::ifstream in(ts, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ::unlink(ts.c_str());
        constexpr size_t kDatagram = 7 * 188;
        for (size_t at = 0; at < bytes.size(); at += kDatagram) {
            const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
            st.payloads.emplace_back(p, p + std::min(kDatagram, bytes.size() - at));
        }
        st.seconds = audio.seconds;
        if (st.payloads.empty()) return st;
        st.intervalNs = long(st.seconds / 20 / double(st.payloads.size()) * 1e9);
        return st;
    }();
    return s;
}

std::vector<uint8_t> rtp(int pt, uint16_t seq, uint32_t ts, const std::vector<uint8_t>& payload)
{
    const uint8_t header[] = {0x80,
                              uint8_t(pt),
                              uint8_t(seq >> 8),
                              uint8_t(seq),
                              uint8_t(ts >> 24),
                              uint8_t(ts >> 16),
                              uint8_t(ts >> 8),
                              uint8_t(ts),
                              0x12,
                              0x34,
                              0x56,
                              0x78};
    std::vector<uint8_t> p(sizeof header + payload.size());
    std::copy(std::begin(header), std::end(header), p.begin());
    std::copy(payload.begin(), payload.end(), p.begin() + sizeof header);
    return p;
}

// A free even port of 127.0.0.1 other than `other`; 0 when none was found.
uint16_t freePort(uint16_t other = 0)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        const uint16_t port = kelTestFreePortOf(SOCK_DGRAM);
        if (port != 0 && port % 2 == 0 && port != other && port < 65534) return port;
    }
    return 0;
}

bool portBound(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0;
    ::close(fd);
    return taken;
}

// Sends `count` packets of `s` to 127.0.0.1:`port` from `fromPort`, one
// each `s.intervalNs`.
void sendStream(const Stream& s, uint16_t fromPort, uint16_t port, size_t count)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in src{}, dst{};
    src.sin_family = dst.sin_family = AF_INET;
    src.sin_addr.s_addr = dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    src.sin_port = htons(fromPort);
    dst.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
        ::close(fd);
        return;
    }
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (size_t i = 0; i < count && i < s.payloads.size(); ++i) {
        const std::vector<uint8_t> p =
            s.raw ? s.payloads[i] : rtp(s.pt, uint16_t(i + 1), uint32_t(i * 160), s.payloads[i]);
        (void)::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst);
        next.tv_nsec += s.intervalNs;
        if (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    ::close(fd);
}

double clockSeconds(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Our receiver's processor seconds for the whole stream; -1 on loss.
double runOurs(const Stream& s)
{
    const uint16_t port = freePort();
    const uint16_t from = freePort(port);
    if (port == 0 || from == 0) return -1;
    kelOwned<TkelIPReceiver> rx(kelCreate<TkelIPReceiver>());
    std::atomic<size_t> bytes{0};
    std::atomic<size_t> packets{0};
    // Every thread but this one (the sender) works for the receiver: the
    // process's clock less this thread's, read in the first block and, from
    // here, once the stream is in. Nothing but the count costs a block.
    clockid_t sender{};
    (void)pthread_getcpuclockid(pthread_self(), &sender);
    const auto receiverCpu = [&] { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - clockSeconds(sender); };
    std::atomic<bool> started{false};
    double first = 0;
    rx->setOnDataAvailable([&](kelmtlInOutPipe*, void*, uint32_t len) {
        if (!started.load(std::memory_order_relaxed)) {
            first = receiverCpu();
            started.store(true);
        }
        bytes.fetch_add(len, std::memory_order_relaxed);
    });
    rx->setOnRTPHeader(
        [&](kelmtlInOutPipe*, const rtp_hdr*, const void*, uint32_t) { packets.fetch_add(1); });
    const std::string ports = std::to_string(from);
    rx->setURI(kelString(s.raw ? u"udp://127.0.0.1:" : u"rtp://127.0.0.1:") +
               kelString(ports.begin(), ports.end()));
    rx->setBind2ip(u"127.0.0.1");
    const std::string own = std::to_string(port);
    rx->setBind2port(kelString(own.begin(), own.end()));
    rx->setEnableRTCP(false);
    if (s.raw) {
        rx->setMpegTS_aware(true);
        rx->setMpegTS_PID(256);
    }
    if (!rx->open()) return -1;
    sendStream(s, from, port, s.payloads.size());
    // The stream is in when the receiver has taken its last packet (RTP)
    // or demultiplexed its last datagram, which decodes what it completes.
    const auto in = [&] {
        if (!s.raw) return packets.load() >= s.payloads.size();
        const mpegTSDemuxer* ts = rx->mpegTS_demuxer();
        return ts != nullptr && ts->datagrams() >= int64_t(s.payloads.size());
    };
    for (int i = 0; i < 2000 && !in(); ++i)
        kelSleepMs(5);
    // The last RTP packet is counted before it is decoded.
    kelSleepMs(5);
    const bool whole = in() && started.load() && bytes.load() > 0;
    const double cpu = whole ? receiverCpu() - first : -1;
    rx->close();
    return cpu;
}

// GStreamer's processor seconds for `count` packets; -1 on loss.
double runGst(const Stream& s, size_t count)
{
    const uint16_t port = freePort();
    const uint16_t from = freePort(port);
    if (port == 0 || from == 0) return -1;
    const std::vector<std::string> args = {
        "/bin/sh", "-c",
        "exec gst-launch-1.0 -q udpsrc address=127.0.0.1 port=" + std::to_string(port) +
            " num-buffers=" + std::to_string(count) + " caps=" + s.caps + " ! " + s.decoders + " ! fakesink"};
    rusage before{}, after{};
    getrusage(RUSAGE_CHILDREN, &before);
    const pid_t pid = kelBenchSpawnQuiet(args);
    if (pid < 0) return -1;
    for (int i = 0; i < 2000 && !portBound(port); ++i)
        kelSleepMs(5);
    sendStream(s, from, port, count);
    int status = 0;
    bool done = false;
    for (int i = 0; i < 2000 && !done; ++i) {
        done = waitpid(pid, &status, WNOHANG) == pid;
        if (!done) kelSleepMs(5);
    }
    if (!done) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    getrusage(RUSAGE_CHILDREN, &after);
    const auto sec = [](const rusage& r) {
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    return sec(after) - sec(before);
}

void ours(benchmark::State& state, const Stream& (*make)())
{
    const Stream& s = make();
    if (s.payloads.empty()) {
        state.SkipWithError("stream could not be made (library or ffmpeg missing)");
        return;
    }
    for (auto _ : state) {
        const double cpu = runOurs(s);
        if (cpu < 0) {
            state.SkipWithError("our receiver lost data");
            return;
        }
        state.SetIterationTime(std::max(cpu / s.seconds, 1e-9));
    }
}

void gstreamer(benchmark::State& state, const Stream& (*make)())
{
    const Stream& s = make();
    if (s.payloads.empty() || ::access("/usr/bin/gst-launch-1.0", X_OK) != 0) {
        state.SkipWithError("stream or gst-launch-1.0 missing");
        return;
    }
    for (auto _ : state) {
        const double all = runGst(s, s.payloads.size());
        std::vector<double> startups;
        for (int i = 0; i < 3; ++i)
            startups.push_back(runGst(s, 1));
        std::sort(startups.begin(), startups.end());
        const double startup = startups[1];
        if (all < 0 || startups[0] < 0) {
            state.SkipWithError("GStreamer lost data or did not run");
            return;
        }
        state.SetIterationTime(std::max((all - startup) / s.seconds, 1e-9));
    }
}

} // namespace

BENCHMARK_CAPTURE(ours, pcmu, pcmu)->Name("decode-pcmu/kel")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(gstreamer, pcmu, pcmu)->Name("decode-pcmu/gstreamer")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(ours, pcma, pcma)->Name("decode-pcma/kel")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(gstreamer, pcma, pcma)->Name("decode-pcma/gstreamer")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(ours, gsm, gsm)->Name("decode-gsm/kel")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(gstreamer, gsm, gsm)->Name("decode-gsm/gstreamer")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(ours, speex, speexWB)->Name("decode-speex-wb/kel")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(gstreamer, speex, speexWB)
    ->Name("decode-speex-wb/gstreamer")
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK_CAPTURE(ours, mpa, mpa)->Name("decode-mpa-128k/kel")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(gstreamer, mpa, mpa)->Name("decode-mpa-128k/gstreamer")->UseManualTime()->Iterations(1);

BENCHMARK_CAPTURE(ours, ts, rawTS)->Name("decode-raw-ts/kel")->UseManualTime()->Iterations(1);
BENCHMARK_CAPTURE(gstreamer, ts, rawTS)->Name("decode-raw-ts/gstreamer")->UseManualTime()->Iterations(1);

KEL_BENCH_MAIN_WITH_RATIOS("gstreamer")
