#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../ui/TempDirectory.h"
#include "app/ControlChannel.h"
#include "app/SingleInstance.h"
#include "app/StartupOptions.h"

namespace {

TEST(StartupOptions, SwitchesAreRecognisedOnlyWhenTheyMatchExactly) {
    const struct {
        std::vector<const char*> args;
        bool debug, noLocal, post;
        const char* word;
    } rows[] = {
        {{"quillonftp"}, false, false, false, ""},
        {{"quillonftp", "-D583"}, true, false, false, ""},
        {{"quillonftp", "-NOLOCALONLY", "-D583", "-D583"}, true, true, false, ""},
        {{"quillonftp", "-d583", "-D5830", "-nolocalonly", "-NOLOCALONLYX", "x"},
         false,
         false,
         false,
         ""},
        {{"quillonftp", "--post", "open"}, false, false, true, "open"},
        {{"quillonftp", "--post"}, false, false, true, ""},
    };
    for (const auto& row : rows) {
        const StartupOptions o =
            StartupOptions::parse(static_cast<int>(row.args.size()), row.args.data());
        std::string where;
        for (const char* a : row.args) {
            where += std::string(a) + " ";
        }
        EXPECT_EQ(o.debugMode, row.debug) << where;
        EXPECT_EQ(o.noLocalOnly, row.noLocal) << where;
        EXPECT_EQ(o.post, row.post) << where;
        EXPECT_EQ(o.postWord, row.word) << where;
    }
}

TEST(StartupOptions, TheProgramDirectoryIsCutAtTheLastSlash) {
    const struct {
        const char* path;
        const char* dir;
    } rows[] = {{"/opt/quillon/bin/quillonftp", "/opt/quillon/bin"},
                {"./quillonftp", "."},
                {"quillonftp", ""},
                {"/quillonftp", ""},
                {"/usr/ディレクトリ/quillonftp", "/usr/ディレクトリ"},
                {nullptr, ""}};
    for (const auto& row : rows) {
        EXPECT_EQ(programDirectoryOf(row.path), row.dir) << (row.path ? row.path : "(null)");
    }
}

TEST(SingleInstance, ASecondCopyIsRefusedWhileTheFirstHoldsTheLock) {
    TempDirectory dir;
    EXPECT_EQ(SingleInstance::mutexName(), "__MOSSLANTERN__QuillonForFTP Ⅱ");
    {
        SingleInstance first;
        ASSERT_EQ(first.acquire(dir.path().string(), SingleInstance::mutexName()),
                  SingleInstance::kAcquired);
        SingleInstance second;
        EXPECT_EQ(second.acquire(dir.path().string(), SingleInstance::mutexName()),
                  SingleInstance::kAlreadyRunning);
    }
    SingleInstance third;  // the first is gone
    EXPECT_EQ(third.acquire(dir.path().string(), SingleInstance::mutexName()),
              SingleInstance::kAcquired);
    SingleInstance nowhere;
    EXPECT_EQ(nowhere.acquire("", SingleInstance::mutexName()), SingleInstance::kFailed);
    EXPECT_EQ(nowhere.acquire((dir.path() / "missing").string(), "x"), SingleInstance::kFailed);
}

TEST(ControlChannel, PostedWordsArriveAsPrivateMessages) {
    TempDirectory dir;
    const std::string control = ControlChannel::directoryIn(dir.path().string());
    EXPECT_EQ(ControlChannel::post(control, 1226), 0);  // nobody listens yet
    ControlChannel channel;
    ASSERT_TRUE(channel.open(control));
    struct stat st;
    ASSERT_EQ(::stat(control.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    const struct {
        const char* word;
        int message;
    } rows[] = {{"close", 1225}, {"open", 1226}, {"close-gate", 1227}, {"select", 1228}};
    for (const auto& row : rows) {
        const int message = ControlChannel::messageOfWord(row.word);
        EXPECT_EQ(message, row.message) << row.word;
        ASSERT_EQ(ControlChannel::post(control, message), 1) << row.word;
        EXPECT_EQ(channel.readMessage(), row.message) << row.word;
    }
    EXPECT_EQ(ControlChannel::messageOfWord("OPEN"), 0);
    EXPECT_EQ(channel.readMessage(), 0);  // nothing waits
}

TEST(ControlChannel, MalformedAndForeignDatagramsAreIgnored) {
    TempDirectory dir;
    const std::string control = ControlChannel::directoryIn(dir.path().string());
    ControlChannel channel;
    ASSERT_TRUE(channel.open(control));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, channel.getPath().c_str());
    const int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    const std::string longText(200, '1');
    for (const std::string& text :
         {std::string("1224"), std::string("1229"), std::string("1226x"), std::string("abc"),
          std::string("QUILLONOPEN 1 0"), longText, std::string("")}) {
        ASSERT_EQ(::sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address),
                           sizeof address),
                  static_cast<ssize_t>(text.size()));
        EXPECT_EQ(channel.readMessage(), 0) << "\"" << text.substr(0, 20) << "\"";
    }
    ::close(s);
}

TEST(ControlChannel, TheOpenAnnouncementReachesEverySocketOfTheDirectory) {
    TempDirectory dir;
    const std::string control = ControlChannel::directoryIn(dir.path().string());
    ControlChannel own;
    ASSERT_TRUE(own.open(control));
    // A sibling program listening in the same directory.
    const std::string siblingPath = control + "/sibling.sock";
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, siblingPath.c_str());
    const int sibling = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    ASSERT_EQ(::bind(sibling, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    EXPECT_EQ(ControlChannel::broadcastOpen(control, 1), 1);
    char buffer[64] = {};
    const ssize_t n = ::recv(sibling, buffer, sizeof buffer - 1, 0);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(buffer, "QUILLONOPEN 1 0");
    EXPECT_EQ(own.readMessage(), 0);  // the gateway does not act on it
    ::close(sibling);
    EXPECT_EQ(ControlChannel::broadcastOpen(control + "/missing", 1), 0);
}

}  // namespace
