#include "core/kelFileUtils.h"

#include "core/kelUtf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>

namespace {

class kelFileUtilsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelFileUtilsTestXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        f_dir = utf8ToUtf16(tmpl) + u"/";
    }

    void TearDown() override { std::system(("rm -rf " + utf16ToUtf8(f_dir)).c_str()); }

    kelString path(const char16_t* name) const { return f_dir + name; }

    kelString f_dir;
};

} // namespace

TEST_F(kelFileUtilsTest, AppendToFileCreatesAppendsAndOverwrites)
{
    const kelString name = path(u"a.bin");
    EXPECT_EQ(appendToFile(u"", "x", 1), kelFileNoName);
    EXPECT_EQ(appendToFile(name, "abc", 3), kelFileOk);
    EXPECT_EQ(appendToFile(name, "def", 3), kelFileOk);
    EXPECT_EQ(appendToFile(name, "X", 1, 1, kelSeekBegin), kelFileOk);
    EXPECT_EQ(fileSizeOf(name), 6);
    EXPECT_EQ(appendToFile(path(u"missing/a.bin"), "x", 1), kelFileCannotOpen);

    const kelFileHandle h = openFileAt(name);
    ASSERT_GE(h, 0);
    char buf[16] = {};
    size_t size = 4;
    EXPECT_EQ(readFileAt(h, buf, size), kelFileOk);
    EXPECT_EQ(std::string(buf, size), "aXcd");
    size = 10;
    EXPECT_EQ(readFileAt(h, buf, size, 1, kelSeekBegin), kelFileShort);
    EXPECT_EQ(std::string(buf, size), "Xcdef");
    closeFileHandle(h);
}

TEST_F(kelFileUtilsTest, CreateWriteSeekTruncateDelete)
{
    const kelString name = path(u"b.bin");
    EXPECT_EQ(createFileAt(name, false, false), kelNoFile);
    EXPECT_TRUE(fileExistsAt(name));

    const kelFileHandle h = createFileAt(name, true, true, O_WRONLY); // the access mode stays read-write
    ASSERT_GE(h, 0);
    EXPECT_EQ(writeFileAt(h, nullptr, 0), kelFileOk);
    EXPECT_EQ(writeFileAt(h, "0123456789", 10), kelFileOk);
    EXPECT_EQ(writeFileAt(h, "AB", 2, -2, kelSeekEnd), kelFileOk);
    EXPECT_EQ(seekFile(h, 0, kelSeekCurrent), 10);
    EXPECT_TRUE(truncateFileAt(h, 4, kelSeekBegin));
    EXPECT_EQ(fileSizeOf(h), 4);
    closeFileHandle(h);

    EXPECT_EQ(createFileAt(name, true, false), kelNoFile);
    EXPECT_EQ(fileSizeOf(name), 0);
    EXPECT_TRUE(deleteFileAt(name));
    EXPECT_FALSE(fileExistsAt(name));

    size_t size = 4;
    char buf[4];
    EXPECT_EQ(readFileAt(kelInvalidFile, buf, size), kelFileCannotOpen);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(seekFile(kelInvalidFile, 0), -1);
    EXPECT_EQ(openFileAt(name), kelInvalidFile);
}

TEST_F(kelFileUtilsTest, CreateDirectoriesMakesEveryLevel)
{
    EXPECT_TRUE(createDirectories(path(u"x/y/z/")));
    EXPECT_TRUE(isDirectory(path(u"x/y/z")));
    EXPECT_TRUE(createDirectories(path(u"x/y"))); // existing
    EXPECT_EQ(appendToFile(path(u"x/file"), "1", 1), kelFileOk);
    EXPECT_FALSE(createDirectories(path(u"x/file/sub")));
    EXPECT_FALSE(createDirectories(u""));
    EXPECT_TRUE(createDirectories(u"/"));
}

TEST(kelFilePathTest, ExtensionIsReplacedInsideTheFileNameOnly)
{
    EXPECT_EQ(pathWithExt(u"/home/u/.local/bin/prog", u"ini"), u"/home/u/.local/bin/prog.ini");
    EXPECT_EQ(pathWithExt(u"/opt/a.b/prog.exe", u"ini"), u"/opt/a.b/prog.ini");
    EXPECT_EQ(pathWithExt(u"/home/u/.bashrc", u"ini"), u"/home/u/.bashrc.ini");
    EXPECT_EQ(pathWithExt(u"prog.exe", u""), u"prog");
    EXPECT_EQ(pathWithExt(u"prog", u".ini"), u"prog.ini");

    const kelString self = moduleNameWithExt(u"ini");
    EXPECT_EQ(fileNamePart(self), u"test_core.ini");
    EXPECT_EQ(self.front(), u'/');
}

TEST(kelFilePathTest, PathPartsUseTheSlash)
{
    EXPECT_EQ(filePathPart(u"/a/b/c.txt"), u"/a/b/");
    EXPECT_EQ(fileNamePart(u"/a/b/c.txt"), u"c.txt");
    EXPECT_EQ(fileNamePart(u"a\\b:c"), u"a\\b:c"); // legal file-name characters here
    EXPECT_EQ(withTrailingBackslash(u"/a  "), u"/a/");
    EXPECT_EQ(withTrailingBackslash(u""), u"");
    EXPECT_EQ(appDataFolder().back(), u'/');
    EXPECT_FALSE(computerName().empty());
}
