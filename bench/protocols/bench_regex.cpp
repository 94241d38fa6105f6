// The regular-expression engine on the patterns the streaming components use,
// against PCRE2 (interpreter and JIT) and std::regex on the same texts. The
// references run with "an empty match does not count" (PCRE2_NOTEMPTY,
// match_not_null) and "." matching every character, so all engines find the
// same match; a case whose engines disagree is reported as an error, not
// timed. Ratios are printed relative to the PCRE2 interpreter.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>
#include <regex>
#include <string>

#include "kelBenchRatios.h"
#include "net/protocols/kelRE.h"

namespace {

struct Case
{
    const char* name;
    const char* pattern;
    std::string text;
};

std::string longTransport()
{
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "x-param" + std::to_string(i) + "=value;";
    return text + "server_port=6970-6971;ssrc=1A2B3C4D";
}

const Case kCases[] = {
    {"serverPort", ".*server_port=([0-9]*)-([0-9]*)",
     "RTP/AVP;unicast;client_port=5000-5001;server_port=6970-6971;ssrc=1A2B3C4D;mode=\"PLAY\""},
    {"serverPortLong", ".*server_port=([0-9]*)-([0-9]*)", longTransport()},
    {"stars", "\\*(.*)\\*(.*)\\*(.*)", "*127.0.0.1*5004*rtp"},
    {"digits", "[0-9]*", "5000-5001"},
    {"dashDigits", "-[0-9]*", "client_port=5000-5001"},
    {"equalsRest", "=.*", "timeout=60"},
};

struct Result
{
    intptr_t pos = -1; // 1-based
    intptr_t len = 0;
    bool operator==(const Result&) const = default;
};

kelString widen(const std::string& s)
{
    return kelString(s.begin(), s.end());
}

struct Pcre
{
    explicit Pcre(const char* pattern, bool jit)
    {
        int err = 0;
        PCRE2_SIZE offset = 0;
        code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, PCRE2_DOTALL, &err,
                             &offset, nullptr);
        if (code && jit) pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
        if (code) data = pcre2_match_data_create_from_pattern(code, nullptr);
    }
    ~Pcre()
    {
        pcre2_match_data_free(data);
        pcre2_code_free(code);
    }
    Result find(const std::string& text) const
    {
        int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, PCRE2_NOTEMPTY,
                             data, nullptr);
        if (rc < 0) return {};
        PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
        return {static_cast<intptr_t>(ov[0]) + 1, static_cast<intptr_t>(ov[1] - ov[0])};
    }
    pcre2_code* code = nullptr;
    pcre2_match_data* data = nullptr;
};

struct Ours
{
    explicit Ours(const char* pattern) { reCompile(widen(pattern), re); }
    ~Ours() { reFree(re); }
    Result find(const kelString& text) const
    {
        intptr_t len = 0;
        intptr_t pos = reFind(re, text, len, 1);
        return pos > 0 ? Result{pos, len} : Result{};
    }
    kelRE* re = nullptr;
};

Result stdFind(const std::regex& re, const std::string& text)
{
    std::smatch m;
    if (!std::regex_search(text, m, re, std::regex_constants::match_not_null)) return {};
    return {static_cast<intptr_t>(m.position(0)) + 1, static_cast<intptr_t>(m.length(0))};
}

// The match all engines must agree on, or an empty result when they do not.
bool agree(const Case& c)
{
    Ours ours(c.pattern);
    Pcre pcre(c.pattern, false);
    std::regex re(c.pattern);
    Result r = ours.find(widen(c.text));
    return r.pos > 0 && r == pcre.find(c.text) && r == stdFind(re, c.text);
}

void runOurs(benchmark::State& state, const Case* c)
{
    if (!agree(*c)) return state.SkipWithError("engines disagree");
    Ours ours(c->pattern);
    kelString text = widen(c->text);
    for (auto _ : state)
        benchmark::DoNotOptimize(ours.find(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c->text.size()));
}

void runPcre(benchmark::State& state, const Case* c, bool jit)
{
    if (!agree(*c)) return state.SkipWithError("engines disagree");
    Pcre pcre(c->pattern, jit);
    for (auto _ : state)
        benchmark::DoNotOptimize(pcre.find(c->text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c->text.size()));
}

void runStd(benchmark::State& state, const Case* c)
{
    if (!agree(*c)) return state.SkipWithError("engines disagree");
    std::regex re(c->pattern);
    for (auto _ : state)
        benchmark::DoNotOptimize(stdFind(re, c->text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c->text.size()));
}

// Compiling, as reFindFirst and reExtract do on every call.
void compileOurs(benchmark::State& state, const Case* c)
{
    kelString pattern = widen(c->pattern);
    for (auto _ : state) {
        kelRE* re = nullptr;
        benchmark::DoNotOptimize(reCompile(pattern, re));
        reFree(re);
    }
}

void compilePcre(benchmark::State& state, const Case* c)
{
    for (auto _ : state) {
        int err = 0;
        PCRE2_SIZE offset = 0;
        pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(c->pattern), PCRE2_ZERO_TERMINATED,
                                         PCRE2_DOTALL, &err, &offset, nullptr);
        benchmark::DoNotOptimize(code);
        pcre2_code_free(code);
    }
}

void compileStd(benchmark::State& state, const Case* c)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(std::regex(c->pattern));
}

int registerAll()
{
    for (const Case& c : kCases) {
        std::string n = c.name;
        benchmark::RegisterBenchmark(("find." + n + "/kelRE").c_str(), runOurs, &c);
        benchmark::RegisterBenchmark(("find." + n + "/pcre2").c_str(), runPcre, &c, false);
        benchmark::RegisterBenchmark(("find." + n + "/pcre2-jit").c_str(), runPcre, &c, true);
        benchmark::RegisterBenchmark(("find." + n + "/std::regex").c_str(), runStd, &c);
    }
    const Case& c = kCases[0];
    benchmark::RegisterBenchmark("compile.serverPort/kelRE", compileOurs, &c);
    benchmark::RegisterBenchmark("compile.serverPort/pcre2", compilePcre, &c);
    benchmark::RegisterBenchmark("compile.serverPort/std::regex", compileStd, &c);
    return 0;
}

const int g_registered = registerAll();

} // namespace

KEL_BENCH_MAIN_WITH_RATIOS("pcre2")
