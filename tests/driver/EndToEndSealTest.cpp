#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/EndToEndSealFactory.h"
#include "driver/PlainStreamSeal.h"
#include "driver/ScratchDirectory.h"

namespace {

constexpr const char* kAlice = "alice@a.test";
constexpr const char* kBob = "bob@a.test";

DriverAccountConfig accountConfig(const ScratchDirectory& dir, const std::string& jid,
                                  const std::string& name) {
    DriverAccountConfig config;
    config.section = name;
    config.settings.handle = jid;
    config.xmpp.enabled = true;
    config.xmpp.jid = jid;
    config.identityPath = dir.file(name + ".identity");
    config.trustPath = dir.file(name + ".trust");
    return config;
}

class EndToEndSealTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(alice.addAccount(accountConfig(dir, kAlice, "alice"), "trust alice", error))
            << error;
        ASSERT_TRUE(bob.addAccount(accountConfig(dir, kBob, "bob"), "trust bob", error)) << error;
    }
    static StreamSealContext context(bool initiator, const char* local, const char* peer) {
        StreamSealContext c;
        c.initiator = initiator;
        c.localJid = local;
        c.peerJid = peer;
        c.application = "QuillonForFtp2000";
        c.sid = "s1";
        return c;
    }
    // Runs the handshake as the bytestream does; true when both are done.
    static bool handshake(StreamSeal& opener, StreamSeal& accepter) {
        std::vector<std::string> toAccepter, toOpener;
        StreamSeal::Step openerStep = opener.start(toAccepter);
        StreamSeal::Step accepterStep = accepter.start(toOpener);
        for (int round = 0; round < StreamSeal::kMaxHandshakeBlocks; ++round) {
            std::vector<std::string> next;
            for (const std::string& block : toAccepter) {
                accepterStep = accepter.receiveHandshake(block, toOpener);
            }
            toAccepter.clear();
            for (const std::string& block : toOpener) {
                openerStep = opener.receiveHandshake(block, next);
            }
            toOpener.clear();
            toAccepter = next;
            if (openerStep == StreamSeal::Step::kFailed ||
                accepterStep == StreamSeal::Step::kFailed) {
                return false;
            }
            if (openerStep == StreamSeal::Step::kDone && accepterStep == StreamSeal::Step::kDone &&
                toAccepter.empty()) {
                return true;
            }
        }
        return false;
    }

    ScratchDirectory dir;
    std::vector<std::string> log;
    EndToEndSealFactory alice{[this](const std::string& line) { log.push_back(line); }};
    EndToEndSealFactory bob{[this](const std::string& line) { log.push_back(line); }};
};

}  // namespace

TEST_F(EndToEndSealTest, TwoDriversAgreeCarryWritesAndEndProperly) {
    std::unique_ptr<StreamSeal> opener = alice.create(context(true, kAlice, kBob));
    std::unique_ptr<StreamSeal> accepter = bob.create(context(false, kBob, kAlice));
    ASSERT_TRUE(opener && accepter);
    ASSERT_TRUE(handshake(*opener, *accepter)) << opener->failure() << " / " << accepter->failure();

    std::string block, text;
    ASSERT_TRUE(opener->seal("USER sealtest\r\n", block));
    EXPECT_EQ(block.find("sealtest"), std::string::npos);
    EXPECT_LE(block.size(), 15 + StreamSeal::kMaxOverheadBytes);
    ASSERT_TRUE(accepter->open(block, text));
    EXPECT_EQ(text, "USER sealtest\r\n");
    ASSERT_TRUE(accepter->seal("331 password\r\n", block));
    ASSERT_TRUE(opener->open(block, text));
    EXPECT_EQ(text, "331 password\r\n");

    ASSERT_TRUE(opener->marksTheEnd());
    ASSERT_TRUE(opener->end(block));
    EXPECT_FALSE(accepter->open(block, text));
    EXPECT_TRUE(accepter->peerEnded());
    EXPECT_TRUE(text.empty());
}

TEST_F(EndToEndSealTest, ASealThatCannotOpenABlockSaysWhyAndStaysBroken) {
    std::unique_ptr<StreamSeal> opener = alice.create(context(true, kAlice, kBob));
    std::unique_ptr<StreamSeal> accepter = bob.create(context(false, kBob, kAlice));
    ASSERT_TRUE(handshake(*opener, *accepter));
    std::string first, second, text;
    ASSERT_TRUE(opener->seal("one", first));
    ASSERT_TRUE(opener->seal("two", second));
    second[second.size() / 2] ^= 0x04;
    ASSERT_TRUE(accepter->open(first, text));
    EXPECT_FALSE(accepter->open(second, text));
    EXPECT_FALSE(accepter->peerEnded());
    EXPECT_NE(accepter->failure().find("does not open"), std::string::npos) << accepter->failure();
}

TEST_F(EndToEndSealTest, BothSidesMustNameTheSameStream) {
    std::unique_ptr<StreamSeal> opener = alice.create(context(true, kAlice, kBob));
    StreamSealContext other = context(false, kBob, kAlice);
    other.sid = "s2";
    std::unique_ptr<StreamSeal> accepter = bob.create(other);
    EXPECT_FALSE(handshake(*opener, *accepter));
}

TEST_F(EndToEndSealTest, APeerWithoutSealingIsRefusedAndNeverOffered) {
    // A driver whose seal sends writes at once, with no handshake.
    PlainStreamSeal plain;
    std::unique_ptr<StreamSeal> accepter = bob.create(context(false, kBob, kAlice));
    std::vector<std::string> out;
    ASSERT_EQ(accepter->start(out), StreamSeal::Step::kMore);
    std::string block;
    ASSERT_TRUE(plain.seal("USER x\r\n", block));
    EXPECT_EQ(accepter->receiveHandshake(block, out), StreamSeal::Step::kFailed);
    EXPECT_NE(accepter->failure().find("does not speak"), std::string::npos);

    // Its resources publish no key: not connectable, logged once, naming it.
    const std::vector<std::string> features = {"urn:quillon:application:QuillonForFtp2000"};
    EXPECT_FALSE(bob.contactUsable(kBob, "carol@a.test", features));
    EXPECT_FALSE(bob.contactUsable(kBob, "carol@a.test", features));
    size_t lines = 0;
    for (const std::string& line : log) {
        lines += line.find("contact carol@a.test publishes no single identity key") !=
                         std::string::npos
                     ? 1
                     : 0;
    }
    EXPECT_EQ(lines, 1u);
}

TEST_F(EndToEndSealTest, PublishedKeysArePinnedAndAChangedOneIsNotConnectable) {
    const std::vector<std::string> bobFeatures = bob.announcedFeatures(kBob);
    ASSERT_EQ(bobFeatures.size(), 1u);
    EXPECT_EQ(bobFeatures[0].rfind(EndToEndSealFactory::kIdentityFeaturePrefix, 0), 0u);
    EXPECT_TRUE(alice.contactUsable(kAlice, kBob, bobFeatures));

    // bob's account comes back with a new identity.
    ::unlink(dir.file("bob.identity").c_str());
    EndToEndSealFactory renewed([](const std::string&) {});
    std::string error;
    ASSERT_TRUE(renewed.addAccount(accountConfig(dir, kBob, "bob"), "trust bob", error));
    EXPECT_NE(renewed.fingerprint(kBob), bob.fingerprint(kBob));
    EXPECT_FALSE(alice.contactUsable(kAlice, kBob, renewed.announcedFeatures(kBob)));
    // Nor does a stream with it get through the handshake.
    std::unique_ptr<StreamSeal> opener = alice.create(context(true, kAlice, kBob));
    std::unique_ptr<StreamSeal> accepter = renewed.create(context(false, kBob, kAlice));
    EXPECT_FALSE(handshake(*opener, *accepter));
    EXPECT_NE(opener->failure().find("not the one trusted"), std::string::npos)
        << opener->failure();
    // Two keys published at once are nobody's.
    std::vector<std::string> both = bobFeatures;
    both.push_back(renewed.announcedFeatures(kBob)[0]);
    EXPECT_FALSE(alice.contactUsable(kAlice, kBob, both));
}

TEST_F(EndToEndSealTest, NoSealForAnAccountWithoutKeys) {
    EXPECT_EQ(alice.create(context(true, "carol@a.test", kBob)), nullptr);
    EXPECT_TRUE(alice.announcedFeatures("carol@a.test").empty());
}
