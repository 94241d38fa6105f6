#pragma once
// Runs an installed command-line tool as an independent reference: feeds it
// bytes on standard input and returns what it wrote to standard output.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

class kelToolRunner
{
public:
    // True when `tool` is on the PATH.
    static bool available(const std::string& tool)
    {
        return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
    }

    // `command` runs through the shell with the input file on stdin; nullopt
    // when it fails.
    static std::optional<std::string> run(const std::string& command, const std::string& input)
    {
        char inName[] = "/tmp/kelToolInXXXXXX";
        char outName[] = "/tmp/kelToolOutXXXXXX";
        const int in = ::mkstemp(inName);
        const int out = ::mkstemp(outName);
        if (in < 0 || out < 0) return std::nullopt;
        ::close(out);
        const bool wrote = ::write(in, input.data(), input.size()) == static_cast<ssize_t>(input.size());
        ::close(in);
        std::optional<std::string> result;
        if (wrote && std::system((command + " <" + inName + " >" + outName + " 2>/dev/null").c_str()) == 0) {
            std::ifstream f(outName, std::ios::binary);
            result = std::string(std::istreambuf_iterator<char>(f), {});
        }
        ::unlink(inName);
        ::unlink(outName);
        return result;
    }
};
