// Who the gateway agrees to talk to: the driver socket's owner and the
// private fallback directory.
#include "platform/DriverSocket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
namespace ds = platform::driversocket;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/quillon-socket-test-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string path;
};

int listenOn(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(DriverSocket, OwnDriverIsTrusted) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::string why;
    EXPECT_EQ(ds::isTrustedPeer(pair[0], why), 1) << why;
    ::close(pair[0]);
    ::close(pair[1]);
}

// A socket served by a process of another user is refused with a reason.
// Needs root to become that other user.
TEST(DriverSocket, DriverOfAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to serve a socket as another user";
    }
    TempDir dir;
    ::chmod(dir.path.c_str(), 0777);  // the other user binds its socket here
    const std::string path = dir.path + "/driver.sock";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The other user: nobody.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        const int fd = listenOn(path);
        const char byte = fd >= 0 ? 'y' : 'n';
        [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
        if (fd < 0) {
            ::_exit(3);
        }
        const int client = ::accept(fd, nullptr, nullptr);
        ::sleep(2);
        ::close(client);
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(byte, 'y');
    errno = 0;
    EXPECT_EQ(ds::connectTo(path), -1);
    EXPECT_EQ(errno, EACCES);
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
}

TEST(DriverSocket, PrivateDirectoryIsCreatedOwnerOnly) {
    TempDir dir;
    const std::string made = dir.path + "/quillon";
    std::string why;
    ASSERT_EQ(ds::ensurePrivateDirectory(made, why), 1) << why;
    struct stat info {};
    ASSERT_EQ(::stat(made.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, ::getuid());
}

TEST(DriverSocket, DirectoryOthersMayWriteIsRefused) {
    TempDir dir;
    const std::string open = dir.path + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    std::string why;
    EXPECT_EQ(ds::ensurePrivateDirectory(open, why), 0);
    EXPECT_NE(why.find("writable by other users"), std::string::npos) << why;
}

TEST(DriverSocket, DirectoryOfAnotherUserIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a directory away";
    }
    TempDir dir;
    const std::string squatted = dir.path + "/squatted";
    ASSERT_EQ(::mkdir(squatted.c_str(), 0700), 0);
    ASSERT_EQ(::chown(squatted.c_str(), 65534, 65534), 0);
    std::string why;
    EXPECT_EQ(ds::ensurePrivateDirectory(squatted, why), 0);
    EXPECT_NE(why.find("belongs to uid 65534"), std::string::npos) << why;
}

// With neither QUILLON_DRIVER nor XDG_RUNTIME_DIR the gateway looks in
// /tmp/quillon-<uid>: a directory there that is not this user's own is
// refused before anything is sent.
TEST(DriverSocket, SquattedFallbackDirectoryIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a directory away";
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedRuntime = runtime != nullptr ? runtime : "";
    ::unsetenv("XDG_RUNTIME_DIR");
    const std::string fallback = ds::defaultDirectory();
    ASSERT_EQ(fallback, "/tmp/quillon-" + std::to_string(::getuid()));
    const bool existed = fs::exists(fallback);
    if (existed) {
        if (runtime != nullptr) {
            ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
        }
        GTEST_SKIP() << fallback << " is in use on this machine";
    }
    ASSERT_EQ(::mkdir(fallback.c_str(), 0777), 0);
    ::chmod(fallback.c_str(), 0777);
    ASSERT_EQ(::chown(fallback.c_str(), 65534, 65534), 0);
    const int listener = listenOn(fallback + "/driver.sock");
    ASSERT_GE(listener, 0);
    errno = 0;
    EXPECT_EQ(ds::connectTo(fallback + "/driver.sock"), -1);
    EXPECT_EQ(errno, EACCES);
    ::close(listener);
    fs::remove_all(fallback);
    if (runtime != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    }
}

}  // namespace
