#pragma once
// A program a test runs in a process of its own: a third-party peer or one
// of our own test programs. Its standard output and error go to a file the
// test reads; its standard input is /dev/null, or a socket the test writes
// command lines into. It is stopped by its PID only (input closed, SIGINT so
// peers finish their files, then SIGKILL), every wait bounded. Used from the
// test's own thread.

#include "tests/support/kelTestWait.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

class kelTestProcess
{
public:
    kelTestProcess() = default;
    kelTestProcess(const kelTestProcess&) = delete;
    kelTestProcess& operator=(const kelTestProcess&) = delete;
    ~kelTestProcess() { stop(); }

    // Whether `tool` is on the PATH.
    static bool available(const std::string& tool)
    {
        return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
    }

    static std::string readFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // Runs `command` through the shell as an independent reference: `input`
    // on its standard input, its standard output returned; nothing when it
    // fails.
    static std::optional<std::string> filter(const std::string& command, const std::string& input)
    {
        char inName[] = "/tmp/kelToolInXXXXXX";
        char outName[] = "/tmp/kelToolOutXXXXXX";
        const int in = ::mkstemp(inName);
        const int out = ::mkstemp(outName);
        if (in >= 0) ::close(in);
        if (out >= 0) ::close(out);
        std::optional<std::string> result;
        if (in >= 0 && out >= 0) {
            std::ofstream(inName, std::ios::binary) << input;
            if (std::system((command + " <" + inName + " >" + outName + " 2>/dev/null").c_str()) == 0)
                result = readFile(outName);
        }
        if (in >= 0) ::unlink(inName);
        if (out >= 0) ::unlink(outName);
        return result;
    }

    // Runs `args` to its end with its output discarded: its exit code; -1
    // when it did not start, ended by a signal or was stopped after
    // `timeoutMs`.
    static int runToEnd(const std::vector<std::string>& args, uint64_t timeoutMs)
    {
        kelTestProcess p;
        if (!p.start(args, "/dev/null")) return -1;
        if (!p.waitExit(timeoutMs)) return -1;
        return p.exitCode();
    }

    // Runs `args` (args[0] a path or a name on the PATH) with its input from
    // /dev/null and its output into `logPath`. False when it did not start.
    bool start(const std::vector<std::string>& args, const std::string& logPath)
    {
        return spawn(args, logPath, -1);
    }

    // The same with a socket as its input, for send() and closeInput(). A
    // socket rather than a pipe: a write to a peer that died fails with
    // EPIPE (MSG_NOSIGNAL) instead of killing the test.
    bool startWithInput(const std::vector<std::string>& args, const std::string& logPath)
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
        const bool ok = spawn(args, logPath, pair[1]);
        ::close(pair[1]);
        if (!ok) {
            ::close(pair[0]);
            return false;
        }
        f_input = pair[0];
        return true;
    }

    // Writes one command line; false when the process no longer reads.
    bool send(const std::string& line)
    {
        if (f_input < 0) return false;
        const std::string text = line + "\n";
        return ::send(f_input, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }

    // The end of the process's input: it reads end-of-file.
    void closeInput()
    {
        if (f_input >= 0) {
            ::close(f_input);
            f_input = -1;
        }
    }

    std::string log() const { return readFile(f_log); }

    // Whole lines written so far (a line still being written is left out).
    std::vector<std::string> lines() const
    {
        const std::string text = log();
        std::vector<std::string> out;
        size_t begin = 0;
        for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
            out.push_back(text.substr(begin, end - begin));
        return out;
    }

    // The lines that begin with `prefix`, in order.
    std::vector<std::string> linesWith(const std::string& prefix) const
    {
        std::vector<std::string> out;
        for (const std::string& l : lines())
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        return out;
    }

    // Waits until at least `count` lines begin with `prefix` and returns the
    // last of those `count`; nothing when the time ran out or the process
    // ended without writing them.
    std::optional<std::string> waitLine(const std::string& prefix, uint64_t timeoutMs, size_t count = 1)
    {
        std::optional<std::string> line;
        (void)kelTestWaitUntil(
            [&] {
                const bool ended = exited();
                const std::vector<std::string> found = linesWith(prefix);
                if (found.size() >= count) line = found[count - 1];
                return line.has_value() || ended;
            },
            timeoutMs);
        return line;
    }

    // True once the process has ended (reaped).
    bool exited()
    {
        if (f_pid <= 0) return true;
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
        return kelTestWaitUntil([this] { return exited(); }, timeoutMs);
    }

    void signal(int sig)
    {
        if (f_pid > 0) ::kill(f_pid, sig);
    }

    // Input closed (a process that reads it gets 2 s to end on its own),
    // then SIGINT and up to `graceMs` to finish, then SIGKILL.
    void stop(uint64_t graceMs = 5000)
    {
        const bool hadInput = f_input >= 0;
        closeInput();
        if (f_pid <= 0 || (hadInput && waitExit(2000))) return;
        signal(SIGINT);
        if (!waitExit(graceMs)) {
            signal(SIGKILL);
            (void)waitExit(5000);
        }
    }

    // The exit code after a normal end; -1 after a signal or while running.
    int exitCode() const { return f_pid <= 0 && WIFEXITED(f_status) ? WEXITSTATUS(f_status) : -1; }
    pid_t pid() const { return f_pid; }

private:
    bool spawn(const std::vector<std::string>& args, const std::string& logPath, int input)
    {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        if (input >= 0)
            posix_spawn_file_actions_adddup2(&fa, input, 0);
        else
            posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        const int rc = ::posix_spawnp(&f_pid, argv[0], &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        f_log = logPath;
        if (rc != 0) f_pid = -1;
        return f_pid > 0;
    }

    pid_t f_pid = -1;
    int f_status = 0;
    int f_input = -1;
    std::string f_log;
};
