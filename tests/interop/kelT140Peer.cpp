// A standard RFC 4103 real-time text endpoint, built on a third-party text
// stream, for the interop tests. It binds its RTP port (RTCP on the port
// above) on 127.0.0.1, sends its text, its U+FEFF keep-alives and its RTCP
// to the far side's RTP port (RTCP to the port above), and reports every
// character it receives.
//
//   kelT140Peer LOCAL_RTP_PORT REMOTE_RTP_PORT T140_PT RED_PT plain|red [KEEPALIVE_MS]
//
// Commands on standard input, one a line:
//   text UTF-8...   sends the characters (UTF-8 in, one code point each)
//   red             from now on wraps the text with redundancy (RED_PT)
//   quit            stops the stream and ends
// Output lines: "ready PORT" once the stream runs, "char XXXX" (hex code
// point) for each received character, "error ..." on failure.
#include <mediastreamer2/mediastream.h>
#include <mediastreamer2/msfactory.h>
#include <mediastreamer2/msrtt4103.h>
#include <ortp/ortp.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex outGuard;

void say(const std::string& line)
{
    std::lock_guard lock(outGuard);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// The sink's events come on its ticker thread.
void onSinkEvent(void*, MSFilter*, unsigned int id, void* arg)
{
    if (id != MS_RTT_4103_RECEIVED_CHAR || arg == nullptr) return;
    const auto* c = static_cast<const RealtimeTextReceivedCharacter*>(arg);
    char line[32];
    std::snprintf(line, sizeof line, "char %04X", static_cast<unsigned>(c->character));
    say(line);
}

// The code points of UTF-8 `text`; a malformed byte is sent as U+FFFD.
void sendUtf8(TextStream* stream, const std::string& text)
{
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        uint32_t cp = 0xFFFD;
        if (n != 0 && i + n <= text.size()) {
            cp = n == 1 ? b : b & (0x7F >> n);
            for (size_t k = 1; k < n; ++k)
                cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        text_stream_putchar32(stream, cp);
        i += n != 0 ? n : 1;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 6) {
        say("error usage: kelT140Peer LOCAL_RTP REMOTE_RTP T140_PT RED_PT plain|red [KEEPALIVE_MS]");
        return 2;
    }
    const int local = std::atoi(argv[1]);
    const int remote = std::atoi(argv[2]);
    int t140 = std::atoi(argv[3]);
    int red = std::atoi(argv[4]);
    const bool startRed = std::strcmp(argv[5], "red") == 0;
    unsigned int keepAlive = argc > 6 ? static_cast<unsigned int>(std::atoi(argv[6])) : 0;

    bctbx_set_log_level(nullptr, BCTBX_LOG_ERROR);
    MSFactory* factory = ms_factory_new_with_voip();
    RtpProfile* profile = rtp_profile_new("peer");
    rtp_profile_set_payload(profile, t140, &payload_type_t140);
    rtp_profile_set_payload(profile, red, &payload_type_t140_red);
    TextStream* stream = text_stream_new2(factory, "127.0.0.1", local, local + 1);
    if (stream == nullptr) {
        say("error text_stream_new2");
        return 1;
    }
    if (text_stream_start(stream, profile, "127.0.0.1", remote, "127.0.0.1", remote + 1,
                          startRed ? red : t140) == nullptr) {
        say("error text_stream_start");
        return 1;
    }
    // The stream leaves its filters' payload types to us. The sink reads
    // plain text (told a redundancy type too, it reads nothing else); the
    // source wraps with redundancy only when told to.
    ms_filter_call_method(stream->rttsource, MS_RTT_4103_SOURCE_SET_T140_PAYLOAD_TYPE_NUMBER, &t140);
    ms_filter_call_method(stream->rttsink, MS_RTT_4103_SINK_SET_T140_PAYLOAD_TYPE_NUMBER, &t140);
    if (startRed)
        ms_filter_call_method(stream->rttsource, MS_RTT_4103_SOURCE_SET_RED_PAYLOAD_TYPE_NUMBER, &red);
    if (keepAlive != 0)
        ms_filter_call_method(stream->rttsource, MS_RTT_4103_SOURCE_SET_KEEP_ALIVE_INTERVAL, &keepAlive);
    ms_filter_add_notify_callback(stream->rttsink, onSinkEvent, nullptr, TRUE);
    say("ready " + std::to_string(local));

    std::string pending;
    bool running = true;
    while (running) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char buf[1024];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n <= 0) break;
            pending.append(buf, static_cast<size_t>(n));
            for (size_t end; running && (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (line.rfind("text ", 0) == 0) {
                    sendUtf8(stream, line.substr(5));
                } else if (line == "red") {
                    ms_filter_call_method(stream->rttsource, MS_RTT_4103_SOURCE_SET_RED_PAYLOAD_TYPE_NUMBER,
                                          &red);
                    rtp_session_set_payload_type(stream->ms.sessions.rtp_session, red);
                    say("red");
                } else if (line == "quit") {
                    running = false;
                }
            }
        }
        text_stream_iterate(stream);
    }
    text_stream_stop(stream);
    rtp_profile_destroy(profile);
    ms_factory_destroy(factory);
    return 0;
}
