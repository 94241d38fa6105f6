#pragma once
// Our own peer program, run in a process of its own and driven by command
// lines on its input (see kelTestProcess).

#include "tests/support/kelTestProcess.h"

#include <string>
#include <vector>

class kelIPPeerProcess : public kelTestProcess
{
public:
    bool start(const std::vector<std::string>& args, const std::string& logPath)
    {
        return startWithInput(args, logPath);
    }
};
