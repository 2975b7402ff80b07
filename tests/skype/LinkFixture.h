#pragma once

// A GUI loop on a hand-moved clock, captured traces and event lines, and a
// clean link per test (its window destroyed and the link released before the
// loop goes away).

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/PollEventLoop.h"
#include "platform/Trace.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_WINDOW.h"

// Records every call of every listener into one shared log, "tag:op:arg".
class RecordingUser : public XR_SKYPECOMUSER {
public:
    RecordingUser(std::string tag, std::vector<std::string>& log) : tag(std::move(tag)), log(log) {}
    void notifyConnectStatsuChange(int status) override { add("status", std::to_string(status)); }
    void notifyCurrentUser(const char* text) override { add("currentUser", text); }
    void notifyCurrentUserOnlineStatus(const char* text) override { add("userStatus", text); }
    void notifyUsers(const char* text) override { add("users", text); }
    void notifyUser(const char* text) override { add("user", text); }
    void notifyA2Adata(const char* line) override { add("a2a", line); }

private:
    void add(const char* op, const std::string& arg) { log.push_back(tag + ":" + op + ":" + arg); }
    std::string tag;
    std::vector<std::string>& log;
};

class LinkFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setGuiLoop(&loop);
        platform::setTraceSink([this](std::string_view line) { traces.emplace_back(line); });
        XR_WINDOW::setMessageBoxHook([this](const char* text, const char* caption) {
            messageBoxes.push_back(std::string(caption) + ": " + text);
        });
        link = XR_SKYPECOM::getInstance();
        link->setEventLineObserver([this](int level, const char* text) {
            eventLines.push_back(std::to_string(level) + " " + text);
        });
    }

    void TearDown() override {
        if (link->getOwnWindow() != 0) {
            XR_WINDOW::destroyWindow(link->getOwnWindow());
        }
        XR_SKYPECOM::releaseInstance();
        XR_WINDOW::setMessageBoxHook({});
        platform::setTraceSink({});
        platform::setGuiLoop(nullptr);
    }

    bool traced(const std::string& line) const {
        for (const std::string& t : traces) {
            if (t == line) {
                return true;
            }
        }
        return false;
    }

    platform::ManualClock clock;
    platform::PollEventLoop loop{clock};
    XR_SKYPECOM* link = nullptr;
    std::vector<std::string> traces;
    std::vector<std::string> eventLines;
    std::vector<std::string> messageBoxes;
    std::vector<std::string> calls;
};
