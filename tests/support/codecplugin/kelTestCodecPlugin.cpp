// A codec plug-in for the tests of the plug-in coder, built as a shared
// object in one of four forms (chosen by a compile definition):
//   KEL_TEST_PLUGIN_good       G.711 µ-law and GSM 06.10 encoders and decoders
//   KEL_TEST_PLUGIN_nocodecs   answers null to the host's interface version
//   KEL_TEST_PLUGIN_noentry    lacks the definitions entry point
//   KEL_TEST_PLUGIN_defective  definitions a careful host must refuse or
//                              catch (see kelTestPluginDefective below)
// The µ-law coder here is written from the companding rule on its own, so
// the tests can hold it against the published tables.

#include "codecs/kelOpenH323PluginAPI.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(KEL_TEST_PLUGIN_good)
extern "C" {
#include <gsm.h>
}
#endif

#define KEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<int> g_live{0};

struct Context
{
    void* gsmState = nullptr;
};

[[maybe_unused]] void* createPlain(const PluginCodec_Definition*)
{
    ++g_live;
    return new Context;
}

[[maybe_unused]] void destroyPlain(const PluginCodec_Definition*, void* context)
{
    --g_live;
    delete static_cast<Context*>(context);
}

[[maybe_unused]] uint8_t ulawCompress(int16_t sample)
{
    const int magnitude = sample < 0 ? -int(sample) - 1 : sample;
    int biased = (magnitude >> 2) + 33;
    if (biased > 8191) biased = 8191;
    int segment = 0;
    while ((biased >> (segment + 6)) != 0)
        ++segment;
    int code = (segment << 4) | ((biased >> (segment + 1)) & 0x0F);
    code = ~code & 0x7F;
    return uint8_t(sample >= 0 ? code | 0x80 : code);
}

[[maybe_unused]] int16_t ulawExpand(uint8_t code)
{
    const int c = ~code & 0x7F;
    const int segment = c >> 4, interval = c & 0x0F;
    const int step = 1 << (segment + 1);
    const int value = 4 * ((1 << (segment + 5)) + interval * step) + 2 * step - 4 * 33;
    return int16_t((code & 0x80) ? value : -value);
}

[[maybe_unused]] int ulawEncode(const PluginCodec_Definition*, void*, const void* from, unsigned* fromLen,
                                void* to, unsigned* toLen, unsigned*)
{
    unsigned n = *fromLen / 2;
    if (n > *toLen) n = *toLen;
    const auto* in = static_cast<const uint8_t*>(from);
    auto* out = static_cast<uint8_t*>(to);
    for (unsigned i = 0; i < n; ++i) {
        int16_t s;
        std::memcpy(&s, in + 2 * i, 2);
        out[i] = ulawCompress(s);
    }
    *fromLen = n * 2;
    *toLen = n;
    return 1;
}

[[maybe_unused]] int ulawDecode(const PluginCodec_Definition*, void*, const void* from, unsigned* fromLen,
                                void* to, unsigned* toLen, unsigned*)
{
    unsigned n = *fromLen;
    if (n > *toLen / 2) n = *toLen / 2;
    const auto* in = static_cast<const uint8_t*>(from);
    auto* out = static_cast<uint8_t*>(to);
    for (unsigned i = 0; i < n; ++i) {
        const int16_t s = ulawExpand(in[i]);
        std::memcpy(out + 2 * i, &s, 2);
    }
    *fromLen = n;
    *toLen = n * 2;
    return 1;
}

#if defined(KEL_TEST_PLUGIN_good)
constexpr unsigned kGsmSamples = 160, kGsmFrame = 33;

void* createGsm(const PluginCodec_Definition*)
{
    auto* context = new Context;
    context->gsmState = gsm_create();
    ++g_live;
    return context;
}

void destroyGsm(const PluginCodec_Definition*, void* context)
{
    auto* c = static_cast<Context*>(context);
    gsm_destroy(static_cast<gsm>(c->gsmState));
    delete c;
    --g_live;
}

// Whole frames; a short last block is padded with silence.
int gsmEncode(const PluginCodec_Definition*, void* context, const void* from, unsigned* fromLen, void* to,
              unsigned* toLen, unsigned*)
{
    auto state = static_cast<gsm>(static_cast<Context*>(context)->gsmState);
    const auto* in = static_cast<const uint8_t*>(from);
    auto* out = static_cast<uint8_t*>(to);
    unsigned used = 0, made = 0;
    while (used < *fromLen && made + kGsmFrame <= *toLen) {
        gsm_signal frame[kGsmSamples] = {};
        const unsigned take = *fromLen - used < kGsmSamples * 2 ? *fromLen - used : kGsmSamples * 2;
        std::memcpy(frame, in + used, take);
        gsm_encode(state, frame, out + made);
        used += take;
        made += kGsmFrame;
    }
    *fromLen = used;
    *toLen = made;
    return 1;
}

int gsmDecode(const PluginCodec_Definition*, void* context, const void* from, unsigned* fromLen, void* to,
              unsigned* toLen, unsigned*)
{
    auto state = static_cast<gsm>(static_cast<Context*>(context)->gsmState);
    auto* in = const_cast<uint8_t*>(static_cast<const uint8_t*>(from));
    auto* out = static_cast<uint8_t*>(to);
    unsigned used = 0, made = 0;
    while (used + kGsmFrame <= *fromLen && made + kGsmSamples * 2 <= *toLen) {
        gsm_signal frame[kGsmSamples];
        if (gsm_decode(state, in + used, frame) != 0) return 0;
        std::memcpy(out + made, frame, sizeof frame);
        used += kGsmFrame;
        made += kGsmSamples * 2;
    }
    *fromLen = used;
    *toLen = made;
    return 1;
}
#endif

#if defined(KEL_TEST_PLUGIN_defective)
// Claims one byte more than the room it was given (writing none of it).
int oversized(const PluginCodec_Definition* def, void* context, const void* from, unsigned* fromLen, void* to,
              unsigned* toLen, unsigned* flag)
{
    ulawEncode(def, context, from, fromLen, to, toLen, flag);
    *toLen = *toLen + 1 > *toLen ? *toLen + 1 : *toLen;
    return 1;
}

// Claims to have consumed more than it was given.
int overconsumed(const PluginCodec_Definition* def, void* context, const void* from, unsigned* fromLen,
                 void* to, unsigned* toLen, unsigned* flag)
{
    const unsigned given = *fromLen;
    ulawEncode(def, context, from, fromLen, to, toLen, flag);
    *fromLen = given + 2;
    return 1;
}

int failing(const PluginCodec_Definition*, void*, const void*, unsigned*, void*, unsigned* toLen, unsigned*)
{
    *toLen = 0;
    return 0;
}
#endif

[[maybe_unused]] constexpr PluginCodec_Definition makeDef(const char* descr, const char* src, const char* dst,
                                                          unsigned samples, unsigned bytes,
                                                          PluginCodec_CreateFunction create,
                                                          PluginCodec_DestroyFunction destroy,
                                                          PluginCodec_CodecFunction codec)
{
    PluginCodec_Definition d{};
    d.version = 1;
    d.descr = descr;
    d.sourceFormat = src;
    d.destFormat = dst;
    d.sampleRate = 8000;
    d.usPerFrame = samples * 125;
    d.parm.audio = {samples, bytes, 1, 1};
    d.createCodec = create;
    d.destroyCodec = destroy;
    d.codecFunction = codec;
    return d;
}

#if defined(KEL_TEST_PLUGIN_good)
PluginCodec_Definition g_defs[] = {
    makeDef("L16 to G.711 u-law", "L16", "G.711-uLaw-64k", 160, 160, createPlain, destroyPlain, ulawEncode),
    makeDef("G.711 u-law to L16", "G.711-uLaw-64k", "L16", 160, 160, createPlain, destroyPlain, ulawDecode),
    makeDef("L16 to GSM 06.10", "L16", "GSM-06.10", kGsmSamples, kGsmFrame, createGsm, destroyGsm, gsmEncode),
    makeDef("GSM 06.10 to L16", "GSM-06.10", "L16", kGsmSamples, kGsmFrame, createGsm, destroyGsm, gsmDecode),
};
#elif defined(KEL_TEST_PLUGIN_defective)
// Indexes 0-5 must not be selectable; 6-8 select but fail when coding.
PluginCodec_Definition g_defs[] = {
    makeDef("no create", "L16", "G.711-uLaw-64k", 160, 160, nullptr, destroyPlain, ulawEncode),
    makeDef("no destroy", "L16", "G.711-uLaw-64k", 160, 160, createPlain, nullptr, ulawEncode),
    makeDef("no codec", "L16", "G.711-uLaw-64k", 160, 160, createPlain, destroyPlain, nullptr),
    makeDef("no samples", "L16", "G.711-uLaw-64k", 0, 160, createPlain, destroyPlain, ulawEncode),
    makeDef("no bytes", "L16", "G.711-uLaw-64k", 160, 0, createPlain, destroyPlain, ulawEncode),
    makeDef("no source", nullptr, "G.711-uLaw-64k", 160, 160, createPlain, destroyPlain, ulawEncode),
    makeDef("oversized", "L16", "G.711-uLaw-64k", 160, 160, createPlain, destroyPlain, oversized),
    makeDef("overconsumed", "L16", "G.711-uLaw-64k", 160, 160, createPlain, destroyPlain, overconsumed),
    makeDef("failing", "L16", "G.711-uLaw-64k", 160, 160, createPlain, destroyPlain, failing),
};
#endif

} // namespace

KEL_EXPORT unsigned int PWLibPlugin_GetAPIVersion()
{
    return 1;
}

#if !defined(KEL_TEST_PLUGIN_noentry)
KEL_EXPORT PluginCodec_Definition* OpalCodecPlugin_GetCodecs(unsigned int* count, unsigned int version)
{
#if defined(KEL_TEST_PLUGIN_nocodecs)
    // Speaks only a later version; leaves a stale count behind on purpose.
    (void)version;
    *count = 4;
    return nullptr;
#else
    if (version != 1) {
        *count = 0;
        return nullptr;
    }
    *count = sizeof g_defs / sizeof g_defs[0];
    return g_defs;
#endif
}
#endif

// Codec instances alive now: the tests check that every create is undone.
KEL_EXPORT int kelTestPluginLiveInstances()
{
    return g_live.load();
}
