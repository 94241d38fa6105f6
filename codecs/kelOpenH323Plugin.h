#pragma once
// kel_openH323plugin: a coder driven by a codec plug-in library. The library
// is loaded by path at construction; it must export both entry points of
// the plug-in interface. Each of its codec definitions can be selected by
// index: one whose source format is "L16" encodes 16-bit samples, any other
// decodes to them. The plug-in is untrusted: a definition that lacks a
// function or a frame size cannot be selected, and a codec function that
// claims more output than the room it was given is a failure.

#include "codecs/kelAbstractEncoder.h"
#include "codecs/kelOpenH323PluginAPI.h"
#include "platform/kelDynLib.h"

#include <cstdint>
#include <string>

// Results of loading the plug-in library.
inline constexpr intptr_t kelPluginLoadOK = 0;
inline constexpr intptr_t kelPluginLoadNoLibrary = 1;
inline constexpr intptr_t kelPluginLoadNoEntryPoint = -1;

class kel_openH323plugin : public kelAbstractEncoder
{
public:
    explicit kel_openH323plugin(const kelString& dllPathAndName, intptr_t priority = kelThreadPriorityNormal);
    ~kel_openH323plugin() override;

    // Loads the library (or counts one more use of the loaded one) and
    // fetches its definitions; 0 or kelEncoderErrorLoadFailed.
    intptr_t loadLibrary() noexcept;
    // Counts one use down; at zero closes, forgets the definitions and
    // frees the library.
    void unloadLibrary() noexcept;

    bool procOK() const noexcept { return f_procOK; }
    intptr_t loadResult() const noexcept { return f_loadResult; }
    // The loader's text when loading failed.
    const std::string& loadErrorText() const noexcept { return f_lib.errorText(); }
    uint32_t useCount() const noexcept { return f_useCount; }
    unsigned int apiVersion() const noexcept { return f_apiVersion; }
    const kelString& libName() const noexcept { return f_libName; }

    uint32_t codecDefCount() const noexcept { return f_codecDefCnt; }
    // The definition at `index`, null outside the array.
    const PluginCodec_Definition* getCodecDef(intptr_t index) const noexcept;
    // Whether the definition at `index` (negative: the selected one)
    // encodes, i.e. takes "L16".
    bool isEncoder(intptr_t index = -1) const noexcept;
    // Whether the definition at `index` has what coding needs.
    bool isUsable(intptr_t index) const noexcept;
    // Selects and configures a codec; the error code. Selecting the codec
    // that is already selected and configured changes nothing.
    intptr_t selectCodec(intptr_t index) noexcept;
    intptr_t codecIndex() const noexcept { return f_codecIndex; }
    intptr_t setCodecIndex(intptr_t index) noexcept { return selectCodec(index); }

    kelString _classID() const override { return u"kel_openH323plugin"; }

protected:
    intptr_t doApplyConfig(intptr_t config) override;
    void doOpen() override;
    intptr_t doClose() override;
    intptr_t doEncode(const void* data, uint32_t size, uint32_t& consumed) override;

private:
    void destroyContext() noexcept;

    kelString f_libName;
    kelDynLib f_lib;
    PluginCodec_GetAPIVersionFunction f_getAPIVersion = nullptr;
    PluginCodec_GetCodecFunction f_getCodecs = nullptr;
    uint32_t f_useCount = 0;
    unsigned int f_apiVersion = 0;
    intptr_t f_loadResult = kelPluginLoadNoLibrary;
    bool f_procOK = false;
    uint32_t f_codecDefCnt = 0;
    const PluginCodec_Definition* f_codecDefRoot = nullptr;
    const PluginCodec_Definition* f_codec = nullptr;
    void* f_context = nullptr;
    bool f_hasContext = false;
    intptr_t f_codecIndex = -1;
};
