#pragma once
// kelmtlInOutPipe: the base of every media component.
//
// A pipe may take data from providers, work on it, and hand what it produces
// to consumers. The base owns the links in both directions (never the linked
// components), opens consumers before and closes them after their provider,
// delivers every produced block to each active consumer, passes a format
// block down the chain when it changes (the format is opaque here and known
// by its CRC), may decouple itself from its providers through a queue served
// by a time-critical thread (kelDataProxyThread), counts bytes in and out and
// can dump what passes in or out to files.
//
// Threads. open/close and linking usually run on the window thread. A
// producer calls onNewData() on its own thread (an audio callback, a socket
// thread, a device thread); each active consumer's write() and so its
// doWrite() run inside that call, on that thread, unless the consumer has
// its data proxy enabled, in which case doWrite() runs on the consumer's
// proxy thread. doWrite() must therefore be safe against the subclass's other
// threads. Events are raised on the thread that produced the data or asked
// for the format change; assign them before the component is linked and
// opened. Blocks handed to doWrite() and to events are valid only during the
// call.
//
// Make and free pipes with kelCreate / kelFree: freeing closes the pipe and
// unlinks it from every provider and consumer while the subclass is whole.
//
// Nothing raises to a caller: exceptions from the subclass hooks and from
// event handlers are caught at these boundaries and reported.

#include "core/kelCreate.h"
#include "core/kelObject.h"
#include "core/kelTypes.h"
#include "pipes/kelComponent.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class kelObjectList;
class kelDataProxyThread;
class kelmtlInOutPipe;

// Produced data, before (onDataDSP: the handler may change the bytes in
// place) or after (onDataAvailable) delivery to the consumers.
using kelmtlPipeDataEvent = std::function<void(kelmtlInOutPipe* sender, void* data, uint32_t len)>;
// A provider's format was taken and passed on.
using kelmtlPipeAfterFormatChangeEvent = std::function<void(
    kelmtlInOutPipe* sender, kelmtlInOutPipe* provider, const void* newFormat, uint32_t len)>;
// A provider offers a new format; clearing `allowFormatChange` refuses it.
using kelmtlPipeBeforeFormatChangeEvent =
    std::function<void(kelmtlInOutPipe* sender, kelmtlInOutPipe* provider, const void* newFormat,
                       uint32_t len, bool& allowFormatChange)>;

// Bits of ignoreProviderOptions.
inline constexpr uintptr_t kelIpoNoActivation = 1; // do not follow the providers' open and close
inline constexpr uintptr_t kelIpoNoFormat = 2;     // do not accept the providers' formats

class kelmtlInOutPipe : public kelComponent
{
public:
    // Lock timeouts of the pipe, in ms.
    static constexpr intptr_t kLinkListTimeout = 300;  // the link lists' own operations
    static constexpr intptr_t kActivateTimeout = 3000; // open, close(0), setActive, destruction
    static constexpr intptr_t kDeliveryTimeout = 50;   // onNewData's read lock on the consumers
    static constexpr intptr_t kAddConsumerTimeout = 1005;
    static constexpr intptr_t kSendFormatTimeout = 1006;
    static constexpr intptr_t kAddProviderTimeout = 1007;
    static constexpr intptr_t kSetConsumerTimeout = 1008;
    static constexpr intptr_t kFollowProviderTimeout = 10054; // a new consumer follows its provider's state
    static constexpr intptr_t kRemovedTimeout = 100;          // component-removed notification

    explicit kelmtlInOutPipe(kelComponent* owner = nullptr);
    ~kelmtlInOutPipe() override;

    // --- Data --------------------------------------------------------------
    // Hands a block to this component; `provider` is the component it comes
    // from (or null). Returns the bytes taken: 0 for a null or empty block,
    // when doWrite() refused or raised, or when the proxy queue is full.
    // With the data proxy enabled the block is copied into the queue and the
    // call returns at once. Any thread.
    uint32_t write(const void* data, uint32_t len, kelmtlInOutPipe* provider = nullptr);
    uint32_t write(const std::string& bytes, kelmtlInOutPipe* provider = nullptr);
    // Pull-style reading, for subclasses that support it (doRead).
    uint32_t read(void* data, uint32_t len);
    std::string read(uint32_t len);

    // --- Activation --------------------------------------------------------
    // Opens this component (and, with autoActivate, its consumers first)
    // within 3000 ms; returns active() afterwards.
    bool open(kelmtlInOutPipe* provider = nullptr);
    // Closes this component, then its consumers (with autoActivate). A
    // timeout of 0 means 3000 ms.
    void close(intptr_t timeout = 0, kelmtlInOutPipe* provider = nullptr);
    // While loading or designing: the requested state; otherwise isActive().
    bool active();
    void setActive(bool value);

    // --- Links -------------------------------------------------------------
    // Links `consumer` after this component (and this component before it).
    // A new consumer gets the current format and follows this component's
    // state (opened when it is active, closed when not). forceNewFormat sends
    // the format again even when it has not changed. A link is always held
    // by both sides or by neither: false, and nothing linked, when either
    // side's list stayed busy beyond its timeout. Usually the window thread.
    bool addConsumer(kelmtlInOutPipe* consumer, bool forceNewFormat = true);
    // Unlinks both sides; a link whose other side stays busy is left whole.
    void removeConsumer(kelmtlInOutPipe* consumer);
    bool addProvider(kelmtlInOutPipe* provider);
    void removeProvider(kelmtlInOutPipe* provider);

    // Links are held in ascending order of object address, not in the order
    // they were made. Null past the end or when the list is busy.
    kelmtlInOutPipe* getConsumer(intptr_t index);
    kelmtlInOutPipe* getProvider(intptr_t index);
    // -1 when absent.
    intptr_t getConsumerIndex(const kelmtlInOutPipe* value);
    intptr_t getProviderIndex(const kelmtlInOutPipe* value);
    intptr_t consumerCount();
    intptr_t providerCount();
    kelmtlInOutPipe* consumers(intptr_t index) { return getConsumer(index); }
    kelmtlInOutPipe* providers(intptr_t index) { return getProvider(index); }
    // The first consumer; setting it replaces the first consumer (null only
    // removes it).
    kelmtlInOutPipe* consumer() { return getConsumer(0); }
    void setConsumer(kelmtlInOutPipe* value);
    kelmtlInOutPipe* providerOneAndOnly() { return getProvider(0); }

    // --- Format ------------------------------------------------------------
    // Forgets the CRC of the last format sent, so the next check sends again.
    void clearFormatCRC() noexcept { f_formatCRC.store(0, std::memory_order_release); }
    uint32_t formatCRC() const noexcept { return f_formatCRC.load(std::memory_order_acquire); }

    // --- The component lock ------------------------------------------------
    [[nodiscard]] bool enter(bool ro, intptr_t timeout) noexcept
    {
        return f_lockObj.acquire(ro, timeout, false);
    }
    void leaveRO() noexcept { f_lockObj.releaseRO(); }
    void leaveWO() noexcept { f_lockObj.releaseWO(); }

    // --- Properties --------------------------------------------------------
    bool autoActivate() const noexcept { return f_autoActivate.load(std::memory_order_acquire); }
    void setAutoActivate(bool value) noexcept { f_autoActivate.store(value, std::memory_order_release); }
    uintptr_t ignoreProviderOptions() const noexcept { return f_ipo.load(std::memory_order_acquire); }
    void setIgnoreProviderOptions(uintptr_t value) noexcept { f_ipo.store(value, std::memory_order_release); }
    bool enableDataProcessing() const noexcept { return f_enableDP.load(std::memory_order_acquire); }
    void setEnableDataProcessing(bool value);
    // Dump file names (UTF-16; surrounding blanks are ignored). Whether a
    // file is used is decided when the component opens: an existing file is
    // appended to, a missing one is created.
    kelString dumpInput() const;
    void setDumpInput(const kelString& value);
    kelString dumpOutput() const;
    void setDumpOutput(const kelString& value);
    // Bytes taken by write() (with the proxy: queued) and bytes produced
    // through onNewData() since the component last opened.
    int64_t inBytes() const noexcept { return f_inBytes.load(std::memory_order_relaxed); }
    int64_t outBytes() const noexcept { return f_outBytes.load(std::memory_order_relaxed); }
    uint32_t availableDataLenIn() { return getAvailableDataLen(0); }
    uint32_t availableDataLenOut() { return getAvailableDataLen(1); }
    int64_t position() { return getPosition(); }
    int64_t getPosition();

    kelString _classID() const override { return u"kelmtlInOutPipe"; }

protected:
    // --- Subclass hooks ------------------------------------------------------
    // Consumes a written block; returns the bytes taken. Called on the
    // provider's thread, or on the proxy thread when the proxy is enabled.
    virtual uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) = 0;
    virtual uint32_t doRead(void* data, uint32_t len) = 0;
    // Bytes waiting on the input (0) or output (1) side.
    virtual uint32_t getAvailableDataLen(int index) = 0;
    // Opens the device or session. Call the base first, while isActive() is
    // still false: it resets the counters and decides the dump files.
    virtual bool doOpen();
    // Closes the device or session; the base stops the proxy thread.
    virtual void doClose();
    // The truth about being open.
    virtual bool isActive() = 0;
    // Takes a provider's format. The base asks onFormatChangeBefore, passes
    // the block on to this component's consumers, raises
    // onFormatChangeAfter and returns whether all consumers took it. A
    // subclass that understands the format reconfigures itself (closing and
    // reopening when `restoreActiveState` says it was active) and calls the
    // base.
    virtual bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                             bool restoreActiveState);
    // A format provider fills `data` with a block describing its output
    // format and returns its size; the base returns 0.
    virtual uint32_t getFormatExchangeData(std::vector<uint8_t>& data);
    virtual int64_t doGetPosition() { return 0; }
    virtual bool doAddProvider(kelmtlInOutPipe* provider);
    virtual void doRemoveProvider(kelmtlInOutPipe* provider);
    virtual bool doAddConsumer(kelmtlInOutPipe* consumer, bool forceNewFormat);
    virtual void doRemoveConsumer(kelmtlInOutPipe* consumer);
    virtual void doSetEnableDP(bool value);

    // --- For producing subclasses --------------------------------------------
    // Hands a produced block on: onDataDSP, every active consumer's write()
    // (a block that finds the consumer list locked for more than 50 ms
    // reaches no consumer), the output dump, outBytes, onDataAvailable.
    // `data` must be writable: onDataDSP may change it in place. The same
    // block reaches every consumer, so a consumer must not change it. False
    // for a null or empty block. Called on the producing thread.
    bool onNewData(void* data, uint32_t len, kelmtlInOutPipe* provider);
    // Counts bytes a component put out by other means than onNewData (a
    // network sender's packets) in outBytes. Any thread.
    void countOutBytes(int64_t bytes) noexcept { f_outBytes.fetch_add(bytes, std::memory_order_relaxed); }
    // A format provider calls it when its format may have changed: sends the
    // format to the consumers when its CRC differs from the last one sent.
    // Returns isFormatProvider().
    bool checkFormatChange(bool restoreActiveState);
    // Opens or closes within `timeout` ms. Concurrent calls wait for each
    // other, polling every millisecond. Returns active() afterwards.
    bool doSetActive(bool activate, intptr_t timeout, kelmtlInOutPipe* provider);
    // Offers a format block to every consumer that accepts formats; true when
    // all of them took it, and at once when this component provides no
    // format. False without consumers or when they are busy for 1006 ms.
    bool sendFormatToConsumers(const void* data, uint32_t len, bool restoreActiveState,
                               kelmtlInOutPipe* provider);
    // With autoActivate: opens or closes every consumer that follows its
    // providers.
    void activateConsumers(bool activate, intptr_t timeout);
    // Raise the format events for subclasses that change their own format.
    // The first returns the handler's answer (true without a handler).
    bool fireFormatChangeBefore(kelmtlInOutPipe* provider, const void* data, uint32_t len);
    void fireFormatChangeAfter(kelmtlInOutPipe* provider, const void* data, uint32_t len);

    // True while doClose() runs.
    bool closing() const noexcept { return f_closing.load(std::memory_order_acquire); }

    // --- Published by subclasses that support them ---------------------------
    bool isFormatProvider() const noexcept { return f_isFormatProvider.load(std::memory_order_acquire); }
    void setIsFormatProvider(bool value) noexcept
    {
        f_isFormatProvider.store(value, std::memory_order_release);
    }
    bool enableDataProxy() const noexcept { return f_enableDataProxy.load(std::memory_order_acquire); }
    void setEnableDataProxy(bool value) noexcept
    {
        f_enableDataProxy.store(value, std::memory_order_release);
    }
    const kelmtlPipeDataEvent& onDataAvailable() const noexcept { return f_dataAvail; }
    void setOnDataAvailable(kelmtlPipeDataEvent handler) { f_dataAvail = std::move(handler); }
    const kelmtlPipeDataEvent& onDataDSP() const noexcept { return f_dataDSP; }
    void setOnDataDSP(kelmtlPipeDataEvent handler) { f_dataDSP = std::move(handler); }
    const kelmtlPipeAfterFormatChangeEvent& onFormatChangeAfter() const noexcept
    {
        return f_afterFormatChange;
    }
    void setOnFormatChangeAfter(kelmtlPipeAfterFormatChangeEvent handler)
    {
        f_afterFormatChange = std::move(handler);
    }
    const kelmtlPipeBeforeFormatChangeEvent& onFormatChangeBefore() const noexcept
    {
        return f_beforeFormatChange;
    }
    void setOnFormatChangeBefore(kelmtlPipeBeforeFormatChangeEvent handler)
    {
        f_beforeFormatChange = std::move(handler);
    }

    // The proxy thread (started on the first queued block).
    kelDataProxyThread* dataProxyThread() const noexcept { return f_dataProxyThread.get(); }

    // --- Component model -----------------------------------------------------
    // Applies an activation requested while loading.
    void loaded() override;
    // Drops a removed pipe from both link lists, without calling it back.
    void componentRemoved(kelComponent* component) override;
    // Closes, stops the proxy and unlinks from every provider and consumer.
    // A subclass overriding it calls this last.
    void beforeDestruction() override;

private:
    friend class kelDataProxyThread;

    bool loadingOrDesigning() const noexcept { return loading() || designing(); }
    // Appends to the input or output dump file when it is enabled.
    void dumpBlock(bool input, const void* data, uint32_t len);
    // The dump file to use, decided at open: empty when dumping is off.
    static kelString openDumpFile(const kelString& name);
    // Unlinking at destruction; see beforeDestruction().
    void unlinkAll();

    kelObject f_lockObj;
    std::atomic<bool> f_shouldActivate{false};
    std::atomic<bool> f_isFormatProvider{false};
    std::atomic<bool> f_autoActivate{true};
    std::atomic<bool> f_enableDataProxy{false};
    std::atomic<bool> f_closing{false};
    std::atomic<intptr_t> f_activateState{0};
    // The thread whose open or close runs; a nested call from it does not
    // wait for itself.
    std::atomic<std::thread::id> f_activateThread{};
    std::atomic<bool> f_enableDP{true};
    // The dump names and the files chosen at open; the flags let the data
    // path skip the guard when nothing is dumped.
    mutable std::mutex f_dumpGuard;
    kelString f_dumpOutput;
    kelString f_dumpInput;
    kelString f_dumpOutputFile;
    kelString f_dumpInputFile;
    std::atomic<bool> f_dumpOutputOK{false};
    std::atomic<bool> f_dumpInputOK{false};
    std::atomic<uintptr_t> f_ipo{0};
    std::atomic<int64_t> f_inBytes{0};
    std::atomic<int64_t> f_outBytes{0};
    kelmtlPipeDataEvent f_dataAvail;
    kelmtlPipeDataEvent f_dataDSP;
    kelmtlPipeAfterFormatChangeEvent f_afterFormatChange;
    kelmtlPipeBeforeFormatChangeEvent f_beforeFormatChange;
    std::atomic<uint32_t> f_formatCRC{0};
    std::unique_ptr<kelObjectList> f_consumers;
    std::unique_ptr<kelObjectList> f_providers;
    kelOwned<kelDataProxyThread> f_dataProxyThread;
};
