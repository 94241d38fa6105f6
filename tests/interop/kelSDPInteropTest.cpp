// Session descriptions written live by real peers: ffmpeg's -sdp_file and a
// GStreamer RTSP server's DESCRIBE answer. Both peers talk to 127.0.0.1 only.
#include "net/protocols/kelParsers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool executable(const char* path)
{
    return access(path, X_OK) == 0;
}

// Runs a program with its output discarded; its exit code, or -1 when it
// could not start or was stopped after `timeoutMs`.
int runProgram(const std::vector<std::string>& args, int timeoutMs)
{
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class TempDir
{
public:
    TempDir()
    {
        char tmpl[] = "/tmp/kel-sdp-XXXXXX";
        if (mkdtemp(tmpl)) f_path = tmpl;
    }
    ~TempDir()
    {
        if (!f_path.empty()) std::filesystem::remove_all(f_path);
    }
    const std::string& path() const { return f_path; }

private:
    std::string f_path;
};

TEST(kelSDPInteropTest, ReadsWhatFfmpegWritesForTwoRtpStreams)
{
    if (!executable("/usr/bin/ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not installed (scripts/install-deps installs it)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string sdpFile = dir.path() + "/out.sdp";
    int rc = runProgram({"/usr/bin/ffmpeg",
                         "-nostdin",
                         "-hide_banner",
                         "-loglevel",
                         "error",
                         "-f",
                         "lavfi",
                         "-i",
                         "sine=frequency=440:duration=0.1:sample_rate=44100",
                         "-map",
                         "0:a",
                         "-c:a",
                         "pcm_s16be",
                         "-ar",
                         "16000",
                         "-ac",
                         "1",
                         "-f",
                         "rtp",
                         "rtp://127.0.0.1:25104",
                         "-map",
                         "0:a",
                         "-c:a",
                         "pcm_mulaw",
                         "-ar",
                         "8000",
                         "-ac",
                         "1",
                         "-f",
                         "rtp",
                         "rtp://127.0.0.1:25106",
                         "-sdp_file",
                         sdpFile},
                        60000);
    ASSERT_EQ(rc, 0);
    kelSDPParser sdp;
    sdp.applyPayload(readFile(sdpFile));
    EXPECT_EQ(sdp.f_v, 0);
    ASSERT_EQ(sdp.getMDCount(), 2);
    EXPECT_EQ(sdp.getMD(0)->r_type, u"audio");
    EXPECT_EQ(sdp.getMD(0)->r_port, u"25104");
    const kelString rtpmap = sdp.getMD(0)->r_rtpmap;
    EXPECT_EQ(rtpmap.substr(rtpmap.find(u' ') + 1), u"L16/16000/1");
    // A dynamic payload type, named by the rtpmap that maps it.
    const std::string format = std::to_string(sdp.getMD(0)->r_format);
    EXPECT_GE(sdp.getMD(0)->r_format, 96);
    EXPECT_EQ(rtpmap.substr(0, rtpmap.find(u' ')), kelString(format.begin(), format.end()));
    EXPECT_EQ(sdp.getMD(0)->r_c.r_connAddr, u"127.0.0.1");
    EXPECT_EQ(sdp.getMD(1)->r_port, u"25106");
    EXPECT_EQ(sdp.getMD(1)->r_format, 0);
}

TEST(kelSDPInteropTest, ReadsAGStreamerRtspServersDescribeAnswer)
{
    const std::string script = std::string(KEL_TEST_VECTORS) + "/sdp/make-gst-describe.py";
    if (!executable("/usr/bin/python3") || runProgram({"/usr/bin/python3", "-c",
                                                       "import gi; gi.require_version('GstRtspServer', "
                                                       "'1.0'); from gi.repository import GstRtspServer"},
                                                      30000) != 0)
        GTEST_SKIP() << "python3-gi with the GStreamer RTSP server bindings is not installed "
                        "(scripts/install-deps installs them)";
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string out = dir.path() + "/describe.rtsp";
    ASSERT_EQ(runProgram({"/usr/bin/python3", script, out}, 60000), 0);
    kelHTTPparser answer;
    answer.feed(readFile(out));
    EXPECT_EQ(answer.getRespCode(), 200);
    EXPECT_EQ(answer.getHeaderValue(kelString(u"content-type"), true), u"application/sdp");
    ASSERT_TRUE(answer.getPayloadComplete(true, -1));
    kelSDPParser sdp(&answer);
    ASSERT_EQ(sdp.getMDCount(), 2);
    EXPECT_EQ(sdp.getMD(0)->r_rtpmap, u"0 PCMU/8000");
    EXPECT_EQ(sdp.getMD(0)->r_control, u"stream=0");
    EXPECT_EQ(sdp.getMD(1)->r_rtpmap, u"96 L16/44100/2");
    EXPECT_EQ(sdp.getMD(1)->r_control, u"stream=1");
}

} // namespace
