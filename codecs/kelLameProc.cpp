#include "codecs/kelLameProc.h"

bool kelLameProc::resolve(const kelDynLib& lib) noexcept
{
    bool ok = true;
    ok = bind(lib, init, "lame_init") && ok;
    ok = bind(lib, close, "lame_close") && ok;
    ok = bind(lib, setInSampleRate, "lame_set_in_samplerate") && ok;
    ok = bind(lib, setOutSampleRate, "lame_set_out_samplerate") && ok;
    ok = bind(lib, setNumChannels, "lame_set_num_channels") && ok;
    ok = bind(lib, setBitRate, "lame_set_brate") && ok;
    ok = bind(lib, setMode, "lame_set_mode") && ok;
    ok = bind(lib, setQuality, "lame_set_quality") && ok;
    ok = bind(lib, setVBR, "lame_set_VBR") && ok;
    ok = bind(lib, setVBRq, "lame_set_VBR_q") && ok;
    ok = bind(lib, setVBRMeanBitrate, "lame_set_VBR_mean_bitrate_kbps") && ok;
    ok = bind(lib, setVBRMinBitrate, "lame_set_VBR_min_bitrate_kbps") && ok;
    ok = bind(lib, setVBRMaxBitrate, "lame_set_VBR_max_bitrate_kbps") && ok;
    ok = bind(lib, setCopyright, "lame_set_copyright") && ok;
    ok = bind(lib, setOriginal, "lame_set_original") && ok;
    ok = bind(lib, setExtension, "lame_set_extension") && ok;
    ok = bind(lib, setErrorProtection, "lame_set_error_protection") && ok;
    ok = bind(lib, setEmphasis, "lame_set_emphasis") && ok;
    ok = bind(lib, setStrictISO, "lame_set_strict_ISO") && ok;
    ok = bind(lib, setDisableReservoir, "lame_set_disable_reservoir") && ok;
    ok = bind(lib, setWriteVbrTag, "lame_set_bWriteVbrTag") && ok;
    ok = bind(lib, initParams, "lame_init_params") && ok;
    ok = bind(lib, getFrameSize, "lame_get_framesize") && ok;
    ok = bind(lib, getOutSampleRate, "lame_get_out_samplerate") && ok;
    ok = bind(lib, getNumChannels, "lame_get_num_channels") && ok;
    ok = bind(lib, encodeBuffer, "lame_encode_buffer") && ok;
    ok = bind(lib, encodeInterleaved, "lame_encode_buffer_interleaved") && ok;
    ok = bind(lib, flush, "lame_encode_flush") && ok;
    ok = bind(lib, getLametagFrame, "lame_get_lametag_frame") && ok;
    ok = bind(lib, getVersion, "get_lame_version") && ok;
    return ok;
}

void kelLameProc::clear() noexcept
{
    init = nullptr;
    close = nullptr;
    setInSampleRate = nullptr;
    setOutSampleRate = nullptr;
    setNumChannels = nullptr;
    setBitRate = nullptr;
    setMode = nullptr;
    setQuality = nullptr;
    setVBR = nullptr;
    setVBRq = nullptr;
    setVBRMeanBitrate = nullptr;
    setVBRMinBitrate = nullptr;
    setVBRMaxBitrate = nullptr;
    setCopyright = nullptr;
    setOriginal = nullptr;
    setExtension = nullptr;
    setErrorProtection = nullptr;
    setEmphasis = nullptr;
    setStrictISO = nullptr;
    setDisableReservoir = nullptr;
    setWriteVbrTag = nullptr;
    initParams = nullptr;
    getFrameSize = nullptr;
    getOutSampleRate = nullptr;
    getNumChannels = nullptr;
    encodeBuffer = nullptr;
    encodeInterleaved = nullptr;
    flush = nullptr;
    getLametagFrame = nullptr;
    getVersion = nullptr;
}
