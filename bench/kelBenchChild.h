#pragma once
// Other programs the benchmarks run: peers that run beside us, and
// reference programs whose processor time is measured (the reference side
// of the benchmarks that put us beside sox or aplay). Their output goes to
// /dev/null.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

// Starts `args` (args[0] looked up in PATH) with its input and output on
// /dev/null; its process id, or -1 when it could not start.
inline pid_t kelBenchSpawnQuiet(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    return rc == 0 ? pid : -1;
}

// The user and system time of every child waited for so far, in
// microseconds: the difference around spawning and waiting for children is
// what they used.
inline double kelBenchChildrenCpuUs()
{
    rusage r{};
    getrusage(RUSAGE_CHILDREN, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
}

// The user and system time `args` (args[0] looked up in PATH) used, in
// microseconds; -1 when it could not start or did not exit with 0.
inline double kelBenchChildCpuUs(const std::vector<std::string>& args)
{
    const double before = kelBenchChildrenCpuUs();
    const pid_t pid = kelBenchSpawnQuiet(args);
    if (pid < 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    const double used = kelBenchChildrenCpuUs() - before;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return used;
}
