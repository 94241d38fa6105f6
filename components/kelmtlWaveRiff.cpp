#include "components/kelmtlWaveRiff.h"

#include "audio/kelWaveFormatRoutines.h"
#include "components/kelWaveFormatBlock.h"
#include "core/kelCreate.h"
#include "core/kelFileUtils.h"

#include <cstring>

namespace {

// fileType of MPEG audio, and the format tag such a file reports.
constexpr intptr_t kFileTypeMpeg = 2;
constexpr uintptr_t kFormatTagMpegLayer3 = 85;

} // namespace

kelmtlWaveRiff::kelmtlWaveRiff(kelComponent* owner) : kelmtlInOutWavePipe(owner) {}

kelmtlWaveRiff::~kelmtlWaveRiff() = default;

void kelmtlWaveRiff::resetDefaults()
{
    kelmtlInOutWavePipe::resetDefaults();
    setNeedApplyFormatOnCreate(false);
    setFormatTagImmunable(true);
    f_isInput.store(true);
    {
        std::lock_guard<std::mutex> guard(f_riffGuard);
        f_fileName.clear();
    }
    setNeedDriver(true);
    f_acod.store(true);
}

kelRiffStream* kelmtlWaveRiff::waveStream() const noexcept
{
    return dynamic_cast<kelRiffStream*>(device());
}

void kelmtlWaveRiff::createNewDevice()
{
    const kelString name = fileName();
    kelRiffStream* stream = nullptr;
    if (f_isInput.load()) {
        stream = kelRiffStream::create(name, realTime(), loop(), acm());
    } else {
        // The extensible record goes as it is, so a file of more than two
        // channels keeps the component's speaker mask.
        kelFormatBlock record;
        uintptr_t tag = 0;
        if (writingFormat(record, tag)) stream = kelRiffStream::createNew(name, record.format(), tag, acm());
    }
    if (stream) {
        stream->setOverNumIn(overNum());
        stream->setOverNumOut(overNum());
        stream->setOnStreamIsDone([this](kelRiffStream*) { streamDone(); });
    }
    installDevice(stream);
    kelmtlInOutWavePipe::createNewDevice();
    takeFileFormat();
}

void kelmtlWaveRiff::takeFileFormat()
{
    if (!f_isInput.load()) return;
    kelFormatBlock record;
    const intptr_t type = withDevice(kReplaceDeviceTimeout, intptr_t{-1}, [&record](kelMsAcmStreamDevice* d) {
        auto* stream = dynamic_cast<kelRiffStream*>(d);
        if (!stream || stream->status() != kelRiffReading) return intptr_t{-1};
        const kelFormatBlock& dst = stream->dstFormatBlock();
        if (dst.empty() || !record.resize(dst.size())) return intptr_t{-1};
        std::memcpy(record.data(), dst.data(), dst.size());
        return stream->fileType();
    });
    if (type < 0) return;
    storeFormatRecord(std::move(record));
    // Stored directly: the tag of a file is what it is, not a request that
    // re-creates the device.
    setFormatTagValue(type == kFileTypeMpeg ? kFormatTagMpegLayer3 : kelWaveFormatTagPCM);
}

bool kelmtlWaveRiff::writingFormat(kelFormatBlock& record, uintptr_t& tag) const
{
    {
        std::lock_guard<std::mutex> guard(f_riffGuard);
        if (!f_passFormat.empty()) {
            // Data that comes compressed is written as it is.
            tag = kelWaveFormatTagPCM;
            return duplicateFormat(f_passFormat.format(), f_passFormat.size(), record, f_passFormat.size()) !=
                   0;
        }
    }
    record = copyFormatRecord();
    tag = formatTag();
    return record.format() != nullptr;
}

bool kelmtlWaveRiff::applyDeviceFormat(const kelFormatBlock& format, bool /*isSrc*/)
{
    if (f_isInput.load()) return true;
    kelFormatBlock record;
    uintptr_t tag = 0;
    bool passed = false;
    {
        std::lock_guard<std::mutex> guard(f_riffGuard);
        passed = !f_passFormat.empty();
    }
    if (passed) {
        if (!writingFormat(record, tag)) return false;
    } else {
        if (!format.format() || duplicateFormat(format.format(), format.size(), record, format.size()) == 0)
            return false;
        tag = formatTag();
    }
    const kelString name = fileName();
    return withDevice(kReplaceDeviceTimeout, false, [&](kelMsAcmStreamDevice* d) {
        auto* stream = dynamic_cast<kelRiffStream*>(d);
        return stream && stream->assignRIFileWriteSrc(name, record.format(), tag) == kelRiffWriting;
    });
}

bool kelmtlWaveRiff::applyFormat(const void* data, uint32_t len, kelmtlInOutPipe* provider,
                                 bool restoreActiveState)
{
    if (!f_isInput.load()) {
        // A provider whose output is compressed: its format is what the
        // data is, whatever the block's sampling says.
        kelFormatBlock passed;
        auto* wave = dynamic_cast<kelmtlInOutWavePipe*>(provider);
        if (!wave || !wave->compressedOutputRecord(passed)) passed.reset();
        bool passChanged = false;
        {
            std::lock_guard<std::mutex> guard(f_riffGuard);
            passChanged =
                !sameFormat(passed.format(), passed.size(), f_passFormat.format(), f_passFormat.size()) &&
                !(passed.empty() && f_passFormat.empty());
            f_passFormat = std::move(passed);
        }
        const bool accepted = kelmtlInOutWavePipe::applyFormat(data, len, provider, restoreActiveState);
        if (accepted && passChanged) reapplyFormat();
        return accepted;
    }
    // A file that is read has the format it has.
    if (!fireFormatChangeBefore(provider, data, len)) return false;
    fireFormatChangeAfter(provider, data, len);
    return true;
}

uint32_t kelmtlWaveRiff::getFormatExchangeData(std::vector<uint8_t>& data)
{
    if (!f_isInput.load()) return kelmtlInOutWavePipe::getFormatExchangeData(data);
    kelWaveFormat block{};
    const bool fromFile = withDevice(kReplaceDeviceTimeout, false, [&](kelMsAcmStreamDevice* d) {
        auto* stream = dynamic_cast<kelRiffStream*>(d);
        if (!stream || stream->status() != kelRiffReading || stream->srcFormatBlock().empty()) return false;
        block = kelWaveFormatOfRecord(formatTag(), stream->srcFormatBlock());
        return true;
    });
    if (!fromFile) return kelmtlInOutWavePipe::getFormatExchangeData(data);
    return kelWriteWaveFormatBlock(block, data);
}

void kelmtlWaveRiff::setIsInput(bool value)
{
    if (active() || f_isInput.load() == value) return;
    f_isInput.store(value);
    destroyDevice();
}

kelString kelmtlWaveRiff::fileName() const
{
    std::lock_guard<std::mutex> guard(f_riffGuard);
    return f_fileName;
}

void kelmtlWaveRiff::setFileName(const kelString& value)
{
    {
        std::lock_guard<std::mutex> guard(f_riffGuard);
        f_fileName = value;
    }
    close();
    if (!deviceWasCreated()) {
        createDevice();
        return;
    }
    if (f_isInput.load()) {
        (void)withDevice(kReplaceDeviceTimeout, 0, [&value](kelMsAcmStreamDevice* d) {
            if (auto* stream = dynamic_cast<kelRiffStream*>(d)) (void)stream->assignRIFile(value);
            return 0;
        });
        takeFileFormat();
    } else {
        (void)applyDeviceFormat(copyFormatRecord(), false);
    }
}

void kelmtlWaveRiff::setOnStreamIsDone(kelmtlOnStreamIsDone handler)
{
    std::lock_guard<std::mutex> guard(f_riffGuard);
    f_onStreamIsDone = std::move(handler);
}

kelString kelmtlWaveRiff::tmpToKill() const
{
    std::lock_guard<std::mutex> guard(f_riffGuard);
    return f_tmpToKill;
}

void kelmtlWaveRiff::setTmpToKill(const kelString& value)
{
    std::lock_guard<std::mutex> guard(f_riffGuard);
    f_tmpToKill = value;
}

void kelmtlWaveRiff::setLoop(bool value)
{
    kelmtlInOutWavePipe::setLoop(value);
    (void)withDevice(kReplaceDeviceTimeout, 0, [value](kelMsAcmStreamDevice* d) {
        if (auto* stream = dynamic_cast<kelRiffStream*>(d)) stream->setLoop(value);
        return 0;
    });
}

void kelmtlWaveRiff::streamDone()
{
    kelmtlOnStreamIsDone handler;
    {
        std::lock_guard<std::mutex> guard(f_riffGuard);
        handler = f_onStreamIsDone;
    }
    if (handler) {
        try {
            handler(this);
        } catch (...) {
            kelReportHookFailure("kelmtlWaveRiff::onStreamIsDone");
        }
    }
    // The temporary file goes first, so whoever sees the component closed
    // also sees it gone (a mapped file may be unlinked while it is read).
    kelString tmp;
    {
        std::lock_guard<std::mutex> guard(f_riffGuard);
        tmp.swap(f_tmpToKill);
    }
    if (!tmp.empty()) (void)deleteFileAt(tmp);
    // On the device thread: the device's close only asks its own thread to
    // stop, and the wait for another thread's open or close is bounded.
    if (f_acod.load()) close(kAutoCloseTimeout);
}
