#pragma once
// A harness around one DSP processor made through a root: it owns the input
// and output buffers, connects them and runs blocks, so a test reads as
// "configure, push samples, look at what came out". Used from the test's
// own thread. Header-only; only test programs that link kel::dsp include it.

#include "audio/dsp/kelDSPDlib.h"

#include <vector>

class kelTestDspHarness
{
public:
    explicit kelTestDspHarness(int32_t type) : f_obj(f_root.createObject(type)) {}

    kelDspDLibRoot& root() { return f_root; }
    kelDspHandle obj() const { return f_obj; }

    bool seti(uint32_t id, int64_t v) { return f_root.seti(f_obj, id, v); }
    bool setf(uint32_t id, float v) { return f_root.setf(f_obj, id, v); }
    bool setc(uint32_t id, std::vector<float> v)
    {
        return f_root.setc(f_obj, id, v.data(), static_cast<intptr_t>(v.size()));
    }
    int64_t geti(uint32_t id)
    {
        int64_t v = 0;
        f_root.geti(f_obj, id, v);
        return v;
    }
    float getf(uint32_t id)
    {
        float v = 0;
        f_root.getf(f_obj, id, v);
        return v;
    }

    // Connects `in` and an output of the same length and runs the whole
    // block; the result of process.
    bool run(const std::vector<float>& in)
    {
        f_in = in;
        f_out.assign(in.size(), -99.0f);
        f_root.setc(f_obj, c_dspParam_input, f_in.data(), static_cast<intptr_t>(f_in.size()));
        f_root.setc(f_obj, c_dspParam_output, f_out.data(), static_cast<intptr_t>(f_out.size()));
        return f_root.process(f_obj, static_cast<intptr_t>(f_in.size()));
    }
    // Runs `in` in blocks of `block` samples; the whole output.
    std::vector<float> runBlocks(const std::vector<float>& in, size_t block)
    {
        std::vector<float> all;
        for (size_t pos = 0; pos < in.size(); pos += block) {
            const size_t n = std::min(block, in.size() - pos);
            if (!run(std::vector<float>(in.begin() + static_cast<long>(pos),
                                        in.begin() + static_cast<long>(pos + n))))
                return {};
            all.insert(all.end(), f_out.begin(), f_out.end());
        }
        return all;
    }

    const std::vector<float>& out() const { return f_out; }
    std::vector<float>& in() { return f_in; }

private:
    kelDspDLibRoot f_root;
    kelDspHandle f_obj;
    std::vector<float> f_in, f_out;
};
