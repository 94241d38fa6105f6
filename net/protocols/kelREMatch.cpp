// Backtracking matcher of the regular-expression engine.
//
// The matcher walks a sequence of nodes with an explicit continuation: what
// to do once the sequence ends (finish a group iteration, accept the match,
// or record where a probed alternative ended). Nodes that match in exactly
// one way (fixed repetitions of single characters, anchors) advance in a loop;
// variable repetitions of single characters count their greedy reach in a
// loop and recurse once per length they give back, so only groups and
// back-references nest on the call stack, and that nesting is bounded.
#include <algorithm>
#include <cstddef>
#include <new>

#include "net/protocols/kelRE.h"

namespace {

// Deepest recursion one search may reach before it gives up; each level is
// a few hundred bytes of stack even in sanitizer builds.
constexpr int kMaxDepth = 4000;

struct Cont
{
    enum Kind { accept, probe, groupIteration } kind;
    int32_t group = -1;     // node of the group being iterated
    int32_t count = 0;      // iterations completed before this one
    intptr_t iterStart = 0; // where this iteration began
    const Cont* outer = nullptr;
    intptr_t* probeEnd = nullptr;
};

class Matcher
{
public:
    Matcher(const kelRE& re, const kelString& text, int64_t budget)
        : re_(re), t_(text.data()), n_(static_cast<intptr_t>(text.size())), budget_(budget)
    {
        caps_.resize(static_cast<size_t>(re.f_groupCount) + 1);
    }

    // 0-based start of the first match at or after `from`, -1 when none.
    intptr_t search(intptr_t from);
    bool gaveUp() const { return gaveUp_; }
    std::vector<kelRECapture>& captures() { return caps_; }

private:
    bool step()
    {
        if (++steps_ > budget_) gaveUp_ = true;
        return !gaveUp_;
    }
    bool matchChar(const kelRENode& nd, char16_t c) const
    {
        switch (nd.r_kind) {
        case kelre_literal:
            return c == nd.r_char;
        case kelre_any:
            return true;
        default:
            return re_.f_sets[static_cast<size_t>(nd.r_set)].contains(c);
        }
    }
    bool sequence(int32_t ni, intptr_t pos, const Cont* k);
    bool iterate(int32_t g, int32_t count, intptr_t pos, const Cont* outer);
    bool tryAlternatives(const kelRENode& group, intptr_t pos, const Cont* c);
    bool finish(const Cont* k, intptr_t pos);

    const kelRE& re_;
    const char16_t* t_;
    intptr_t n_;
    int64_t budget_;
    int64_t steps_ = 0;
    int depth_ = 0;
    bool gaveUp_ = false;
    intptr_t matchStart_ = 0;
    intptr_t matchEnd_ = 0;
    std::vector<kelRECapture> caps_;
    struct Candidate
    {
        intptr_t end;
        int32_t alt;
    };
    std::vector<kelRECapture> saved_;   // capture snapshots taken around probes
    std::vector<Candidate> candidates_; // alternatives in the order they are tried
};

struct DepthGuard
{
    explicit DepthGuard(int& d) : d_(d) { ++d_; }
    ~DepthGuard() { --d_; }
    int& d_;
};

bool Matcher::sequence(int32_t ni, intptr_t pos, const Cont* k)
{
    DepthGuard guard(depth_);
    if (depth_ > kMaxDepth) {
        gaveUp_ = true;
        return false;
    }
    for (;;) {
        if (!step()) return false;
        if (ni < 0) return finish(k, pos);
        const kelRENode& nd = re_.f_nodes[static_cast<size_t>(ni)];
        switch (nd.r_kind) {
        case kelre_literal:
        case kelre_any:
        case kelre_set: {
            intptr_t limit = std::min<intptr_t>(n_ - pos, nd.r_max);
            intptr_t reach = 0;
            if (nd.r_kind == kelre_any)
                reach = limit;
            else
                while (reach < limit && matchChar(nd, t_[pos + reach]))
                    ++reach;
            // Characters scanned count as work too, so the budget bounds time.
            steps_ += reach;
            if (!step()) return false;
            if (reach < nd.r_min) return false;
            if (reach == nd.r_min) {
                pos += reach;
                ni = nd.r_next;
                continue;
            }
            // Give back one character at a time. When a literal follows, only
            // the lengths it can follow are worth a try.
            const kelRENode* after = nd.r_next >= 0 ? &re_.f_nodes[static_cast<size_t>(nd.r_next)] : nullptr;
            bool literalNext = after && after->r_kind == kelre_literal && after->r_min >= 1;
            for (intptr_t m = reach; m >= nd.r_min; --m) {
                if (!step()) return false;
                if (literalNext && (pos + m >= n_ || t_[pos + m] != after->r_char)) continue;
                if (sequence(nd.r_next, pos + m, k)) return true;
                if (gaveUp_) return false;
            }
            return false;
        }
        case kelre_anchor: {
            bool at = nd.r_char == u'^' ? pos == 0 : pos == n_;
            if (nd.r_min >= 1 && !at) return false;
            ni = nd.r_next;
            continue;
        }
        case kelre_backReference: {
            const kelRECapture& cap = caps_[static_cast<size_t>(nd.r_group)];
            intptr_t len = cap.r_start < 0 ? 0 : cap.r_length;
            if (len == 0) { // an unset or empty group matches the empty text
                ni = nd.r_next;
                continue;
            }
            intptr_t count = 0;
            while (count < nd.r_max && pos + (count + 1) * len <= n_ &&
                   std::equal(t_ + cap.r_start, t_ + cap.r_start + len, t_ + pos + count * len)) {
                ++count;
                steps_ += len;
                if (!step()) return false;
            }
            if (count < nd.r_min) return false;
            if (count == nd.r_min) {
                pos += count * len;
                ni = nd.r_next;
                continue;
            }
            for (intptr_t m = count; m >= nd.r_min; --m) {
                if (sequence(nd.r_next, pos + m * len, k)) return true;
                if (gaveUp_ || !step()) return false;
            }
            return false;
        }
        case kelre_group:
            return iterate(ni, 0, pos, k);
        }
        return false;
    }
}

// Tries iteration `count` + 1 of group `g` at `pos` (greedy), then leaving the
// group there once enough iterations matched.
bool Matcher::iterate(int32_t g, int32_t count, intptr_t pos, const Cont* outer)
{
    DepthGuard guard(depth_);
    if (depth_ > kMaxDepth) {
        gaveUp_ = true;
        return false;
    }
    const kelRENode& nd = re_.f_nodes[static_cast<size_t>(g)];
    if (count < nd.r_max) {
        Cont c{Cont::groupIteration, g, count, pos, outer, nullptr};
        if (nd.r_altCount == 1) {
            if (sequence(re_.f_alts[static_cast<size_t>(nd.r_altFirst)], pos, &c)) return true;
        } else if (tryAlternatives(nd, pos, &c)) {
            return true;
        }
        if (gaveUp_) return false;
    }
    if (count < nd.r_min) return false;
    if (nd.r_next < 0) return finish(outer, pos);
    return sequence(nd.r_next, pos, outer);
}

// The longest alternative first: each alternative is probed for the length
// of its own greedy match, then they are tried in order of that length (the
// earlier of equal lengths first) with the rest of the pattern behind them.
bool Matcher::tryAlternatives(const kelRENode& group, intptr_t pos, const Cont* c)
{
    // Both scratch stacks are shared by every nesting level; each level
    // works above its own mark and trims back to it, and indexes rather than
    // iterates because deeper levels may grow the vectors.
    const size_t savedMark = saved_.size();
    const size_t first = candidates_.size();
    saved_.insert(saved_.end(), caps_.begin(), caps_.end());
    for (int32_t a = 0; a < group.r_altCount; ++a) {
        intptr_t end = -1;
        Cont probe{Cont::probe, -1, 0, 0, nullptr, &end};
        bool hit = sequence(re_.f_alts[static_cast<size_t>(group.r_altFirst + a)], pos, &probe);
        std::copy(saved_.begin() + static_cast<ptrdiff_t>(savedMark),
                  saved_.begin() + static_cast<ptrdiff_t>(savedMark + caps_.size()), caps_.begin());
        if (gaveUp_) break;
        if (hit) {
            // Insert in order of decreasing length, after equal lengths.
            candidates_.push_back(Candidate{end, a});
            for (size_t k = candidates_.size() - 1; k > first && candidates_[k - 1].end < end; --k)
                std::swap(candidates_[k - 1], candidates_[k]);
        }
    }
    saved_.resize(savedMark);
    bool matched = false;
    const size_t last = candidates_.size();
    for (size_t k = first; !gaveUp_ && k < last; ++k) {
        int32_t alt = candidates_[k].alt;
        if (sequence(re_.f_alts[static_cast<size_t>(group.r_altFirst + alt)], pos, c)) {
            matched = true;
            break;
        }
    }
    candidates_.resize(first);
    return matched;
}

bool Matcher::finish(const Cont* k, intptr_t pos)
{
    switch (k->kind) {
    case Cont::accept:
        if (pos <= matchStart_) return false; // an empty match never counts
        matchEnd_ = pos;
        return true;
    case Cont::probe:
        *k->probeEnd = pos;
        return true;
    case Cont::groupIteration: {
        const kelRENode& nd = re_.f_nodes[static_cast<size_t>(k->group)];
        kelRECapture before{};
        bool captures = nd.r_group >= 0;
        if (captures) {
            kelRECapture& cap = caps_[static_cast<size_t>(nd.r_group)];
            before = cap;
            cap = kelRECapture{k->iterStart, pos - k->iterStart};
        }
        bool ok;
        if (pos == k->iterStart) {
            // An iteration that consumed nothing ends the repetition: more of
            // them could only match nothing again.
            ok = nd.r_next < 0 ? finish(k->outer, pos) : sequence(nd.r_next, pos, k->outer);
        } else {
            ok = iterate(k->group, k->count + 1, pos, k->outer);
        }
        if (!ok && captures) caps_[static_cast<size_t>(nd.r_group)] = before;
        return ok;
    }
    }
    return false;
}

intptr_t Matcher::search(intptr_t from)
{
    for (intptr_t s = std::max<intptr_t>(from, 0); s < n_; ++s) {
        if (re_.f_hasFirstChar) {
            while (s < n_ && t_[s] != re_.f_firstChar)
                ++s;
            if (s >= n_) break;
        }
        for (auto& cap : caps_)
            cap = kelRECapture{};
        matchStart_ = s;
        Cont accept{Cont::accept, -1, 0, 0, nullptr, nullptr};
        if (iterate(0, 0, s, &accept)) {
            caps_[0] = kelRECapture{s, matchEnd_ - s};
            return s;
        }
        if (gaveUp_ || re_.f_leadingDotStar) break;
    }
    return -1;
}

} // namespace

intptr_t reFindCaptures(const kelRE* compiled, const kelString& text, intptr_t start, int64_t stepBudget,
                        std::vector<kelRECapture>& captures)
{
    captures.clear();
    if (!compiled) return reErrNotCompiled;
    try {
        Matcher m(*compiled, text, stepBudget);
        intptr_t at = m.search(std::max<intptr_t>(start, 1) - 1);
        if (m.gaveUp()) return reErrStepBudget;
        if (at < 0) return reErrNoMatch;
        captures.swap(m.captures());
        return at + 1;
    } catch (const std::bad_alloc&) {
        return reErrStepBudget;
    }
}

intptr_t reFind(const kelRE* compiled, const kelString& text, intptr_t& len, intptr_t start,
                int64_t stepBudget)
{
    std::vector<kelRECapture> caps;
    len = 0;
    intptr_t at = reFindCaptures(compiled, text, start, stepBudget, caps);
    if (at > 0) len = caps[0].r_length;
    return at;
}

int64_t reStepBudgetFor(const kelString& text)
{
    return reDefaultStepBudget + reStepsPerCharacter * static_cast<int64_t>(text.size());
}

intptr_t reFind(const kelRE* compiled, const kelString& text, intptr_t& len, intptr_t start)
{
    return reFind(compiled, text, len, start, reStepBudgetFor(text));
}
