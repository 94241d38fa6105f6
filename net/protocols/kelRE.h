#pragma once

// The library's own regular-expression engine.
//
// Syntax: literals, "." (any character), "[...]" sets with ranges and "^"
// negation (a "]" right after "[" or "[^" is a member; inside a set every
// other character stands for itself), "\" before one of $ ( ) * + . ? [ \ ^ {
// | for that character, "\1".."\9" back-references to an opened group, "^"
// and "$" anchors at the start and end of the text, "*", "+", "?" and the
// braces {n}, {n,m}, {n,} (blanks allowed inside), groups "(...)" numbered by
// their opening parenthesis, and "|" between the alternatives of a group.
//
// Matching: repetitions are greedy and give back one repetition at a time
// when the rest fails; among the alternatives of a group the longest is tried
// first (the first of equal length), the others only when the rest of the
// pattern fails after it. An empty overall match never counts. Positions are
// 1-based UTF-16 code unit indices.
//
// Work is bounded: every search has a step budget and a nesting limit, after
// which it fails with reErrStepBudget. Single-character repetitions are
// matched by loops, so long texts do not deepen the stack.
//
// The routines keep no shared state and a compiled expression does not
// change while it is used, so any thread may call them, and several threads
// may search with one compiled expression at the same time.

#include <cstdint>
#include <utility>
#include <vector>

#include "core/kelTypes.h"

// Results of reCompile and reFind.
constexpr int reErrNoMatch = -1;
constexpr int reErrNotCompiled = -5;
// The search ran out of steps (or nested too deep) before deciding.
constexpr int reErrStepBudget = -6;
constexpr int reErrBraceUnclosed = -10;
constexpr int reErrRepeatRange = -11;
constexpr int reErrBadEscape = -12;
constexpr int reErrBadBackReference = -13;
constexpr int reErrTrailingBackslash = -14;
constexpr int reErrSetUnclosed = -15;

// Work one search may do unless the caller says otherwise: a fixed part
// plus a part that grows with the text, so that a linear scan of any text
// fits while a pathological pattern gives up within a few tens of
// milliseconds. A step is one node tried or one character scanned.
constexpr int64_t reDefaultStepBudget = 1000000;
constexpr int64_t reStepsPerCharacter = 16;

int64_t reStepBudgetFor(const kelString& text);

// Node kinds, numbered as the engine has always numbered them.
enum kelRENodeKind : uint8_t {
    kelre_literal = 0,
    kelre_any = 1,
    kelre_set = 2,
    kelre_anchor = 3,
    kelre_backReference = 4,
    kelre_group = 6,
};

constexpr int32_t kelREInfinite = INT32_MAX;

struct kelRENode
{
    kelRENodeKind r_kind = kelre_literal;
    int32_t r_min = 1;
    int32_t r_max = 1;
    int32_t r_next = -1;    // next node of the same sequence, -1 at its end
    char16_t r_char = 0;    // literal character; for an anchor '^' or '$'
    int32_t r_set = -1;     // index into kelRE::f_sets
    int32_t r_group = -1;   // capture number (groups, back-references); -1 for a group that only repeats
    int32_t r_altFirst = 0; // groups: first entry in kelRE::f_alts
    int32_t r_altCount = 0; // groups: number of alternatives
};

struct kelRESet
{
    uint64_t r_bits[4] = {0, 0, 0, 0};                   // members below 256
    std::vector<std::pair<char16_t, char16_t>> r_ranges; // members from 256 up
    bool r_negated = false;

    bool contains(char16_t c) const;
};

// A compiled expression: node 0 is the outermost group (capture 0).
class kelRE
{
public:
    std::vector<kelRENode> f_nodes;
    std::vector<int32_t> f_alts; // first node of each alternative (-1 = empty)
    std::vector<kelRESet> f_sets;
    int32_t f_groupCount = 0; // captures 1..f_groupCount
    // Set when the pattern starts with ".*": a search that fails at one
    // position fails at every later one, so it tries only the first.
    bool f_leadingDotStar = false;
    // Set when every match must start with this character (0 = no hint).
    char16_t f_firstChar = 0;
    bool f_hasFirstChar = false;
};

// One capture of a search: 0-based start and length, -1 start when unset.
struct kelRECapture
{
    intptr_t r_start = -1;
    intptr_t r_length = 0;
};

// Compiles `pattern`. Returns 0 and a new expression in `compiled`, or a
// negative error code and nullptr. Any earlier expression the caller kept in
// `compiled` must have been released with reFree.
int reCompile(const kelString& pattern, kelRE*& compiled);

// Releases an expression from reCompile and clears the variable; null is fine.
void reFree(kelRE*& compiled);

// Position (1-based) of the first match at or after `start` (below 1 counts
// as 1) and its length in `len`; reErrNoMatch when there is none,
// reErrNotCompiled for a null expression, reErrStepBudget when the search gave
// up. `len` is 0 unless a match is returned.
intptr_t reFind(const kelRE* compiled, const kelString& text, intptr_t& len, intptr_t start);
intptr_t reFind(const kelRE* compiled, const kelString& text, intptr_t& len, intptr_t start,
                int64_t stepBudget);

// As reFind, and fills `captures` (index 0 = the whole match, then groups
// 1..f_groupCount) for the match returned.
intptr_t reFindCaptures(const kelRE* compiled, const kelString& text, intptr_t start, int64_t stepBudget,
                        std::vector<kelRECapture>& captures);

// Compile, find, release. A compile error is returned as its code.
intptr_t reFindFirst(const kelString& text, const kelString& pattern, intptr_t& len, intptr_t start);

// The first match at or after `start` as text; empty when there is none, the
// pattern does not compile, or the match is shorter than 2 characters.
kelString reExtract(intptr_t start, const kelString& text, const kelString& pattern);

// `text` with the first match at or after `start` (every match from there on
// when `all`) replaced by `templ`, in which "\1".."\9" stand for the text the
// group last matched. Text outside the matches stays in place. An invalid
// pattern returns `text` unchanged.
kelString reReplace(const kelString& text, const kelString& pattern, const kelString& templ, intptr_t start,
                    bool all);
kelString reReplaceCompiled(const kelRE* compiled, const kelString& text, const kelString& templ,
                            intptr_t start, bool all);
