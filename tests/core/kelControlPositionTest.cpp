#include "core/kelControlPosition.h"

#include "core/kelIniFile.h"
#include "core/kelUtf.h"

#include "tests/support/kelTestFiles.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A window as a toolkit would present it: maximised windows report their
// maximised bounds until they are made normal again.
class FakeWindow : public kelControlGeometry
{
public:
    kelString name = u"Form1";
    bool topLevel = true;
    kelControlBounds normal{10, 20, 300, 200};
    kelControlBounds maximised{0, 0, 1920, 1080};
    bool enabled = true;
    bool visible = true;
    bool docked = false;
    intptr_t orientation = 0;
    intptr_t state = kelWindowStateNormal;
    bool throwOnBounds = false;
    std::vector<std::string> calls;

    kelString controlName() const override { return name; }
    bool isTopLevel() const override { return topLevel; }
    kelControlBounds bounds() const override
    {
        if (throwOnBounds) throw std::runtime_error("toolkit failure");
        return state == kelWindowStateMaximized ? maximised : normal;
    }
    void setBounds(const kelControlBounds& b) override
    {
        calls.push_back("bounds");
        normal = b;
    }
    bool isEnabled() const override { return enabled; }
    void setEnabled(bool e) override { enabled = e; }
    bool isVisible() const override { return visible; }
    void setVisible(bool v) override { visible = v; }
    bool isDocked() const override { return docked; }
    intptr_t dockOrientation() const override { return orientation; }
    void setDockOrientation(intptr_t o) override { orientation = o; }
    intptr_t windowState() const override { return state; }
    void setWindowState(intptr_t s) override
    {
        calls.push_back("state " + std::to_string(s));
        state = s;
    }
};

class kelControlPositionTest : public ::testing::Test
{
protected:
    kelTempDir f_tmp;
    std::unique_ptr<kelIniFile> f_ini =
        std::make_unique<kelIniFile>(utf8ToUtf16(f_tmp.file("prog.ini")), u"other", 200, false);
};

} // namespace

TEST_F(kelControlPositionTest, MaximisedWindowSavesItsStateAndNormalBounds)
{
    FakeWindow w;
    w.state = kelWindowStateMaximized;
    w.enabled = false;
    w.orientation = 3;
    ASSERT_TRUE(saveControlPosition(&w, f_ini.get(), u"settings", true));
    EXPECT_EQ(w.state, kelWindowStateNormal);
    EXPECT_EQ(f_ini->section(), u"settings");
    EXPECT_EQ(
        f_ini->getSectionText(u"settings"),
        u"Form1.windowState=2\r\nForm1.left=10\r\nForm1.top=20\r\nForm1.width=300\r\nForm1.height=200\r\n"
        u"Form1.enabled=0\r\nForm1.docked=0\r\nForm1.dockOrnt=3\r\n");

    // Loading applies the normal bounds first and then maximises.
    FakeWindow fresh;
    fresh.normal = {1, 2, 3, 4};
    ASSERT_TRUE(loadControlPosition(&fresh, f_ini.get(), u"settings", true, true));
    EXPECT_EQ(fresh.calls, (std::vector<std::string>{"bounds", "state 2"}));
    EXPECT_EQ(fresh.normal.left, 10);
    EXPECT_EQ(fresh.normal.top, 20);
    EXPECT_EQ(fresh.normal.width, 300);
    EXPECT_EQ(fresh.normal.height, 200);
    EXPECT_FALSE(fresh.enabled);
    EXPECT_EQ(fresh.orientation, 3);
    EXPECT_EQ(fresh.state, kelWindowStateMaximized);
}

TEST_F(kelControlPositionTest, LoadKeepsCurrentValuesForMissingKeysAndHonoursItsFlags)
{
    ASSERT_TRUE(f_ini->setValue(u"settings", u"Form1.left", 50));
    ASSERT_TRUE(f_ini->setValue(u"settings", u"Form1.width", 640));
    ASSERT_TRUE(f_ini->setValue(u"settings", u"Form1.windowState", 2));
    FakeWindow w;
    ASSERT_TRUE(loadControlPosition(&w, f_ini.get(), u"settings", false, false));
    EXPECT_EQ(w.normal.left, 50);
    EXPECT_EQ(w.normal.top, 20);
    EXPECT_EQ(w.normal.width, 300);           // size not loaded
    EXPECT_EQ(w.state, kelWindowStateNormal); // state not loaded
    EXPECT_TRUE(w.enabled);
    ASSERT_TRUE(loadControlPosition(&w, f_ini.get(), u"settings", true, true));
    EXPECT_EQ(w.normal.width, 640);
    EXPECT_EQ(w.state, kelWindowStateMaximized);

    // A state nobody wrote is not applied.
    ASSERT_TRUE(f_ini->setValue(u"settings", u"Form1.windowState", 7));
    FakeWindow other;
    ASSERT_TRUE(loadControlPosition(&other, f_ini.get(), u"settings", true, true));
    EXPECT_EQ(other.state, kelWindowStateNormal);
    EXPECT_EQ(other.calls, std::vector<std::string>{"bounds"});
}

TEST_F(kelControlPositionTest, NothingHappensWithoutControlOrStoreAndToolkitFailuresLeaveTheStore)
{
    FakeWindow w;
    EXPECT_FALSE(saveControlPosition(nullptr, f_ini.get(), u"settings", true));
    EXPECT_FALSE(saveControlPosition(&w, nullptr, u"settings", true));
    EXPECT_FALSE(loadControlPosition(nullptr, f_ini.get(), u"settings", true, true));

    w.throwOnBounds = true;
    EXPECT_FALSE(saveControlPosition(&w, f_ini.get(), u"settings", true));
    EXPECT_FALSE(loadControlPosition(&w, f_ini.get(), u"settings", true, true));
    bool taken = false; // both routines left the store: another thread enters at once
    std::thread other([&] {
        taken = f_ini->enter(u"", 100);
        if (taken) f_ini->leave();
    });
    other.join();
    EXPECT_TRUE(taken);
}
