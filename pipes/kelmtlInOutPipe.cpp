#include "pipes/kelmtlInOutPipe.h"

#include "core/kelCheck.h"
#include "core/kelFileUtils.h"
#include "core/kelList.h"
#include "core/kelTextUtils.h"
#include "pipes/kelDataProxyThread.h"
#include "platform/kelPlatformThread.h"

#include <new>

namespace {

// Link list items are the pipes themselves, held as objects. The caller of
// pipeAt() holds the list's lock and stays below its count, so the slot is
// read directly instead of through a second, re-entrant lock.
kelmtlInOutPipe* pipeAt(kelObjectList& list, intptr_t index)
{
    KEL_DCHECK(index >= 0 && index < list.count());
    void* const* slot = static_cast<void* const*>(list.getListPtrAt(index));
    return slot ? static_cast<kelmtlInOutPipe*>(static_cast<kelObject*>(*slot)) : nullptr;
}

// Link lists never own the linked components and keep them in address order.
std::unique_ptr<kelObjectList> makeLinkList()
{
    auto list = std::make_unique<kelObjectList>(false, true);
    list->setTimeout(kelmtlInOutPipe::kLinkListTimeout);
    return list;
}
} // namespace

kelmtlInOutPipe::kelmtlInOutPipe(kelComponent* owner)
    : kelComponent(owner), f_consumers(makeLinkList()), f_providers(makeLinkList()),
      f_dataProxyThread(kelCreate<kelDataProxyThread>(this))
{}

kelmtlInOutPipe::~kelmtlInOutPipe() = default;

// --- Data -------------------------------------------------------------------

uint32_t kelmtlInOutPipe::write(const void* data, uint32_t len, kelmtlInOutPipe* provider)
{
    if (!data || len == 0) return 0;
    uint32_t taken = 0;
    if (enableDataProxy()) {
        // The proxy thread dumps what it hands on; bytes count when queued.
        taken = f_dataProxyThread ? f_dataProxyThread->enqueue(data, len, provider) : 0;
    } else {
        try {
            taken = doWrite(data, len, provider);
        } catch (...) {
            kelReportHookFailure("kelmtlInOutPipe::doWrite");
            taken = 0;
        }
        dumpBlock(true, data, len);
    }
    if (taken) f_inBytes.fetch_add(taken, std::memory_order_relaxed);
    return taken;
}

uint32_t kelmtlInOutPipe::write(const std::string& bytes, kelmtlInOutPipe* provider)
{
    if (bytes.size() > UINT32_MAX) return 0;
    return write(bytes.data(), static_cast<uint32_t>(bytes.size()), provider);
}

uint32_t kelmtlInOutPipe::read(void* data, uint32_t len)
{
    if (!data || len == 0) return 0;
    try {
        return doRead(data, len);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::doRead");
        return 0;
    }
}

std::string kelmtlInOutPipe::read(uint32_t len)
{
    std::string bytes;
    try {
        bytes.resize(len);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const uint32_t got = read(bytes.data(), len);
    bytes.resize(got < len ? got : len);
    return bytes;
}

bool kelmtlInOutPipe::onNewData(void* data, uint32_t len, kelmtlInOutPipe* provider)
{
    if (!data || len == 0) return false;
    if (f_dataDSP) {
        try {
            f_dataDSP(this, data, len);
        } catch (...) {
            kelReportHookFailure("kelmtlInOutPipe::onDataDSP");
        }
    }
    // Held read-only, so other producers deliver at the same time; linking
    // waits for the write lock. The same block goes to every consumer.
    if (lockNonEmptyList(f_consumers.get(), true, kDeliveryTimeout)) {
        const intptr_t count = f_consumers->count();
        for (intptr_t i = 0; i < count; ++i) {
            kelmtlInOutPipe* target = pipeAt(*f_consumers, i);
            if (target && target->active()) (void)target->write(data, len, provider);
        }
        unlockListRO(f_consumers.get());
    }
    dumpBlock(false, data, len);
    f_outBytes.fetch_add(len, std::memory_order_relaxed);
    if (f_dataAvail) {
        try {
            f_dataAvail(this, data, len);
        } catch (...) {
            kelReportHookFailure("kelmtlInOutPipe::onDataAvailable");
        }
    }
    return true;
}

// --- Activation -------------------------------------------------------------

bool kelmtlInOutPipe::open(kelmtlInOutPipe* provider)
{
    (void)doSetActive(true, kActivateTimeout, provider);
    return active();
}

void kelmtlInOutPipe::close(intptr_t timeout, kelmtlInOutPipe* provider)
{
    (void)doSetActive(false, timeout == 0 ? kActivateTimeout : timeout, provider);
}

bool kelmtlInOutPipe::active()
{
    if (loadingOrDesigning()) return f_shouldActivate.load(std::memory_order_acquire);
    try {
        return isActive();
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::isActive");
        return false;
    }
}

void kelmtlInOutPipe::setActive(bool value)
{
    if (value)
        (void)open(nullptr);
    else
        close(kActivateTimeout, nullptr);
}

bool kelmtlInOutPipe::doSetActive(bool activate, intptr_t timeout, kelmtlInOutPipe* /*provider*/)
{
    if (loadingOrDesigning()) {
        f_shouldActivate.store(activate, std::memory_order_release);
        return activate;
    }
    const uint64_t mark = tickNow();
    const uint64_t limit = timeout > 0 ? static_cast<uint64_t>(timeout) : 0;
    // One pass at least, even when already in the asked state: opening an
    // open component still opens the consumers that were closed meanwhile.
    // While another open or close runs, its outcome is not yet known: the
    // state read meanwhile says nothing, so this call waits its turn (within
    // the timeout) and the last of them decides.
    bool waiting = false;
    do {
        waiting = false;
        intptr_t idle = 0;
        if (!f_activateState.compare_exchange_strong(idle, activate ? 1 : -1, std::memory_order_acq_rel)) {
            waiting = f_activateThread.load(std::memory_order_acquire) != std::this_thread::get_id();
            kelSleepMs(1);
            continue;
        }
        if (!enter(true, timeout)) {
            f_activateState.store(0, std::memory_order_release);
            waiting = true;
            continue;
        }
        f_activateThread.store(std::this_thread::get_id(), std::memory_order_release);
        if (activate) {
            (void)checkFormatChange(activate);
            activateConsumers(true, timeout);
        }
        if (active() != activate) {
            if (activate) {
                try {
                    (void)doOpen();
                } catch (...) {
                    kelReportHookFailure("kelmtlInOutPipe::doOpen");
                }
            } else {
                try {
                    doClose();
                } catch (...) {
                    kelReportHookFailure("kelmtlInOutPipe::doClose");
                }
                f_closing.store(false, std::memory_order_release);
            }
        }
        if (!activate) activateConsumers(false, timeout);
        f_activateThread.store(std::thread::id{}, std::memory_order_release);
        f_activateState.store(0, std::memory_order_release);
        leaveRO();
        break;
    } while (ticksSince(mark) <= limit && (waiting || active() != activate));
    return active();
}

void kelmtlInOutPipe::activateConsumers(bool activate, intptr_t timeout)
{
    if (!autoActivate()) return;
    if (!lockNonEmptyList(f_consumers.get(), true, timeout)) return;
    const intptr_t count = f_consumers->count();
    for (intptr_t i = 0; i < count; ++i) {
        kelmtlInOutPipe* target = pipeAt(*f_consumers, i);
        if (target && !(target->ignoreProviderOptions() & kelIpoNoActivation))
            (void)target->doSetActive(activate, timeout, this);
    }
    unlockListRO(f_consumers.get());
}

bool kelmtlInOutPipe::doOpen()
{
    if (active()) return true;
    f_inBytes.store(0, std::memory_order_relaxed);
    f_outBytes.store(0, std::memory_order_relaxed);
    f_closing.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> guard(f_dumpGuard);
    f_dumpInputFile = openDumpFile(f_dumpInput);
    f_dumpOutputFile = openDumpFile(f_dumpOutput);
    f_dumpInputOK.store(!f_dumpInputFile.empty(), std::memory_order_release);
    f_dumpOutputOK.store(!f_dumpOutputFile.empty(), std::memory_order_release);
    return true;
}

void kelmtlInOutPipe::doClose()
{
    // Set first: the proxy takes no block while the component closes, so a
    // subclass may shut its device after this returns. Not forced: blocks
    // still queued are dropped when the proxy starts again.
    f_closing.store(true, std::memory_order_release);
    if (f_dataProxyThread) (void)f_dataProxyThread->halt(kelThread::kDefaultTimeout);
}

void kelmtlInOutPipe::loaded()
{
    kelComponent::loaded();
    if (f_shouldActivate.load(std::memory_order_acquire)) setActive(true);
}

// --- Properties -------------------------------------------------------------

void kelmtlInOutPipe::setEnableDataProcessing(bool value)
{
    try {
        doSetEnableDP(value);
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::doSetEnableDP");
    }
}

void kelmtlInOutPipe::doSetEnableDP(bool value)
{
    f_enableDP.store(value, std::memory_order_release);
}

kelString kelmtlInOutPipe::dumpInput() const
{
    std::lock_guard<std::mutex> guard(f_dumpGuard);
    return f_dumpInput;
}

void kelmtlInOutPipe::setDumpInput(const kelString& value)
{
    std::lock_guard<std::mutex> guard(f_dumpGuard);
    f_dumpInput = value;
}

kelString kelmtlInOutPipe::dumpOutput() const
{
    std::lock_guard<std::mutex> guard(f_dumpGuard);
    return f_dumpOutput;
}

void kelmtlInOutPipe::setDumpOutput(const kelString& value)
{
    std::lock_guard<std::mutex> guard(f_dumpGuard);
    f_dumpOutput = value;
}

int64_t kelmtlInOutPipe::getPosition()
{
    try {
        return doGetPosition();
    } catch (...) {
        kelReportHookFailure("kelmtlInOutPipe::doGetPosition");
        return 0;
    }
}

// --- Dump files -------------------------------------------------------------

kelString kelmtlInOutPipe::openDumpFile(const kelString& name)
{
    kelString file = trimText(name);
    if (file.empty()) return {};
    if (fileExistsAt(file)) return file;
    // Created now, so an empty dump exists even when no block comes.
    if (createFileAt(file, false, false) == kelInvalidFile) return {};
    return file;
}

void kelmtlInOutPipe::dumpBlock(bool input, const void* data, uint32_t len)
{
    std::atomic<bool>& enabled = input ? f_dumpInputOK : f_dumpOutputOK;
    if (!enabled.load(std::memory_order_acquire)) return;
    // Serialised, so blocks from several threads never interleave.
    std::lock_guard<std::mutex> guard(f_dumpGuard);
    const kelString& file = input ? f_dumpInputFile : f_dumpOutputFile;
    if (file.empty()) return;
    (void)appendToFile(file, data, len, 0, kelSeekEnd);
}
