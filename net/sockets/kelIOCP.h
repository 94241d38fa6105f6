#pragma once
// The completion-port unit: kelIOCPClass, one port (platform/
// kelCompletionPort.h) with the machine's processor count, and
// kelIOCPWorkerThread, a thread that waits on a port and hands each
// completion to its hooks.

#include "core/kelObject.h"
#include "core/kelThread.h"
#include "platform/kelCompletionPort.h"
#include "platform/kelSocketApi.h"

#include <cstdint>
#include <memory>

class kelIOCPClass : public kelObject
{
public:
    // `numberOfConcurrentThreads` is kept for callers; the port serves any
    // number of waiters.
    explicit kelIOCPClass(intptr_t numberOfConcurrentThreads = 0) noexcept;
    ~kelIOCPClass() override;

    // Ports work on this machine (probed once).
    static bool available() noexcept { return kelCompletionPort::available(); }
    // Processors of the machine, at least 1; tests may inject a count
    // (0 goes back to the machine's).
    static intptr_t processorCount() noexcept;
    static void setProcessorCountForTesting(intptr_t count) noexcept;

    // Serves `device` under `key`. True when it is now associated with
    // this port. `numOfWorkerThreads` is kept for callers.
    bool associate(kelSocketHandle device, uintptr_t key, intptr_t numOfWorkerThreads = 0) noexcept;
    // Must come before the device is closed; its started operations
    // complete with 995.
    bool dissociate(kelSocketHandle device) noexcept;

    // The port, null when ports are unavailable.
    kelCompletionPort* handle() noexcept { return f_handle.get(); }
    intptr_t numProcessors() const noexcept { return f_numProc; }
    kelString _classID() const override { return u"kelIOCPClass"; }

private:
    std::unique_ptr<kelCompletionPort> f_handle;
    intptr_t f_numProc;
};

class kelIOCPWorkerThread : public kelThread
{
public:
    // `port` must outlive the thread. `timeout`: ms per completion wait.
    kelIOCPWorkerThread(kelIOCPClass* port, bool activate, intptr_t prio, intptr_t timeout) noexcept;

    kelIOCPClass* port() const noexcept { return f_port; }
    intptr_t timeout() const noexcept { return f_timeout; }
    kelString _classID() const override { return u"kelIOCPWorkerThread"; }

protected:
    // Until stopped: waits for completions. -3 at once without a port; 0,
    // -1 after some failed waits, -2 after 100 of them.
    intptr_t execute(uintptr_t globalIndex) override;
    // A completed operation (`overlapped` null for a post without one).
    // Worker thread; the operation's socket is served by no other worker
    // until this returns.
    virtual void onCompletion(uint32_t bytes, uintptr_t key, kelCPOperation* overlapped) noexcept;
    // An operation that completed with `error` (995: aborted).
    virtual void onCompletionError(uintptr_t key, kelCPOperation* overlapped, int error) noexcept;

    kelIOCPClass* f_port;
    intptr_t f_timeout;
};
