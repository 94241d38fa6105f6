#pragma once
// A pipe harness for component tests: kelTestPipe records every block,
// format, open and close it sees, and publishes the protected operations a
// test drives. A shared kelPipeJournal keeps the order of opens and closes
// across components.

#include "core/kelEvent.h"
#include "pipes/kelMT_pipe.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class kelPipeJournal
{
public:
    void add(const std::string& entry);
    std::vector<std::string> entries() const;
    void clear();

private:
    mutable std::mutex f_guard;
    std::vector<std::string> f_entries;
};

struct kelTestBlock
{
    std::vector<uint8_t> bytes;
    kelmtlInOutPipe* provider = nullptr;
    uint32_t threadId = 0;
};

class kelTestPipe : public kelmtlInOutPipe
{
public:
    explicit kelTestPipe(std::string name = "pipe", kelPipeJournal* journal = nullptr,
                         kelComponent* owner = nullptr);

    // What the pipe saw.
    std::vector<kelTestBlock> blocks() const;
    size_t blockCount() const;
    int opens() const noexcept { return f_opens.load(); }
    int closes() const noexcept { return f_closes.load(); }
    int formatsApplied() const noexcept { return f_formats.load(); }
    std::vector<uint8_t> lastFormat() const;
    kelmtlInOutPipe* lastFormatProvider() const;
    // Waits (bounded) until at least `count` blocks arrived.
    bool waitForBlocks(size_t count, int64_t timeoutMs) const;

    // Behaviour.
    void setFormat(std::vector<uint8_t> format);
    void setThrowOnWrite(bool value) noexcept { f_throwOnWrite = value; }
    void setThrowOnOpen(bool value) noexcept { f_throwOnOpen = value; }
    // The next `count` calls of doAddProvider / doRemoveProvider do nothing,
    // as when the provider list is too busy to be changed.
    void refuseProviderChanges(int count) noexcept { f_refuseProviderChanges = count; }
    // Off: blocks are only counted (for long runs).
    void setRecordBlocks(bool value) noexcept { f_recordBlocks = value; }
    // While a gate is set, doWrite (or doOpen) signals `entered` and waits
    // for the gate before it goes on.
    void setWriteGate(kelEvent* gate, kelEvent* entered) noexcept;
    void setOpenGate(kelEvent* gate, kelEvent* entered) noexcept;

    // Published operations.
    using kelmtlInOutPipe::activateConsumers;
    using kelmtlInOutPipe::checkFormatChange;
    using kelmtlInOutPipe::closing;
    using kelmtlInOutPipe::dataProxyThread;
    using kelmtlInOutPipe::doSetActive;
    using kelmtlInOutPipe::enableDataProxy;
    using kelmtlInOutPipe::isFormatProvider;
    using kelmtlInOutPipe::sendFormatToConsumers;
    using kelmtlInOutPipe::setEnableDataProxy;
    using kelmtlInOutPipe::setIsFormatProvider;
    using kelmtlInOutPipe::setOnDataAvailable;
    using kelmtlInOutPipe::setOnDataDSP;
    using kelmtlInOutPipe::setOnFormatChangeAfter;
    using kelmtlInOutPipe::setOnFormatChangeBefore;
    bool produce(void* data, uint32_t len) { return onNewData(data, len, this); }
    bool produce(std::string bytes)
    {
        return onNewData(bytes.data(), static_cast<uint32_t>(bytes.size()), this);
    }
    void notifyRemoved(kelComponent* component) { componentRemoved(component); }

    const std::string& name() const noexcept { return f_name; }

protected:
    uint32_t doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider) override;
    uint32_t doRead(void* data, uint32_t len) override;
    uint32_t getAvailableDataLen(int index) override;
    bool doOpen() override;
    void doClose() override;
    bool isActive() override { return f_open.load(); }
    bool applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                     bool restoreActiveState) override;
    uint32_t getFormatExchangeData(std::vector<uint8_t>& data) override;
    bool doAddProvider(kelmtlInOutPipe* provider) override;
    void doRemoveProvider(kelmtlInOutPipe* provider) override;

private:
    const std::string f_name;
    kelPipeJournal* f_journal;
    std::atomic<bool> f_open{false};
    std::atomic<bool> f_throwOnWrite{false};
    std::atomic<bool> f_throwOnOpen{false};
    std::atomic<bool> f_recordBlocks{true};
    std::atomic<int> f_opens{0};
    std::atomic<int> f_closes{0};
    std::atomic<int> f_formats{0};
    std::atomic<int> f_refuseProviderChanges{0};
    std::atomic<kelEvent*> f_writeGate{nullptr};
    std::atomic<kelEvent*> f_writeEntered{nullptr};
    std::atomic<kelEvent*> f_openGate{nullptr};
    std::atomic<kelEvent*> f_openEntered{nullptr};
    mutable std::mutex f_guard;
    mutable std::condition_variable f_arrived;
    std::vector<kelTestBlock> f_blocks;
    size_t f_blockCount = 0;
    std::vector<uint8_t> f_format;
    std::vector<uint8_t> f_lastFormat;
    kelmtlInOutPipe* f_lastFormatProvider = nullptr;
};
