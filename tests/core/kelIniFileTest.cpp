#include "core/kelIniFile.h"

#include "core/kelEvent.h"
#include "core/kelFileUtils.h"
#include "core/kelParseInt.h"
#include "core/kelUtf.h"

#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include <unistd.h>

namespace {

class kelIniFileTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(f_tmp.path().empty()); }
    kelString fileName() const { return utf8ToUtf16(f_file); }

    kelTempDir f_tmp;
    std::string f_dir = f_tmp.path();
    std::string f_file = f_tmp.file("prog.ini");
};

// Holds a store entered on a thread of its own until released.
class Holder
{
public:
    explicit Holder(kelIniAbstractStorage& store)
        : f_thread([this, &store] {
              ASSERT_TRUE(store.enter(u"", 1000));
              f_entered.setState(true);
              EXPECT_TRUE(f_release.waitFor(20000));
              store.leave();
          })
    {
        EXPECT_TRUE(f_entered.waitFor(20000));
    }
    ~Holder()
    {
        f_release.setState(true);
        f_thread.join();
    }

private:
    kelEvent f_entered{true, false};
    kelEvent f_release{true, false};
    std::thread f_thread;
};

} // namespace

TEST_F(kelIniFileTest, NewStoreCreatesBomOnlyFileAndWritesTypedValuesInUtf16)
{
    kelIniFile ini(fileName(), u"settings", 1000, true);
    EXPECT_EQ(kelReadBytes(f_file), "\xFF\xFE");
    EXPECT_TRUE(ini.setValue(u"n", -42));
    EXPECT_TRUE(ini.setValue(u"big", intptr_t(INTPTR_MIN)));
    EXPECT_TRUE(ini.setValue(u"u", UINTPTR_MAX));
    EXPECT_TRUE(ini.setValue(u"t", true));
    EXPECT_TRUE(ini.setValue(u"f", false));
    EXPECT_TRUE(ini.setValue(u"URI", u"rtp://127.0.0.1:5006"));
    EXPECT_TRUE(ini.setValue(u"s", kelString(u"Привет")));
    EXPECT_EQ(kelReadBytes(f_file),
              kelUtf16LeFile(u"[settings]\r\nn=-42\r\nbig=-9223372036854775808\r\nu=18446744073709551615\r\n"
                             u"t=-1\r\nf=0\r\nURI=rtp://127.0.0.1:5006\r\ns=Привет\r\n"));

    kelIniFile again(fileName(), u"SETTINGS", 1000, true); // an existing file is kept
    EXPECT_EQ(again.get(u"n", 0), -42);
    EXPECT_EQ(again.get(u"big", 0), INTPTR_MIN);
    EXPECT_EQ(again.get(u"u", 0), -1); // the same bits
    EXPECT_TRUE(again.get(u"t", false));
    EXPECT_FALSE(again.get(u"f", true));
    EXPECT_EQ(again.get(u"s", u""), u"Привет");
    EXPECT_EQ(again.get(u" uri ", u""), u"rtp://127.0.0.1:5006");
}

TEST_F(kelIniFileTest, StoredZeroIsAValueAndMissingKeysGiveTheirDefault)
{
    kelWriteBytes(f_file, kelUtf16LeFile(u"[s]\r\nzero=0\r\nfive=5\r\ntwo=2\r\nword=1.5\r\npadded=  12 \r\n"
                                         u"hex=$1F\r\nempty=\r\n"));
    kelIniFile ini(fileName(), u"s", 1000, false);
    EXPECT_EQ(ini.get(u"zero", u""), u"0");
    EXPECT_EQ(ini.get(u"zero", 7), 0);
    EXPECT_FALSE(ini.get(u"zero", true));
    EXPECT_EQ(ini.get(u"two", u""), u"2");
    EXPECT_EQ(ini.get(u"missing", u""), u"");
    EXPECT_EQ(ini.get(u"missing", u"dflt"), u"dflt");
    EXPECT_EQ(ini.get(u"missing", 7), 7);
    EXPECT_TRUE(ini.get(u"missing", true));
    EXPECT_TRUE(ini.get(u"five", false));
    EXPECT_EQ(ini.get(u"word", 7), 7);
    EXPECT_TRUE(ini.get(u"word", true));
    EXPECT_FALSE(ini.get(u"word", false));
    EXPECT_EQ(ini.get(u"padded", 7), 12);
    EXPECT_EQ(ini.get(u"hex", 7), 31);
    EXPECT_EQ(ini.get(u"empty", u"dflt"), u"");
    EXPECT_EQ(ini.get(u"empty", 7), 7);
}

TEST_F(kelIniFileTest, SectionRulesEnterLeaveAndQualifiedAccess)
{
    kelIniFile ini(fileName(), u"settings", 1000, false);
    EXPECT_TRUE(ini.setSection(u""));
    EXPECT_EQ(ini.section(), u" ");
    EXPECT_TRUE(ini.setValue(u"k", 1));

    kelString saved;
    ASSERT_TRUE(ini.enter(u"window", saved));
    EXPECT_EQ(saved, u" ");
    EXPECT_EQ(ini.section(), u"window");
    EXPECT_TRUE(ini.setValue(u"k", 2));
    ini.leave(saved);
    EXPECT_EQ(ini.section(), u" ");

    EXPECT_TRUE(ini.setValue(u"other", u"k", u"three"));
    EXPECT_EQ(ini.get(u"WINDOW", u"k", 0), 2);
    EXPECT_EQ(ini.get(u"other", u"k", u""), u"three");
    EXPECT_EQ(ini.get(u"k", 0), 1);
    EXPECT_EQ(kelReadBytes(f_file),
              kelUtf16LeFile(u"[ ]\r\nk=1\r\n[window]\r\nk=2\r\n[other]\r\nk=three\r\n"));
}

TEST_F(kelIniFileTest, FileNameRules)
{
    // Empty: the executable's own path with ".ini" in place of its extension.
    const kelString own = moduleNameWithExt(u"ini");
    const bool existed = fileExistsAt(own);
    {
        kelIniFile ini(u"  ", u"settings", 1000, true);
        EXPECT_EQ(ini.fileName(), own);
        EXPECT_TRUE(fileExistsAt(own));
        if (!existed) {
            EXPECT_EQ(kelReadBytes(utf16ToUtf8(own)), "\xFF\xFE");
            deleteFileAt(own);
        }
    }

    // A bare name lives in the current directory, here a temporary one.
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(f_dir);
    kelIniFile bare(u"bare.ini", u"s", 1000, true);
    kelIniFile relative(u"rel.ini", u"s", 1000, false);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(bare.fileName(), utf8ToUtf16(f_dir + "/bare.ini"));
    EXPECT_EQ(kelReadBytes(f_dir + "/bare.ini"), "\xFF\xFE");
    EXPECT_EQ(relative.fileName(), u"rel.ini");

    // U+0001: <settings folder>/<program>/<program>.ini, either way.
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = oldConfig ? oldConfig : "";
    ::setenv("XDG_CONFIG_HOME", (f_dir + "/config").c_str(), 1);
    const kelString program = pathWithExt(fileNamePart(moduleNameWithExt()), {});
    const kelString expected = utf8ToUtf16(f_dir + "/config/") + program + u"/" + program + u".ini";
    kelIniFile user(kelIniFile::kUserFileName, u"s", 1000, true);
    kelIniFile user2(kelIniFile::kUserFileName, u"s", 1000, false);
    // An executable in a folder where no file can be made keeps its settings
    // in that per-user file too.
    kelWriteBytes(f_dir + "/plain", "x");
    const kelString fallback = kelIniFile::defaultFileName(utf8ToUtf16(f_dir + "/plain/prog.ini"));
    if (oldConfig)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(user.fileName(), expected);
    EXPECT_EQ(user2.fileName(), expected);
    EXPECT_EQ(fallback, expected);
    EXPECT_EQ(kelReadBytes(utf16ToUtf8(expected)), "\xFF\xFE");

    // The setter trims.
    EXPECT_TRUE(bare.setFileName(u" " + fileName() + u"\t"));
    EXPECT_EQ(bare.fileName(), fileName());
}

TEST_F(kelIniFileTest, LineBreaksInAValueAreRefusedAndTheFileStaysIntact)
{
    kelIniFile ini(fileName(), u"settings", 1000, false);
    ASSERT_TRUE(ini.setValue(u"URI", u"rtp://127.0.0.1:5006"));
    const std::string before = kelReadBytes(f_file);
    EXPECT_FALSE(ini.setValue(u"URI", u"x\r\n[settings]\r\nTX=-1"));
    EXPECT_EQ(kelReadBytes(f_file), before);
    EXPECT_EQ(ini.get(u"URI", u""), u"rtp://127.0.0.1:5006");
    EXPECT_FALSE(ini.get(u"TX", false));
}

TEST_F(kelIniFileTest, HeldLockMakesEveryCallFailNeutrallyWithinItsTimeout)
{
    kelIniFile ini(fileName(), u"s", 30, false);
    ASSERT_TRUE(ini.setValue(u"k", 5));
    {
        Holder holder(ini);
        EXPECT_EQ(ini.get(u"k", 7), 7);
        EXPECT_EQ(ini.get(u"k", u"d"), u"");
        EXPECT_FALSE(ini.setValue(u"k", 6));
        EXPECT_FALSE(ini.setSection(u"t"));
        EXPECT_FALSE(ini.enter(u"t"));
        EXPECT_FALSE(ini.enter(u"t", 10));
        EXPECT_EQ(ini.getSectionText(u"s"), u"");
    }
    EXPECT_EQ(ini.section(), u"s");
    EXPECT_EQ(ini.get(u"k", 7), 5);
}

TEST_F(kelIniFileTest, SectionTextAndLongValues)
{
    kelIniFile ini(fileName(), u"s", 1000, false);
    ASSERT_TRUE(ini.setValue(u"a", 1));
    ASSERT_TRUE(ini.setValue(u"b", u" two "));
    EXPECT_EQ(ini.getSectionText(u""), u"a=1\r\nb=\" two \"\r\n");
    EXPECT_TRUE(ini.setSectionText(u"s", u"x=1\r\ny=2\nz=3"));
    EXPECT_EQ(ini.getSectionText(u"s"), u"x=1\r\ny=2\r\nz=3\r\n");
    EXPECT_FALSE(ini.setSectionText(u"s", u"x=1\r\n[t]\r\nq=1"));

    const kelString longValue(20000, u'v');
    ASSERT_TRUE(ini.setValue(u"long", longValue));
    EXPECT_EQ(ini.get(u"long", u""), longValue.substr(0, kelIniFile::kValueBufferSize - 1));

    // Section texts stop at the last whole line that fits.
    kelString lines;
    for (int i = 0; i < 3000; ++i)
        lines += u"key" + formatInteger(i) + u"=value\r\n";
    ASSERT_TRUE(ini.setSectionText(u"big", lines));
    const kelString text = ini.getSectionText(u"big");
    EXPECT_LE(text.size(), kelIniFile::kSectionBufferSize - 2);
    EXPECT_GT(text.size(), kelIniFile::kSectionBufferSize - 100);
    EXPECT_EQ(text, lines.substr(0, text.size()));
}
