#pragma once
// kelDSPLibAutomat: runs a chain of DSP processors over interleaved PCM
// blocks. It converts one channel of the block to floats, runs each
// processor of the chain and converts the result back. For multichannel
// formats it keeps one channel automat per extra channel, rebuilt from the
// master's saved chain, so every channel has its own processor state. Every
// parameter set through it is recorded, so the chain can be saved to text
// and rebuilt from it.
//
// All operations take the automat's own lock and may be called from any
// thread; the root must outlive the automat. Make it with create() and free
// it with kelFree.

#include "audio/dsp/kelDSPLibObjectList.h"
#include "audio/dsp/kelDspLibH.h"
#include "core/kelCreate.h"
#include "core/kelObject.h"
#include "core/kelStringList.h"
#include "core/kelTypes.h"

#include <cstdint>
#include <vector>

inline constexpr int32_t c_dspE_FAIL = static_cast<int32_t>(0x80004005u);

class kelDSPLibAutomat : public kelObject
{
public:
    explicit kelDSPLibAutomat(kelDspLibAbstract* root) noexcept;
    ~kelDSPLibAutomat() override;

    // Null when it could not be made.
    static kelDSPLibAutomat* create(kelDspLibAbstract* root) noexcept;

    // rate > 0, bits 8/16/24/32, channels > 0; frees the channel automats and,
    // for a multichannel master, makes (channels - 1) new ones. 0, or
    // c_dspE_FAIL for a bad format or when the lock (2000 ms) failed.
    int32_t setFormat(int32_t rate, int32_t bits, int32_t channels, bool isSubAuto) noexcept;
    // Samples per channel in `numBytes` of the current format (0 without one).
    intptr_t bytes2samples(intptr_t numBytes) const noexcept;

    // Appends a new processor of `typeId` to the chain, connected to the
    // automat's buffers; 0 when the root made none.
    kelDspHandle dspl_objNew(int32_t typeId) noexcept;
    intptr_t dspl_objCount() noexcept;
    kelDspHandle dspl_objGet(intptr_t index) noexcept;
    intptr_t dspl_objIndex(kelDspHandle obj) noexcept;

    // Set a parameter through the root, record it and repeat it on the
    // channel automats. The root's result; false when the lock failed.
    bool dspl_obj_seti(kelDspHandle obj, uint32_t id, int64_t value) noexcept;
    bool dspl_obj_setf(kelDspHandle obj, uint32_t id, float value) noexcept;
    bool dspl_obj_setc(kelDspHandle obj, uint32_t id, const float* samples, intptr_t count) noexcept;
    bool dspl_obj_setc(kelDspHandle obj, uint32_t id, const kelDspChunk& chunk) noexcept
    {
        return dspl_obj_setc(obj, id, chunk.r_samples, chunk.r_count);
    }
    bool dspl_obj_setc(kelDspHandle obj, uint32_t id, const std::vector<float>& samples) noexcept
    {
        return dspl_obj_setc(obj, id, samples.data(), static_cast<intptr_t>(samples.size()));
    }
    // Reads a float of `obj` (channel 0) or of the processor at the same
    // chain index in channel automat `channel`.
    bool dspl_obj_getf(kelDspHandle obj, int32_t channel, uint32_t id, float& value) noexcept;

    // The float output of the last run for `channel`; valid until the next
    // run. c_dspE_FAIL for a channel with no automat.
    int32_t getOutData(int32_t channel, const float*& samples, intptr_t& count) noexcept;
    // The band `band` output of the splitters of `channel`.
    int32_t getBandData(int32_t channel, int32_t band, const float*& samples, intptr_t& count) noexcept;

    // Runs the chain over `channel` of the block (all channels when
    // negative): numBytes of interleaved PCM, at most `numSamples` samples
    // per channel when that is not negative. With `writeOutput` each
    // processor's result is written back into the block. 0 on success, -1
    // when the lock (3000 ms) failed, c_dspE_FAIL for a bad block or channel.
    int32_t processChunk(void* data, intptr_t numBytes, int32_t channel, intptr_t numSamples,
                         bool writeOutput) noexcept;

    // The chain and its recorded parameters as CR LF separated lines
    // ("numObjects=" ...); empty for an empty chain. 0, or -1 without the lock.
    int32_t automatSave(kelString& text) noexcept;
    // Replaces the chain with the one described; unreadable values are
    // skipped. 0, or -1 without the lock.
    int32_t automatLoad(const kelString& text) noexcept;

    int32_t rate() const noexcept { return f_rate; }
    int32_t bits() const noexcept { return f_bits; }
    int32_t channels() const noexcept { return f_channels; }
    intptr_t subAutoCount() const noexcept { return static_cast<intptr_t>(f_subAutos.size()); }
    // The recorded parameters, "handle.id=" kind letter and Base64 value.
    kelString objectParamsText() noexcept { return f_objectParams.text(); }

    kelString _classID() const override { return u"kelDSPLibAutomat"; }

private:
    void connect(kelDspHandle obj);
    bool sizeBuffers(intptr_t n);
    int32_t runChain(uint8_t* data, intptr_t n, int32_t channel, bool writeOutput);
    bool rebuildSubAutos();
    void record(kelDspHandle obj, uint32_t id, const kelString& value);
    // Repeats a set on the processor at `obj`'s chain index of every channel
    // automat; marks them dirty when one has no processor there.
    template <class Set> void repeatOnSubAutos(kelDspHandle obj, Set set);

    kelDspLibAbstract* f_root;
    kelDSPLibObjectList f_objects;
    kelStringList f_objectParams;
    std::vector<kelOwned<kelDSPLibAutomat>> f_subAutos;
    bool f_subAutosDirty = false;
    bool f_isSubAuto = false;
    bool f_needConnect = true;
    int32_t f_rate = 0, f_bits = 0, f_channels = 0, f_bitsSHR = 0;
    std::vector<float> f_inBuf, f_outBuf;
    intptr_t f_bufSize = 0;
    std::vector<std::vector<float>> f_multiOutBuf;
    intptr_t f_multiOutBufSize = 0;
};
