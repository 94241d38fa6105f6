// Throughput of the library CRC, Base64 and UTF-8 conversion against
// established implementations run in the same program: zlib's crc32,
// OpenSSL's Base64 block coder and glibc's iconv. Every case processes the
// same 64 KiB buffer; the ratio table at the end gives kel time / reference
// time.

#include "core/kelBase64.h"
#include "core/kelCrc.h"
#include "core/kelUtf.h"
#include "kelBenchRatios.h"

#include <iconv.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <random>
#include <string>

namespace {

constexpr size_t kSize = 64 * 1024;

const std::string& randomBytes()
{
    static const std::string data = [] {
        std::mt19937 rng(1);
        std::string s(kSize, '\0');
        for (char& c : s)
            c = static_cast<char>(rng());
        return s;
    }();
    return data;
}

// Mixed text: mostly ASCII with two-, three- and four-byte characters, as
// chat and subtitle text tends to be.
const kelString& mixedText()
{
    static const kelString text = [] {
        std::mt19937 rng(2);
        kelString s;
        while (s.size() < kSize / 2) {
            const unsigned r = rng() % 16;
            if (r < 11)
                s.push_back(static_cast<char16_t>(u'a' + rng() % 26));
            else if (r < 13)
                s.push_back(static_cast<char16_t>(0xE0 + rng() % 32));
            else if (r < 15)
                s.push_back(static_cast<char16_t>(0x4E00 + rng() % 2000));
            else
                s += u"\U0001F600";
        }
        return s;
    }();
    return text;
}

void crcKel(benchmark::State& state)
{
    const std::string& d = randomBytes();
    for (auto _ : state)
        benchmark::DoNotOptimize(libCrc32(d.data(), d.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
}

void crcZlib(benchmark::State& state)
{
    const std::string& d = randomBytes();
    for (auto _ : state)
        benchmark::DoNotOptimize(
            crc32(0L, reinterpret_cast<const Bytef*>(d.data()), static_cast<uInt>(d.size())));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
}

void encodeKel(benchmark::State& state)
{
    const std::string& d = randomBytes();
    for (auto _ : state)
        benchmark::DoNotOptimize(encodeBase64(d));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
}

void encodeOpenSsl(benchmark::State& state)
{
    const std::string& d = randomBytes();
    for (auto _ : state) {
        std::string out((d.size() + 2) / 3 * 4 + 1, '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(d.data()), static_cast<int>(d.size()));
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(d.size()));
}

void decodeKel(benchmark::State& state)
{
    const std::string text = encodeBase64(randomBytes());
    for (auto _ : state)
        benchmark::DoNotOptimize(decodeBase64(text));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void decodeOpenSsl(benchmark::State& state)
{
    const std::string text = encodeBase64(randomBytes());
    for (auto _ : state) {
        std::string out(text.size() / 4 * 3, '\0');
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// One iconv conversion of the whole input into a buffer sized for the worst case.
std::string convert(iconv_t cd, const std::string& in, size_t outSize)
{
    std::string out(outSize, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.resize(out.size() - dstLeft);
    return out;
}

std::string utf16leBytes(const kelString& s)
{
    return std::string(reinterpret_cast<const char*>(s.data()), s.size() * 2);
}

void toUtf8Kel(benchmark::State& state)
{
    const kelString& text = mixedText();
    for (auto _ : state)
        benchmark::DoNotOptimize(utf16ToUtf8(text));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size() * 2));
}

void toUtf8Iconv(benchmark::State& state)
{
    const std::string in = utf16leBytes(mixedText());
    iconv_t cd = ::iconv_open("UTF-8", "UTF-16LE");
    for (auto _ : state)
        benchmark::DoNotOptimize(convert(cd, in, in.size() * 2));
    ::iconv_close(cd);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void fromUtf8Kel(benchmark::State& state)
{
    const std::string in = utf16ToUtf8(mixedText());
    for (auto _ : state)
        benchmark::DoNotOptimize(utf8ToUtf16(in));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

void fromUtf8Iconv(benchmark::State& state)
{
    const std::string in = utf16ToUtf8(mixedText());
    iconv_t cd = ::iconv_open("UTF-16LE", "UTF-8");
    for (auto _ : state)
        benchmark::DoNotOptimize(convert(cd, in, in.size() * 2));
    ::iconv_close(cd);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size()));
}

} // namespace

BENCHMARK(crcKel)->Name("crc32/kel");
BENCHMARK(crcZlib)->Name("crc32/reference");
BENCHMARK(encodeKel)->Name("base64-encode/kel");
BENCHMARK(encodeOpenSsl)->Name("base64-encode/reference");
BENCHMARK(decodeKel)->Name("base64-decode/kel");
BENCHMARK(decodeOpenSsl)->Name("base64-decode/reference");
BENCHMARK(toUtf8Kel)->Name("utf16-to-utf8/kel");
BENCHMARK(toUtf8Iconv)->Name("utf16-to-utf8/reference");
BENCHMARK(fromUtf8Kel)->Name("utf8-to-utf16/kel");
BENCHMARK(fromUtf8Iconv)->Name("utf8-to-utf16/reference");

KEL_BENCH_MAIN_WITH_RATIOS("reference")
