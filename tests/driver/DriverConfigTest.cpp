#include <gtest/gtest.h>

#include <map>
#include <string>

#include "driver/DriverCommand.h"
#include "driver/DriverConfig.h"

TEST(DriverConfig, ReadsEveryAccountWithItsKeysAndDefaults) {
    const char* text =
        "; two accounts\n"
        "[alice]\n"
        "socket = alice.sock\n"
        "contacts = bob, carol ,bob\n"
        "[bob]\n"
        "SOCKET=/run/b.sock\n"
        "status=AWAY\n"
        "authorize=pending\n"
        "authorizedelay=1500\n";
    DriverConfig config;
    std::string error;
    ASSERT_TRUE(config.parse(text, "/etc/q", error)) << error;
    ASSERT_EQ(config.accounts.size(), 2u);
    const auto& alice = config.accounts[0];
    EXPECT_EQ(alice.settings.handle, "alice");
    EXPECT_EQ(alice.socketPath, "/etc/q/alice.sock");
    EXPECT_EQ(alice.settings.contacts, (std::vector<std::string>{"bob", "carol"}));
    EXPECT_EQ(alice.settings.status, "ONLINE");
    EXPECT_EQ(alice.settings.authorize, DriverHub::Authorize::kAllow);
    const auto& bob = config.accounts[1];
    EXPECT_EQ(bob.socketPath, "/run/b.sock");
    EXPECT_EQ(bob.settings.status, "AWAY");
    EXPECT_EQ(bob.settings.authorize, DriverHub::Authorize::kPending);
    EXPECT_EQ(bob.settings.authorizeDelayMs, 1500);
}

struct BadConfigRow {
    const char* text;
    const char* errorPart;
};

TEST(DriverConfig, RefusesBrokenFilesWithAMessageNamingTheProblem) {
    const BadConfigRow rows[] = {
        {"", "no account"},
        {"[alice]\ncontacts=bob\n", "alice: no socket"},
        {"[alice]\nsocket=a\n[bob]\nsocket=a\n", "used by another account"},
        {"[alice]\nsocket=a\n[alice]\nsocket=b\n", "defined twice"},
        {"[alice]\nsocket=a\nauthorize=maybe\n", "authorize must be"},
        {"[alice]\nsocket=a\nauthorizedelay=-5\n", "authorizedelay"},
    };
    for (const BadConfigRow& row : rows) {
        SCOPED_TRACE(row.text);
        DriverConfig config;
        std::string error;
        EXPECT_FALSE(config.parse(row.text, "/tmp", error));
        EXPECT_NE(error.find(row.errorPart), std::string::npos) << error;
    }
}

TEST(DriverConfig, HandlesAndNamesThatTheProtocolCannotCarryAreInvalid) {
    EXPECT_TRUE(isValidHandle("alice.b-c_d"));
    EXPECT_TRUE(isValidHandle(std::string(49, 'a')));
    EXPECT_FALSE(isValidHandle(std::string(50, 'a')));
    for (const char* bad : {"", "a b", "a,b", "a:b", "a\tb", "a\nb"}) {
        EXPECT_FALSE(isValidHandle(bad)) << bad;
    }
    EXPECT_TRUE(isValidApplicationName("QuillonForFtp2000"));
    EXPECT_FALSE(isValidApplicationName(std::string(100, 'n')));
    EXPECT_FALSE(isValidApplicationName("a b"));
}

TEST(DriverConfig, ContactsMayCarryTheFingerprintTheirKeyMustHave) {
    const char* text =
        "[alice]\n"
        "socket = alice.sock\n"
        "contacts = bob@b.test#11111 22222 33333 44444 55555 66666 77777 88888, carol@c.test\n"
        "[bob]\n"
        "socket = bob.sock\n"
        "identity = /keys/bob.id\n"
        "trust = keys/bob.pins\n";
    DriverConfig config;
    std::string error;
    ASSERT_TRUE(config.parse(text, "/etc/q", error)) << error;
    const auto& alice = config.accounts[0];
    EXPECT_EQ(alice.settings.contacts, (std::vector<std::string>{"bob@b.test", "carol@c.test"}));
    EXPECT_EQ(alice.expectedFingerprints,
              (std::map<std::string, std::string>{
                  {"bob@b.test", "11111-22222-33333-44444-55555-66666-77777-88888"}}));
    EXPECT_EQ(alice.identityPath, "/etc/q/alice.identity");
    EXPECT_EQ(alice.trustPath, "/etc/q/alice.trust");
    const auto& bob = config.accounts[1];
    EXPECT_EQ(bob.identityPath, "/keys/bob.id");
    EXPECT_EQ(bob.trustPath, "/etc/q/keys/bob.pins");
    EXPECT_EQ(config.find("BOB"), &bob);
    EXPECT_EQ(config.find("carol"), nullptr);
}

TEST(DriverConfig, RefusesAFingerprintThatIsNoneOrTwoForOneContact) {
    const BadConfigRow rows[] = {
        {"[alice]\nsocket=a\ncontacts=bob#12345\n", "alice: contacts: contact bob: the fingerprint"},
        {"[alice]\nsocket=a\ncontacts=bob#\n", "contact bob: the fingerprint"},
        {"[alice]\nsocket=a\ncontacts=bob#1111122222333334444455555666667777788888x\n",
         "the fingerprint"},
        {"[alice]\nsocket=a\ncontacts=bob#1111122222333334444455555666667777788888,"
         "bob#1111122222333334444455555666667777788889\n",
         "two different fingerprints"},
        {"[alice]\nsocket=a\nidentity=k\ntrust=k\n", "identity and trust"},
    };
    for (const BadConfigRow& row : rows) {
        SCOPED_TRACE(row.text);
        DriverConfig config;
        std::string error;
        EXPECT_FALSE(config.parse(row.text, "/tmp", error));
        EXPECT_NE(error.find(row.errorPart), std::string::npos) << error;
    }
}
