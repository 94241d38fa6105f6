#include "codecs/kelOpenH323Plugin.h"

#include "platform/kelUtf8.h"

#include <cstring>

kel_openH323plugin::kel_openH323plugin(const kelString& dllPathAndName, intptr_t priority)
    : kelAbstractEncoder(priority), f_libName(dllPathAndName)
{
    f_errorCode = loadLibrary();
}

kel_openH323plugin::~kel_openH323plugin()
{
    // The plug-in's code must outlive every call into it: close (stopping
    // the lazy thread) before the library goes.
    close();
    while (f_useCount > 0)
        unloadLibrary();
}

intptr_t kel_openH323plugin::loadLibrary() noexcept
{
    if (f_procOK) {
        ++f_useCount;
        return kelEncoderOK;
    }
    std::string path;
    try {
        path = kelUtf16ToUtf8(f_libName);
    } catch (...) {
        f_loadResult = kelPluginLoadNoLibrary;
        return kelEncoderErrorLoadFailed;
    }
    if (!f_lib.open(path)) {
        f_loadResult = kelPluginLoadNoLibrary;
        return kelEncoderErrorLoadFailed;
    }
    f_getAPIVersion =
        reinterpret_cast<PluginCodec_GetAPIVersionFunction>(f_lib.symbol(kelPluginGetAPIVersionName));
    f_getCodecs = reinterpret_cast<PluginCodec_GetCodecFunction>(f_lib.symbol(kelPluginGetCodecsName));
    if (f_getAPIVersion == nullptr || f_getCodecs == nullptr) {
        f_getAPIVersion = nullptr;
        f_getCodecs = nullptr;
        f_lib.close();
        f_loadResult = kelPluginLoadNoEntryPoint;
        return kelEncoderErrorLoadFailed;
    }
    f_apiVersion = f_getAPIVersion();
    unsigned int count = 0;
    const PluginCodec_Definition* root = f_getCodecs(&count, kelPluginCodecVersion);
    // A plug-in that does not speak this version answers null: no codecs.
    f_codecDefRoot = count > 0 ? root : nullptr;
    f_codecDefCnt = root != nullptr ? count : 0;
    f_procOK = true;
    f_useCount = 1;
    f_loadResult = kelPluginLoadOK;
    return kelEncoderOK;
}

void kel_openH323plugin::unloadLibrary() noexcept
{
    if (f_useCount == 0) return;
    if (--f_useCount > 0) return;
    close();
    {
        kelLock lock(this, false, 3000);
        destroyContext();
        f_codec = nullptr;
        f_codecIndex = -1;
        f_codecDefRoot = nullptr;
        f_codecDefCnt = 0;
        f_getAPIVersion = nullptr;
        f_getCodecs = nullptr;
        f_procOK = false;
    }
    f_lib.close();
}

const PluginCodec_Definition* kel_openH323plugin::getCodecDef(intptr_t index) const noexcept
{
    if (index < 0 || uintptr_t(index) >= f_codecDefCnt || f_codecDefRoot == nullptr) return nullptr;
    return &f_codecDefRoot[index];
}

bool kel_openH323plugin::isEncoder(intptr_t index) const noexcept
{
    const PluginCodec_Definition* def = index < 0 ? f_codec : getCodecDef(index);
    return def != nullptr && def->sourceFormat != nullptr && std::strcmp(def->sourceFormat, "L16") == 0;
}

bool kel_openH323plugin::isUsable(intptr_t index) const noexcept
{
    const PluginCodec_Definition* def = getCodecDef(index);
    return def != nullptr && def->sourceFormat != nullptr && def->destFormat != nullptr &&
           def->createCodec != nullptr && def->destroyCodec != nullptr && def->codecFunction != nullptr &&
           def->parm.audio.samplesPerFrame > 0 && def->parm.audio.bytesPerFrame > 0 &&
           // An encoder's input chunk is two bytes a sample, in 32 bits.
           def->parm.audio.samplesPerFrame <= UINT32_MAX / 2;
}

intptr_t kel_openH323plugin::selectCodec(intptr_t index) noexcept
{
    if (index == f_codecIndex && index >= 0 && configOK()) return kelEncoderOK;
    const intptr_t result = setConfig(index);
    f_codecIndex = result == kelEncoderOK ? index : -1;
    return result;
}

intptr_t kel_openH323plugin::doApplyConfig(intptr_t config)
{
    f_codec = nullptr;
    if (!f_procOK || !isUsable(config)) return kelEncoderErrorNoCodec;
    const PluginCodec_Definition* def = getCodecDef(config);
    const uint32_t samples = def->parm.audio.samplesPerFrame;
    const uint32_t coded = def->parm.audio.bytesPerFrame;
    if (isEncoder(config)) {
        f_inputChunkSize = samples * 2;
        f_minOutputBufSize = coded;
    } else {
        f_minOutputBufSize = samples * 2;
        f_inputChunkSize = coded;
    }
    f_codec = def;
    return kelEncoderOK;
}

void kel_openH323plugin::doOpen()
{
    destroyContext();
    if (f_codec == nullptr) return;
    f_context = f_codec->createCodec(f_codec);
    f_hasContext = true;
}

intptr_t kel_openH323plugin::doClose()
{
    destroyContext();
    f_codec = nullptr;
    f_codecIndex = -1;
    return kelEncoderOK;
}

intptr_t kel_openH323plugin::doEncode(const void* data, uint32_t size, uint32_t& consumed)
{
    consumed = 0;
    f_outBufUsed = 0;
    // Without an open instance the plug-in would be handed a context it
    // never made.
    if (f_codec == nullptr || !f_hasContext) return kelEncoderErrorNoCodec;
    unsigned fromLen = size;
    unsigned toLen = f_outBufSize;
    unsigned flag = 0;
    if (f_codec->codecFunction(f_codec, f_context, data, &fromLen, f_outBuf.data(), &toLen, &flag) == 0)
        return kelEncoderErrorCodecFailed;
    // Claims beyond what was given or what the room holds come from a
    // defective plug-in; taking them would read or copy past the buffers.
    if (toLen > f_outBufSize || fromLen > size) return kelEncoderErrorCodecFailed;
    consumed = fromLen;
    f_outBufUsed = toLen;
    return kelEncoderOK;
}

void kel_openH323plugin::destroyContext() noexcept
{
    if (f_hasContext && f_codec != nullptr) f_codec->destroyCodec(f_codec, f_context);
    f_context = nullptr;
    f_hasContext = false;
}
