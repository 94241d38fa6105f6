#include "net/sockets/kelIOCP.h"

#include <unistd.h>

#include <atomic>
#include <new>

namespace {

std::atomic<intptr_t> g_processors{0};

} // namespace

kelIOCPClass::kelIOCPClass(intptr_t) noexcept : f_numProc(processorCount())
{
    if (!available()) return;
    f_handle.reset(new (std::nothrow) kelCompletionPort);
    if (f_handle && !f_handle->ok()) f_handle.reset();
}

kelIOCPClass::~kelIOCPClass() = default;

intptr_t kelIOCPClass::processorCount() noexcept
{
    if (const intptr_t forced = g_processors.load(); forced > 0) return forced;
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? n : 1;
}

void kelIOCPClass::setProcessorCountForTesting(intptr_t count) noexcept
{
    g_processors.store(count > 0 ? count : 0);
}

bool kelIOCPClass::associate(kelSocketHandle device, uintptr_t key, intptr_t) noexcept
{
    return f_handle && f_handle->associate(static_cast<int>(device), key);
}

bool kelIOCPClass::dissociate(kelSocketHandle device) noexcept
{
    return f_handle && f_handle->dissociate(static_cast<int>(device));
}

kelIOCPWorkerThread::kelIOCPWorkerThread(kelIOCPClass* port, bool activate, intptr_t prio,
                                         intptr_t timeout) noexcept
    : kelThread(activate, prio), f_port(port), f_timeout(timeout)
{}

void kelIOCPWorkerThread::onCompletion(uint32_t, uintptr_t, kelCPOperation*) noexcept {}

void kelIOCPWorkerThread::onCompletionError(uintptr_t, kelCPOperation*, int) noexcept {}

intptr_t kelIOCPWorkerThread::execute(uintptr_t)
{
    kelCompletionPort* port = f_port ? f_port->handle() : nullptr;
    if (!port) return -3;
    int failures = 0;
    while (!shouldStop()) {
        kelCPCompletion c;
        const int rc = port->wait(c, f_timeout, wakeFd());
        if (rc == 0) {
            if (c.error != 0 && c.op)
                onCompletionError(c.key, c.op, c.error);
            else
                onCompletion(c.bytes, c.key, c.op);
            // Only now may another worker serve that socket.
            port->finishServing();
        } else if (rc == kelCPOperationAborted) {
            consumeWake();
        } else if (rc != kelCPWaitTimeout && ++failures >= 100) {
            return -2;
        }
    }
    return failures ? -1 : 0;
}
