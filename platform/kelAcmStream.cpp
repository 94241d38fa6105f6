// The compression manager's conversion streams: each call becomes one
// ACMDM_STREAM_* message to the stream's driver, with the layer's copies of
// the format records and a driver-side header per prepared caller header.

#include "platform/kelAcmApi.h"

#include "platform/kelAcmTable.h"

#include <algorithm>
#include <cstring>

namespace {

std::vector<uint8_t> copyFormat(const WAVEFORMATEX* format)
{
    const uint32_t size = kelAcmFormatSize(format);
    // At least a whole WAVEFORMATEX, so that a driver may read cbSize of a
    // 16-byte PCM record (as 0).
    std::vector<uint8_t> copy(std::max<size_t>(size, sizeof(WAVEFORMATEX)), 0);
    std::memcpy(copy.data(), format, size);
    return copy;
}

// The stream of `handle`, locked, or null (the lock not taken) when the
// handle is not an open stream.
struct LockedStream
{
    std::shared_ptr<kelAcmStreamState> stream;
    std::unique_lock<std::mutex> lock;

    explicit LockedStream(HACMSTREAM handle) : stream(kelAcmTable::get().stream(handle))
    {
        if (!stream) return;
        lock = std::unique_lock(stream->lock);
        if (stream->closed) {
            lock.unlock();
            stream.reset();
        }
    }
    explicit operator bool() const noexcept { return stream != nullptr; }
};

bool headerSizeOk(const ACMSTREAMHEADER* header) noexcept
{
    return header != nullptr && header->cbStruct >= sizeof(ACMSTREAMHEADER);
}

intptr_t sendStream(kelAcmStreamState& stream, uint32_t message, intptr_t lParam2) noexcept
{
    return kelAcmSend(*stream.instance, message, intptr_t(&stream.si), lParam2);
}

// A driver that needs no preparation or reset answers "not supported".
MMRESULT notNeededIsDone(intptr_t answer) noexcept
{
    return answer == MMSYSERR_NOTSUPPORTED ? MMSYSERR_NOERROR : MMRESULT(answer);
}

} // namespace

MMRESULT acmStreamOpen(HACMSTREAM* stream, HACMDRIVER driver, const WAVEFORMATEX* src,
                       const WAVEFORMATEX* dst, const WAVEFILTER* filter, uintptr_t callback,
                       uintptr_t instance, uint32_t flags) noexcept
{
    if (stream != nullptr) *stream = nullptr;
    if (src == nullptr || dst == nullptr) return MMSYSERR_INVALPARAM;
    if (flags & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME))
        return MMSYSERR_INVALFLAG;
    const bool query = (flags & ACM_STREAMOPENF_QUERY) != 0;
    if (!query && stream == nullptr) return MMSYSERR_INVALPARAM;
    if (filter != nullptr && filter->cbStruct < sizeof(WAVEFILTER)) return MMSYSERR_INVALPARAM;
    // Conversions run on the caller's thread; there is no asynchronous mode.
    if (flags & ACM_STREAMOPENF_ASYNC) return ACMERR_NOTPOSSIBLE;
    try {
        auto& table = kelAcmTable::get();
        std::vector<std::shared_ptr<kelAcmDriverInstance>> candidates;
        if (driver == nullptr) {
            candidates = kelAcmEnabledDrivers();
        } else {
            auto opened = table.instance(driver);
            if (!opened) return MMSYSERR_INVALHANDLE;
            candidates.push_back(std::move(opened));
        }
        auto state = std::make_shared<kelAcmStreamState>();
        state->src = copyFormat(src);
        state->dst = copyFormat(dst);
        if (filter != nullptr) {
            state->filter.resize(filter->cbStruct);
            std::memcpy(state->filter.data(), filter, filter->cbStruct);
        }
        const HACMSTREAM handle = table.newToken();
        MMRESULT result = ACMERR_NOTPOSSIBLE;
        for (const auto& candidate : candidates) {
            state->si = {};
            state->si.cbStruct = sizeof state->si;
            state->si.pwfxSrc = reinterpret_cast<WAVEFORMATEX*>(state->src.data());
            state->si.pwfxDst = reinterpret_cast<WAVEFORMATEX*>(state->dst.data());
            state->si.pwfltr =
                state->filter.empty() ? nullptr : reinterpret_cast<WAVEFILTER*>(state->filter.data());
            state->si.dwCallback = callback;
            state->si.dwInstance = instance;
            state->si.fdwOpen = flags;
            state->si.has = handle;
            state->instance = candidate;
            result = MMRESULT(sendStream(*state, ACMDM_STREAM_OPEN, 0));
            if (result == MMSYSERR_NOERROR) break;
        }
        if (result != MMSYSERR_NOERROR || query) return result;
        state->instance->openStreams.fetch_add(1);
        table.addStream(handle, state);
        *stream = handle;
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmStreamSize(HACMSTREAM stream, uint32_t inputBytes, uint32_t* outputBytes, uint32_t flags) noexcept
{
    if (outputBytes == nullptr) return MMSYSERR_INVALPARAM;
    *outputBytes = 0;
    if (flags != ACM_STREAMSIZEF_SOURCE && flags != ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_INVALFLAG;
    LockedStream locked(stream);
    if (!locked) return MMSYSERR_INVALHANDLE;
    ACMDRVSTREAMSIZE size{};
    size.cbStruct = sizeof size;
    size.fdwSize = flags;
    (flags == ACM_STREAMSIZEF_SOURCE ? size.cbSrcLength : size.cbDstLength) = inputBytes;
    const auto result = MMRESULT(sendStream(*locked.stream, ACMDM_STREAM_SIZE, intptr_t(&size)));
    if (result == MMSYSERR_NOERROR)
        *outputBytes = flags == ACM_STREAMSIZEF_SOURCE ? size.cbDstLength : size.cbSrcLength;
    return result;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags) noexcept
{
    if (!headerSizeOk(header)) return MMSYSERR_INVALPARAM;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    if ((header->pbSrc == nullptr && header->cbSrcLength != 0) ||
        (header->pbDst == nullptr && header->cbDstLength != 0))
        return MMSYSERR_INVALPARAM;
    try {
        LockedStream locked(stream);
        if (!locked) return MMSYSERR_INVALHANDLE;
        auto& prepared = locked.stream->prepared;
        if (prepared.count(header) != 0) return MMSYSERR_NOERROR;
        ACMDRVSTREAMHEADER drv{};
        drv.cbStruct = sizeof drv;
        drv.fdwStatus = header->fdwStatus;
        drv.dwUser = header->dwUser;
        drv.pbSrc = header->pbSrc;
        drv.cbSrcLength = header->cbSrcLength;
        drv.dwSrcUser = header->dwSrcUser;
        drv.pbDst = header->pbDst;
        drv.cbDstLength = header->cbDstLength;
        drv.dwDstUser = header->dwDstUser;
        drv.pbPreparedSrc = header->pbSrc;
        drv.cbPreparedSrcLength = header->cbSrcLength;
        drv.pbPreparedDst = header->pbDst;
        drv.cbPreparedDstLength = header->cbDstLength;
        const MMRESULT result =
            notNeededIsDone(sendStream(*locked.stream, ACMDM_STREAM_PREPARE, intptr_t(&drv)));
        if (result != MMSYSERR_NOERROR) return result;
        drv.fdwStatus |= ACMSTREAMHEADER_STATUSF_PREPARED;
        prepared.emplace(header, drv);
        header->fdwStatus =
            (header->fdwStatus | ACMSTREAMHEADER_STATUSF_PREPARED) & ~ACMSTREAMHEADER_STATUSF_INQUEUE;
        return MMSYSERR_NOERROR;
    } catch (...) {
        return MMSYSERR_NOMEM;
    }
}

MMRESULT acmStreamConvert(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags) noexcept
{
    if (!headerSizeOk(header)) return MMSYSERR_INVALPARAM;
    if (flags & ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END))
        return MMSYSERR_INVALFLAG;
    LockedStream locked(stream);
    if (!locked) return MMSYSERR_INVALHANDLE;
    const auto it = locked.stream->prepared.find(header);
    if (it == locked.stream->prepared.end()) return ACMERR_UNPREPARED;
    ACMDRVSTREAMHEADER& drv = it->second;
    if (header->pbSrc != drv.pbPreparedSrc || header->pbDst != drv.pbPreparedDst ||
        header->cbSrcLength > drv.cbPreparedSrcLength || header->cbDstLength > drv.cbPreparedDstLength)
        return MMSYSERR_INVALPARAM;
    drv.fdwStatus = (header->fdwStatus | ACMSTREAMHEADER_STATUSF_INQUEUE) & ~ACMSTREAMHEADER_STATUSF_DONE;
    drv.dwUser = header->dwUser;
    drv.pbSrc = header->pbSrc;
    drv.cbSrcLength = header->cbSrcLength;
    drv.cbSrcLengthUsed = 0;
    drv.dwSrcUser = header->dwSrcUser;
    drv.pbDst = header->pbDst;
    drv.cbDstLength = header->cbDstLength;
    drv.cbDstLengthUsed = 0;
    drv.dwDstUser = header->dwDstUser;
    drv.fdwConvert = flags;
    const auto result = MMRESULT(sendStream(*locked.stream, ACMDM_STREAM_CONVERT, intptr_t(&drv)));
    // A driver's counts never reach past the buffers it was given.
    header->cbSrcLengthUsed = std::min(drv.cbSrcLengthUsed, header->cbSrcLength);
    header->cbDstLengthUsed = std::min(drv.cbDstLengthUsed, header->cbDstLength);
    header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_INQUEUE;
    if (result == MMSYSERR_NOERROR) header->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
    return result;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags) noexcept
{
    if (!headerSizeOk(header)) return MMSYSERR_INVALPARAM;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    LockedStream locked(stream);
    if (!locked) return MMSYSERR_INVALHANDLE;
    const auto it = locked.stream->prepared.find(header);
    if (it == locked.stream->prepared.end()) return ACMERR_UNPREPARED;
    const MMRESULT result =
        notNeededIsDone(sendStream(*locked.stream, ACMDM_STREAM_UNPREPARE, intptr_t(&it->second)));
    if (result != MMSYSERR_NOERROR) return result;
    locked.stream->prepared.erase(it);
    header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamReset(HACMSTREAM stream, uint32_t flags) noexcept
{
    if (flags != 0) return MMSYSERR_INVALFLAG;
    LockedStream locked(stream);
    if (!locked) return MMSYSERR_INVALHANDLE;
    return notNeededIsDone(sendStream(*locked.stream, ACMDM_STREAM_RESET, 0));
}

MMRESULT acmStreamClose(HACMSTREAM stream, uint32_t flags) noexcept
{
    if (flags != 0) return MMSYSERR_INVALFLAG;
    LockedStream locked(stream);
    if (!locked) return MMSYSERR_INVALHANDLE;
    const auto result = MMRESULT(sendStream(*locked.stream, ACMDM_STREAM_CLOSE, 0));
    if (result != MMSYSERR_NOERROR) return result;
    locked.stream->closed = true;
    locked.stream->prepared.clear();
    locked.stream->instance->openStreams.fetch_sub(1);
    kelAcmTable::get().removeStream(stream);
    return MMSYSERR_NOERROR;
}
