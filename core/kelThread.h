#pragma once
// kelThread: the base of every worker thread of the library.
//
// A subclass overrides execute() (or a user assigns onExecute) and loops until
// it is asked to stop. The run-time state of every thread object (status, stop
// request, priority, thread handle and id, its events) lives in a process-wide
// table of 1024 slots addressed by globalIndex(); the thread procedure reaches
// the object only through that table, inside an enter/leave pair, so the
// object can be freed while its operating-system thread is still unwinding.
//
// Stopping is cooperative. A body tests shouldStop() in its loop, sleeps with
// sleepThread() and waits on events with waitForEvent(); all of these return
// at once when a stop is requested. A body that waits in poll() adds wakeFd()
// to its descriptors. pause() is honoured by the body at those same points.
//
// A stop with `force` whose thread does not end in time abandons the run: the
// object reads keltsStopped with exit code 1973 at once, the late body sees
// shouldStop() true from then on, and when it finally returns its epilogue
// touches nothing but its own reference to the slot. A new start() waits for
// such a body to finish (or fails), and freeing the object waits until the
// body has left the object.
//
// Make and free thread objects with kelCreate / kelFree: an `active` thread
// starts in afterConstruction(), and the stop that must precede destruction
// runs in beforeDestruction(), while the subclass is still whole.
// A body may free its own object once start() has returned; it must not
// touch the object afterwards.

#include "core/kelEvent.h"
#include "core/kelObject.h"

#include <cstdint>
#include <functional>
#include <memory>

class kelThread;
class kelThreadManager;

// Thread status, kept as a 32-bit value.
enum kelThreadStatus : int32_t {
    keltsStopped = 0,
    keltsStopping = 1,
    keltsPaused = 2,
    keltsRunning = 3,
    keltsBeforeRunning = 4,
};

// Thread priorities, in the system's own numbering. Values in between are
// accepted and map to the nearest band (see kelPriorityToNice).
inline constexpr intptr_t kelThreadPriorityIdle = -15;
inline constexpr intptr_t kelThreadPriorityLowest = -2;
inline constexpr intptr_t kelThreadPriorityBelowNormal = -1;
inline constexpr intptr_t kelThreadPriorityNormal = 0;
inline constexpr intptr_t kelThreadPriorityAboveNormal = 1;
inline constexpr intptr_t kelThreadPriorityHighest = 2;
inline constexpr intptr_t kelThreadPriorityTimeCritical = 15;

// The nice value (relative to the process's own) that a priority maps to:
// idle 19, lowest 10, below normal 5, normal 0, above normal -5, highest -10,
// time critical -20. Raising a thread above normal needs the privilege to
// lower nice values; without it the priority setter keeps the old value.
int kelPriorityToNice(intptr_t priority) noexcept;

// Called on the thread itself; its result is the thread's exit code.
using kelThreadOnExecuteMethod = std::function<intptr_t(kelThread* thread)>;

class kelThread : public kelObject
{
public:
    // A timeout of exactly this value means f_defaultStopTimeout in stop().
    static constexpr intptr_t kDefaultTimeout = 4294967295LL;
    // Exit code of a run abandoned by a forced stop.
    static constexpr uintptr_t kForcedExitCode = 1973;
    // Exit code when execute() raised or could not be called.
    static constexpr uintptr_t kFailedExitCode = 4294967295ULL;
    // globalIndex() of an object that got no slot (all 1024 in use).
    static constexpr uintptr_t kNoSlot = UINTPTR_MAX;
    static constexpr size_t kSlotCount = 1024;

    // `active`: start(10000) once constructed (through kelCreate).
    explicit kelThread(bool active = false, intptr_t priority = kelThreadPriorityNormal);
    ~kelThread() override;

    // Starts a new run. From keltsStopped: takes the write lock within
    // `timeout`, creates the thread and waits up to `timeout` for it to enter
    // its body; a body left over from an abandoned run is waited for within
    // the same timeout, and the start fails if it does not finish. From
    // keltsPaused: resumes. True when the thread runs (or began running).
    // Any thread but the body itself.
    bool start(intptr_t timeout = 10000) noexcept;
    // Asks the body to stop and waits up to `timeout` ms for it to end
    // (kDefaultTimeout: the default stop timeout). With `force`, a body that
    // does not end in time is abandoned (see above). Called from the body
    // itself it only asks. True when the status is now keltsStopped or
    // keltsStopping.
    bool stop(intptr_t timeout = kDefaultTimeout, bool force = false) noexcept;
    // Asks the body to stop without waiting.
    void askStop() noexcept;
    // Cooperative pause: the status becomes keltsPaused and the body holds at
    // its next sleepThread / shouldStop until resumed or asked to stop.
    bool pause() noexcept;
    bool resume() noexcept;

    // Waits up to `value` ms (kelEvent::waitFor rules). True when woken by
    // wakeUp() or a stop request before the time ran out; returns at once
    // when the body's stop is already requested. Meant for the body.
    bool sleepThread(int64_t value) noexcept;
    // Wakes a sleepThread / waitForEvent / poll on wakeFd(). Any thread.
    void wakeUp() noexcept;
    // Waits up to `timeout` ms for `event` or a wake-up. True only when
    // `event` fired (its signal consumed); false on timeout, wakeUp() or a
    // stop request. Meant for the body.
    bool waitForEvent(kelEvent& event, int64_t timeout) noexcept;
    // A descriptor that is readable after wakeUp() and while a stop is
    // requested: poll() it beside a socket. After it polls readable, call
    // consumeWake() and test shouldStop(). -1 if it could not be made. It
    // belongs to the run: closed when the body has ended, so a stopped
    // thread holds no descriptor, whoever stopped it.
    int wakeFd() noexcept;
    // Takes a pending wakeUp() signal; a pending stop stays readable.
    void consumeWake() noexcept;
    // Waits up to `wait` ms until `fd` is readable or has an error to
    // report, returning early on wakeUp() or a stop request. True when `fd`
    // is ready. An invalid `fd` (< 0) only sleeps. Meant for the body.
    bool waitReadable(int fd, int64_t wait) noexcept;

    // Waits up to `timeout` ms until no thread procedure of this object is
    // left, an abandoned one included. True when none is.
    bool waitForTerminate(int64_t timeout) noexcept;
    // True while a thread procedure of this object has not finished,
    // including one abandoned by a forced stop.
    bool bodyActive() const noexcept;

    uintptr_t getHandle() const noexcept;
    uint32_t getThreadId() const noexcept;
    // Exit code of the last run that ended (0 before any).
    uintptr_t exitCode() const noexcept;

    uintptr_t globalIndex() const noexcept { return f_globalThreadIndex; }
    // The stop request. Called by the body it also honours a pause, and it
    // is true for a body whose run was abandoned.
    bool shouldStop() noexcept;
    // The stop request of any slot, for code that knows only the index.
    static bool shouldStopThread(uintptr_t globalID) noexcept;

    intptr_t priority() const noexcept;
    // Stores a new priority; on a live thread it is applied first, and the
    // old value is kept when that fails. False then.
    bool setPriority(intptr_t value) noexcept;
    // Off by default. When on, the highest and time-critical priorities run
    // the thread under the real-time FIFO scheduler (which needs the
    // privilege for it) instead of a nice value. False when that fails on a
    // live thread; the old setting stays.
    bool realTimeScheduling() const noexcept;
    bool setRealTimeScheduling(bool value) noexcept;
    kelThreadStatus status() const noexcept;
    // Writes the slot's status directly.
    void setStatus(kelThreadStatus value) noexcept;

    const kelThreadOnExecuteMethod& onExecute() const noexcept { return f_onExecute; }
    // Set before start(); the body reads it.
    void setOnExecute(kelThreadOnExecuteMethod handler) { f_onExecute = std::move(handler); }
    intptr_t defaultStopTimeout() const noexcept { return f_defaultStopTimeout; }
    void setDefaultStopTimeout(intptr_t value) noexcept { f_defaultStopTimeout = value; }
    // Free for the owner's use (a manager may note itself); unused here.
    kelThreadManager* manager() const noexcept { return f_manager; }
    void setManager(kelThreadManager* value) noexcept { f_manager = value; }

    // Slots in use in the whole process (diagnostics and tests).
    static size_t slotsInUse() noexcept;

    kelString _classID() const override { return u"kelThread"; }

protected:
    // The body, run on the thread; its result is the exit code. Default: the
    // onExecute handler, else 0.
    virtual intptr_t execute(uintptr_t globalIndex);
    // Asked by start() / stop() (not by a forced stop); false refuses.
    virtual bool grantStart();
    virtual bool grantStop();
    // Run on the thread before and after execute(). start() returns once
    // startIn() is done; when it raises the run ends without execute().
    virtual void startIn() {}
    virtual void startOut() {}
    virtual bool afterPause();
    virtual bool afterResume();

    // Starts an `active` thread. A subclass overriding it calls this last.
    void afterConstruction() override;
    // Stops the thread (forcing after one second) and detaches from the slot;
    // waits while the body is inside a call into this object. A subclass
    // overriding it calls this first.
    void beforeDestruction() override;

private:
    friend struct kelThreadProcedure;

    bool isOwnBody() const noexcept;
    bool ownRunAbandoned() const noexcept;
    void holdWhilePaused() noexcept;
    void abandonRun(uint64_t token) noexcept;
    void shutdown() noexcept;

    uintptr_t f_globalThreadIndex = kNoSlot;
    bool f_initialActive = false;
    intptr_t f_defaultStopTimeout = 3000;
    kelThreadOnExecuteMethod f_onExecute;
    kelThreadManager* f_manager = nullptr;
    // Shared with the slot, so a late thread procedure can still signal them
    // after this object is gone.
    std::shared_ptr<kelEvent> f_eventStop;
    std::shared_ptr<kelEvent> f_eventHandleReady;
    std::shared_ptr<kelEvent> f_eventRunning;
    std::shared_ptr<kelEvent> f_sleepEvent;
    bool f_shutDown = false;
};
