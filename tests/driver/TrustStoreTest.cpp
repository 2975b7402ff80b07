#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "driver/ScratchDirectory.h"
#include "driver/TrustStore.h"

namespace {

constexpr const char* kBob = "bob@b.test";
constexpr const char* kCommand = "quillon-driver --trust /etc/q/driver.ini alice";

class TrustStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(Identity::generate(bobKey, error));
        ASSERT_TRUE(Identity::generate(bobNewKey, error));
        path = dir.file("alice.trust");
    }
    TrustStore make(std::map<std::string, std::string> expected = {}) {
        TrustStore store(path, "alice", std::move(expected), kCommand);
        store.setLogSink([this](const std::string& line) { log.push_back(line); });
        return store;
    }
    size_t logLinesWith(const std::string& part) const {
        size_t n = 0;
        for (const std::string& line : log) {
            n += line.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    ScratchDirectory dir;
    std::string path;
    Identity bobKey, bobNewKey;
    std::vector<std::string> log;
};

}  // namespace

TEST_F(TrustStoreTest, PinsOnFirstUseInAnOwnerOnlyFileThatLaterRunsRead) {
    {
        TrustStore store = make();
        EXPECT_FALSE(store.isRefused(kBob));
        EXPECT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kPinnedNow);
        EXPECT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kTrusted);
        EXPECT_EQ(logLinesWith("pinned identity key " + bobKey.fingerprint()), 1u);
    }
    EXPECT_EQ(ScratchDirectory::mode(path), 0600u);
    TrustStore later = make();
    Identity::PublicKey pinned{};
    ASSERT_TRUE(later.pinnedKey(kBob, pinned));
    EXPECT_EQ(pinned, bobKey.publicKey());
    EXPECT_EQ(later.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kTrusted);
    EXPECT_EQ(later.check(kBob, bobNewKey.publicKey()), TrustStore::Verdict::kRefused);
}

TEST_F(TrustStoreTest, AChangedKeyIsRefusedAndLoggedOnceWithBothFingerprintsUntilTrusted) {
    TrustStore store = make();
    ASSERT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kPinnedNow);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(store.check(kBob, bobNewKey.publicKey()), TrustStore::Verdict::kRefused);
        EXPECT_TRUE(store.isRefused(kBob));
    }
    ASSERT_EQ(logLinesWith("offers identity key " + bobNewKey.fingerprint() +
                           " but the pinned key is " + bobKey.fingerprint()),
              1u);
    EXPECT_EQ(logLinesWith(std::string(kCommand) + " " + kBob), 1u);

    std::string message;
    ASSERT_TRUE(TrustStore::trustOffered(path, kBob, {}, message)) << message;
    EXPECT_NE(message.find(bobNewKey.fingerprint()), std::string::npos) << message;
    EXPECT_NE(message.find("was " + bobKey.fingerprint()), std::string::npos) << message;
    // The running store reads the file the trust command rewrote.
    EXPECT_FALSE(store.isRefused(kBob));
    EXPECT_EQ(store.check(kBob, bobNewKey.publicKey()), TrustStore::Verdict::kTrusted);
    EXPECT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kRefused);
    // Nothing is left to trust twice.
    ASSERT_TRUE(TrustStore::trustOffered(path, kBob, {}, message)) << "the old key was offered";
    EXPECT_FALSE(TrustStore::trustOffered(path, kBob, {}, message));
    EXPECT_NE(message.find("offered no refused key"), std::string::npos) << message;
}

TEST_F(TrustStoreTest, ThePinnedKeyComingBackLiftsTheRefusal) {
    TrustStore store = make();
    store.check(kBob, bobKey.publicKey());
    ASSERT_EQ(store.check(kBob, bobNewKey.publicKey()), TrustStore::Verdict::kRefused);
    ASSERT_TRUE(store.isRefused(kBob));
    EXPECT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kTrusted);
    EXPECT_FALSE(store.isRefused(kBob));
    std::string message;
    EXPECT_FALSE(TrustStore::trustOffered(path, kBob, {}, message));
}

TEST_F(TrustStoreTest, AConfiguredFingerprintDecidesAloneAndTrustCannotOverrideIt) {
    {
        TrustStore store = make({{kBob, bobKey.fingerprint()}});
        // Matches although nothing was pinned, and a different pin does not matter.
        EXPECT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kTrusted);
        EXPECT_EQ(store.check(kBob, bobNewKey.publicKey()), TrustStore::Verdict::kRefused);
        EXPECT_EQ(store.check(kBob, bobNewKey.publicKey()), TrustStore::Verdict::kRefused);
        EXPECT_TRUE(store.isRefused(kBob));
        EXPECT_EQ(logLinesWith("offers identity key " + bobNewKey.fingerprint() +
                               " but the configuration expects " + bobKey.fingerprint()),
                  1u);
        EXPECT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kTrusted);
        EXPECT_FALSE(store.isRefused(kBob));
    }
    // A configuration that expects the new key: the old pin is replaced.
    TrustStore edited = make({{kBob, bobNewKey.fingerprint()}});
    EXPECT_EQ(edited.check(kBob, bobNewKey.publicKey()), TrustStore::Verdict::kTrusted);
    Identity::PublicKey pinned{};
    ASSERT_TRUE(edited.pinnedKey(kBob, pinned));
    EXPECT_EQ(pinned, bobNewKey.publicKey());

    // --trust refuses to pin a key against the configured fingerprint.
    TrustStore plain = make();
    ASSERT_EQ(plain.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kRefused);
    std::string message;
    EXPECT_FALSE(TrustStore::trustOffered(path, kBob, {{kBob, bobNewKey.fingerprint()}}, message));
    EXPECT_NE(message.find("change the configured fingerprint"), std::string::npos) << message;
}

struct BadTrustFileRow {
    const char* name;
    std::string text;
    mode_t mode;
};

TEST_F(TrustStoreTest, AFileOthersCanChangeOrThatIsBrokenRefusesEveryUnconfiguredContact) {
    const BadTrustFileRow rows[] = {
        {"group-writable", "", 0620},
        {"world-writable", "", 0602},
        {"unknown kind", "trusted bob@b.test " + Identity::encodeKey(bobKey.publicKey()) + "\n",
         0600},
        {"bad key", "pinned bob@b.test AAAA\n", 0600},
        {"extra word", "pinned bob@b.test " + Identity::encodeKey(bobKey.publicKey()) + " x\n",
         0600},
    };
    for (const BadTrustFileRow& row : rows) {
        SCOPED_TRACE(row.name);
        ScratchDirectory::write(path, row.text, row.mode);
        TrustStore store = make({{"carol@c.test", bobNewKey.fingerprint()}});
        EXPECT_EQ(store.check(kBob, bobKey.publicKey()), TrustStore::Verdict::kRefused);
        EXPECT_TRUE(store.isRefused(kBob));
        EXPECT_FALSE(store.lastError().empty());
        // The file is left for the user to repair, not overwritten.
        EXPECT_EQ(ScratchDirectory::read(path), row.text);
        // A configured fingerprint does not need the file.
        EXPECT_EQ(store.check("carol@c.test", bobNewKey.publicKey()),
                  TrustStore::Verdict::kTrusted);
    }
}
