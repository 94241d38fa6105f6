#include "platform/kelProfileDocument.h"

#include <gtest/gtest.h>

namespace {

std::string utf16le(const std::u16string& s)
{
    std::string out = "\xFF\xFE";
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

kelProfileDocument loaded(const std::string& bytes)
{
    kelProfileDocument doc;
    doc.load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return doc;
}

std::u16string valueOf(const kelProfileDocument& doc, const std::u16string& section, const std::u16string& key)
{
    std::u16string v;
    return doc.find(section, key, v) ? v : u"<missing>";
}

} // namespace

TEST(kelProfileDocumentTest, NewDocumentSavesUtf16LeWithBomAndCrLf)
{
    kelProfileDocument doc;
    ASSERT_TRUE(doc.setValue(u"settings", u"TX", u"-1"));
    ASSERT_TRUE(doc.setValue(u"settings", u"URI", u"rtp://127.0.0.1:5006"));
    const std::string expected = utf16le(u"[settings]\r\nTX=-1\r\nURI=rtp://127.0.0.1:5006\r\n");
    EXPECT_EQ(doc.save(), expected);
    EXPECT_EQ(std::string(doc.save(), 0, 6), std::string("\xFF\xFE[\0s\0", 6));
}

TEST(kelProfileDocumentTest, NamesCompareTrimmedAndIgnoringCase)
{
    const auto doc = loaded(utf16le(u"[ Settings ]\r\n  Window.Left = 12 \r\n[Настройки]\r\nКлюч=да\r\n"));
    EXPECT_EQ(valueOf(doc, u"SETTINGS", u"window.left"), u"12");
    EXPECT_EQ(valueOf(doc, u"settings", u" WINDOW.LEFT "), u"12");
    EXPECT_EQ(valueOf(doc, u"НАСТРОЙКИ", u"ключ"), u"да");
    EXPECT_EQ(valueOf(doc, u"settings", u"window"), u"<missing>");
    EXPECT_EQ(valueOf(doc, u"other", u"window.left"), u"<missing>");
}

TEST(kelProfileDocumentTest, EditsKeepEveryOtherLineInPlace)
{
    auto doc = loaded(utf16le(u"; made by hand\r\n[a]\r\nx=1\r\n\r\n; end of a\r\n[b]\r\ny=2\r\n"));
    ASSERT_TRUE(doc.setValue(u"A", u"X", u"10")); // replaced where it stands
    ASSERT_TRUE(doc.setValue(u"a", u"z", u"3"));  // after the last key of [a]
    ASSERT_TRUE(doc.setValue(u"c", u"w", u"4"));  // a new section at the end
    EXPECT_EQ(doc.save(),
              utf16le(u"; made by hand\r\n[a]\r\nX=10\r\nz=3\r\n\r\n; end of a\r\n[b]\r\ny=2\r\n[c]\r\nw=4\r\n"));

    ASSERT_TRUE(doc.deleteKey(u"a", u"x"));
    ASSERT_TRUE(doc.deleteSection(u"B"));
    EXPECT_EQ(doc.save(), utf16le(u"; made by hand\r\n[a]\r\nz=3\r\n\r\n; end of a\r\n[c]\r\nw=4\r\n"));
}

TEST(kelProfileDocumentTest, ValuesRoundTripThroughTheFileExactly)
{
    const std::u16string values[] = {u"",        u" padded ", u"\"quoted\"", u"'", u"\"", u"'single'",
                                     u"a=b=c",   u"a;b",      u"[x]",        u"\t", u"\"half",
                                     u"Привет 😀", u"0",        u"\xD83D"};
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
    auto doc = loaded(utf16le(u"[s]\r\nk=v\r\n"));
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

TEST(kelProfileDocumentTest, EncodingOfAnExistingFileIsKept)
{
    // UTF-8 without BOM and with LF only, as an editor writes it.
    auto utf8 = loaded("[s]\nname=caf\xC3\xA9\n");
    EXPECT_EQ(utf8.encoding(), kelProfileEncoding::utf8);
    EXPECT_EQ(valueOf(utf8, u"s", u"name"), u"café");
    ASSERT_TRUE(utf8.setValue(u"s", u"x", u"ж"));
    EXPECT_EQ(utf8.save(), "[s]\r\nname=caf\xC3\xA9\r\nx=\xD0\xB6\r\n");

    auto bom8 = loaded("\xEF\xBB\xBF[s]\r\nk=1\r\n");
    EXPECT_EQ(bom8.encoding(), kelProfileEncoding::utf8bom);
    EXPECT_EQ(bom8.save(), "\xEF\xBB\xBF[s]\r\nk=1\r\n");

    auto be = loaded(std::string("\xFE\xFF\0[\0s\0]\0\n\0k\0=\x04\x36", 16));
    EXPECT_EQ(valueOf(be, u"s", u"k"), u"ж");
    EXPECT_EQ(be.save(), std::string("\xFE\xFF\0[\0s\0]\0\r\0\n\0k\0=\x04\x36\0\r\0\n", 22));
}

TEST(kelProfileDocumentTest, BytesThatAreNotUtf8SurviveAndSwitchToUtf16WhenNeeded)
{
    auto doc = loaded("[s]\r\nold=\xE9t\xE9\r\n");
    EXPECT_EQ(doc.encoding(), kelProfileEncoding::latin1);
    EXPECT_EQ(valueOf(doc, u"s", u"old"), u"été");
    ASSERT_TRUE(doc.setValue(u"s", u"n", u"1"));
    EXPECT_EQ(doc.save(), "[s]\r\nold=\xE9t\xE9\r\nn=1\r\n");
    ASSERT_TRUE(doc.setValue(u"s", u"n", u"ж"));
    EXPECT_EQ(doc.save(), utf16le(u"[s]\r\nold=été\r\nn=ж\r\n"));

    // A lone surrogate cannot go into UTF-8, so that file turns UTF-16 too.
    auto utf8 = loaded("[s]\r\n");
    ASSERT_TRUE(utf8.setValue(u"s", u"k", u"\xDC00"));
    EXPECT_EQ(utf8.save(), utf16le(u"[s]\r\nk=\xDC00\r\n"));

    // An odd trailing byte of a UTF-16 file is not a code unit.
    EXPECT_EQ(loaded(utf16le(u"[s]\r\nk=1") + "\x41").save(), utf16le(u"[s]\r\nk=1\r\n"));
}

TEST(kelProfileDocumentTest, RepeatedSectionsActAsOne)
{
    auto doc = loaded(utf16le(u"[s]\r\na=1\r\n[t]\r\nb=2\r\n[S]\r\na=9\r\nc=3\r\n"));
    EXPECT_EQ(valueOf(doc, u"s", u"a"), u"1");
    EXPECT_EQ(valueOf(doc, u"s", u"c"), u"3");
    EXPECT_EQ(doc.sectionLines(u"s"), (std::vector<std::u16string>{u"a=1", u"a=9", u"c=3"}));
    ASSERT_TRUE(doc.deleteKey(u"s", u"a"));
    EXPECT_EQ(valueOf(doc, u"s", u"a"), u"<missing>");
    ASSERT_TRUE(doc.replaceSection(u"s", {u" x = \" 1 \" ", u"", u"; note"}));
    EXPECT_EQ(doc.save(), utf16le(u"[s]\r\nx = \" 1 \"\r\n; note\r\n[t]\r\nb=2\r\n"));
    EXPECT_EQ(valueOf(doc, u"s", u"x"), u" 1 ");
    ASSERT_TRUE(doc.deleteSection(u"s"));
    EXPECT_FALSE(doc.hasSection(u"s"));
    EXPECT_EQ(doc.save(), utf16le(u"[t]\r\nb=2\r\n"));
}
