#pragma once
// A sound server of the test's own: a pulseaudio instance run as the test's
// user with one null sink, `kelnull`, at 48 kHz stereo, reached only through a
// socket in a temporary folder. HOME, XDG_RUNTIME_DIR, PULSE_RUNTIME_PATH and
// PULSE_SERVER point into that folder while it runs, so the system's server
// and the user's settings are never touched; ALSA's "default" device is
// pointed at it through an ALSA configuration of the server's own. All of
// that is undone, and the daemon stopped by its PID, when the object goes.
// Used from the test's own thread, before the code under test opens a device.

#include "tests/support/kelTestProcess.h"
#include "tests/support/kelTestWait.h"

#include <glob.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class kelTestPulseServer
{
public:
    static constexpr const char* sink = "kelnull";
    static constexpr const char* monitor = "kelnull.monitor";

    kelTestPulseServer() = default;
    kelTestPulseServer(const kelTestPulseServer&) = delete;
    kelTestPulseServer& operator=(const kelTestPulseServer&) = delete;
    ~kelTestPulseServer() { stop(); }

    // What this machine lacks to run the server and play to it through ALSA;
    // empty when nothing is missing.
    static std::string missing()
    {
        std::string what;
        for (const char* tool : {"pulseaudio", "pactl", "parec"}) {
            if (!kelTestProcess::available(tool)) what += std::string(what.empty() ? "" : ", ") + tool;
        }
        if (!alsaPluginPresent()) what += std::string(what.empty() ? "" : ", ") + "ALSA's pulse plugin";
        return what;
    }

    // Starts the daemon and waits (bounded) until it answers with its sink.
    // False, with the reason in `why`, when it does not.
    bool start(std::string& why)
    {
        char pattern[] = "/tmp/kelPulseXXXXXX"; // short: the socket path has a length limit
        if (::mkdtemp(pattern) == nullptr) {
            why = "no temporary folder";
            return false;
        }
        f_dir = pattern;
        std::filesystem::create_directories(f_dir + "/home");
        std::filesystem::create_directories(f_dir + "/runtime");
        std::filesystem::permissions(f_dir + "/runtime", std::filesystem::perms::owner_all);
        const std::string socket = f_dir + "/native";
        // Without rewinds: a sink that rewinds to mix a new stream in at once
        // re-renders time its monitor has already recorded as silence, so the
        // recording would lose the stream's first milliseconds.
        std::ofstream(f_dir + "/server.pa")
            << "load-module module-null-sink sink_name=" << sink << " rate=48000 channels=2 norewinds=1\n"
            << "load-module module-native-protocol-unix socket=" << socket << " auth-anonymous=1\n";
        std::ofstream(f_dir + "/asound.conf") << "pcm.!default {\n  type pulse\n}\n"
                                              << "ctl.!default {\n  type pulse\n}\n";
        setEnv("HOME", f_dir + "/home");
        setEnv("XDG_RUNTIME_DIR", f_dir + "/runtime");
        setEnv("PULSE_RUNTIME_PATH", f_dir + "/runtime");
        setEnv("PULSE_SERVER", "unix:" + socket);
        setEnv("ALSA_CONFIG_PATH", f_dir + "/asound.conf");

        // No real-time scheduling, no idle exit, no script but ours.
        if (!f_daemon.start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                             "--realtime=no", "--high-priority=no", "--log-target=stderr", "-F",
                             f_dir + "/server.pa"},
                            f_dir + "/daemon.log")) {
            why = "pulseaudio did not start";
            return false;
        }
        const bool up = kelTestWaitUntil(
            [&] {
                return f_daemon.exited() ||
                       (std::filesystem::exists(socket) &&
                        kelTestProcess::runToEnd({"pactl", "get-sink-volume", sink}, 5000) == 0);
            },
            20000);
        if (!up || f_daemon.exited()) {
            why = "pulseaudio did not come up: " + f_daemon.log();
            return false;
        }
        return true;
    }

    // Stops the daemon by its PID and puts the environment back.
    void stop()
    {
        f_daemon.stop();
        for (auto it = f_saved.rbegin(); it != f_saved.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
        f_saved.clear();
        if (!f_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(f_dir, ignored);
            f_dir.clear();
        }
    }

    // The server's folder, for files a test wants removed with it.
    const std::string& dir() const { return f_dir; }
    std::string log() const { return f_daemon.log(); }

private:
    static bool alsaPluginPresent()
    {
        for (const char* pattern : {"/usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so",
                                    "/usr/lib/alsa-lib/libasound_module_pcm_pulse.so",
                                    "/usr/lib64/alsa-lib/libasound_module_pcm_pulse.so"}) {
            glob_t found{};
            const bool hit = ::glob(pattern, 0, nullptr, &found) == 0 && found.gl_pathc > 0;
            ::globfree(&found);
            if (hit) return true;
        }
        return false;
    }

    void setEnv(const std::string& name, const std::string& value)
    {
        const char* old = ::getenv(name.c_str());
        f_saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    std::string f_dir;
    kelTestProcess f_daemon;
    std::vector<std::pair<std::string, std::optional<std::string>>> f_saved;
};
