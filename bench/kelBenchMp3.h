#pragma once
// A 128 kbit/s stereo MP3 of noise made once per benchmark process with
// ffmpeg, removed at exit; and the process's own CPU time. For the
// benchmarks of the MPEG frame paths.

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

// The file's path, `seconds` long; empty when ffmpeg could not make it. One
// file per process: the first call's length holds.
inline const std::string& kelBenchMp3File(int seconds)
{
    // Never destroyed, so that the file can still be removed at exit.
    static const std::string* name = new std::string([seconds] {
        std::string path = "/tmp/kelBenchMp3-" + std::to_string(::getpid()) + ".mp3";
        const std::string cmd = "ffmpeg -v error -f lavfi -i 'anoisesrc=d=" + std::to_string(seconds) +
                                ":a=0.2:r=44100' -ac 2 -c:a libmp3lame -b:a 128k -y '" + path +
                                "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) path.clear();
        return path;
    }());
    static const struct Remover
    {
        ~Remover()
        {
            if (!name->empty()) ::unlink(name->c_str());
        }
    } remover;
    (void)remover;
    return *name;
}

inline double kelBenchProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
