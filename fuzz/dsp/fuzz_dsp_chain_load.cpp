// A saved DSP chain from arbitrary text: loading never crashes, bad values
// are skipped, saving what was loaded and loading that again gives the same
// text (the description is a fixed point after one round), and the loaded
// chain runs over a small stereo block on both channels.

#include "audio/dsp/kelDSPLibAutomation.h"
#include "core/kelUtf.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kelDspDLibRoot root;
    const kelString text = utf8ToUtf16(data, size);
    kelString first, second;
    {
        kelOwned<kelDSPLibAutomat> a(kelDSPLibAutomat::create(&root));
        if (!a || a->setFormat(48000, 16, 2, false) != 0) std::abort();
        if (a->automatLoad(text) != 0) std::abort();
        if (a->automatSave(first) != 0) std::abort();

        std::vector<int16_t> block(2 * 256);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<int16_t>((i * 7919) & 0xFFFF);
        if (a->processChunk(block.data(), static_cast<intptr_t>(block.size() * 2), -1, -1, true) != 0)
            std::abort();

        kelOwned<kelDSPLibAutomat> b(kelDSPLibAutomat::create(&root));
        if (!b || b->automatLoad(first) != 0 || b->automatSave(second) != 0) std::abort();
        if (first != second) std::abort();
    }
    if (root.objectCount() != 0) std::abort(); // every processor freed with its chain
    return 0;
}
