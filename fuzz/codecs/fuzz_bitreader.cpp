// Bit-reader operations against a plain model of the bits: the first byte
// picks the source (a stream written as it goes, memory attached in front of
// the stream, or a file), the rest is a list of operations with their
// arguments and the data they write. Every value, count and position must be
// the model's, and the outfill target must hold exactly the wholly consumed
// bytes.
#include "codecs/kelBitReader.h"
#include "core/kelUtf.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Model
{
    std::string data;
    int64_t pos = 0; // bits

    int64_t bitsLeft() const { return int64_t(data.size()) * 8 - pos; }
    uint32_t bits(int n) const
    {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            const int64_t at = pos + i;
            v = (v << 1) | ((uint8_t(data[size_t(at / 8)]) >> (7 - at % 8)) & 1u);
        }
        return v;
    }
    intptr_t wholeBytesLeft() const { return intptr_t(bitsLeft() / 8); }
};

[[noreturn]] void fail()
{
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size)
{
    if (size < 2) return 0;
    const int source = input[0] % 3;
    size_t at = 1;
    auto take = [&]() -> uint8_t { return at < size ? input[at++] : 0; };

    Model model;
    std::unique_ptr<kelBitReader_abstract> reader;
    std::string fileName;
    std::string attached;
    if (source == 2) {
        char name[] = "/tmp/kelFuzzBitsXXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) return 0;
        const size_t n = std::min<size_t>(take() * 16u, size - at);
        model.data.assign(reinterpret_cast<const char*>(input + at), n);
        at += n;
        if (::write(fd, model.data.data(), n) != ssize_t(n)) fail();
        ::close(fd);
        fileName = name;
        reader = std::make_unique<kelBitReader_file>(utf8ToUtf16(fileName));
    } else {
        auto stream = std::make_unique<kelBitReader_stream>();
        if (source == 1) {
            const size_t n = std::min<size_t>(take(), size - at);
            attached.assign(reinterpret_cast<const char*>(input + at), n);
            at += n;
            stream->attach(attached.data(), attached.size());
            model.data = attached;
        }
        reader = std::move(stream);
    }
    std::vector<uint8_t> copy(size + 64);
    std::vector<uint8_t> out(size + 256);
    reader->setOutfillBuf(copy.data());

    while (at < size) {
        const uint8_t op = take();
        const int arg = take();
        switch (op % 8) {
        case 0: { // write (stream sources)
            const size_t n = std::min<size_t>(size_t(arg), size - at);
            if (source != 2) {
                auto* stream = static_cast<kelBitReader_stream*>(reader.get());
                if (stream->write(input + at, intptr_t(n)) != intptr_t(n)) fail();
                model.data.append(reinterpret_cast<const char*>(input + at), n);
            }
            at += n;
            break;
        }
        case 1: {
            const int n = arg % 40;
            const bool ok = n > 0 && n <= 32 && model.bitsLeft() >= n;
            const uint32_t expected = ok ? model.bits(n) : 0;
            if (reader->nextBits(n) != expected) fail();
            if (ok) model.pos += n;
            break;
        }
        case 2: {
            const intptr_t n = std::min<intptr_t>(arg, model.wholeBytesLeft());
            const intptr_t got = reader->readBytes(arg, out.data());
            if (arg > 0 && got != n) fail();
            for (intptr_t i = 0; i < got; ++i) {
                if (out[size_t(i)] != uint8_t(model.bits(8))) fail();
                model.pos += 8;
            }
            break;
        }
        case 3:
            reader->skipBytes(arg * 7);
            model.pos += 8 * std::min<int64_t>(arg * 7, model.wholeBytesLeft());
            break;
        case 4:
            reader->skipToByte();
            model.pos = (model.pos + 7) / 8 * 8;
            break;
        case 5: {
            const uint8_t* p = nullptr;
            const intptr_t got = reader->peek(arg, p);
            const intptr_t expected = model.pos % 8 ? 0 : std::min<intptr_t>(arg, model.wholeBytesLeft());
            if (got != expected) fail();
            if (got > 0 && std::memcmp(p, model.data.data() + model.pos / 8, size_t(got)) != 0) fail();
            break;
        }
        case 6:
            if (arg % 4 == 0) {
                reader->restart();
                if (source != 2) model.data.clear();
                model.pos = 0;
            }
            break;
        case 7:
            if (reader->isEOF() != (model.bitsLeft() < 1)) fail();
            break;
        }
        if (reader->bitOfs() != model.pos) fail();
        if (reader->outfillOfs() != model.pos / 8) fail();
        if (std::memcmp(copy.data(), model.data.data(), size_t(model.pos / 8)) != 0) fail();
    }
    if (!fileName.empty()) ::unlink(fileName.c_str());
    return 0;
}
