#include "audio/dsp/kelDspDLibRoot.h"

#include "audio/dsp/kelDspDL_DynProc.h"
#include "audio/dsp/kelDspDL_EQ2B.h"
#include "audio/dsp/kelDspDL_EQMB.h"
#include "audio/dsp/kelDspDL_LD.h"
#include "audio/dsp/kelDspDL_MbSp.h"
#include "audio/dsp/kelDspDL_ND.h"
#include "audio/dsp/kelDspDL_SpeechProc.h"
#include "core/kelCreate.h"

namespace {

kelDspDProcessor* make(int32_t type) noexcept
{
    switch (type) {
    case kelDspType_EQ2B:
        return kelCreate<kelDspDL_EQ2B>();
    case kelDspType_LD:
        return kelCreate<kelDspDL_LD>();
    case kelDspType_DynProc:
        return kelCreate<kelDspDL_DynProc>();
    case kelDspType_SpeechProc:
        return kelCreate<kelDspDL_SpeechProc>();
    case kelDspType_ND:
        return kelCreate<kelDspDL_ND>();
    case kelDspType_EQMB:
        return kelCreate<kelDspDL_EQMB>();
    case kelDspType_MbSp:
        return kelCreate<kelDspDL_MbSp>();
    default:
        return nullptr;
    }
}

kelDspHandle handleOf(kelDspDProcessor* p) noexcept
{
    return reinterpret_cast<kelDspHandle>(p);
}

} // namespace

const char* kelDspTypeName(int32_t type) noexcept
{
    switch (type) {
    case kelDspType_EQ2B:
        return "2 Band Parametric Equalizer";
    case kelDspType_LD:
        return "Level Detector";
    case kelDspType_DynProc:
        return "Dynamic Processor";
    case kelDspType_SpeechProc:
        return "Speech Processor";
    case kelDspType_ND:
        return "Noise Level Detector";
    case kelDspType_EQMB:
        return "Multiband Equalizer/Filter";
    case kelDspType_MbSp:
        return "Multiband Splitter";
    default:
        return "";
    }
}

kelDspDLibRoot::~kelDspDLibRoot()
{
    for (kelDspHandle h : f_objects)
        kelFree(reinterpret_cast<kelDspDProcessor*>(h));
}

kelDspDProcessor* kelDspDLibRoot::find(kelDspHandle obj) const noexcept
{
    std::lock_guard<std::mutex> g(f_guard);
    return f_objects.count(obj) ? reinterpret_cast<kelDspDProcessor*>(obj) : nullptr;
}

size_t kelDspDLibRoot::objectCount() const noexcept
{
    std::lock_guard<std::mutex> g(f_guard);
    return f_objects.size();
}

kelDspHandle kelDspDLibRoot::createObject(int32_t type) noexcept
{
    kelDspDProcessor* p = make(type);
    if (!p) return 0;
    try {
        std::lock_guard<std::mutex> g(f_guard);
        f_objects.insert(handleOf(p));
    } catch (...) {
        kelFree(p);
        return 0;
    }
    return handleOf(p);
}

bool kelDspDLibRoot::destroyObject(kelDspHandle obj) noexcept
{
    {
        std::lock_guard<std::mutex> g(f_guard);
        if (!f_objects.erase(obj)) return false;
    }
    kelFree(reinterpret_cast<kelDspDProcessor*>(obj));
    return true;
}

bool kelDspDLibRoot::process(kelDspHandle obj, intptr_t numSamples) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p && p->process(numSamples);
}

bool kelDspDLibRoot::seti(kelDspHandle obj, uint32_t id, int64_t value) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p && p->seti(id, value);
}

bool kelDspDLibRoot::setf(kelDspHandle obj, uint32_t id, float value) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p && p->setf(id, value);
}

bool kelDspDLibRoot::setc(kelDspHandle obj, uint32_t id, float* samples, intptr_t count) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p && p->setc(id, samples, count);
}

bool kelDspDLibRoot::geti(kelDspHandle obj, uint32_t id, int64_t& value) noexcept
{
    kelDspDProcessor* p = find(obj);
    value = p ? p->geti(id) : 0;
    return p != nullptr;
}

bool kelDspDLibRoot::getf(kelDspHandle obj, uint32_t id, float& value) noexcept
{
    kelDspDProcessor* p = find(obj);
    value = p ? p->getf(id) : 0.0f;
    return p != nullptr;
}

bool kelDspDLibRoot::getc(kelDspHandle obj, uint32_t id, float*& samples, intptr_t& count) noexcept
{
    kelDspDProcessor* p = find(obj);
    count = 0;
    samples = p ? p->getc(id, count) : nullptr;
    return p != nullptr;
}

int32_t kelDspDLibRoot::getID(kelDspHandle obj) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p ? p->getID() : 0;
}

bool kelDspDLibRoot::isseti(kelDspHandle obj, uint32_t id) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p && p->isseti(id);
}

bool kelDspDLibRoot::issetf(kelDspHandle obj, uint32_t id) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p && p->issetf(id);
}

bool kelDspDLibRoot::issetc(kelDspHandle obj, uint32_t id) noexcept
{
    kelDspDProcessor* p = find(obj);
    return p && p->issetc(id);
}
