// The message endpoint: class registration, creation, timers, ownership.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/PollEventLoop.h"
#include "skype/XR_WINDOW.h"

namespace {

std::vector<std::string> gSeen;

WindowResult firstProc(WindowHandle, unsigned message, WindowParam first, WindowLParam) {
    gSeen.push_back("first:" + std::to_string(message) + ":" + std::to_string(first));
    return 11;
}

WindowResult secondProc(WindowHandle, unsigned message, WindowParam, WindowLParam) {
    gSeen.push_back("second:" + std::to_string(message));
    return 22;
}

class XR_WINDOWTest : public ::testing::Test {
protected:
    void SetUp() override {
        gSeen.clear();
        platform::setGuiLoop(&loop);
        XR_WINDOW::setMessageBoxHook([this](const char* text, const char* caption) {
            boxes.push_back(std::string(caption) + ": " + text);
        });
    }
    void TearDown() override {
        for (WindowHandle w : windows) {
            XR_WINDOW::destroyWindow(w);
        }
        XR_WINDOW::setMessageBoxHook({});
        platform::setGuiLoop(nullptr);
    }
    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    std::vector<std::string> boxes;
    std::vector<WindowHandle> windows;
};

}  // namespace

TEST_F(XR_WINDOWTest, TheRecordIsFilledWithTheDefaults) {
    XR_WINDOW window(0x42, "TESTCLASS_DEFAULTS", nullptr, &firstProc);
    window.setInstance(9);
    EXPECT_STREQ(window.getName(), "XR_WINDOW");
    const XR_WINDOW::WindowClass& record = window.getWindowClass();
    EXPECT_EQ(record.style, 3u);
    EXPECT_EQ(record.windowProc, &firstProc);
    EXPECT_EQ(record.instance, 9u);
    EXPECT_EQ(record.cursor, XR_WINDOW::kArrowCursor);
    EXPECT_EQ(record.background, XR_WINDOW::kGrayBrush);
    EXPECT_EQ(record.menuName, nullptr);
    EXPECT_STREQ(record.className, "TESTCLASS_DEFAULTS");
    EXPECT_EQ(window.getHwnd(), 0u);
}

TEST_F(XR_WINDOWTest, ASecondRegistrationFailsVisiblyAndCreationUsesTheExistingClass) {
    XR_WINDOW first(0, "TESTCLASS_TWICE", nullptr, &firstProc);
    EXPECT_EQ(first.registerClass(), 0);
    EXPECT_TRUE(boxes.empty());
    XR_WINDOW second(0, "TESTCLASS_TWICE", nullptr, &secondProc);
    EXPECT_EQ(second.registerClass(), -1);
    EXPECT_EQ(boxes,
              (std::vector<std::string>{"TESTCLASS_TWICE: This program requires Windows NT!"}));
    const WindowHandle w = second.createWindow();
    windows.push_back(w);
    ASSERT_NE(w, 0u);
    EXPECT_EQ(second.getHwnd(), w);
    // The registered class's procedure got the creation message.
    EXPECT_EQ(gSeen, (std::vector<std::string>{"first:1:0"}));
    EXPECT_EQ(XR_WINDOW::sendMessage(w, 0x400, 5, 0), 11);
    EXPECT_FALSE(XR_WINDOW::isWindowVisible(w));
}

TEST_F(XR_WINDOWTest, WithoutARegisteredClassNoWindowIsCreated) {
    XR_WINDOW window(0, "TESTCLASS_NEVER", nullptr, &firstProc);
    EXPECT_EQ(window.createWindow(), 0u);
    EXPECT_EQ(XR_WINDOW::sendMessage(0, 0x400, 0, 0), 0);
}

TEST_F(XR_WINDOWTest, TimersTickOnTheGuiLoopAndDieWithTheWindowAndItsOwner) {
    XR_WINDOW ownerWindow(0, "TESTCLASS_OWNER", nullptr, &secondProc);
    ownerWindow.registerClass();
    const WindowHandle owner = ownerWindow.createWindow();
    XR_WINDOW child(owner, "TESTCLASS_CHILD", nullptr, &firstProc);
    child.registerClass();
    const WindowHandle w = child.createWindow();
    EXPECT_EQ(XR_WINDOW::getOwner(w), owner);
    EXPECT_EQ(XR_WINDOW::setTimer(w, 1, 100), 1);
    gSeen.clear();
    clock.advance(100);
    loop.runOnce(0);
    EXPECT_EQ(gSeen, (std::vector<std::string>{"first:275:1"}));  // the timer message, id 1

    gSeen.clear();
    EXPECT_EQ(XR_WINDOW::destroyWindow(owner), 1);
    EXPECT_EQ(gSeen, (std::vector<std::string>{"first:2:0", "second:2"}));
    EXPECT_FALSE(XR_WINDOW::isWindow(w));
    EXPECT_FALSE(XR_WINDOW::isWindow(owner));
    gSeen.clear();
    clock.advance(1000);
    loop.runOnce(0);
    EXPECT_TRUE(gSeen.empty());
    EXPECT_EQ(XR_WINDOW::destroyWindow(owner), 0);
}

TEST_F(XR_WINDOWTest, MessageIdsAreStablePerName) {
    const unsigned a = XR_WINDOW::registerWindowMessage("TestMessageA");
    EXPECT_GE(a, windowmsg::kFirstRegistered);
    EXPECT_EQ(XR_WINDOW::registerWindowMessage("TestMessageA"), a);
    EXPECT_NE(XR_WINDOW::registerWindowMessage("TestMessageB"), a);
}
