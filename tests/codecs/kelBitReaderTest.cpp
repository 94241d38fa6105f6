#include "codecs/kelBitReader.h"
#include "core/kelUtf.h"

#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <sstream>

namespace {

std::string randomBytes(size_t size, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::string out(size, '\0');
    for (auto& c : out)
        c = char(gen() & 0xFF);
    return out;
}

// A stream reader that gets its data only when it asks for more, exactly as
// much as it asks for and one byte per write, so every refill and every
// test for enough bits meets an almost empty stream of 1-byte chunks.
class TrickleReader : public kelBitReader_stream
{
public:
    explicit TrickleReader(std::string data) : f_data(std::move(data)) {}
    void needData(intptr_t bytes) override
    {
        for (; bytes > 0 && f_next < f_data.size(); --bytes)
            write(&f_data[f_next++], 1);
    }

private:
    std::string f_data;
    size_t f_next = 0;
};

// The values python3 reads from `bytes` for `widths`, one per line; empty
// when python3 is missing or fails.
std::vector<uint32_t> pythonReference(const kelTempDir& dir, const std::string& bytes,
                                      const std::vector<int>& widths)
{
    kelWriteBytes(dir.file("bits.bin"), bytes);
    std::ostringstream w;
    for (int width : widths)
        w << width << '\n';
    kelWriteBytes(dir.file("widths.txt"), w.str());
    const std::string script = "import sys\n"
                               "data = open(sys.argv[1], 'rb').read()\n"
                               "bits = ''.join(format(b, '08b') for b in data)\n"
                               "pos = 0\n"
                               "for line in open(sys.argv[2]):\n"
                               "    n = int(line)\n"
                               "    print(int(bits[pos:pos + n], 2))\n"
                               "    pos += n\n";
    kelWriteBytes(dir.file("ref.py"), script);
    const auto out = kelTestProcess::filter(
        "python3 " + dir.file("ref.py") + " " + dir.file("bits.bin") + " " + dir.file("widths.txt"), "");
    std::vector<uint32_t> values;
    if (!out) return values;
    std::istringstream in(*out);
    for (unsigned long v; in >> v;)
        values.push_back(uint32_t(v));
    return values;
}

} // namespace

// The same bits come out of every source, as python3 reads them, and the end
// shows only after the very last bit.
TEST(kelBitReaderTest, EverySourceGivesTheBitsAReferenceReads)
{
    if (!kelTestProcess::available("python3")) GTEST_SKIP() << "python3 is not installed";
    kelTempDir dir;
    const std::string data = randomBytes(3001, 42);
    std::mt19937 gen(7);
    std::vector<int> widths;
    int64_t total = 0;
    while (total < int64_t(data.size()) * 8) {
        int width = int(gen() % 32) + 1;
        width = int(std::min<int64_t>(width, int64_t(data.size()) * 8 - total));
        widths.push_back(width);
        total += width;
    }
    const auto expected = pythonReference(dir, data, widths);
    ASSERT_EQ(expected.size(), widths.size());
    kelWriteBytes(dir.file("data.bin"), data);

    std::vector<std::pair<const char*, std::function<std::unique_ptr<kelBitReader_abstract>()>>> sources = {
        {"stream fed byte by byte", [&] { return std::make_unique<TrickleReader>(data); }},
        {"file", [&] { return std::make_unique<kelBitReader_file>(utf8ToUtf16(dir.file("data.bin"))); }},
        {"attached memory",
         [&] {
             auto r = std::make_unique<kelBitReader_stream>();
             r->attach(data.data(), data.size());
             return r;
         }},
    };
    for (auto& [name, make] : sources) {
        SCOPED_TRACE(name);
        auto reader = make();
        for (size_t i = 0; i < widths.size(); ++i) {
            ASSERT_FALSE(reader->isEOF()) << "before read " << i;
            ASSERT_EQ(reader->nextBits(widths[i]), expected[i])
                << "read " << i << " of " << widths[i] << " bits";
        }
        EXPECT_TRUE(reader->isEOF());
        EXPECT_EQ(reader->bitOfs(), total);
        EXPECT_EQ(reader->nextBits(1), 0u);
        EXPECT_EQ(reader->bitOfs(), total);
    }
}

// Whatever mix of operations consumes the data, the outfill target holds
// exactly the wholly consumed bytes, and the byte-sized operations inside a
// byte take the next 8 bits each time.
TEST(kelBitReaderTest, OutfillAndByteOperationsFollowTheBitPosition)
{
    const std::string data = randomBytes(600, 3);
    kelBitReader_stream reader;
    reader.write(data.data(), intptr_t(data.size()));
    std::vector<uint8_t> copy(data.size());
    reader.setOutfillBuf(copy.data());

    EXPECT_EQ(reader.nextBits(3), uint32_t(uint8_t(data[0]) >> 5));
    // Two bytes from bit 3 on: the next 16 bits, not the partly read byte.
    uint8_t two[2] = {};
    ASSERT_EQ(reader.readBytes(2, two), 2);
    EXPECT_EQ(two[0], uint8_t((uint8_t(data[0]) << 3) | (uint8_t(data[1]) >> 5)));
    EXPECT_EQ(two[1], uint8_t((uint8_t(data[1]) << 3) | (uint8_t(data[2]) >> 5)));
    EXPECT_EQ(reader.bitOfs(), 19);
    reader.skipBytes(6); // inside a byte too: 48 bits
    EXPECT_EQ(reader.bitOfs(), 67);
    reader.skipToByte();
    EXPECT_EQ(reader.bitOfs(), 72);
    reader.skipToByte(); // at a boundary nothing moves
    EXPECT_EQ(reader.bitOfs(), 72);
    reader.skipBytes(300);
    std::vector<uint8_t> block(100);
    ASSERT_EQ(reader.readBytes(100, block.data()), 100);
    EXPECT_EQ(std::string(block.begin(), block.end()), data.substr(309, 100));
    EXPECT_EQ(reader.outfillOfs(), 409);
    EXPECT_EQ(std::string(copy.begin(), copy.begin() + 409), data.substr(0, 409));

    reader.setOutfill(false);
    reader.skipBytes(10);
    EXPECT_EQ(reader.outfillOfs(), 409);
    reader.resetOutfillBuf();
    reader.setOutfill(true);
    reader.skipBytes(5);
    EXPECT_EQ(std::string(copy.begin(), copy.begin() + 5), data.substr(419, 5));

    // Past the end: the skip and the copy stop where the data does.
    reader.skipBytes(1000);
    EXPECT_TRUE(reader.isEOF());
    EXPECT_EQ(reader.readBytes(4, block.data()), 0);
    EXPECT_EQ(reader.bitOfs(), int64_t(data.size()) * 8);
}

// nextBits gives 0 and consumes nothing when asked for more than 32 bits or
// more than the data holds; restart forgets the stream's queued bytes.
TEST(kelBitReaderTest, ShortDataAndRestartLeaveNothingHalfDone)
{
    kelBitReader_stream reader;
    reader.write("\xA5\x5A\xFF", 3);
    EXPECT_EQ(reader.nextBits(33), 0u);
    EXPECT_EQ(reader.nextBits(25), 0u);
    EXPECT_EQ(reader.bitOfs(), 0);
    EXPECT_EQ(reader.nextBits(4), 0xAu);
    EXPECT_EQ(reader.nextBits(20), 0x55AFFu);
    EXPECT_EQ(reader.nextBits(1), 0u);
    EXPECT_TRUE(reader.isEOF());

    reader.write("\x01\x02", 2);
    EXPECT_FALSE(reader.isEOF());
    reader.restart();
    EXPECT_EQ(reader.bitOfs(), 0);
    EXPECT_TRUE(reader.isEOF());
    reader.write("\x80", 1);
    EXPECT_EQ(reader.nextBits(1), 1u);
}

// A file that shrinks while it is read ends the read where the data ended:
// no bits are made up and nothing is read beyond the buffer.
TEST(kelBitReaderTest, FileCutWhileBeingReadEndsThere)
{
    kelTempDir dir;
    const std::string data = randomBytes(3 * size_t(kelBitReader_file::kMaxRefill), 11);
    const std::string name = dir.file("cut.bin");
    kelWriteBytes(name, data);
    kelBitReader_file reader(utf8ToUtf16(name));
    ASSERT_TRUE(reader.isOpen());
    EXPECT_EQ(reader.nextBits(8), uint8_t(data[0]));
    const size_t cutAt = size_t(kelBitReader_file::kMaxRefill) + 1000;
    std::filesystem::resize_file(name, cutAt);

    reader.skipBytes(intptr_t(kelBitReader_file::kMaxRefill) - 1);
    // The refill now brings 1000 of the 1 MiB the old size promised.
    uint32_t last = 0;
    int reads = 0;
    while (!reader.isEOF() && reads < 2000) {
        last = reader.nextBits(8);
        ++reads;
    }
    EXPECT_EQ(reads, 1000);
    EXPECT_EQ(last, uint8_t(data[cutAt - 1]));
    EXPECT_EQ(reader.bitOfs(), int64_t(cutAt) * 8);

    // A restart rereads the file as it now is.
    reader.restart();
    reader.skipBytes(intptr_t(cutAt) - 1);
    EXPECT_EQ(reader.nextBits(8), uint8_t(data[cutAt - 1]));
    EXPECT_TRUE(reader.isEOF());
}

TEST(kelBitReaderTest, MissingFileHasNoBits)
{
    kelBitReader_file reader(u"/nonexistent/kel/bits.bin");
    EXPECT_FALSE(reader.isOpen());
    EXPECT_TRUE(reader.isEOF());
    EXPECT_EQ(reader.nextBits(8), 0u);
}
