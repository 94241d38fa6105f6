// Search, extraction and replacement routines over the regular-expression
// engine.
#include <memory>

#include "net/protocols/kelRE.h"

namespace {

struct Freer
{
    void operator()(kelRE* re) const { reFree(re); }
};
using OwnedRE = std::unique_ptr<kelRE, Freer>;

OwnedRE compile(const kelString& pattern, int& rc)
{
    kelRE* re = nullptr;
    rc = reCompile(pattern, re);
    return OwnedRE(re);
}

// Appends `templ` with "\n" (n = 1..9 naming a group of the expression)
// replaced by what that group last matched; other backslash pairs and a
// trailing backslash are copied as they stand.
void expandTemplate(kelString& out, const kelString& templ, const kelString& text,
                    const std::vector<kelRECapture>& caps)
{
    for (size_t i = 0; i < templ.size(); ++i) {
        char16_t c = templ[i];
        if (c == u'\\' && i + 1 < templ.size()) {
            char16_t d = templ[i + 1];
            if (d >= u'1' && d <= u'9' && static_cast<size_t>(d - u'0') < caps.size()) {
                const kelRECapture& cap = caps[static_cast<size_t>(d - u'0')];
                if (cap.r_start >= 0)
                    out.append(text, static_cast<size_t>(cap.r_start), static_cast<size_t>(cap.r_length));
                ++i;
                continue;
            }
            out.push_back(c);
            out.push_back(d);
            ++i;
            continue;
        }
        out.push_back(c);
    }
}

} // namespace

intptr_t reFindFirst(const kelString& text, const kelString& pattern, intptr_t& len, intptr_t start)
{
    len = 0;
    int rc;
    OwnedRE re = compile(pattern, rc);
    if (rc) return rc;
    return reFind(re.get(), text, len, start);
}

kelString reExtract(intptr_t start, const kelString& text, const kelString& pattern)
{
    intptr_t len = 0;
    intptr_t at = reFindFirst(text, pattern, len, start);
    if (at < 1 || len < 2) return {};
    return text.substr(static_cast<size_t>(at - 1), static_cast<size_t>(len));
}

kelString reReplaceCompiled(const kelRE* compiled, const kelString& text, const kelString& templ,
                            intptr_t start, bool all)
{
    if (!compiled) return text;
    kelString out;
    std::vector<kelRECapture> caps;
    size_t copied = 0; // text before this offset is already in `out`
    intptr_t from = start < 1 ? 1 : start;
    for (;;) {
        intptr_t at = reFindCaptures(compiled, text, from, reStepBudgetFor(text), caps);
        if (at < 1 || caps[0].r_length <= 0) break;
        size_t begin = static_cast<size_t>(at - 1);
        out.append(text, copied, begin - copied);
        expandTemplate(out, templ, text, caps);
        copied = begin + static_cast<size_t>(caps[0].r_length);
        if (!all) break;
        from = static_cast<intptr_t>(copied) + 1;
    }
    out.append(text, copied, kelString::npos);
    return out;
}

kelString reReplace(const kelString& text, const kelString& pattern, const kelString& templ, intptr_t start,
                    bool all)
{
    int rc;
    OwnedRE re = compile(pattern, rc);
    if (rc) return text;
    return reReplaceCompiled(re.get(), text, templ, start, all);
}
