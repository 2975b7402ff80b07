#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/XR_EVENTLOG.h"

namespace {

struct CountingListener : XR_EVENTLOGLISTENER {
    int calls = 0;
    void notifyLog(const char*) override { ++calls; }
};

TEST(XR_EVENTLOG, IsSilentAtEveryLevelAndAfterARelease) {
    const auto dir = std::filesystem::temp_directory_path() / "quillon-eventlog-test";
    std::filesystem::create_directories(dir);
    const auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir);

    CountingListener listener;
    for (int round = 0; round < 2; ++round) {
        XR_EVENTLOG* log = XR_EVENTLOG::getInstance();
        EXPECT_FALSE(log->isEnabled());
        log->addListener(&listener);
        for (int level = -1; level <= 4; ++level) {
            EXPECT_EQ(log->write(level, "line"), 0) << "level " << level;
        }
        XR_EVENTLOG::releaseInstance();
    }
    EXPECT_EQ(listener.calls, 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
}

}  // namespace
