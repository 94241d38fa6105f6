#include "core/kelMappedFile.h"
#include "core/kelMappedMemory.h"

#include "core/kelBase64.h"
#include "core/kelUtf.h"
#include "platform/kelSharedMemory.h"
#include "tests/support/kelTestChild.h"
#include "tests/support/kelTestFiles.h"
#include "tests/support/kelTestPattern.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace {

kelString u16(const std::string& s)
{
    return utf8ToUtf16(s);
}

// A shared-memory name no other test program uses; the object is removed
// when the test ends, whatever it left.
class kelSharedName
{
public:
    explicit kelSharedName(const std::string& what)
        : f_name("kelTest." + what + "." + std::to_string(::getpid())), f_posix(kelSharedMemoryName(f_name))
    {}
    ~kelSharedName() { kelSharedMemoryUnlink(f_posix); }
    kelString name() const { return u16(f_name); }
    bool exists() const { return std::filesystem::exists("/dev/shm" + f_posix); }

private:
    std::string f_name;
    std::string f_posix;
};

class kelMappedFileTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }
    kelTempDir dir;
};

} // namespace

TEST(kelSharedMemoryNameTest, NamesAreValidAndDistinct)
{
    // Base64 names use "/" and "+": both must go, and stay apart.
    const std::string a = kelSharedMemoryName("ab/c");
    const std::string b = kelSharedMemoryName("ab+c");
    const std::string c = kelSharedMemoryName("ab%2Fc");
    EXPECT_EQ(a.find('/', 1), std::string::npos);
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a[0], '/');

    const std::string longA = kelSharedMemoryName(std::string(400, 'x') + "a");
    const std::string longB = kelSharedMemoryName(std::string(400, 'x') + "b");
    EXPECT_LE(longA.size(), 256u);
    EXPECT_NE(longA, longB);
}

TEST(kelMappedMemoryTest, NamedMappingIsSharedAndRemovedByItsCreator)
{
    kelSharedName shared("named");
    {
        kelMappedMemory m(shared.name(), 10000, kelPageReadWrite, true, true);
        ASSERT_TRUE(m.isOpen());
        EXPECT_TRUE(shared.exists());
        const std::string data = kelTestPattern(10000);
        EXPECT_EQ(m.write(0, data.data(), 10000), 10000);

        // A second opener that may not create sees the same bytes.
        kelMappedMemory other(shared.name(), 0, kelPageReadOnly, true, false);
        ASSERT_TRUE(other.isOpen());
        EXPECT_EQ(other.size64(), 10000);
        std::string back(10000, '\0');
        EXPECT_EQ(other.read(0, back.data(), 10000), 10000);
        EXPECT_EQ(back, data);
        EXPECT_EQ(other.write(0, "x", 1), 0) << "read-only";
    }
    EXPECT_FALSE(shared.exists());
    kelMappedMemory none(shared.name(), 100, kelPageReadOnly, true, false);
    EXPECT_FALSE(none.isOpen());
}

TEST(kelMappedMemoryTest, ViewsStartOnPageBoundaries)
{
    kelMappedMemory m({}, 3 * 4096 + 100, kelPageReadWrite, true);
    ASSERT_TRUE(m.isOpen());
    const int64_t page = m.allocGran();
    const std::string data = kelTestPattern(size_t(m.size64()));
    ASSERT_EQ(m.write(0, data.data(), intptr_t(data.size())), intptr_t(data.size()));

    intptr_t subOfs = -1;
    auto* view = static_cast<uint8_t*>(m.mapView(page + 10, 50, subOfs));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(subOfs, 10);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(view) % uintptr_t(page), 0u);
    EXPECT_EQ(std::memcmp(view + subOfs, data.data() + page + 10, 50), 0);
    EXPECT_EQ(m.openViews(), 1);
    EXPECT_TRUE(m.unmapView(view));
    EXPECT_FALSE(m.unmapView(view));

    EXPECT_EQ(m.mapView(m.size64() - 10, 11, subOfs), nullptr);
    EXPECT_NE(m.mapView(m.size64() - 10, 10, subOfs), nullptr);
    EXPECT_NE(m.mapHeader(16), nullptr);
    EXPECT_TRUE(m.flush());
    m.close();
    EXPECT_EQ(m.openViews(), 0);
    EXPECT_EQ(m.header(), nullptr);

    // Reads past the end are cut to the mapping.
    ASSERT_TRUE(m.open(kelPageReadWrite));
    char buf[200];
    EXPECT_EQ(m.read(m.size64() - 30, buf, 200), 30);
    EXPECT_EQ(m.read(m.size64(), buf, 200), 0);
    EXPECT_EQ(m.read(-1, buf, 200), 0);
}

TEST_F(kelMappedFileTest, ShortFileReadOnlyDoesNotMap)
{
    const std::string name = dir.file("short.bin");
    kelWriteBytes(name, "0123456789");
    kelMappedFile m(u16(name), kelPageReadOnly);
    EXPECT_FALSE(m.isOpen());
    EXPECT_EQ(m.size64(), 0);
    EXPECT_EQ(kelReadBytes(name), "0123456789");

    kelMappedFile missing(u16(dir.file("missing.bin")), kelPageReadOnly);
    EXPECT_FALSE(missing.isOpen());
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing.bin")));
}

TEST_F(kelMappedFileTest, ShortFileForWritingGrowsByThirtyTwoZeroBytes)
{
    const std::string name = dir.file("grow.bin");
    kelWriteBytes(name, "0123456789");
    kelMappedFile m(u16(name), kelPageReadWrite);
    ASSERT_TRUE(m.isOpen());
    EXPECT_EQ(m.size64(), 42);
    EXPECT_EQ(kelReadBytes(name), "0123456789" + std::string(32, '\0'));

    // A missing file in a missing directory is made.
    const std::string deep = dir.file("a/b/new.bin");
    kelMappedFile made(u16(deep), kelPageReadWrite);
    EXPECT_TRUE(made.isOpen());
    EXPECT_EQ(kelReadBytes(deep), std::string(32, '\0'));
}

TEST_F(kelMappedFileTest, ReadsTheFileAndNamesTheMappingSafely)
{
    const std::string name = dir.file("data.bin");
    const std::string data = kelTestPattern(100000);
    kelWriteBytes(name, data);
    kelMappedFile m(u16(name));
    ASSERT_TRUE(m.isOpen());
    EXPECT_EQ(m.size64(), 100000);
    std::string back(100000, '\0');
    EXPECT_EQ(m.read(0, back.data(), 100000), 100000);
    EXPECT_EQ(back, data);
    EXPECT_EQ(m.name(), utf8ToUtf16(encodeBase64(name)));
    EXPECT_EQ(m.sharedName().find('/', 1), std::string::npos);
    EXPECT_EQ(m.write(0, "x", 1), 0) << "read-only";
}

TEST_F(kelMappedFileTest, WritableMappingLargerThanTheFileGrowsItFirst)
{
    const std::string name = dir.file("bigger.bin");
    kelWriteBytes(name, kelTestPattern(100));
    kelMappedFile m(u16(name), kelPageReadWrite, true, 20000);
    ASSERT_TRUE(m.isOpen());
    EXPECT_EQ(std::filesystem::file_size(name), 20000u);
    intptr_t subOfs = 0;
    auto* view = static_cast<uint8_t*>(m.mapView(19000, 1000, subOfs));
    ASSERT_NE(view, nullptr);
    view[subOfs + 999] = 0x5A; // the last byte: faults unless the file grew
    EXPECT_TRUE(m.flush());
    EXPECT_EQ(uint8_t(kelReadBytes(name).back()), 0x5A);

    // Read-only, the mapping covers only what the file has.
    kelMappedFile ro(u16(name), kelPageReadOnly, true, 50000);
    EXPECT_EQ(ro.size64(), 20000);
}

TEST_F(kelMappedFileTest, FileShrunkByAnotherProcessReadsShort)
{
    const std::string name = dir.file("shrink.bin");
    kelWriteBytes(name, kelTestPattern(65536));
    kelMappedFile m(u16(name));
    ASSERT_TRUE(m.isOpen());
    const int rc = kelTestRunInChild([&] { return ::truncate(name.c_str(), 100) == 0 ? 0 : 1; });
    ASSERT_EQ(rc, 0);
    std::string back(65536, '\0');
    EXPECT_EQ(m.read(0, back.data(), 65536), 100);
    EXPECT_EQ(back.substr(0, 100), kelTestPattern(100));
    intptr_t subOfs = 0;
    EXPECT_EQ(m.mapView(4096, 100, subOfs), nullptr) << "a view past the file's end would fault";
}

TEST_F(kelMappedFileTest, TwoProcessesShareAMappedFile)
{
    const std::string name = dir.file("shared.bin");
    kelWriteBytes(name, std::string(8192, '\0'));
    kelMappedFile m(u16(name), kelPageReadWrite);
    ASSERT_TRUE(m.isOpen());
    intptr_t subOfs = 0;
    auto* view = static_cast<volatile uint8_t*>(m.mapView(0, 8192, subOfs));
    ASSERT_NE(view, nullptr);

    // The child writes through a mapping of its own; the parent sees it in
    // the view it already holds, and the child sees the parent's byte.
    view[0] = 0x11;
    const int rc = kelTestRunInChild([&] {
        kelMappedFile child(u16(name), kelPageReadWrite);
        intptr_t ofs = 0;
        auto* v = static_cast<uint8_t*>(child.mapView(0, 8192, ofs));
        if (v == nullptr) return 1;
        if (v[0] != 0x11) return 2;
        const std::string data = kelTestPattern(8191, 1);
        std::memcpy(v + 1, data.data(), data.size());
        return 0;
    });
    ASSERT_EQ(rc, 0);
    std::string seen(8191, '\0');
    for (size_t i = 0; i < seen.size(); ++i)
        seen[i] = char(view[i + 1]);
    EXPECT_EQ(seen, kelTestPattern(8191, 1));
}
