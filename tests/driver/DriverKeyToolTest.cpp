// quillon-driver --fingerprint and --trust as the user runs them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/DriverProcessFixture.h"
#include "driver/Identity.h"
#include "driver/ScratchDirectory.h"
#include "driver/TrustStore.h"

namespace {

// "ddddd-ddddd-…" with eight groups: the printed form of a fingerprint.
bool looksLikeFingerprint(const std::string& text) {
    if (text.size() != 47) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i % 6 == 5;
        if (dash ? text[i] != '-' : (text[i] < '0' || text[i] > '9')) {
            return false;
        }
    }
    return true;
}

struct ProgramRun {
    int code = -1;
    std::string out;
    std::string err;
};

ProgramRun runDriver(const std::string& dir, const std::vector<std::string>& args) {
    const std::string outPath = dir + "/run.out";
    const std::string errPath = dir + "/run.err";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(QUILLON_DRIVER_BINARY));
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(QUILLON_DRIVER_BINARY, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProgramRun run;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = driverprocess::readFile(outPath);
    run.err = driverprocess::readFile(errPath);
    return run;
}

class DriverKeyToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        config = dir.file("driver.ini");
        ScratchDirectory::write(config,
                                "[alice]\nsocket = alice.sock\ncontacts = bob@b.test\n"
                                "[carol]\nsocket = carol.sock\n"
                                "contacts = bob@b.test#" + expectedText + "\n",
                                0600);
    }
    ScratchDirectory dir;
    std::string config;
    std::string expectedText = "11111-22222-33333-44444-55555-66666-77777-88888";
};

}  // namespace

TEST_F(DriverKeyToolTest, FingerprintMakesTheIdentityOnceAndPrintsTheSameEachTime) {
    const ProgramRun first = runDriver(dir.path, {"--fingerprint", config, "alice"});
    ASSERT_EQ(first.code, 0) << first.err;
    ASSERT_FALSE(first.out.empty());
    EXPECT_EQ(first.out.back(), '\n');
    EXPECT_TRUE(looksLikeFingerprint(first.out.substr(0, first.out.size() - 1))) << first.out;
    const std::string identity = dir.file("alice.identity");
    EXPECT_NE(first.err.find("made a new identity key in " + identity), std::string::npos)
        << first.err;
    EXPECT_EQ(ScratchDirectory::mode(identity), 0600u);
    Identity loaded;
    std::string error;
    ASSERT_TRUE(Identity::load(identity, loaded, error)) << error;
    EXPECT_EQ(first.out, loaded.fingerprint() + "\n");

    const ProgramRun second = runDriver(dir.path, {"--fingerprint", config, "ALICE"});
    EXPECT_EQ(second.code, 0) << second.err;
    EXPECT_EQ(second.out, first.out);
    EXPECT_EQ(second.err, "");
}

struct KeyToolFailureRow {
    const char* name;
    std::vector<std::string> args;
    const char* errorPart;
};

TEST_F(DriverKeyToolTest, FailuresEndWithOneAndAMessage) {
    ScratchDirectory::write(dir.file("dave.identity"), "", 0644);
    ScratchDirectory::write(config,
                            driverprocess::readFile(config) +
                                "[dave]\nsocket = dave.sock\nidentity = dave.identity\n",
                            0600);
    const KeyToolFailureRow rows[] = {
        {"unknown section", {"--fingerprint", config, "erin"}, "no account [erin]"},
        {"identity others can read", {"--fingerprint", config, "dave"}, "owner-only"},
        {"missing configuration", {"--fingerprint", dir.file("none.ini"), "alice"}, "cannot read"},
        {"nothing to trust", {"--trust", config, "alice", "bob@b.test"}, "offered no refused key"},
        {"trust for an unknown section", {"--trust", config, "erin", "bob@b.test"},
         "no account [erin]"},
    };
    for (const KeyToolFailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        const ProgramRun run = runDriver(dir.path, row.args);
        EXPECT_EQ(run.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(row.errorPart), std::string::npos) << run.err;
    }
}

TEST_F(DriverKeyToolTest, TrustPinsTheRefusedKeyUnlessTheConfigurationExpectsAnother) {
    Identity oldKey, newKey;
    std::string error;
    ASSERT_TRUE(Identity::generate(oldKey, error));
    ASSERT_TRUE(Identity::generate(newKey, error));
    {
        // What a running driver leaves behind after bob's key changed.
        TrustStore store(dir.file("alice.trust"), "alice", {}, "unused");
        store.setLogSink([](const std::string&) {});
        ASSERT_EQ(store.check("bob@b.test", oldKey.publicKey()), TrustStore::Verdict::kPinnedNow);
        ASSERT_EQ(store.check("bob@b.test", newKey.publicKey()), TrustStore::Verdict::kRefused);
        TrustStore carol(dir.file("carol.trust"), "carol", {}, "unused");
        carol.setLogSink([](const std::string&) {});
        carol.check("bob@b.test", oldKey.publicKey());
        carol.check("bob@b.test", newKey.publicKey());
    }
    const ProgramRun run = runDriver(dir.path, {"--trust", config, "alice", "bob@b.test"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.out, "account alice: trusted identity key " + newKey.fingerprint() +
                           " for contact bob@b.test (was " + oldKey.fingerprint() + ")\n");
    TrustStore after(dir.file("alice.trust"), "alice", {}, "unused");
    Identity::PublicKey pinned{};
    ASSERT_TRUE(after.pinnedKey("bob@b.test", pinned));
    EXPECT_EQ(pinned, newKey.publicKey());

    // carol's configuration names another fingerprint for bob: only editing it helps.
    const ProgramRun refused = runDriver(dir.path, {"--trust", config, "carol", "bob@b.test"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("expects fingerprint " + expectedText), std::string::npos)
        << refused.err;
}
