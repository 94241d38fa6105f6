#include "core/kelThread.h"

#include "core/kelCreate.h"
#include "core/kelLog.h"
#include "core/kelTick.h"
#include "platform/kelPlatformThread.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// The run-time state of one thread object. The atomics are read without the
// table lock (status queries, stop polling); everything else, and every change
// that has to agree with another field, happens under it.
struct ThreadSlot
{
    // 1 while the object lives, +1 per thread procedure not yet finished; the
    // slot is free again at 0.
    int64_t refCount = 0;
    std::atomic<int32_t> status{keltsStopped};
    std::atomic<intptr_t> priority{0};
    // Highest and time-critical priorities use the real-time scheduler.
    std::atomic<bool> realTime{false};
    std::atomic<int32_t> stopRequest{0};
    std::atomic<uintptr_t> handle{0};
    std::atomic<uint32_t> threadId{0};
    std::shared_ptr<kelEvent> stopEvent;
    std::shared_ptr<kelEvent> handleReadyEvent;
    std::shared_ptr<kelEvent> runningEvent;
    kelThread* object = nullptr;
    // The thread procedure is inside a call into the object.
    bool busy = false;
    // The object is being or has been destroyed.
    bool objectGone = true;

    // The run the object still tracks (0: none). A run abandoned by a forced
    // stop loses its token, so its late epilogue changes nothing here.
    std::atomic<uint64_t> runToken{0};
    // The run whose body began (startIn done).
    std::atomic<uint64_t> bodyToken{0};
    // Thread procedures of this slot that have not finished, abandoned ones
    // included; start() lets no second one begin.
    int liveRuns = 0;
    std::atomic<uintptr_t> exitCode{0};
};

class ThreadTable
{
public:
    std::mutex mutex;
    // Signalled when a procedure finishes or leaves the object.
    std::condition_variable changed;
    ThreadSlot slots[kelThread::kSlotCount];
    uint8_t inUse[kelThread::kSlotCount]{};
    std::atomic<uint64_t> nextToken{1};
    int baseNice = 0;

    ThreadTable()
    {
        errno = 0;
        const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
        baseNice = errno == 0 ? nice : 0;
    }

    uintptr_t allocate() noexcept
    {
        std::lock_guard lock(mutex);
        for (size_t i = 0; i < kelThread::kSlotCount; ++i) {
            if (inUse[i]) continue;
            inUse[i] = 1;
            ThreadSlot& s = slots[i];
            s.refCount = 1;
            s.object = nullptr;
            s.busy = false;
            s.objectGone = true;
            return i;
        }
        return kelThread::kNoSlot;
    }

    // Needs `mutex`. Drops one reference; at 0 the slot lets go of the events
    // and becomes free.
    void releaseLocked(uintptr_t index) noexcept
    {
        ThreadSlot& s = slots[index];
        if (s.refCount >= 2) {
            --s.refCount;
            return;
        }
        s.refCount = 0;
        s.stopEvent.reset();
        s.handleReadyEvent.reset();
        s.runningEvent.reset();
        s.object = nullptr;
        s.objectGone = true;
        inUse[index] = 0;
    }

    // The object, marked busy, when it may be called; null otherwise.
    kelThread* enter(uintptr_t index) noexcept
    {
        std::lock_guard lock(mutex);
        ThreadSlot& s = slots[index];
        if (s.busy || s.objectGone || !s.object) return nullptr;
        s.busy = true;
        return s.object;
    }

    void leave(uintptr_t index) noexcept
    {
        {
            std::lock_guard lock(mutex);
            slots[index].busy = false;
        }
        changed.notify_all();
    }
};

ThreadTable& table() noexcept
{
    // Never destroyed: a detached thread procedure may still read its slot
    // while the process exits.
    alignas(ThreadTable) static unsigned char storage[sizeof(ThreadTable)];
    static ThreadTable* instance = ::new (storage) ThreadTable;
    return *instance;
}

// The run the calling thread's procedure belongs to (none on other threads).
struct BodyIdentity
{
    uintptr_t index = kelThread::kNoSlot;
    uint64_t token = 0;
};
thread_local BodyIdentity t_body;

bool isLive(int32_t status) noexcept
{
    return status == keltsRunning || status == keltsBeforeRunning;
}

// Applies `priority` to the thread `tid`: a nice value, or with `realTime`
// and a priority of highest or above, the real-time FIFO scheduler.
bool applyPriority(uint32_t tid, intptr_t priority, bool realTime) noexcept
{
    if (tid == 0) return false;
    const auto id = static_cast<pid_t>(tid);
    if (realTime && priority >= kelThreadPriorityHighest) {
        sched_param param{};
        param.sched_priority = priority >= kelThreadPriorityTimeCritical ? 20 : 10;
        return ::sched_setscheduler(id, SCHED_FIFO, &param) == 0;
    }
    if (::sched_getscheduler(id) != SCHED_OTHER) {
        sched_param param{};
        if (::sched_setscheduler(id, SCHED_OTHER, &param) != 0) return false;
    }
    const int nice = std::clamp(table().baseNice + kelPriorityToNice(priority), -20, 19);
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0;
}

} // namespace

int kelPriorityToNice(intptr_t priority) noexcept
{
    if (priority <= kelThreadPriorityIdle) return 19;
    if (priority < kelThreadPriorityLowest) return 15;
    switch (priority) {
    case kelThreadPriorityLowest:
        return 10;
    case kelThreadPriorityBelowNormal:
        return 5;
    case kelThreadPriorityNormal:
        return 0;
    case kelThreadPriorityAboveNormal:
        return -5;
    case kelThreadPriorityHighest:
        return -10;
    default:
        break;
    }
    return priority < kelThreadPriorityTimeCritical ? -15 : -20;
}

// The thread procedure. It reaches the object only between enter and leave;
// everything else it needs is in the slot, which its own reference keeps.
struct kelThreadProcedure
{
    struct Start
    {
        uintptr_t index;
        uint64_t token;
    };

    static void* run(void* arg)
    {
        const Start start = *static_cast<Start*>(arg);
        delete static_cast<Start*>(arg);
        ThreadTable& tt = table();
        ThreadSlot& s = tt.slots[start.index];
        t_body = {start.index, start.token};

        std::shared_ptr<kelEvent> ready;
        {
            std::lock_guard lock(tt.mutex);
            ready = s.handleReadyEvent;
            if (s.runToken.load() == start.token) s.threadId = kelCurrentThreadId();
        }

        uintptr_t exitCode = 0;
        if (s.status.load() == keltsBeforeRunning && s.runToken.load() == start.token) {
            // The handle is stored once this comes.
            if (ready) (void)ready->waitFor(2000);
            (void)applyPriority(kelCurrentThreadId(), s.priority.load(), s.realTime.load());
            int32_t expected = keltsBeforeRunning;
            s.status.compare_exchange_strong(expected, keltsRunning);
            exitCode = body(start);
        }
        finish(start, exitCode);
        t_body = {};
        return nullptr;
    }

    static uintptr_t body(const Start& start)
    {
        ThreadTable& tt = table();
        ThreadSlot& s = tt.slots[start.index];
        if (kelThread* obj = tt.enter(start.index)) {
            bool failed = false;
            try {
                obj->startIn();
            } catch (...) {
                kelReportHookFailure("kelThread::startIn");
                failed = true;
            }
            tt.leave(start.index);
            // The run ends here; finish() releases start().
            if (failed) return kelThread::kFailedExitCode;
        }
        {
            std::lock_guard lock(tt.mutex);
            if (s.runToken.load() == start.token) {
                s.bodyToken = start.token;
                if (s.runningEvent) s.runningEvent->setState(true);
            }
        }
        uintptr_t exitCode = kelThread::kFailedExitCode;
        if (kelThread* obj = tt.enter(start.index)) {
            try {
                exitCode = static_cast<uintptr_t>(obj->execute(start.index));
            } catch (...) {
                kelReportHookFailure("kelThread::execute");
                exitCode = kelThread::kFailedExitCode;
            }
            tt.leave(start.index);
        }
        if (kelThread* obj = tt.enter(start.index)) {
            try {
                obj->startOut();
            } catch (...) {
                kelReportHookFailure("kelThread::startOut");
            }
            // No body polls it any more; the next run makes a new one.
            obj->f_sleepEvent->releasePollFd();
            tt.leave(start.index);
        }
        return exitCode;
    }

    // The epilogue. Only a run the object still tracks sets the status and
    // signals the events; the signals go out before the procedure's reference
    // is dropped, so the events cannot be gone yet, and before the run stops
    // counting as live, so no newer run can have reset them.
    static void finish(const Start& start, uintptr_t exitCode)
    {
        ThreadTable& tt = table();
        ThreadSlot& s = tt.slots[start.index];
        {
            std::lock_guard lock(tt.mutex);
            if (s.runToken.load() == start.token) {
                s.runToken = 0;
                s.status = keltsStopped;
                s.exitCode = exitCode;
                s.handle = 0;
                if (s.runningEvent) s.runningEvent->setState(true);
                if (s.stopEvent) s.stopEvent->setState(true);
            }
            --s.liveRuns;
            tt.releaseLocked(start.index);
        }
        tt.changed.notify_all();
    }
};

// --- construction and destruction -----------------------------------------

kelThread::kelThread(bool active, intptr_t priority)
    : f_initialActive(active), f_eventStop(std::make_shared<kelEvent>(true, false)),
      f_eventHandleReady(std::make_shared<kelEvent>(false, false)),
      f_eventRunning(std::make_shared<kelEvent>(false, false)),
      f_sleepEvent(std::make_shared<kelEvent>(false, false))
{
    ThreadTable& tt = table();
    f_globalThreadIndex = tt.allocate();
    if (f_globalThreadIndex == kNoSlot) return;
    std::lock_guard lock(tt.mutex);
    ThreadSlot& s = tt.slots[f_globalThreadIndex];
    s.status = keltsStopped;
    s.priority = priority;
    s.realTime = false;
    s.stopRequest = 0;
    s.handle = 0;
    s.threadId = 0;
    s.stopEvent = f_eventStop;
    s.handleReadyEvent = f_eventHandleReady;
    s.runningEvent = f_eventRunning;
    s.object = this;
    s.objectGone = false;
    s.runToken = 0;
    s.bodyToken = 0;
    s.liveRuns = 0;
    s.exitCode = 0;
}

kelThread::~kelThread()
{
#ifndef NDEBUG
    if (!f_shutDown && bodyActive())
        logFailuref("kelThread %p deleted with a live body: free thread objects with kelFree",
                    static_cast<void*>(this));
#endif
    shutdown();
}

void kelThread::afterConstruction()
{
    // All slots in use: refuse the object (kelCreate yields null).
    if (f_globalThreadIndex == kNoSlot) throw std::runtime_error("no free thread slot");
    if (f_initialActive) (void)start(10000);
}

void kelThread::beforeDestruction()
{
    shutdown();
}

void kelThread::shutdown() noexcept
{
    if (f_shutDown) return;
    f_shutDown = true;
    if (f_globalThreadIndex == kNoSlot) return;
    stop(1000, true);

    // Detach from the slot. A body still inside a call into this object
    // (abandoned and not yet back) is waited for: freeing the object under
    // it would leave it running on freed memory. A body freeing its own
    // object is not waited for; it must not touch the object afterwards.
    ThreadTable& tt = table();
    const bool own = isOwnBody();
    std::unique_lock lock(tt.mutex);
    ThreadSlot& s = tt.slots[f_globalThreadIndex];
    const uint64_t mark = tickNow();
    bool reported = false;
    while (s.busy && !own) {
        tt.changed.wait_for(lock, std::chrono::milliseconds(100));
        if (!reported && ticksSince(mark) > 1000) {
            reported = true;
            lock.unlock(); // the log may call back into the program
            logFailuref("kelThread %p: waiting for an abandoned body to leave before freeing",
                        static_cast<void*>(this));
            lock.lock();
        }
    }
    s.object = nullptr;
    s.objectGone = true;
    tt.releaseLocked(f_globalThreadIndex);
}

// --- identity of the calling body ----------------------------------------

bool kelThread::isOwnBody() const noexcept
{
    return f_globalThreadIndex != kNoSlot && t_body.index == f_globalThreadIndex && t_body.token != 0;
}

bool kelThread::ownRunAbandoned() const noexcept
{
    return isOwnBody() && table().slots[f_globalThreadIndex].runToken.load() != t_body.token;
}

// --- start ----------------------------------------------------------------

bool kelThread::start(intptr_t timeout) noexcept
{
    if (f_globalThreadIndex == kNoSlot) return false;
    ThreadTable& tt = table();
    ThreadSlot& s = tt.slots[f_globalThreadIndex];
    if (isOwnBody()) return isLive(s.status.load());

    switch (s.status.load()) {
    case keltsStopped: {
        kelLock lock(this, false, timeout);
        if (!lock) return false;
        try {
            if (!grantStart()) return false;
        } catch (...) {
            kelReportHookFailure("kelThread::grantStart");
            return false;
        }
        uint64_t token = 0;
        {
            // A body left over from an abandoned run must end first: two
            // bodies must never run on one object.
            std::unique_lock tl(tt.mutex);
            const auto limit = std::chrono::milliseconds(timeout < 0 ? -timeout : timeout);
            if (!tt.changed.wait_for(tl, limit, [&] { return s.liveRuns == 0; })) return false;
            if (s.status.load() != keltsStopped) return isLive(s.status.load());
            token = tt.nextToken.fetch_add(1);
            s.runToken = token;
            s.bodyToken = 0;
            f_eventRunning->setState(false);
            f_eventStop->setState(false);
            s.stopRequest = 0;
            f_eventHandleReady->setState(false);
            f_sleepEvent->setState(false);
            s.threadId = 0;
            // Published last: a stop() that sees the new run must not have
            // its request or its event cleared by the lines above.
            s.status = keltsBeforeRunning;
            ++s.refCount;
            ++s.liveRuns;
        }

        auto* arg = new (std::nothrow) kelThreadProcedure::Start{f_globalThreadIndex, token};
        pthread_t thread{};
        pthread_attr_t attr;
        bool created = false;
        if (arg && ::pthread_attr_init(&attr) == 0) {
            ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
            created = ::pthread_create(&thread, &attr, &kelThreadProcedure::run, arg) == 0;
            ::pthread_attr_destroy(&attr);
        }
        if (!created) {
            delete arg;
            std::lock_guard tl(tt.mutex);
            if (s.runToken.load() == token) {
                s.runToken = 0;
                s.status = keltsStopped;
                f_eventStop->setState(true);
            }
            --s.liveRuns;
            tt.releaseLocked(f_globalThreadIndex);
            return false;
        }
        if (s.runToken.load() == token) s.handle = static_cast<uintptr_t>(thread);
        f_eventHandleReady->setState(true);
        const bool came = f_eventRunning->waitFor(timeout);
        // A body that returns at once may already be done: it still started.
        return came && (isLive(s.status.load()) || s.bodyToken.load() == token);
    }
    case keltsStopping:
        stop(kDefaultTimeout, false);
        if (s.status.load() == keltsStopped) return start(10000);
        break;
    case keltsPaused:
        s.stopRequest = 0;
        resume();
        break;
    default:
        break;
    }
    return isLive(s.status.load());
}

// --- stop -----------------------------------------------------------------

void kelThread::abandonRun(uint64_t token) noexcept
{
    ThreadTable& tt = table();
    ThreadSlot& s = tt.slots[f_globalThreadIndex];
    {
        std::lock_guard lock(tt.mutex);
        if (token == 0 || s.runToken.load() != token) return; // it ended meanwhile
        s.runToken = 0;
        s.status = keltsStopped;
        s.stopRequest = 0;
        s.handle = 0;
        s.exitCode = kForcedExitCode;
        if (s.runningEvent) s.runningEvent->setState(true);
        if (s.stopEvent) s.stopEvent->setState(true);
    }
    logFailuref("kelThread %p: body did not stop in time and was abandoned", static_cast<void*>(this));
}

bool kelThread::stop(intptr_t timeout, bool force) noexcept
{
    if (f_globalThreadIndex == kNoSlot) return true;
    if (timeout == kDefaultTimeout) timeout = f_defaultStopTimeout;
    ThreadSlot& s = table().slots[f_globalThreadIndex];

    for (bool again = true; again;) {
        again = false;
        int32_t st = s.status.load();
        switch (st) {
        case keltsRunning:
        case keltsBeforeRunning:
        case keltsStopping: {
            // A refused stop leaves the status as it was.
            if (!force) {
                bool granted = false;
                try {
                    granted = grantStop();
                } catch (...) {
                    kelReportHookFailure("kelThread::grantStop");
                }
                if (!granted) break;
            }
            // Only from a live status: a run that ended meanwhile stays ended.
            if (!s.status.compare_exchange_strong(st, keltsStopping)) {
                again = true;
                break;
            }
            const uint64_t token = s.runToken.load();
            s.stopRequest = 1;
            wakeUp();
            if (isOwnBody()) break; // a body never waits for itself
            bool forcing = force;
            kelLock lock(this, false, timeout);
            if (lock && timeout > 0 && f_eventStop->waitFor(timeout)) {
                s.stopRequest = 0;
                forcing = false;
            }
            if (forcing) abandonRun(token);
            break;
        }
        case keltsPaused: {
            bool resumed = false;
            try {
                resumed = resume();
            } catch (...) {
                kelReportHookFailure("kelThread::afterResume");
            }
            if (resumed) {
                // A forced stop stays forced through the resume.
                int32_t paused = keltsPaused;
                if (s.status.compare_exchange_strong(paused, keltsRunning))
                    stop(kDefaultTimeout, force);
                else
                    stop(timeout, force);
            } else {
                s.status = keltsStopping;
            }
            break;
        }
        default:
            break;
        }
    }
    const int32_t st = s.status.load();
    return st == keltsStopped || st == keltsStopping;
}

void kelThread::askStop() noexcept
{
    if (f_globalThreadIndex == kNoSlot) return;
    bool granted = false;
    try {
        granted = grantStop();
    } catch (...) {
        kelReportHookFailure("kelThread::grantStop");
    }
    if (!granted) return;
    table().slots[f_globalThreadIndex].stopRequest = 1;
    wakeUp();
}

// --- pause and resume -------------------------------------------------------

bool kelThread::pause() noexcept
{
    if (f_globalThreadIndex == kNoSlot) return false;
    int32_t running = keltsRunning;
    table().slots[f_globalThreadIndex].status.compare_exchange_strong(running, keltsPaused);
    try {
        return afterPause();
    } catch (...) {
        kelReportHookFailure("kelThread::afterPause");
        return false;
    }
}

bool kelThread::resume() noexcept
{
    if (f_globalThreadIndex == kNoSlot) return false;
    // The status changes before the wake-up, so a body held at a pause sees
    // it running when it wakes.
    int32_t paused = keltsPaused;
    table().slots[f_globalThreadIndex].status.compare_exchange_strong(paused, keltsRunning);
    wakeUp();
    try {
        return afterResume();
    } catch (...) {
        kelReportHookFailure("kelThread::afterResume");
        return false;
    }
}

bool kelThread::afterPause()
{
    return status() == keltsPaused;
}

bool kelThread::afterResume()
{
    return status() == keltsRunning;
}

// Called by the body only: holds while paused, until resumed or told to stop.
void kelThread::holdWhilePaused() noexcept
{
    const ThreadSlot& s = table().slots[f_globalThreadIndex];
    while (s.status.load() == keltsPaused && s.stopRequest.load() == 0 && !ownRunAbandoned())
        (void)f_sleepEvent->waitFor(100);
    if (s.stopRequest.load() != 0) f_sleepEvent->setState(true); // keep the stop visible on wakeFd()
}

// --- sleeping and waking ------------------------------------------------------

bool kelThread::shouldStop() noexcept
{
    if (f_globalThreadIndex == kNoSlot) return false;
    const ThreadSlot& s = table().slots[f_globalThreadIndex];
    if (isOwnBody()) {
        if (ownRunAbandoned()) return true;
        holdWhilePaused();
    }
    return s.stopRequest.load() != 0;
}

bool kelThread::shouldStopThread(uintptr_t globalID) noexcept
{
    if (globalID >= kSlotCount) return false;
    const ThreadSlot& s = table().slots[globalID];
    if (t_body.index == globalID && t_body.token != 0 && s.runToken.load() != t_body.token) return true;
    return s.stopRequest.load() != 0;
}

bool kelThread::sleepThread(int64_t value) noexcept
{
    const bool own = isOwnBody();
    if (own) {
        if (shouldStop()) return true;
    }
    const bool woken = f_sleepEvent->waitFor(value);
    if (own) {
        if (shouldStop()) {
            f_sleepEvent->setState(true);
            return true;
        }
    }
    return woken;
}

void kelThread::wakeUp() noexcept
{
    f_sleepEvent->setState(true);
}

bool kelThread::waitForEvent(kelEvent& event, int64_t timeout) noexcept
{
    const bool own = isOwnBody();
    if (own && (ownRunAbandoned() || table().slots[f_globalThreadIndex].stopRequest.load() != 0))
        return false;
    kelEvent* events[] = {&event, f_sleepEvent.get()};
    const intptr_t fired = kelEvent::waitForAny(events, 2, timeout);
    if (fired == 1 && f_globalThreadIndex != kNoSlot &&
        table().slots[f_globalThreadIndex].stopRequest.load() != 0)
        f_sleepEvent->setState(true);
    return fired == 0;
}

int kelThread::wakeFd() noexcept
{
    return f_sleepEvent->pollFd();
}

void kelThread::consumeWake() noexcept
{
    if (f_globalThreadIndex != kNoSlot && table().slots[f_globalThreadIndex].stopRequest.load() != 0) return;
    if (ownRunAbandoned()) return;
    (void)f_sleepEvent->waitFor(0);
}

bool kelThread::waitReadable(int fd, int64_t wait) noexcept
{
    if (fd < 0) {
        sleepThread(wait);
        return false;
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd(), POLLIN, 0}};
    const nfds_t count = fds[1].fd >= 0 ? 2 : 1;
    if (::poll(fds, count, static_cast<int>(wait)) <= 0) return false;
    if (count == 2 && (fds[1].revents & POLLIN)) consumeWake();
    return (fds[0].revents & (POLLIN | POLLERR)) != 0;
}

bool kelThread::waitForTerminate(int64_t timeout) noexcept
{
    if (f_globalThreadIndex == kNoSlot) return true;
    if (isOwnBody()) return false;
    ThreadTable& tt = table();
    const ThreadSlot& s = tt.slots[f_globalThreadIndex];
    std::unique_lock lock(tt.mutex);
    auto done = [&] { return s.liveRuns == 0; };
    if (timeout == kelEvent::kInfinite) {
        tt.changed.wait(lock, done);
        return true;
    }
    return tt.changed.wait_for(lock, std::chrono::milliseconds(timeout < 0 ? -timeout : timeout), done);
}

bool kelThread::bodyActive() const noexcept
{
    if (f_globalThreadIndex == kNoSlot) return false;
    ThreadTable& tt = table();
    std::lock_guard lock(tt.mutex);
    return tt.slots[f_globalThreadIndex].liveRuns > 0;
}

// --- properties ---------------------------------------------------------------

uintptr_t kelThread::getHandle() const noexcept
{
    return f_globalThreadIndex == kNoSlot ? 0 : table().slots[f_globalThreadIndex].handle.load();
}

uint32_t kelThread::getThreadId() const noexcept
{
    return f_globalThreadIndex == kNoSlot ? 0 : table().slots[f_globalThreadIndex].threadId.load();
}

uintptr_t kelThread::exitCode() const noexcept
{
    return f_globalThreadIndex == kNoSlot ? 0 : table().slots[f_globalThreadIndex].exitCode.load();
}

intptr_t kelThread::priority() const noexcept
{
    return f_globalThreadIndex == kNoSlot ? kelThreadPriorityNormal
                                          : table().slots[f_globalThreadIndex].priority.load();
}

bool kelThread::setPriority(intptr_t value) noexcept
{
    if (f_globalThreadIndex == kNoSlot) return false;
    ThreadTable& tt = table();
    ThreadSlot& s = tt.slots[f_globalThreadIndex];
    std::lock_guard lock(tt.mutex);
    if (value == s.priority.load()) return true;
    const int32_t st = s.status.load();
    if (s.runToken.load() != 0 && st != keltsStopped && s.threadId.load() != 0) {
        if (!applyPriority(s.threadId.load(), value, s.realTime.load())) return false;
    }
    s.priority = value;
    return true;
}

bool kelThread::realTimeScheduling() const noexcept
{
    return f_globalThreadIndex != kNoSlot && table().slots[f_globalThreadIndex].realTime.load();
}

bool kelThread::setRealTimeScheduling(bool value) noexcept
{
    if (f_globalThreadIndex == kNoSlot) return false;
    ThreadTable& tt = table();
    ThreadSlot& s = tt.slots[f_globalThreadIndex];
    std::lock_guard lock(tt.mutex);
    if (value == s.realTime.load()) return true;
    if (s.runToken.load() != 0 && s.status.load() != keltsStopped && s.threadId.load() != 0) {
        if (!applyPriority(s.threadId.load(), s.priority.load(), value)) return false;
    }
    s.realTime = value;
    return true;
}

kelThreadStatus kelThread::status() const noexcept
{
    if (f_globalThreadIndex == kNoSlot) return keltsStopped;
    return static_cast<kelThreadStatus>(table().slots[f_globalThreadIndex].status.load());
}

void kelThread::setStatus(kelThreadStatus value) noexcept
{
    if (f_globalThreadIndex != kNoSlot) table().slots[f_globalThreadIndex].status = value;
}

size_t kelThread::slotsInUse() noexcept
{
    ThreadTable& tt = table();
    std::lock_guard lock(tt.mutex);
    return static_cast<size_t>(std::count(std::begin(tt.inUse), std::end(tt.inUse), uint8_t{1}));
}

// --- default hooks --------------------------------------------------------------

intptr_t kelThread::execute(uintptr_t)
{
    return f_onExecute ? f_onExecute(this) : 0;
}

bool kelThread::grantStart()
{
    return true;
}

bool kelThread::grantStop()
{
    return true;
}
