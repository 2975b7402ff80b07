// quillonftp as a program: started offscreen against a real quillon-driver,
// driven through its control socket, observed through its "-D583" traces.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr auto kWaitLimit = std::chrono::seconds(20);
constexpr auto kPollPeriod = std::chrono::milliseconds(50);  // polling another process's output

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

struct Child {
    pid_t pid = -1;
    fs::path out;
    fs::path err;
};

class QuillonftpProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qftp-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override {
        for (Child& c : children) {
            if (c.pid > 0 && ::waitpid(c.pid, nullptr, WNOHANG) == 0) {
                ::kill(c.pid, SIGKILL);
                ::waitpid(c.pid, nullptr, 0);
            }
        }
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    Child& spawn(const std::string& name, std::vector<std::string> args,
                 std::vector<std::string> env) {
        Child child;
        child.out = root / (name + ".out");
        child.err = root / (name + ".err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, child.out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, child.err.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        env.push_back("PATH=/usr/bin:/bin");
        std::vector<char*> envp;
        for (std::string& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        const int rc =
            posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << argv[0];
        children.push_back(child);
        return children.back();
    }

    void startDriver() {
        const std::string config = (root / "driver.ini").string();
        std::ofstream(config) << "[alice]\nsocket=" << (root / "alice.sock").string()
                              << "\ncontacts=bob\n[bob]\nsocket=" << (root / "bob.sock").string()
                              << "\ncontacts=alice\n";
        spawn("driver", {QUILLON_DRIVER_PATH, "--config", config}, {});
        ASSERT_TRUE(waitUntil([&] { return fs::exists(root / "bob.sock"); })) << "driver";
    }

    // A gateway of its own directory (settings), runtime directory (lock,
    // control socket) and driver account.
    Child& startGateway(const std::string& account, int mode, bool debug = true) {
        const fs::path dir = root / account;
        const fs::path runtime = root / ("run-" + account);
        fs::create_directories(dir);
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
        std::ofstream(dir / "QuillonForFTP.ini")
            << "[SYSTEM]\nAPPMODE=" << mode << "\nENABLEUSER=1\n[CLIENT]\nLISTENPORT=" << freePort()
            << "\n";
        if (!fs::exists(dir / "quillonftp")) {
            fs::create_symlink(QUILLONFTP_PATH, dir / "quillonftp");
        }
        std::vector<std::string> args = {(dir / "quillonftp").string()};
        if (debug) {
            args.push_back("-D583");
        }
        return spawn(account + std::to_string(children.size()), args, gatewayEnv(account));
    }
    std::vector<std::string> gatewayEnv(const std::string& account) {
        return {"XDG_RUNTIME_DIR=" + (root / ("run-" + account)).string(),
                "QUILLON_DRIVER=" + (root / (account + ".sock")).string(),
                "QT_QPA_PLATFORM=offscreen"};
    }
    int post(const std::string& account, const std::string& word) {
        Child& c = spawn("post-" + word + std::to_string(children.size()),
                         {QUILLONFTP_PATH, "--post", word}, gatewayEnv(account));
        return exitCode(c);
    }

    template <typename Predicate>
    bool waitUntil(Predicate done) {
        const auto end = std::chrono::steady_clock::now() + kWaitLimit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(kPollPeriod);
        }
        return true;
    }
    bool waitForOutput(const Child& c, const std::string& text) {
        return waitUntil([&] { return readFile(c.out).find(text) != std::string::npos; });
    }
    int exitCode(Child& c) {
        int status = 0;
        pid_t done = 0;
        waitUntil([&] {
            done = ::waitpid(c.pid, &status, WNOHANG);
            return done != 0;
        });
        if (done != c.pid) {
            return -1;
        }
        c.pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }

    fs::path root;
    std::deque<Child> children;  // a deque: references stay valid as children are added
};

TEST_F(QuillonftpProcessTest, PostOpenOnAClientOpensTheGateOnBothSides) {
    startDriver();
    Child& server = startGateway("bob", 0);
    Child& client = startGateway("alice", 1);
    ASSERT_TRUE(waitForOutput(client, "UI user: bob green\n")) << readFile(client.out);
    EXPECT_EQ(readFile(client.out).rfind("********** Start VantryOne DEBUG MODE  *******\n", 0),
              0u);
    EXPECT_NE(readFile(client.out).find("UI mode: client\n"), std::string::npos);
    EXPECT_NE(readFile(server.out).find("UI mode: server\n"), std::string::npos);

    ASSERT_EQ(post("alice", "open"), 0);
    EXPECT_TRUE(waitForOutput(client, "UI gate: open\n"));
    EXPECT_TRUE(waitForOutput(client, "●<-broadcastMessage() to WindowOf ret=1\n"));
    EXPECT_TRUE(waitForOutput(server, "UI gate: open\n"));
    EXPECT_TRUE(waitForOutput(client, "UI lamps: local L green, peer P black\n"));

    ASSERT_EQ(post("alice", "close-gate"), 0);
    EXPECT_TRUE(waitForOutput(client, "UI gate: closed\n"));
    EXPECT_TRUE(waitForOutput(server, "UI gate: closed\n"));

    ASSERT_EQ(post("alice", "close"), 0);
    ASSERT_EQ(post("bob", "close"), 0);
    EXPECT_EQ(exitCode(client), 0);
    EXPECT_EQ(exitCode(server), 0);
}

TEST_F(QuillonftpProcessTest, ASecondStartIsRefusedAndTheFirstGoesOn) {
    startDriver();
    Child& first = startGateway("alice", 1);
    ASSERT_TRUE(waitForOutput(first, "UI mode: client\n"));
    Child& second = startGateway("alice", 1);
    EXPECT_EQ(exitCode(second), 1);
    EXPECT_NE(readFile(second.err).find("     既に起動されています.     "), std::string::npos);
    ASSERT_EQ(post("alice", "close"), 0);
    EXPECT_EQ(exitCode(first), 0);
}

TEST_F(QuillonftpProcessTest, WithoutDebugModeNothingIsTracedAndTermEndsItCleanly) {
    startDriver();
    Child& gateway = startGateway("bob", 0, false);
    // Its control socket answers once it runs.
    ASSERT_TRUE(waitUntil(
        [&] { return fs::exists(root / "run-bob" / "quillon-control" / "quillonftp.sock"); }));
    ::kill(gateway.pid, SIGTERM);
    EXPECT_EQ(exitCode(gateway), 0);
    EXPECT_EQ(readFile(gateway.out), "");
}

TEST_F(QuillonftpProcessTest, PostWithoutARunningGatewaySaysSo) {
    fs::create_directories(root / "run-alice");
    fs::permissions(root / "run-alice", fs::perms::owner_all, fs::perm_options::replace);
    Child& c = spawn("post", {QUILLONFTP_PATH, "--post", "open"}, gatewayEnv("alice"));
    EXPECT_EQ(exitCode(c), 1);
    EXPECT_NE(readFile(c.err).find("no running gateway"), std::string::npos) << readFile(c.err);
    Child& bad = spawn("bad", {QUILLONFTP_PATH, "--post", "opne"}, gatewayEnv("alice"));
    EXPECT_EQ(exitCode(bad), 2);
}

}  // namespace
