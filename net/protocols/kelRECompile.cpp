// Pattern compiler of the regular-expression engine: turns a pattern into the
// node array of kelRE. Groups are handled with an explicit stack, so deeply
// nested patterns cannot exhaust the call stack while compiling.
#include "net/protocols/kelRE.h"

#include <algorithm>
#include <new>

namespace {

// The characters a backslash turns back into literals.
constexpr char16_t kEscapable[] = u"$()*+.?[\\^{|";

bool isEscapable(char16_t c)
{
    for (const char16_t* p = kEscapable; *p; ++p)
        if (*p == c) return true;
    return false;
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

struct Element
{
    int32_t node;
    bool repeated; // already carries a repetition
};

struct Frame
{
    int32_t groupNode;
    std::vector<std::vector<Element>> alts;
};

class Compiler
{
public:
    Compiler(const kelString& pattern, kelRE& re) : p_(pattern), re_(re) {}

    int run();

private:
    int32_t addNode(kelRENodeKind kind)
    {
        re_.f_nodes.push_back(kelRENode{});
        re_.f_nodes.back().r_kind = kind;
        return static_cast<int32_t>(re_.f_nodes.size() - 1);
    }
    void addElement(int32_t node) { stack_.back().alts.back().push_back(Element{node, false}); }
    void addLiteral(char16_t c)
    {
        int32_t n = addNode(kelre_literal);
        re_.f_nodes[n].r_char = c;
        addElement(n);
    }
    void closeGroup();
    // Applies a repetition to the previous element; false when there is none
    // (the quantifier then stands for itself).
    bool repeatPrevious(int32_t min, int32_t max);
    int parseBraces(size_t& i, int32_t& min, int32_t& max);
    int parseSet(size_t& i);

    const kelString& p_;
    kelRE& re_;
    std::vector<Frame> stack_;
    int32_t opened_ = 0;
};

void Compiler::closeGroup()
{
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    kelRENode& group = re_.f_nodes[frame.groupNode];
    group.r_altFirst = static_cast<int32_t>(re_.f_alts.size());
    group.r_altCount = static_cast<int32_t>(frame.alts.size());
    for (auto& alt : frame.alts) {
        for (size_t k = 0; k + 1 < alt.size(); ++k)
            re_.f_nodes[alt[k].node].r_next = alt[k + 1].node;
        re_.f_alts.push_back(alt.empty() ? -1 : alt.front().node);
    }
    if (!stack_.empty()) addElement(frame.groupNode);
}

bool Compiler::repeatPrevious(int32_t min, int32_t max)
{
    auto& alt = stack_.back().alts.back();
    if (alt.empty()) return false;
    Element& last = alt.back();
    if (last.repeated) {
        // A second repetition applies to the repeated element as a whole: wrap
        // it in a group that captures nothing.
        int32_t wrap = addNode(kelre_group);
        kelRENode& g = re_.f_nodes[wrap];
        g.r_altFirst = static_cast<int32_t>(re_.f_alts.size());
        g.r_altCount = 1;
        re_.f_alts.push_back(last.node);
        last.node = wrap;
    }
    re_.f_nodes[last.node].r_min = min;
    re_.f_nodes[last.node].r_max = max;
    last.repeated = true;
    return true;
}

// Reads "{n}", "{n,m}", "{n,}" (blanks allowed anywhere inside; an empty n
// counts as 0). `i` is at the "{" and ends on the "}".
int Compiler::parseBraces(size_t& i, int32_t& min, int32_t& max)
{
    size_t close = p_.find(u'}', i + 1);
    if (close == kelString::npos) return reErrBraceUnclosed;
    int64_t values[2] = {-1, -1};
    int field = 0;
    bool comma = false;
    for (size_t k = i + 1; k < close; ++k) {
        char16_t c = p_[k];
        if (isBlank(c)) continue;
        if (c == u',') {
            if (comma) return reErrBraceUnclosed;
            comma = true;
            field = 1;
            continue;
        }
        if (c < u'0' || c > u'9') return reErrBraceUnclosed;
        int64_t v = values[field] < 0 ? 0 : values[field];
        v = std::min<int64_t>(v * 10 + (c - u'0'), kelREInfinite - 1);
        values[field] = v;
    }
    if (values[0] < 0 && values[1] < 0 && !comma) return reErrBraceUnclosed;
    min = static_cast<int32_t>(values[0] < 0 ? 0 : values[0]);
    if (!comma)
        max = min;
    else
        max = values[1] < 0 ? kelREInfinite : static_cast<int32_t>(values[1]);
    if (max < min) return reErrRepeatRange;
    i = close;
    return 0;
}

// Reads a set; `i` is at the "[" and ends on the "]".
int Compiler::parseSet(size_t& i)
{
    kelRESet set;
    size_t k = i + 1;
    if (k < p_.size() && p_[k] == u'^') {
        set.r_negated = true;
        ++k;
    }
    auto add = [&set](char16_t lo, char16_t hi) {
        if (lo > hi) std::swap(lo, hi);
        for (uint32_t c = lo; c <= hi && c < 256; ++c)
            set.r_bits[c >> 6] |= uint64_t{1} << (c & 63);
        if (hi >= 256) set.r_ranges.emplace_back(std::max<char16_t>(lo, 256), hi);
    };
    bool first = true;
    for (;; first = false) {
        if (k >= p_.size()) return reErrSetUnclosed;
        char16_t c = p_[k];
        if (c == u']' && !first) break;
        if (k + 2 < p_.size() && p_[k + 1] == u'-' && p_[k + 2] != u']') {
            add(c, p_[k + 2]);
            k += 3;
        } else {
            add(c, c);
            ++k;
        }
    }
    int32_t n = addNode(kelre_set);
    re_.f_nodes[n].r_set = static_cast<int32_t>(re_.f_sets.size());
    re_.f_sets.push_back(std::move(set));
    addElement(n);
    i = k;
    return 0;
}

int Compiler::run()
{
    int32_t root = addNode(kelre_group);
    re_.f_nodes[root].r_group = 0;
    stack_.push_back(Frame{root, {}});
    stack_.back().alts.emplace_back();

    for (size_t i = 0; i < p_.size(); ++i) {
        char16_t c = p_[i];
        switch (c) {
        case u'.':
            addElement(addNode(kelre_any));
            break;
        case u'^':
        case u'$': {
            int32_t n = addNode(kelre_anchor);
            re_.f_nodes[n].r_char = c;
            addElement(n);
            break;
        }
        case u'[': {
            int rc = parseSet(i);
            if (rc) return rc;
            break;
        }
        case u'(': {
            int32_t n = addNode(kelre_group);
            re_.f_nodes[n].r_group = ++opened_;
            stack_.push_back(Frame{n, {}});
            stack_.back().alts.emplace_back();
            break;
        }
        case u')':
            if (stack_.size() > 1)
                closeGroup();
            else
                addLiteral(c); // nothing to close: the parenthesis stands for itself
            break;
        case u'|':
            stack_.back().alts.emplace_back();
            break;
        case u'*':
            if (!repeatPrevious(0, kelREInfinite)) addLiteral(c);
            break;
        case u'+':
            if (!repeatPrevious(1, kelREInfinite)) addLiteral(c);
            break;
        case u'?':
            if (!repeatPrevious(0, 1)) addLiteral(c);
            break;
        case u'{': {
            int32_t min = 0, max = 0;
            size_t at = i;
            int rc = parseBraces(i, min, max);
            if (rc) return rc;
            if (!repeatPrevious(min, max)) {
                i = at; // nothing to repeat: "{" stands for itself
                addLiteral(c);
            }
            break;
        }
        case u'\\': {
            if (i + 1 >= p_.size()) return reErrTrailingBackslash;
            char16_t e = p_[++i];
            if (e >= u'0' && e <= u'9') {
                int32_t ref = e - u'0';
                if (ref < 1 || ref > opened_) return reErrBadBackReference;
                int32_t n = addNode(kelre_backReference);
                re_.f_nodes[n].r_group = ref;
                addElement(n);
            } else if (isEscapable(e)) {
                addLiteral(e);
            } else {
                return reErrBadEscape;
            }
            break;
        }
        default:
            addLiteral(c);
            break;
        }
    }
    // Groups still open at the end of the pattern close there.
    while (!stack_.empty())
        closeGroup();
    re_.f_groupCount = opened_;

    const kelRENode& top = re_.f_nodes[root];
    if (top.r_altCount == 1 && re_.f_alts[top.r_altFirst] >= 0) {
        const kelRENode& first = re_.f_nodes[re_.f_alts[top.r_altFirst]];
        if (first.r_kind == kelre_any && first.r_min == 0 && first.r_max == kelREInfinite)
            re_.f_leadingDotStar = true;
        if (first.r_kind == kelre_literal && first.r_min >= 1) {
            re_.f_hasFirstChar = true;
            re_.f_firstChar = first.r_char;
        }
    }
    return 0;
}

} // namespace

bool kelRESet::contains(char16_t c) const
{
    bool in;
    if (c < 256) {
        in = (r_bits[c >> 6] >> (c & 63)) & 1;
    } else {
        in = false;
        for (const auto& r : r_ranges)
            if (c >= r.first && c <= r.second) {
                in = true;
                break;
            }
    }
    return in != r_negated;
}

int reCompile(const kelString& pattern, kelRE*& compiled)
{
    compiled = nullptr;
    auto* re = new (std::nothrow) kelRE;
    if (!re) return reErrNotCompiled;
    int rc;
    try {
        rc = Compiler(pattern, *re).run();
    } catch (const std::bad_alloc&) {
        rc = reErrNotCompiled;
    }
    if (rc != 0) {
        delete re;
        return rc;
    }
    compiled = re;
    return 0;
}

void reFree(kelRE*& compiled)
{
    delete compiled;
    compiled = nullptr;
}
