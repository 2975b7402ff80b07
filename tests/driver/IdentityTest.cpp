#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "driver/Identity.h"
#include "driver/ScratchDirectory.h"

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

}  // namespace

TEST(Identity, FirstStartMakesAnOwnerOnlyFileAndLaterStartsReadTheSameKey) {
    ScratchDirectory dir;
    const std::string path = dir.file("alice.identity");
    Identity first;
    bool created = false;
    std::string error;
    ASSERT_TRUE(Identity::loadOrCreate(path, first, created, error)) << error;
    EXPECT_TRUE(created);
    EXPECT_TRUE(first.valid());
    EXPECT_EQ(ScratchDirectory::mode(path), 0600u);

    Identity second;
    ASSERT_TRUE(Identity::loadOrCreate(path, second, created, error)) << error;
    EXPECT_FALSE(created);
    EXPECT_EQ(second.publicKey(), first.publicKey());
    EXPECT_EQ(second.fingerprint(), first.fingerprint());
    // The secret half is the same too: what one signs, the other's key verifies.
    const Identity::Signature signature = second.sign("hello");
    EXPECT_TRUE(Identity::verify(first.publicKey(), "hello", signature));
}

struct BadIdentityFileRow {
    const char* name;
    std::string text;
    mode_t mode;
    const char* errorPart;
};

TEST(Identity, RefusesAFileOthersCanReadOrThatHoldsNoKeyAndNeverReplacesIt) {
    Identity good;
    std::string error;
    ASSERT_TRUE(Identity::generate(good, error)) << error;
    // A valid file, to derive the broken ones from.
    ScratchDirectory dir;
    const std::string source = dir.file("source.identity");
    Identity made;
    bool created = false;
    ASSERT_TRUE(Identity::loadOrCreate(source, made, created, error)) << error;
    const std::string valid = ScratchDirectory::read(source);
    const size_t keyAt = valid.find("quillon-identity-1 ");
    ASSERT_NE(keyAt, std::string::npos);
    const std::string keyLine = valid.substr(keyAt);

    const BadIdentityFileRow rows[] = {
        {"group-readable", valid, 0640, "owner-only"},
        {"world-readable", valid, 0604, "owner-only"},
        {"group-writable", valid, 0620, "owner-only"},
        {"empty", "", 0600, "does not hold"},
        {"only a comment", "# nothing here\n", 0600, "does not hold"},
        {"wrong tag", "quillon-identity-2 " + keyLine.substr(19), 0600, "does not hold"},
        {"short key", keyLine.substr(0, keyLine.size() - 6) + "\n", 0600, "does not hold"},
        {"not base64", "quillon-identity-1 !!!!\n", 0600, "does not hold"},
        {"too long", std::string(Identity::kMaxFileBytes + 10, '#'), 0600, "too long"},
    };
    for (const BadIdentityFileRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = dir.file("bad.identity");
        ::unlink(path.c_str());
        ScratchDirectory::write(path, row.text, row.mode);
        Identity identity;
        error.clear();
        EXPECT_FALSE(Identity::loadOrCreate(path, identity, created, error));
        EXPECT_FALSE(identity.valid());
        EXPECT_NE(error.find(row.errorPart), std::string::npos) << error;
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_EQ(ScratchDirectory::read(path), row.text);
    }
}

TEST(Identity, RefusesALinkOrADirectoryInPlaceOfTheFile) {
    ScratchDirectory dir;
    std::string error;
    Identity identity;
    bool created = false;
    const std::string real = dir.file("real.identity");
    ASSERT_TRUE(Identity::loadOrCreate(real, identity, created, error)) << error;
    const std::string link = dir.file("link.identity");
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    EXPECT_FALSE(Identity::loadOrCreate(link, identity, created, error));
    const std::string directory = dir.file("sub");
    std::filesystem::create_directory(directory);
    EXPECT_FALSE(Identity::loadOrCreate(directory, identity, created, error));
    EXPECT_FALSE(Identity::loadOrCreate(dir.file("no/such/dir.identity"), identity, created, error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST(Identity, FingerprintIsEightGroupsOfFiveDigitsAndTellsKeysApart) {
    std::string previous;
    for (int i = 0; i < 20; ++i) {
        Identity identity;
        std::string error;
        ASSERT_TRUE(Identity::generate(identity, error)) << error;
        const std::string fingerprint = identity.fingerprint();
        EXPECT_TRUE(looksLikeFingerprint(fingerprint)) << fingerprint;
        EXPECT_EQ(fingerprint, Identity::fingerprintOf(identity.publicKey()));
        EXPECT_NE(fingerprint, previous);
        previous = fingerprint;
        // One bit of the key changes the fingerprint.
        Identity::PublicKey other = identity.publicKey();
        other[i % other.size()] ^= 0x01;
        EXPECT_NE(Identity::fingerprintOf(other), fingerprint);
    }
}

struct FingerprintTextRow {
    const char* text;
    bool ok;
};

TEST(Identity, ReadsAFingerprintAsPeopleWriteIt) {
    const std::string canonical = "01234-56789-01234-56789-01234-56789-01234-56789";
    const FingerprintTextRow rows[] = {
        {"01234-56789-01234-56789-01234-56789-01234-56789", true},
        {"01234 56789 01234 56789 01234 56789 01234 56789", true},
        {"0123456789012345678901234567890123456789", true},
        {" 0123-4567 89012345678901234567890123456789 ", true},
        {"0123456789012345678901234567890123456789 0", false},
        {"012345678901234567890123456789012345678", false},
        {"01234-56789-01234-56789-01234-56789-01234-5678x", false},
        {"", false},
    };
    for (const FingerprintTextRow& row : rows) {
        SCOPED_TRACE(row.text);
        std::string out;
        EXPECT_EQ(Identity::parseFingerprint(row.text, out), row.ok);
        if (row.ok) {
            EXPECT_EQ(out, canonical);
        }
    }
}

TEST(Identity, SignaturesVerifyOnlyForTheSameMessageAndKey) {
    Identity alice, bob;
    std::string error;
    ASSERT_TRUE(Identity::generate(alice, error));
    ASSERT_TRUE(Identity::generate(bob, error));
    const Identity::Signature signature = alice.sign("transcript");
    EXPECT_TRUE(Identity::verify(alice.publicKey(), "transcript", signature));
    EXPECT_FALSE(Identity::verify(alice.publicKey(), "transcripT", signature));
    EXPECT_FALSE(Identity::verify(bob.publicKey(), "transcript", signature));
}

TEST(Identity, PublishedKeyTextRoundTripsAndRefusesAnythingElse) {
    Identity alice;
    std::string error;
    ASSERT_TRUE(Identity::generate(alice, error));
    const std::string text = Identity::encodeKey(alice.publicKey());
    Identity::PublicKey back{};
    ASSERT_TRUE(Identity::decodeKey(text, back));
    EXPECT_EQ(back, alice.publicKey());
    for (const std::string& bad :
         {text.substr(1), text + "A", text + "=", std::string("!") + text.substr(1), std::string()}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(Identity::decodeKey(bad, back));
    }
}
