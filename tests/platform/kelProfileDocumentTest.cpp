#include "platform/kelProfileDocument.h"

#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

namespace {

kelProfileDocument loaded(const std::string& bytes)
{
    kelProfileDocument doc;
    doc.load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return doc;
}

std::u16string valueOf(const kelProfileDocument& doc, const std::u16string& section,
                       const std::u16string& key)
{
    std::u16string v;
    return doc.find(section, key, v) ? v : u"<missing>";
}

} // namespace

TEST(kelProfileDocumentTest, NamesCompareTrimmedAndIgnoringCase)
{
    const auto doc =
        loaded(kelUtf16LeFile(u"[ Settings ]\r\n  Window.Left = 12 \r\n[Настройки]\r\nКлюч=да\r\n"));
    EXPECT_EQ(valueOf(doc, u"SETTINGS", u"window.left"), u"12");
    EXPECT_EQ(valueOf(doc, u"settings", u" WINDOW.LEFT "), u"12");
    EXPECT_EQ(valueOf(doc, u"НАСТРОЙКИ", u"ключ"), u"да");
    EXPECT_EQ(valueOf(doc, u"settings", u"window"), u"<missing>");
    EXPECT_EQ(valueOf(doc, u"other", u"window.left"), u"<missing>");
}

TEST(kelProfileDocumentTest, EditsKeepEveryOtherLineInPlace)
{
    auto doc = loaded(kelUtf16LeFile(u"; made by hand\r\n[a]\r\nx=1\r\n\r\n; end of a\r\n[b]\r\ny=2\r\n"));
    ASSERT_TRUE(doc.setValue(u"A", u"X", u"10")); // replaced where it stands
    ASSERT_TRUE(doc.setValue(u"a", u"z", u"3"));  // after the last key of [a]
    ASSERT_TRUE(doc.setValue(u"c", u"w", u"4"));  // a new section at the end
    EXPECT_EQ(doc.save(),
              kelUtf16LeFile(
                  u"; made by hand\r\n[a]\r\nX=10\r\nz=3\r\n\r\n; end of a\r\n[b]\r\ny=2\r\n[c]\r\nw=4\r\n"));

    // A repeated section reads as one, and replacing it leaves one.
    doc = loaded(kelUtf16LeFile(u"[s]\r\na=1\r\n[t]\r\nb=2\r\n[S]\r\na=9\r\nc=3\r\n"));
    EXPECT_EQ(valueOf(doc, u"s", u"c"), u"3");
    EXPECT_EQ(doc.sectionLines(u"s"), (std::vector<std::u16string>{u"a=1", u"a=9", u"c=3"}));
    ASSERT_TRUE(doc.replaceSection(u"s", {u" x = \" 1 \" ", u"", u"; note"}));
    EXPECT_EQ(doc.save(), kelUtf16LeFile(u"[s]\r\nx = \" 1 \"\r\n; note\r\n[t]\r\nb=2\r\n"));
    EXPECT_EQ(valueOf(doc, u"s", u"x"), u" 1 ");
}

TEST(kelProfileDocumentTest, ValuesRoundTripThroughTheFileExactly)
{
    const std::u16string values[] = {u"",         u" padded ", u"\"quoted\"", u"'",     u"\"",
                                     u"'single'", u"a=b=c",    u"a;b",        u"[x]",   u"\t",
                                     u"\"half",   u"Привет 😀", u"0",          u"\xD83D"};
    kelProfileDocument doc;
    for (size_t i = 0; i < std::size(values); ++i)
        ASSERT_TRUE(doc.setValue(u"s", u"k" + std::u16string(1, static_cast<char16_t>(u'a' + i)), values[i]));
    const auto back = loaded(doc.save());
    for (size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(valueOf(back, u"s", u"k" + std::u16string(1, static_cast<char16_t>(u'a' + i))), values[i])
            << "value #" << i;
}

TEST(kelProfileDocumentTest, LineBreaksAndBadNamesAreRefusedWithoutChange)
{
    auto doc = loaded(kelUtf16LeFile(u"[s]\r\nk=v\r\n"));
    const std::string before = doc.save();
    EXPECT_FALSE(doc.setValue(u"s", u"k", u"v\r\n[evil]\r\nx=1"));
    EXPECT_FALSE(doc.setValue(u"s", u"k", u"line\nbreak"));
    EXPECT_FALSE(doc.setValue(u"s", u"k", std::u16string(u"nul\0x", 5)));
    for (const std::u16string key : {u"", u"  ", u"a=b", u"[x", u";c", u"a\rb"})
        EXPECT_FALSE(doc.setValue(u"s", key, u"1")) << "key accepted";
    EXPECT_FALSE(doc.setValue(u"a]b", u"k", u"1"));
    EXPECT_FALSE(doc.setValue(u"a\nb", u"k", u"1"));
    EXPECT_FALSE(doc.replaceSection(u"s", {u"k=1", u"[evil]"}));
    EXPECT_FALSE(doc.replaceSection(u"s", {u"no equals sign"}));
    EXPECT_EQ(doc.save(), before);
    EXPECT_EQ(valueOf(doc, u"s", u"k"), u"v");
}

TEST(kelProfileDocumentTest, EncodingOfAnExistingFileIsKeptUnlessTheTextNoLongerFits)
{
    // UTF-8 without BOM and with LF only, as an editor writes it.
    auto utf8 = loaded("[s]\nname=caf\xC3\xA9\n");
    EXPECT_EQ(valueOf(utf8, u"s", u"name"), u"café");
    ASSERT_TRUE(utf8.setValue(u"s", u"x", u"ж"));
    EXPECT_EQ(utf8.save(), "[s]\r\nname=caf\xC3\xA9\r\nx=\xD0\xB6\r\n");
    ASSERT_TRUE(utf8.setValue(u"s", u"x", u"\xDC00")); // a lone surrogate has no UTF-8 form
    EXPECT_EQ(utf8.save(), kelUtf16LeFile(u"[s]\r\nname=café\r\nx=\xDC00\r\n"));

    auto be = loaded(std::string("\xFE\xFF\0[\0s\0]\0\n\0k\0=\x04\x36", 16));
    EXPECT_EQ(valueOf(be, u"s", u"k"), u"ж");
    EXPECT_EQ(be.save(), std::string("\xFE\xFF\0[\0s\0]\0\r\0\n\0k\0=\x04\x36\0\r\0\n", 22));

    // Bytes that are not UTF-8 are kept byte for byte.
    auto latin = loaded("[s]\r\nold=\xE9t\xE9\r\n");
    EXPECT_EQ(valueOf(latin, u"s", u"old"), u"été");
    ASSERT_TRUE(latin.setValue(u"s", u"n", u"1"));
    EXPECT_EQ(latin.save(), "[s]\r\nold=\xE9t\xE9\r\nn=1\r\n");
    ASSERT_TRUE(latin.setValue(u"s", u"n", u"ж"));
    EXPECT_EQ(latin.save(), kelUtf16LeFile(u"[s]\r\nold=été\r\nn=ж\r\n"));
}
