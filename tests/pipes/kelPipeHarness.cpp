#include "kelPipeHarness.h"

#include "platform/kelPlatformThread.h"

#include <chrono>
#include <stdexcept>

void kelPipeJournal::add(const std::string& entry)
{
    std::lock_guard<std::mutex> guard(f_guard);
    f_entries.push_back(entry);
}

std::vector<std::string> kelPipeJournal::entries() const
{
    std::lock_guard<std::mutex> guard(f_guard);
    return f_entries;
}

void kelPipeJournal::clear()
{
    std::lock_guard<std::mutex> guard(f_guard);
    f_entries.clear();
}

kelTestPipe::kelTestPipe(std::string name, kelPipeJournal* journal, kelComponent* owner)
    : kelmtlInOutPipe(owner), f_name(std::move(name)), f_journal(journal)
{}

std::vector<kelTestBlock> kelTestPipe::blocks() const
{
    std::lock_guard<std::mutex> guard(f_guard);
    return f_blocks;
}

size_t kelTestPipe::blockCount() const
{
    std::lock_guard<std::mutex> guard(f_guard);
    return f_blockCount;
}

std::vector<uint8_t> kelTestPipe::lastFormat() const
{
    std::lock_guard<std::mutex> guard(f_guard);
    return f_lastFormat;
}

kelmtlInOutPipe* kelTestPipe::lastFormatProvider() const
{
    std::lock_guard<std::mutex> guard(f_guard);
    return f_lastFormatProvider;
}

bool kelTestPipe::waitForBlocks(size_t count, int64_t timeoutMs) const
{
    std::unique_lock<std::mutex> guard(f_guard);
    return f_arrived.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [&] { return f_blockCount >= count; });
}

void kelTestPipe::setFormat(std::vector<uint8_t> format)
{
    std::lock_guard<std::mutex> guard(f_guard);
    f_format = std::move(format);
}

void kelTestPipe::setWriteGate(kelEvent* gate, kelEvent* entered) noexcept
{
    f_writeEntered = entered;
    f_writeGate = gate;
}

void kelTestPipe::setOpenGate(kelEvent* gate, kelEvent* entered) noexcept
{
    f_openEntered = entered;
    f_openGate = gate;
}

uint32_t kelTestPipe::doWrite(const void* data, uint32_t len, kelmtlInOutPipe* provider)
{
    if (f_throwOnWrite) throw std::runtime_error("doWrite failed");
    if (kelEvent* gate = f_writeGate.load()) {
        if (kelEvent* entered = f_writeEntered.load()) entered->setState(true);
        (void)gate->waitFor(10000);
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    {
        std::lock_guard<std::mutex> guard(f_guard);
        ++f_blockCount;
        if (f_recordBlocks)
            f_blocks.push_back({std::vector<uint8_t>(bytes, bytes + len), provider, kelCurrentThreadId()});
    }
    f_arrived.notify_all();
    return len;
}

uint32_t kelTestPipe::doRead(void*, uint32_t)
{
    return 0;
}

uint32_t kelTestPipe::getAvailableDataLen(int)
{
    return 0;
}

bool kelTestPipe::doOpen()
{
    if (kelEvent* gate = f_openGate.load()) {
        if (kelEvent* entered = f_openEntered.load()) entered->setState(true);
        (void)gate->waitFor(10000);
    }
    if (f_throwOnOpen) throw std::runtime_error("doOpen failed");
    (void)kelmtlInOutPipe::doOpen();
    ++f_opens;
    if (f_journal) f_journal->add(f_name + ":open");
    f_open = true;
    return true;
}

void kelTestPipe::doClose()
{
    kelmtlInOutPipe::doClose();
    ++f_closes;
    if (f_journal) f_journal->add(f_name + ":close");
    f_open = false;
}

bool kelTestPipe::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                              bool restoreActiveState)
{
    ++f_formats;
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        std::lock_guard<std::mutex> guard(f_guard);
        f_lastFormat.assign(bytes, bytes + len);
        f_lastFormatProvider = provider;
    }
    return kelmtlInOutPipe::applyFormat(data, len, provider, restoreActiveState);
}

uint32_t kelTestPipe::getFormatExchangeData(std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> guard(f_guard);
    data = f_format;
    return static_cast<uint32_t>(data.size());
}

bool kelTestPipe::doAddProvider(kelmtlInOutPipe* provider)
{
    if (f_refuseProviderChanges.fetch_sub(1) > 0) return false;
    f_refuseProviderChanges = 0;
    return kelmtlInOutPipe::doAddProvider(provider);
}

void kelTestPipe::doRemoveProvider(kelmtlInOutPipe* provider)
{
    if (f_refuseProviderChanges.fetch_sub(1) > 0) return;
    f_refuseProviderChanges = 0;
    kelmtlInOutPipe::doRemoveProvider(provider);
}
