#include "net/protocols/kelRE.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

kelString u(const std::string& s)
{
    return kelString(s.begin(), s.end());
}

struct FindCase
{
    const char* pattern;
    const char* text;
    intptr_t start;
    intptr_t pos;
    intptr_t len;
};

// Position and length of reFindFirst over a table of patterns and texts.
const FindCase kFindCases[] = {
    // literals, any character, the start position
    {"abc", "xxabcx", 1, 3, 3},
    {"a.c", "a-c", 1, 1, 3},
    {"a", "abab", 2, 3, 1},
    {"a", "abab", 0, 1, 1},
    {"b", "abab", 5, -1, 0},
    // anchors
    {"^ab", "xab", 1, -1, 0},
    {"^ab", "abab", 1, 1, 2},
    {"ab$", "abab", 1, 3, 2},
    {"^ab$", "ab", 1, 1, 2},
    {"^a", "aa", 2, -1, 0},
    // sets: ranges, negation, "]" first, "-" at the edge
    {"[0-9]+", "ab123c", 1, 3, 3},
    {"[^0-9]+", "12ab3", 1, 3, 2},
    {"[]a]+", "x]a]", 1, 2, 3},
    {"[^]]+", "]]ab]", 1, 3, 2},
    {"[a-]+", "x-a-", 1, 2, 3},
    {"[a-cx-z]+", "dbyq", 1, 2, 2},
    // escapes
    {"\\*(.*)\\*", "a*b*c", 1, 2, 3},
    {"\\$\\(\\)\\.\\?\\[\\\\\\^\\{\\|\\+", "x$().?[\\^{|+", 1, 2, 11},
    // greedy repetition giving back characters
    {".*b", "abab", 1, 1, 4},
    {"a+ab", "aaaab", 1, 1, 5},
    {"[0-9]*5", "12345", 1, 1, 5},
    // braces, with blanks inside
    {"a{2}", "aaa", 1, 1, 2},
    {"a{ 2 , 3 }", "aaaa", 1, 1, 3},
    {"a{2,}", "aaaaa", 1, 1, 5},
    {"a{,2}", "aaa", 1, 1, 2},
    {"xa{0}y", "xy", 1, 1, 2},
    {"(ab){2}", "abababx", 1, 1, 4},
    {"a{2}{2}", "aaaaa", 1, 1, 4},
    // back-references need backtracking to line up
    {"(a+)b\\1", "aaabaa", 1, 2, 5},
    {"(.)\\1", "abccd", 1, 3, 2},
    {"(a|b)\\1+", "abbba", 1, 2, 3},
    // a capture made on a path that failed is undone: \2 is unset again
    {"(a(b))?abc\\2", "abc", 1, 1, 3},
    // alternation: the longest alternative wins, shorter ones are fallbacks
    {"(a|ab|abc)", "abcd", 1, 1, 3},
    {"(ab|abc)", "abcd", 1, 1, 3},
    {"(abc|ab)c", "abc", 1, 1, 3},
    {"(a|ab)(c|bcd)", "abcd", 1, 1, 3},
    {"x|yy|zzz", "-zzzyy", 1, 2, 3},
    {"(a|)b", "b", 1, 1, 1},
    // an empty match never counts: the search moves on
    {"x*", "abxx", 1, 3, 2},
    {"a?", "bbb", 1, -1, 0},
    {"^$", "", 1, -1, 0},
    {"()", "abc", 1, -1, 0},
    // quantifiers without anything to repeat stand for themselves
    {"*a", "b*a", 1, 2, 2},
    {"(+)", "a+", 1, 2, 1},
    // groups left open close at the end; an unmatched ")" is a literal
    {"(ab", "xab", 1, 2, 2},
    {"a)", "a)", 1, 1, 2},
};

TEST(kelRETest, FindsOverPatternTable)
{
    for (const FindCase& c : kFindCases) {
        intptr_t len = -7;
        intptr_t pos = reFindFirst(u(c.text), u(c.pattern), len, c.start);
        EXPECT_EQ(pos, c.pos) << c.pattern << " in " << c.text;
        EXPECT_EQ(len, c.len) << c.pattern << " in " << c.text;
    }
}

TEST(kelRETest, CompileErrorsHaveTheirCodes)
{
    const std::pair<const char*, int> cases[] = {
        {"a{2", reErrBraceUnclosed},
        {"a{x}", reErrBraceUnclosed},
        {"a{}", reErrBraceUnclosed},
        {"a{1,2,3}", reErrBraceUnclosed},
        {"a{3,2}", reErrRepeatRange},
        {"\\d", reErrBadEscape},
        {"a\\]", reErrBadEscape},
        {"\\1", reErrBadBackReference},
        {"(a)\\2", reErrBadBackReference},
        {"\\0", reErrBadBackReference},
        {"abc\\", reErrTrailingBackslash},
        {"[abc", reErrSetUnclosed},
        {"[]", reErrSetUnclosed},
        {"[^", reErrSetUnclosed},
        {"(a\\1)", 0},
        {"", 0},
    };
    for (const auto& [pattern, code] : cases) {
        kelRE* re = reinterpret_cast<kelRE*>(uintptr_t{1});
        EXPECT_EQ(reCompile(u(pattern), re), code) << pattern;
        EXPECT_EQ(re == nullptr, code != 0) << pattern;
        reFree(re);
        EXPECT_EQ(re, nullptr);
    }
    intptr_t len = 0;
    EXPECT_EQ(reFindFirst(u("abc"), u("[a"), len, 1), reErrSetUnclosed);
    EXPECT_EQ(reFind(nullptr, u("abc"), len, 1), reErrNotCompiled);
}

TEST(kelRETest, ProbedAlternativeLeavesNoCaptureBehind)
{
    // Probing "(a)" sets group 2; the longer "(ab)" is taken, so \2 must be
    // unset again and match nothing.
    kelRE* re = nullptr;
    ASSERT_EQ(reCompile(u("((a)|(ab))c\\2"), re), 0);
    std::vector<kelRECapture> caps;
    EXPECT_EQ(reFindCaptures(re, u("abca"), 1, reDefaultStepBudget, caps), 1);
    ASSERT_EQ(caps.size(), 4u);
    EXPECT_EQ(caps[0].r_length, 3);
    EXPECT_EQ(caps[2].r_start, -1);
    EXPECT_EQ(caps[3].r_start, 0);
    EXPECT_EQ(caps[3].r_length, 2);
    reFree(re);
}

TEST(kelRETest, WorkIsBounded)
{
    // Nested repetitions that fail take exponential time without a budget.
    kelRE* re = nullptr;
    ASSERT_EQ(reCompile(u("(a*)*(b|c)*d"), re), 0);
    intptr_t len = 0;
    EXPECT_EQ(reFind(re, u(std::string(40, 'a')), len, 1, 100000), reErrStepBudget);
    EXPECT_EQ(reFind(re, u(std::string(40, 'a')), len, 1), reErrStepBudget);
    reFree(re);

    // Single-character repetitions over a long text run in loops.
    std::string longText(2000000, 'a');
    EXPECT_EQ(reFindFirst(u(longText), u(".*x"), len, 1), reErrNoMatch);
    EXPECT_EQ(reFindFirst(u(longText + "b"), u("a*b"), len, 1), 1);
    EXPECT_EQ(len, 2000001);
    // Group repetitions nest; far beyond the nesting limit the search gives up
    // instead of overflowing the stack.
    std::string pairs;
    for (int i = 0; i < 100000; ++i)
        pairs += "ab";
    EXPECT_EQ(reFindFirst(u(pairs), u("(ab)*c"), len, 1), reErrStepBudget);
    // An empty iteration ends a repetition instead of looping.
    EXPECT_EQ(reFindFirst(u("xyz"), u("(a*)*y"), len, 1), 2);
    EXPECT_EQ(reFindFirst(u("xyz"), u("(a?){1000000}y"), len, 1), 2);
}

TEST(kelRETest, ReplacesWithGroupTemplates)
{
    const kelString transport = u("rtp/avp;server_port=6000-6001;ssrc=5");
    const kelString ports = u(".*server_port=([0-9]*)-([0-9]*)");
    EXPECT_EQ(reReplace(transport, ports, u("\\1"), 1, false), u("6000;ssrc=5"));
    EXPECT_EQ(reReplace(transport, ports, u("\\2"), 1, false), u("6001;ssrc=5"));

    const kelString stars = u("\\*(.*)\\*(.*)\\*(.*)");
    EXPECT_EQ(reReplace(u("*host*5004*x"), stars, u("\\2"), 1, false), u("5004"));
    EXPECT_EQ(reReplace(u("*host*5004*x"), stars, u("\\3"), 1, false), u("x"));

    EXPECT_EQ(reReplace(u("a1b22c333"), u("[0-9]+"), u("#"), 1, true), u("a#b#c#"));
    EXPECT_EQ(reReplace(u("a1b22c333"), u("[0-9]+"), u("#"), 1, false), u("a#b22c333"));
    EXPECT_EQ(reReplace(u("1a1a1"), u("[0-9]"), u("#"), 2, true), u("1a#a#"));
    // Pairs that name no group are copied as they stand, as is a last "\".
    EXPECT_EQ(reReplace(u("ab"), u("(a)"), u("[\\0\\1\\5\\n\\]"), 1, false), u("[\\0a\\5\\n\\]b"));
    // A group that did not take part expands to nothing.
    EXPECT_EQ(reReplace(u("b"), u("(a)?b"), u("<\\1>"), 1, false), u("<>"));
    // An invalid pattern, no match, or an empty match leaves the text as it is.
    EXPECT_EQ(reReplace(u("abc"), u("a{"), u("x"), 1, true), u("abc"));
    EXPECT_EQ(reReplace(u("abc"), u("z"), u("x"), 1, true), u("abc"));
    EXPECT_EQ(reReplaceCompiled(nullptr, u("abc"), u("x"), 1, true), u("abc"));
}

TEST(kelRETest, ExtractsMatchesOfTwoCharactersOrMore)
{
    EXPECT_EQ(reExtract(1, u("client_port=5000-5001"), u("-[0-9]*")), u("-5001"));
    EXPECT_EQ(reExtract(1, u("client_port=5000-5001"), u("[0-9]*")), u("5000"));
    EXPECT_EQ(reExtract(1, u("ssrc=7"), u("[0-9]*")), u(""));
    EXPECT_EQ(reExtract(1, u("timeout=60"), u("=.*")), u("=60"));
    EXPECT_EQ(reExtract(1, u("abc"), u("[")), u(""));
}

TEST(kelRETest, MatchesUtf16CodeUnits)
{
    const kelString text = u"gr\u00fc\u00dfe \u4e16\u754c";
    intptr_t len = 0;
    EXPECT_EQ(reFindFirst(text, u"[\u4e00-\u9fff]+", len, 1), 7);
    EXPECT_EQ(len, 2);
    EXPECT_EQ(reFindFirst(text, u"[^\u4e00-\u9fff ]+", len, 1), 1);
    EXPECT_EQ(len, 5);
}

TEST(kelRETest, ThreadsShareOneCompiledExpression)
{
    kelRE* re = nullptr;
    ASSERT_EQ(reCompile(u(".*server_port=([0-9]*)-([0-9]*)"), re), 0);
    const kelString text = u("RTP/AVP;unicast;server_port=6970-6971;ssrc=1");
    auto work = [&](int* hits) {
        for (int i = 0; i < 500; ++i)
            if (reReplaceCompiled(re, text, u("\\2"), 1, false) == u("6971;ssrc=1")) ++*hits;
    };
    int a = 0, b = 0;
    std::thread t1(work, &a), t2(work, &b);
    t1.join();
    t2.join();
    EXPECT_EQ(a, 500);
    EXPECT_EQ(b, 500);
    reFree(re);
}

} // namespace
