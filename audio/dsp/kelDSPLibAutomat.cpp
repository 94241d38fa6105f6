#include "audio/dsp/kelDSPLibAutomat.h"

#include "audio/dsp/kelDSPLibPCM.h"
#include "audio/dsp/kelDspLibParams.h"
#include "core/kelBase64.h"
#include "core/kelParseInt.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

constexpr intptr_t c_lockMs = 3000;
constexpr intptr_t c_floatLockMs = 2000;

kelString widen(const std::string& ascii)
{
    return kelString(ascii.begin(), ascii.end());
}

kelString decimal(uint64_t value)
{
    return formatUnsigned(value);
}

kelString encoded(char16_t kind, const void* bytes, size_t len)
{
    return kelString(1, kind) + widen(encodeBase64(bytes, len));
}

char16_t upperAscii(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

kelString lowerKey(std::u16string_view s)
{
    kelString r(s);
    for (auto& c : r)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return r;
}

// name=value lines of a saved chain, names compared without case; the first
// line with a name wins.
class NameValues
{
public:
    explicit NameValues(const kelString& text)
    {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find_first_of(u"\r\n", start);
            if (end == kelString::npos) end = text.size();
            const std::u16string_view line(text.data() + start, end - start);
            const size_t eq = line.find(u'=');
            if (eq != std::u16string_view::npos)
                f_values.emplace(lowerKey(line.substr(0, eq)), line.substr(eq + 1));
            ++f_lines;
            if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n')
                ++end;
            start = end + 1;
        }
    }
    kelString value(const kelString& name) const
    {
        const auto it = f_values.find(lowerKey(name));
        return it == f_values.end() ? kelString() : it->second;
    }
    int64_t number(const kelString& name) const { return parseInteger(value(name), 0, 10, true); }
    int64_t lines() const { return f_lines; }

private:
    std::map<kelString, kelString> f_values;
    int64_t f_lines = 0;
};

} // namespace

kelDSPLibAutomat::kelDSPLibAutomat(kelDspLibAbstract* root) noexcept : f_root(root), f_objects(root)
{
    f_objectParams.setSingleThreaded(true); // guarded by the automat's lock
}

kelDSPLibAutomat::~kelDSPLibAutomat() = default;

kelDSPLibAutomat* kelDSPLibAutomat::create(kelDspLibAbstract* root) noexcept
{
    return root ? kelCreate<kelDSPLibAutomat>(root) : nullptr;
}

int32_t kelDSPLibAutomat::setFormat(int32_t rate, int32_t bits, int32_t channels, bool isSubAuto) noexcept
{
    if (rate <= 0 || kelDspPcmContainerBytes(bits) == 0 || channels <= 0) return c_dspE_FAIL;
    kelLock lock(this, false, 2000);
    if (!lock) return c_dspE_FAIL;
    try {
        f_rate = rate;
        f_bits = bits;
        f_channels = channels;
        f_bitsSHR = bits == 8 ? 0 : bits == 16 ? 1 : 2;
        f_isSubAuto = isSubAuto;
        f_subAutos.clear();
        f_subAutosDirty = false;
        if (channels > 1 && !isSubAuto) {
            for (int32_t c = 1; c < channels; ++c) {
                kelOwned<kelDSPLibAutomat> sub(create(f_root));
                if (!sub) return c_dspE_FAIL;
                f_subAutos.push_back(std::move(sub));
            }
            f_subAutosDirty = true;
        }
    } catch (...) {
        f_subAutos.clear();
        return c_dspE_FAIL;
    }
    return 0;
}

intptr_t kelDSPLibAutomat::bytes2samples(intptr_t numBytes) const noexcept
{
    // No format yet (or a channel count of 0): nothing to divide by.
    if (f_channels <= 0 || numBytes <= 0) return 0;
    return (numBytes >> f_bitsSHR) / f_channels;
}

void kelDSPLibAutomat::connect(kelDspHandle obj)
{
    if (!obj) return;
    f_root->setc(obj, c_dspParam_input, f_inBuf.data(), f_bufSize);
    f_root->setc(obj, c_dspParam_output, f_outBuf.data(), f_bufSize);
    if (f_root->getID(obj) != kelDspType_MbSp) return;
    int64_t bands = 0;
    f_root->geti(obj, c_dspParam_count, bands);
    bands = std::clamp<int64_t>(bands, 0, 255);
    if (static_cast<int64_t>(f_multiOutBuf.size()) < bands) f_multiOutBuf.resize(static_cast<size_t>(bands));
    for (int64_t b = 0; b < bands; ++b) {
        auto& buf = f_multiOutBuf[static_cast<size_t>(b)];
        if (static_cast<intptr_t>(buf.size()) != f_bufSize) buf.assign(static_cast<size_t>(f_bufSize), 0.0f);
        f_root->setc(obj, c_dspParam_output | static_cast<uint32_t>(b), buf.data(), f_bufSize);
    }
    f_multiOutBufSize = f_bufSize;
}

bool kelDSPLibAutomat::sizeBuffers(intptr_t n)
{
    kelLock lock(this, false, c_lockMs);
    if (!lock) return false;
    if (n == f_bufSize && !f_needConnect) return true;
    f_inBuf.assign(static_cast<size_t>(n), 0.0f);
    f_outBuf.assign(static_cast<size_t>(n), 0.0f);
    f_bufSize = n;
    for (intptr_t i = 0; i < f_objects.count(); ++i)
        connect(f_objects.get(i));
    f_needConnect = false;
    return true;
}

kelDspHandle kelDSPLibAutomat::dspl_objNew(int32_t typeId) noexcept
{
    kelLock lock(this, false, c_lockMs);
    if (!lock || !f_root) return 0;
    const kelDspHandle obj = f_root->createObject(typeId);
    if (!obj) return 0;
    try {
        f_objects.add(obj);
        connect(obj);
    } catch (...) {
        f_root->destroyObject(obj);
        return 0;
    }
    f_subAutosDirty = !f_subAutos.empty();
    return obj;
}

intptr_t kelDSPLibAutomat::dspl_objCount() noexcept
{
    kelLock lock(this, true, c_lockMs);
    return lock ? f_objects.count() : 0;
}

kelDspHandle kelDSPLibAutomat::dspl_objGet(intptr_t index) noexcept
{
    kelLock lock(this, true, c_lockMs);
    return lock ? f_objects.get(index) : 0;
}

intptr_t kelDSPLibAutomat::dspl_objIndex(kelDspHandle obj) noexcept
{
    kelLock lock(this, true, c_lockMs);
    return lock ? f_objects.indexOf(obj) : -1;
}

void kelDSPLibAutomat::record(kelDspHandle obj, uint32_t id, const kelString& value)
{
    if (kelDspLibParams::isConnection(id)) return; // the automat's own buffers
    f_objectParams.setValue(decimal(obj) + u"." + decimal(id), value);
}

template <class Set> void kelDSPLibAutomat::repeatOnSubAutos(kelDspHandle obj, Set set)
{
    if (f_subAutosDirty) return;
    const intptr_t index = f_objects.indexOf(obj);
    for (auto& sub : f_subAutos) {
        const kelDspHandle subObj = sub->dspl_objGet(index);
        if (index < 0 || !subObj) {
            f_subAutosDirty = true;
            return;
        }
        set(*sub, subObj);
    }
}

bool kelDSPLibAutomat::dspl_obj_seti(kelDspHandle obj, uint32_t id, int64_t value) noexcept
{
    kelLock lock(this, false, c_lockMs);
    if (!lock || !f_root) return false;
    const bool ok = f_root->seti(obj, id, value);
    if (!ok) return false;
    try {
        record(obj, id, encoded(u'I', &value, sizeof value));
        // A splitter's band count decides how many band buffers it needs.
        if ((id & ~c_dspKindMask) == c_dspParam_count && f_root->getID(obj) == kelDspType_MbSp)
            f_needConnect = true;
        repeatOnSubAutos(obj,
                         [&](kelDSPLibAutomat& sub, kelDspHandle h) { sub.dspl_obj_seti(h, id, value); });
    } catch (...) {
    }
    return ok;
}

bool kelDSPLibAutomat::dspl_obj_setf(kelDspHandle obj, uint32_t id, float value) noexcept
{
    kelLock lock(this, false, c_floatLockMs);
    if (!lock || !f_root) return false;
    const bool ok = f_root->setf(obj, id, value);
    if (!ok) return false;
    try {
        record(obj, id, encoded(u'F', &value, sizeof value));
        repeatOnSubAutos(obj,
                         [&](kelDSPLibAutomat& sub, kelDspHandle h) { sub.dspl_obj_setf(h, id, value); });
    } catch (...) {
    }
    return ok;
}

bool kelDSPLibAutomat::dspl_obj_setc(kelDspHandle obj, uint32_t id, const float* samples,
                                     intptr_t count) noexcept
{
    kelLock lock(this, false, c_lockMs);
    if (!lock || !f_root) return false;
    if (count < 0 || (!samples && count > 0)) count = 0;
    const bool ok = f_root->setc(obj, id, const_cast<float*>(samples), count);
    if (!ok) return false;
    try {
        record(obj, id, encoded(u'C', samples, static_cast<size_t>(count) * sizeof(float)));
        repeatOnSubAutos(
            obj, [&](kelDSPLibAutomat& sub, kelDspHandle h) { sub.dspl_obj_setc(h, id, samples, count); });
    } catch (...) {
    }
    return ok;
}

bool kelDSPLibAutomat::dspl_obj_getf(kelDspHandle obj, int32_t channel, uint32_t id, float& value) noexcept
{
    value = 0.0f;
    kelLock lock(this, true, c_lockMs);
    if (!lock || !f_root || channel < 0) return false;
    const intptr_t index = f_objects.indexOf(obj);
    if (index < 0) return false;
    if (channel == 0) return f_root->getf(obj, id, value);
    if (static_cast<size_t>(channel) > f_subAutos.size()) return false;
    kelDSPLibAutomat& sub = *f_subAutos[static_cast<size_t>(channel - 1)];
    const kelDspHandle subObj = sub.dspl_objGet(index);
    return subObj && f_root->getf(subObj, id, value);
}

int32_t kelDSPLibAutomat::getOutData(int32_t channel, const float*& samples, intptr_t& count) noexcept
{
    samples = nullptr;
    count = 0;
    kelLock lock(this, true, c_lockMs);
    if (!lock || channel < 0 || static_cast<size_t>(channel) > f_subAutos.size()) return c_dspE_FAIL;
    if (channel > 0) return f_subAutos[static_cast<size_t>(channel - 1)]->getOutData(0, samples, count);
    samples = f_outBuf.data();
    count = f_bufSize;
    return 0;
}

int32_t kelDSPLibAutomat::getBandData(int32_t channel, int32_t band, const float*& samples,
                                      intptr_t& count) noexcept
{
    samples = nullptr;
    count = 0;
    kelLock lock(this, true, c_lockMs);
    if (!lock || channel < 0 || static_cast<size_t>(channel) > f_subAutos.size()) return c_dspE_FAIL;
    if (channel > 0)
        return f_subAutos[static_cast<size_t>(channel - 1)]->getBandData(0, band, samples, count);
    if (band < 0 || static_cast<size_t>(band) >= f_multiOutBuf.size()) return c_dspE_FAIL;
    samples = f_multiOutBuf[static_cast<size_t>(band)].data();
    count = static_cast<intptr_t>(f_multiOutBuf[static_cast<size_t>(band)].size());
    return 0;
}

int32_t kelDSPLibAutomat::runChain(uint8_t* data, intptr_t n, int32_t channel, bool writeOutput)
{
    kelLock lock(this, false, c_lockMs);
    if (!lock) return -1;
    if (!sizeBuffers(n)) return -1;
    if (f_objects.count() == 0) {
        kelDspPcmToFloat(data, f_bits, f_channels, channel, n, f_inBuf.data());
        std::copy(f_inBuf.begin(), f_inBuf.begin() + n, f_outBuf.begin());
        return 0;
    }
    for (intptr_t i = 0; i < f_objects.count(); ++i) {
        const kelDspHandle obj = f_objects.get(i);
        if (!obj) continue;
        kelDspPcmToFloat(data, f_bits, f_channels, channel, n, f_inBuf.data());
        if (!f_root->process(obj, n)) continue; // a processor that cannot run leaves the block alone
        if (writeOutput && f_root->getID(obj) != kelDspType_MbSp)
            kelDspFloatToPcm(f_outBuf.data(), f_bits, f_channels, channel, n, data);
    }
    return 0;
}

bool kelDSPLibAutomat::rebuildSubAutos()
{
    kelString text;
    if (automatSave(text) != 0) return false;
    for (auto& sub : f_subAutos) {
        if (sub->setFormat(f_rate, f_bits, f_channels, true) != 0) return false;
        if (sub->automatLoad(text) != 0) return false;
    }
    f_subAutosDirty = false;
    return true;
}

int32_t kelDSPLibAutomat::processChunk(void* data, intptr_t numBytes, int32_t channel, intptr_t numSamples,
                                       bool writeOutput) noexcept
{
    kelLock lock(this, false, c_lockMs);
    if (!lock) return -1;
    if (!data || numBytes < 0 || f_channels <= 0 || channel >= f_channels || !f_root) return c_dspE_FAIL;
    intptr_t n = bytes2samples(numBytes);
    if (numSamples >= 0) n = std::min(n, numSamples);
    auto* bytes = static_cast<uint8_t*>(data);
    try {
        if (channel != 0 && f_channels > 1 && f_subAutosDirty && !rebuildSubAutos()) return c_dspE_FAIL;
        if (!sizeBuffers(n)) return -1;
        const int32_t first = channel < 0 ? 0 : channel;
        const int32_t last = channel < 0 ? f_channels - 1 : channel;
        for (int32_t c = first; c <= last; ++c) {
            try {
                if (c == 0)
                    runChain(bytes, n, 0, writeOutput);
                else
                    f_subAutos[static_cast<size_t>(c - 1)]->runChain(bytes, n, c, writeOutput);
            } catch (...) {
                // A channel that failed (out of memory) is skipped; the others run.
            }
        }
    } catch (...) {
        return c_dspE_FAIL;
    }
    return 0;
}

int32_t kelDSPLibAutomat::automatSave(kelString& text) noexcept
{
    text.clear();
    kelLock lock(this, true, c_lockMs);
    if (!lock) return -1;
    try {
        const intptr_t count = f_objects.count();
        if (count == 0) return 0;
        std::vector<kelString> lines;
        lines.push_back(u"numObjects=" + decimal(static_cast<uint64_t>(count)));
        const intptr_t params = f_objectParams.count();
        for (intptr_t i = 0; i < count; ++i) {
            const kelDspHandle obj = f_objects.get(i);
            const kelString key = u"obj." + decimal(static_cast<uint64_t>(i));
            lines.push_back(key + u".id=" + formatInteger(obj ? f_root->getID(obj) : 0));
            const kelString prefix = decimal(obj) + u".";
            int64_t j = 0;
            for (intptr_t p = 0; obj && p < params; ++p) {
                const kelString item = f_objectParams.get(p);
                if (item.compare(0, prefix.size(), prefix) != 0) continue;
                const size_t eq = item.find(u'=');
                if (eq == kelString::npos) continue;
                const kelString pkey = key + u".param." + formatInteger(j);
                lines.push_back(pkey + u".id=" + item.substr(prefix.size(), eq - prefix.size()));
                lines.push_back(pkey + u".value=" + item.substr(eq + 1));
                ++j;
            }
            lines.push_back(key + u".numParams=" + formatInteger(j));
        }
        for (size_t k = 0; k < lines.size(); ++k) {
            if (k) text += u"\r\n";
            text += lines[k];
        }
    } catch (...) {
        text.clear();
        return -1;
    }
    return 0;
}

int32_t kelDSPLibAutomat::automatLoad(const kelString& text) noexcept
{
    kelLock lock(this, false, c_lockMs);
    if (!lock) return -1;
    try {
        f_objects.clear();
        f_objectParams.clear();
        f_needConnect = true;
        f_subAutosDirty = !f_subAutos.empty();
        if (!f_root) return 0;
        const NameValues values(text);
        // Every object and parameter needs lines of its own, so counts beyond
        // the number of lines describe nothing and are not followed.
        const int64_t numObjects = std::min(values.number(u"numObjects"), values.lines());
        for (int64_t i = 0; i < numObjects; ++i) {
            const kelString key = u"obj." + formatInteger(i);
            const int64_t type = values.number(key + u".id");
            const kelDspHandle obj =
                type > 0 && type <= INT32_MAX ? f_root->createObject(static_cast<int32_t>(type)) : 0;
            f_objects.add(obj);
            if (!obj) continue;
            connect(obj);
            const int64_t numParams = std::min(values.number(key + u".numParams"), values.lines());
            for (int64_t j = 0; j < numParams; ++j) {
                const kelString pkey = key + u".param." + formatInteger(j);
                const int64_t id = values.number(pkey + u".id");
                // Input and output chunks are the automat's own buffers: a
                // described one would point at memory freed after loading.
                if (id <= 0 || id > UINT32_MAX || kelDspLibParams::isConnection(static_cast<uint32_t>(id)))
                    continue;
                const kelString value = values.value(pkey + u".value");
                if (value.empty()) continue;
                const std::string bytes = decodeBase64(std::u16string_view(value).substr(1));
                const auto pid = static_cast<uint32_t>(id);
                switch (upperAscii(value[0])) {
                case u'C': {
                    std::vector<float> samples(bytes.size() / sizeof(float));
                    if (!samples.empty())
                        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
                    dspl_obj_setc(obj, pid, samples);
                    break;
                }
                case u'F':
                    if (bytes.size() == sizeof(float)) {
                        float v;
                        std::memcpy(&v, bytes.data(), sizeof v);
                        dspl_obj_setf(obj, pid, v);
                    }
                    break;
                case u'I':
                    if (bytes.size() == sizeof(int64_t)) {
                        int64_t v;
                        std::memcpy(&v, bytes.data(), sizeof v);
                        dspl_obj_seti(obj, pid, v);
                    }
                    break;
                default:
                    break;
                }
            }
        }
    } catch (...) {
        return -1;
    }
    return 0;
}
