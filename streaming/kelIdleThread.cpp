#include "streaming/kelIdleThread.h"

#include "core/kelCreate.h"
#include "streaming/kelIPStreamer.h"

kelIdleThread::kelIdleThread(kelIPStreamer* master)
    : kelThread(false, kelThreadPriorityNormal), f_master(master)
{}

intptr_t kelIdleThread::execute(uintptr_t globalIndex)
{
    (void)globalIndex;
    f_ticks.store(0, std::memory_order_relaxed);
    while (!shouldStop()) {
        try {
            f_master->onIdle();
        } catch (...) {
            kelReportHookFailure("kelIPStreamer::onIdle");
        }
        f_ticks.fetch_add(1, std::memory_order_relaxed);
        sleepThread(kTickMs);
    }
    return 0;
}
