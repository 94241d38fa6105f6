// The list cases in a process that has a second thread, as every program
// that runs the library's threads does: both locks then pay for their locked
// instructions. The second thread only sleeps.

#include "kelBenchListCases.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Started before main, ended after it returns.
class ParkedThread
{
public:
    ParkedThread()
        : f_thread([this] {
              std::unique_lock lock(f_mutex);
              f_wake.wait(lock, [this] { return f_done; });
          })
    {}
    ~ParkedThread()
    {
        {
            std::lock_guard lock(f_mutex);
            f_done = true;
        }
        f_wake.notify_one();
        f_thread.join();
    }
    ParkedThread(const ParkedThread&) = delete;
    ParkedThread& operator=(const ParkedThread&) = delete;

private:
    std::mutex f_mutex;
    std::condition_variable f_wake;
    bool f_done = false;
    std::thread f_thread;
};

ParkedThread s_parked;

} // namespace

KEL_BENCH_MAIN_WITH_RATIOS("std::vector+mutex")
