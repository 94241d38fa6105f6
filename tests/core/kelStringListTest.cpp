#include "core/kelStringList.h"

#include "core/kelFileUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<kelString> items(kelStringList& list)
{
    std::vector<kelString> out;
    for (intptr_t i = 0; i < list.count(); ++i)
        out.push_back(list.get(i));
    return out;
}

std::vector<kelString> split(const kelString& text)
{
    kelStringList list;
    EXPECT_TRUE(list.setText(text));
    return items(list);
}

using Lines = std::vector<kelString>;

} // namespace

TEST(kelStringListTest, StringsAreLengthPrefixedBlocksThatTheListReplaces)
{
    kelStringList list;
    list.add(u"b");
    EXPECT_EQ(list.insert(0, u"\u00e4\U0001F600"), 0);
    EXPECT_TRUE(list.setItem(1, u"bb"));
    EXPECT_EQ(items(list), (Lines{u"\u00e4\U0001F600", u"bb"}));
    EXPECT_EQ(list.get(2), u"");
    const void* block = list.kelList::get(1);
    uint32_t bytes = 0;
    std::memcpy(&bytes, block, 4);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(kelStringList::blockText(block), u"bb");
}

TEST(kelStringListTest, IndexOfMatchesWholeItemsExactlyOrIgnoringAsciiCase)
{
    kelStringList list;
    list.add(u"Alpha");
    list.add(u"\u00c4x");
    EXPECT_EQ(list.indexOf(u"Alpha"), 0);
    EXPECT_EQ(list.indexOf(u"alpha"), -1);
    EXPECT_EQ(list.indexOf(u"ALPHA", false), 0);
    EXPECT_EQ(list.indexOf(u"Alph", false), -1);
    EXPECT_EQ(list.indexOf(u"\u00e4X", false), -1); // only A-Z fold
}

TEST(kelStringListTest, ValuesAreFoundByNameIgnoringAsciiCase)
{
    kelStringList list;
    EXPECT_TRUE(list.setValue(u"Key", u"1"));
    EXPECT_EQ(list.getValue(u"KEY"), u"1");
    EXPECT_TRUE(list.setValue(u"key", u"2"));
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.get(0), u"key=2");
    EXPECT_TRUE(list.setValue(u"other", u"a=b"));
    EXPECT_EQ(list.getValue(u"Other"), u"a=b"); // text after the first "="
    EXPECT_EQ(list.indexOfValue(u"oth"), -1);
    EXPECT_EQ(list.indexOfValue(u"OTHER"), 1);
    EXPECT_EQ(list.getValue(u"missing"), u"");
    list.add(u"\u00c4=1");
    EXPECT_EQ(list.indexOfValue(u"\u00e4"), -1);
    EXPECT_EQ(list.getValue(u"\u00c4"), u"1");
    EXPECT_TRUE(list.setValue(u"", u"empty"));
    EXPECT_EQ(list.getValue(u""), u"empty");
}

TEST(kelStringListTest, TextBreaksAtCrLfAndAtEachLoneCrOrLf)
{
    EXPECT_EQ(split(u"a\r\n\r\nb"), (Lines{u"a", u"", u"b"}));
    EXPECT_EQ(split(u"a\n\nb"), (Lines{u"a", u"", u"b"})); // LF LF is two breaks
    EXPECT_EQ(split(u"a\r\rb"), (Lines{u"a", u"", u"b"}));
    EXPECT_EQ(split(u"a\n\rb"), (Lines{u"a", u"", u"b"})); // LF CR is not CR LF
    EXPECT_EQ(split(u"a\r\n"), (Lines{u"a"}));             // no empty item after a final break
    EXPECT_EQ(split(u"a\r\n\r\n"), (Lines{u"a", u""}));
    EXPECT_EQ(split(u"\r\n"), (Lines{u""}));
    EXPECT_EQ(split(u""), (Lines{}));
    EXPECT_EQ(split(u"one"), (Lines{u"one"}));
}

TEST(kelStringListTest, TextRoundTripsEveryListIncludingEmptyItems)
{
    kelStringList list;
    list.setText(u"a\r\n\r\nb");
    EXPECT_EQ(list.text(), u"a\r\n\r\nb\r\n");
    for (const Lines& lines :
         {Lines{u"a", u"", u"b"}, Lines{u""}, Lines{u"", u""}, Lines{}, Lines{u"x", u""}}) {
        kelStringList source;
        for (const auto& l : lines)
            source.add(l);
        kelStringList copy;
        copy.add(u"stale");
        EXPECT_TRUE(copy.setText(source.text()));
        EXPECT_EQ(items(copy), lines);
    }
}

TEST(kelStringListTest, ReadFromFileLoadsUtf8Lines)
{
    const std::string path = testing::TempDir() + "kelStringListTest.txt";
    {
        std::ofstream f(path, std::ios::binary);
        f << "\xEF\xBB\xBF"
          << "first\r\n\xC3\xA4\n\nlast";
    }
    kelStringList list;
    ASSERT_TRUE(list.readFromFile(kelString(path.begin(), path.end())));
    EXPECT_EQ(items(list), (Lines{u"first", u"\u00e4", u"", u"last"}));
    std::remove(path.c_str());
    EXPECT_FALSE(list.readFromFile(u"/nonexistent/kel/file.txt"));
}

TEST(kelStringListTest, ReadFromFileFindsFilesByTheLibrarysOwnNameEncoding)
{
    // A name with a lone surrogate reaches the file system in the same bytes
    // whichever routine opens it.
    const std::string dir = testing::TempDir();
    kelString name(dir.begin(), dir.end());
    name += u"kelStringList";
    name += char16_t(0xD800);
    name += u".txt";
    const char text[] = "\xFF\xFE"
                        "a\0\r\0\n\0b\0";
    ASSERT_EQ(appendToFile(name, text, sizeof text - 1, 0, kelSeekBegin), kelFileOk);
    kelStringList list;
    EXPECT_TRUE(list.readFromFile(name));
    EXPECT_EQ(items(list), (Lines{u"a", u"b"}));
    EXPECT_TRUE(deleteFileAt(name));
}
