// Compiles the first part of the input as a pattern and searches the rest
// with a small step budget, checking that matches and captures stay inside
// the text. Input: pattern bytes, a 0 byte, text bytes (each widened to one
// UTF-16 code unit).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "net/protocols/kelRE.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t split = 0;
    while (split < size && data[split] != 0)
        ++split;
    if (split > 128) return 0;
    kelString pattern(data, data + split);
    kelString text = split < size ? kelString(data + split + 1, data + size) : kelString();
    if (text.size() > 512) return 0;

    kelRE* re = nullptr;
    int rc = reCompile(pattern, re);
    if (rc != 0) {
        if (re || rc >= 0 || rc < -15) std::abort();
        return 0;
    }
    std::vector<kelRECapture> caps;
    for (intptr_t start = 1; start <= static_cast<intptr_t>(text.size()) + 1;
         start += 1 + static_cast<intptr_t>(text.size()) / 4) {
        intptr_t at = reFindCaptures(re, text, start, 20000, caps);
        if (at == reErrNoMatch || at == reErrStepBudget) continue;
        if (at < start) std::abort();
        if (caps.size() != static_cast<size_t>(re->f_groupCount) + 1) std::abort();
        if (caps[0].r_length <= 0) std::abort();
        for (const kelRECapture& c : caps) {
            if (c.r_start < 0) continue;
            if (c.r_length < 0 || static_cast<size_t>(c.r_start + c.r_length) > text.size()) std::abort();
        }
    }
    if (text.size() <= 32) (void)reReplaceCompiled(re, text, u"<\\1\\2>", 1, true);
    reFree(re);
    return 0;
}
