#pragma once
// A third-party peer program run by an interop test: started with its
// output in a file of the test's own directory, stopped by its PID (SIGINT
// first, so GStreamer and ffmpeg finish their files, then SIGKILL), and
// waited for with bounded waits.

#include "core/kelTick.h"
#include "net/rtp/kelSocks_SNTP.h"
#include "platform/kelPlatformThread.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

// Sender reports take their time from the shared SNTP clock, which a
// transmitter's stack prepares at once: in these tests it asks a loopback
// port where nobody answers, never a public server.
inline const bool kelRTPPeerNTPOnLoopback = (setNTPDefaultServer(u"127.0.0.1", 9), true);

class kelRTPPeerProcess
{
public:
    kelRTPPeerProcess() = default;
    kelRTPPeerProcess(const kelRTPPeerProcess&) = delete;
    kelRTPPeerProcess& operator=(const kelRTPPeerProcess&) = delete;
    ~kelRTPPeerProcess() { stop(); }

    static bool available(const std::string& tool)
    {
        return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
    }

    // Runs `args` (args[0] a path or a name on the PATH) with stdout and
    // stderr into `logPath`. False when it could not be started.
    bool start(const std::vector<std::string>& args, const std::string& logPath)
    {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const int rc = ::posix_spawnp(&f_pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            f_pid = -1;
        f_log = logPath;
        return f_pid > 0;
    }

    // True once the process has ended (reaped).
    bool exited()
    {
        if (f_pid <= 0)
            return true;
        int status = 0;
        if (::waitpid(f_pid, &status, WNOHANG) == f_pid) {
            f_pid = -1;
            f_status = status;
            return true;
        }
        return false;
    }

    bool waitExit(uint64_t timeoutMs)
    {
        const uint64_t start = tickNow();
        while (!exited()) {
            if (ticksSince(start) > timeoutMs)
                return false;
            kelSleepMs(10);
        }
        return true;
    }

    // SIGINT, up to `graceMs` to finish, then SIGKILL.
    void stop(uint64_t graceMs = 5000)
    {
        if (f_pid <= 0)
            return;
        ::kill(f_pid, SIGINT);
        if (!waitExit(graceMs)) {
            ::kill(f_pid, SIGKILL);
            (void)waitExit(5000);
        }
    }

    int exitStatus() const { return WIFEXITED(f_status) ? WEXITSTATUS(f_status) : -1; }
    std::string log() const { return readFile(f_log); }
    pid_t pid() const { return f_pid; }

    static std::string readFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    pid_t f_pid = -1;
    int f_status = 0;
    std::string f_log;
};

inline bool waitUntil(const std::function<bool()>& done, uint64_t timeoutMs)
{
    const uint64_t start = tickNow();
    while (!done()) {
        if (ticksSince(start) > timeoutMs)
            return done();
        kelSleepMs(5);
    }
    return true;
}

// A temporary directory removed with the object.
class kelTempDir
{
public:
    kelTempDir()
    {
        char tmpl[] = "/tmp/kel-rtp-peer-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr)
            f_path = tmpl;
    }
    ~kelTempDir()
    {
        if (!f_path.empty())
            (void)std::system(("rm -rf '" + f_path + "'").c_str());
    }
    const std::string& path() const { return f_path; }

private:
    std::string f_path;
};
