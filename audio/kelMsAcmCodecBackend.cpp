// kelMsAcmCodec: what each driver mode does to open, size, convert, reset and
// close a stream and to prepare its header.

#include "audio/kelMsAcmCodec.h"

#include "audio/kelMsAcmDriver.h"
#include "codecs/kelOpenH323Plugin.h"

#include <algorithm>

namespace {

// A driver may answer "not supported" to header preparation: it then needs
// none.
uint32_t preparationAnswer(intptr_t answer) noexcept
{
    return answer == MMSYSERR_NOTSUPPORTED ? MMSYSERR_NOERROR : uint32_t(answer);
}

} // namespace

uint32_t kelMsAcmCodec::openStream(uint32_t flags)
{
    kelMsAcmDriver* driver = f_driver.load();
    const bool query = (flags & ACM_STREAMOPENF_QUERY) != 0;
    switch (f_driverMode.load()) {
    case kelcdm_acm: {
        HACMDRIVER handle = driver ? reinterpret_cast<HACMDRIVER>(driver->getHandle()) : nullptr;
        HACMSTREAM stream = nullptr;
        const uint32_t result = acmStreamOpen(query ? nullptr : &stream, handle, f_openSrc.format(),
                                              f_openDst.format(), f_filterFormat, 0, 0, flags);
        if (result == MMSYSERR_NOERROR && !query) {
            f_stream = stream;
            f_handle.store(reinterpret_cast<uintptr_t>(stream));
        }
        return result;
    }
    case kelcdm_installable: {
        if (!driver) return MMSYSERR_NODRIVER;
        f_streamInstance = ACMDRVSTREAMINSTANCE{};
        f_streamInstance.cbStruct = sizeof f_streamInstance;
        f_streamInstance.pwfxSrc = f_openSrc.format();
        f_streamInstance.pwfxDst = f_openDst.format();
        f_streamInstance.pwfltr = const_cast<WAVEFILTER*>(f_filterFormat);
        f_streamInstance.fdwOpen = flags;
        f_streamInstance.has = reinterpret_cast<HACMSTREAM>(this);
        const auto result = uint32_t(
            driver->sendDriverMessage(ACMDM_STREAM_OPEN, reinterpret_cast<intptr_t>(&f_streamInstance), 0));
        if (result == MMSYSERR_NOERROR && !query) f_handle.store(1);
        return result;
    }
    case kelcdm_internal:
        return MMSYSERR_NOTSUPPORTED;
    case kelcdm_openH323plugin: {
        kel_openH323plugin* plugin = f_oH323codec.get();
        if (!plugin) return MMSYSERR_NODRIVER;
        if (plugin->codecIndex() < 0) (void)plugin->selectCodec(f_oH323codecOldIndex);
        // Without a codec every conversion would fail while the device
        // reads as open.
        if (plugin->codecIndex() < 0) return MMSYSERR_INVALHANDLE;
        if (query) return MMSYSERR_NOERROR;
        if (plugin->open() != kelEncoderOK) return MMSYSERR_INVALHANDLE;
        f_handle.store(1);
        return MMSYSERR_NOERROR;
    }
    }
    return MMSYSERR_INVALPARAM;
}

uint32_t kelMsAcmCodec::closeStream()
{
    kelMsAcmDriver* driver = f_driver.load();
    uint32_t result = MMSYSERR_INVALPARAM;
    switch (f_driverMode.load()) {
    case kelcdm_acm:
        result = f_stream ? acmStreamClose(f_stream, 0) : MMSYSERR_NOERROR;
        if (result == MMSYSERR_NOERROR) f_stream = nullptr;
        break;
    case kelcdm_installable:
        if (!driver) return MMSYSERR_NODRIVER;
        result = uint32_t(
            driver->sendDriverMessage(ACMDM_STREAM_CLOSE, reinterpret_cast<intptr_t>(&f_streamInstance), 0));
        break;
    case kelcdm_internal:
        return MMSYSERR_NOTSUPPORTED;
    case kelcdm_openH323plugin:
        if (kel_openH323plugin* plugin = f_oH323codec.get()) {
            if (plugin->codecIndex() >= 0) f_oH323codecOldIndex = plugin->codecIndex();
            (void)plugin->close();
        }
        result = MMSYSERR_NOERROR;
        break;
    default:
        return MMSYSERR_INVALPARAM;
    }
    f_handle.store(0);
    return result;
}

uint32_t kelMsAcmCodec::resetStream()
{
    switch (f_driverMode.load()) {
    case kelcdm_acm:
        return f_stream ? acmStreamReset(f_stream, 0) : MMSYSERR_NOERROR;
    case kelcdm_installable: {
        kelMsAcmDriver* driver = f_driver.load();
        if (!driver) return MMSYSERR_NODRIVER;
        return uint32_t(
            driver->sendDriverMessage(ACMDM_STREAM_RESET, reinterpret_cast<intptr_t>(&f_streamInstance), 0));
    }
    case kelcdm_openH323plugin:
        return MMSYSERR_NOERROR;
    case kelcdm_internal:
        return MMSYSERR_NOTSUPPORTED;
    }
    return MMSYSERR_INVALPARAM;
}

uint32_t kelMsAcmCodec::convertSize(uintptr_t size, uint32_t flag, uintptr_t& result)
{
    result = 0;
    if (size > UINT32_MAX) return MMSYSERR_INVALPARAM;
    switch (f_driverMode.load()) {
    case kelcdm_acm: {
        uint32_t output = 0;
        const uint32_t code = acmStreamSize(f_stream, uint32_t(size), &output, flag);
        if (code == MMSYSERR_NOERROR) result = output;
        return code;
    }
    case kelcdm_installable: {
        kelMsAcmDriver* driver = f_driver.load();
        if (!driver) return MMSYSERR_NODRIVER;
        ACMDRVSTREAMSIZE query{};
        query.cbStruct = sizeof query;
        query.fdwSize = flag;
        (flag == ACM_STREAMSIZEF_DESTINATION ? query.cbDstLength : query.cbSrcLength) = uint32_t(size);
        const auto code = uint32_t(driver->sendDriverMessage(ACMDM_STREAM_SIZE,
                                                             reinterpret_cast<intptr_t>(&f_streamInstance),
                                                             reinterpret_cast<intptr_t>(&query)));
        if (code != MMSYSERR_NOERROR) return code;
        // Room for twice what the driver names, for drivers that answer
        // short.
        result = flag == ACM_STREAMSIZEF_DESTINATION ? uintptr_t(query.cbSrcLength)
                                                     : 2 * uintptr_t(query.cbDstLength);
        return code;
    }
    case kelcdm_openH323plugin: {
        kel_openH323plugin* plugin = f_oH323codec.get();
        if (!plugin) return MMSYSERR_NODRIVER;
        const PluginCodec_Definition* def = getoH323pluginDesc(-1);
        if (!def) return MMSYSERR_INVALHANDLE;
        const uintptr_t pcmBytes = 2 * uintptr_t(def->parm.audio.samplesPerFrame);
        const uintptr_t codedBytes = def->parm.audio.bytesPerFrame;
        const bool encoder = plugin->isEncoder(-1);
        if (flag == ACM_STREAMSIZEF_SOURCE)
            result = encoder ? codedBytes : pcmBytes;
        else if (flag == ACM_STREAMSIZEF_DESTINATION)
            result = encoder ? pcmBytes : codedBytes;
        else
            return MMSYSERR_INVALFLAG;
        return MMSYSERR_NOERROR;
    }
    case kelcdm_internal:
        return MMSYSERR_NOTSUPPORTED;
    }
    return MMSYSERR_INVALPARAM;
}

uint32_t kelMsAcmCodec::convertHeader(kelMsAcmCodecHeader* header, uint32_t flags)
{
    if (!header) return MMSYSERR_INVALPARAM;
    uint32_t result = MMSYSERR_INVALPARAM;
    switch (f_driverMode.load()) {
    case kelcdm_acm:
        result = acmStreamConvert(f_stream, header->header(), flags);
        break;
    case kelcdm_installable: {
        kelMsAcmDriver* driver = f_driver.load();
        if (!driver) return MMSYSERR_NODRIVER;
        header->setConvertFlags(flags);
        result = uint32_t(driver->sendDriverMessage(ACMDM_STREAM_CONVERT,
                                                    reinterpret_cast<intptr_t>(&f_streamInstance),
                                                    reinterpret_cast<intptr_t>(header->drvHeader())));
        break;
    }
    case kelcdm_openH323plugin: {
        kel_openH323plugin* plugin = f_oH323codec.get();
        if (!plugin) return MMSYSERR_NODRIVER;
        uint32_t consumed = header->srcLength();
        const uint32_t produced = plugin->encodeChunkInPlace(header->src(), consumed, header->dst(),
                                                             uint32_t(header->dstCapacity()));
        if (produced == 0) return ACMERR_NOTPOSSIBLE;
        header->setUsed(consumed, std::min(produced, uint32_t(header->dstCapacity())));
        result = MMSYSERR_NOERROR;
        break;
    }
    case kelcdm_internal:
        return MMSYSERR_NOTSUPPORTED;
    default:
        return MMSYSERR_INVALPARAM;
    }
    // A foreign driver's counts are believed only within the buffers.
    header->setUsed(std::min(header->srcLengthUsed(), header->srcLength()),
                    std::min(header->dstLengthUsed(), uint32_t(header->dstCapacity())));
    return result;
}

uint32_t kelMsAcmCodec::prepareHeader(kelMsAcmDeviceHeader* deviceHeader)
{
    auto* header = static_cast<kelMsAcmCodecHeader*>(deviceHeader);
    if (!header) return MMSYSERR_INVALPARAM;
    uint32_t result = MMSYSERR_INVALPARAM;
    switch (f_driverMode.load()) {
    case kelcdm_acm:
        // Prepared for the whole buffers; each conversion names its part.
        header->setSrcLength(uint32_t(header->srcCapacity()));
        result = acmStreamPrepareHeader(f_stream, header->header(), 0);
        break;
    case kelcdm_installable: {
        kelMsAcmDriver* driver = f_driver.load();
        if (!driver) return MMSYSERR_NODRIVER;
        header->setConvertFlags(0);
        header->setSrcLength(uint32_t(header->srcCapacity()));
        result = preparationAnswer(
            driver->sendDriverMessage(ACMDM_STREAM_PREPARE, reinterpret_cast<intptr_t>(&f_streamInstance),
                                      reinterpret_cast<intptr_t>(header->drvHeader())));
        break;
    }
    case kelcdm_openH323plugin:
        result = MMSYSERR_NOERROR;
        break;
    case kelcdm_internal:
        return MMSYSERR_NOTSUPPORTED;
    default:
        return MMSYSERR_INVALPARAM;
    }
    if (result == MMSYSERR_NOERROR) header->setIsPrepared(true);
    return result;
}

uint32_t kelMsAcmCodec::unprepareHeader(kelMsAcmDeviceHeader* deviceHeader)
{
    auto* header = static_cast<kelMsAcmCodecHeader*>(deviceHeader);
    if (!header) return MMSYSERR_INVALPARAM;
    uint32_t result = MMSYSERR_INVALPARAM;
    switch (f_driverMode.load()) {
    case kelcdm_acm:
        header->setSrcLength(uint32_t(header->srcCapacity()));
        result = f_stream ? acmStreamUnprepareHeader(f_stream, header->header(), 0) : MMSYSERR_NOERROR;
        if (result == MMSYSERR_NOERROR) header->setIsPrepared(false);
        return result;
    case kelcdm_installable: {
        kelMsAcmDriver* driver = f_driver.load();
        if (!driver) return MMSYSERR_NODRIVER;
        header->setConvertFlags(0);
        result = preparationAnswer(
            driver->sendDriverMessage(ACMDM_STREAM_UNPREPARE, reinterpret_cast<intptr_t>(&f_streamInstance),
                                      reinterpret_cast<intptr_t>(header->drvHeader())));
        header->setIsPrepared(false);
        return result;
    }
    case kelcdm_openH323plugin:
        header->setIsPrepared(false);
        return MMSYSERR_NOERROR;
    case kelcdm_internal:
        return MMSYSERR_NOTSUPPORTED;
    }
    return MMSYSERR_INVALPARAM;
}
