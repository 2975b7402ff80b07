#include <gtest/gtest.h>

#include <string>

#include "driver/KeyExchange.h"

namespace {

constexpr const char* kAlice = "alice@a.test";
constexpr const char* kBob = "bob@b.test";
constexpr const char* kContext = "QuillonForFtp2000 sid-1";

class KeyExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(Identity::generate(alice, error)) << error;
        ASSERT_TRUE(Identity::generate(bob, error)) << error;
        ASSERT_TRUE(Identity::generate(mallory, error)) << error;
    }
    // A check that accepts exactly one key, counting its calls.
    KeyExchange::PeerCheck expect(const Identity& who, int* calls = nullptr) {
        const Identity::PublicKey key = who.publicKey();
        return [key, calls](const Identity::PublicKey& offered) {
            if (calls != nullptr) {
                ++*calls;
            }
            return offered == key;
        };
    }

    Identity alice, bob, mallory;
};

}  // namespace

TEST_F(KeyExchangeTest, BothSidesAgreeOnKeysAndLearnEachOthersIdentity) {
    int aliceChecks = 0, bobChecks = 0;
    KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                          expect(bob, &aliceChecks));
    KeyExchange responder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext,
                          expect(alice, &bobChecks));
    std::string block1, block2, block3;
    ASSERT_TRUE(initiator.start(block1));
    EXPECT_EQ(block1.size(), KeyExchange::kBlock1Bytes);
    EXPECT_EQ(responder.receive(block1, block2), KeyExchange::State::kRunning);
    EXPECT_EQ(block2.size(), KeyExchange::kBlock2Bytes);
    EXPECT_EQ(initiator.receive(block2, block3), KeyExchange::State::kDone);
    EXPECT_EQ(block3.size(), KeyExchange::kBlock3Bytes);
    std::string none;
    EXPECT_EQ(responder.receive(block3, none), KeyExchange::State::kDone);
    EXPECT_TRUE(none.empty());

    EXPECT_EQ(initiator.sendKey(), responder.receiveKey());
    EXPECT_EQ(initiator.receiveKey(), responder.sendKey());
    EXPECT_NE(initiator.sendKey(), initiator.receiveKey());
    EXPECT_EQ(initiator.peerKey(), bob.publicKey());
    EXPECT_EQ(responder.peerKey(), alice.publicKey());
    EXPECT_EQ(initiator.transcriptHash(), responder.transcriptHash());
    EXPECT_EQ(aliceChecks, 1);
    EXPECT_EQ(bobChecks, 1);

    // Fresh ephemeral keys: the same two identities on the same stream name
    // agree on other keys the next time.
    KeyExchange again(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext, expect(bob));
    KeyExchange againResponder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext,
                               expect(alice));
    ASSERT_TRUE(again.start(block1));
    againResponder.receive(block1, block2);
    ASSERT_EQ(again.receive(block2, block3), KeyExchange::State::kDone);
    EXPECT_NE(again.sendKey(), initiator.sendKey());
}

struct ViewRow {
    const char* name;
    const char* initiatorJid;
    const char* responderJid;
    const char* context;
};

TEST_F(KeyExchangeTest, SidesThatDisagreeOnTheAccountsOrTheStreamNeverFinish) {
    const ViewRow rows[] = {
        {"other initiator", "carol@a.test", kBob, kContext},
        {"other responder", kAlice, "bob@a.test", kContext},
        {"other stream", kAlice, kBob, "QuillonForFtp2000 sid-2"},
        {"other application", kAlice, kBob, "Other sid-1"},
        {"names shifted between fields", "alice@a.testb", "ob@b.test", kContext},
    };
    for (const ViewRow& row : rows) {
        SCOPED_TRACE(row.name);
        KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                              expect(bob));
        KeyExchange responder(KeyExchange::Role::kResponder, bob, row.initiatorJid,
                              row.responderJid, row.context, expect(alice));
        std::string block1, block2, block3;
        ASSERT_TRUE(initiator.start(block1));
        responder.receive(block1, block2);
        EXPECT_EQ(initiator.receive(block2, block3), KeyExchange::State::kFailed);
        EXPECT_EQ(initiator.failure(), KeyExchange::Failure::kBadSignature);
        EXPECT_TRUE(block3.empty());
    }
}

// Every single byte of every handshake block changed on the way: the
// exchange never finishes with keys on both sides.
TEST_F(KeyExchangeTest, AnAlteredByteAnywhereInTheHandshakeFailsIt) {
    for (int which = 1; which <= 3; ++which) {
        const size_t size = which == 1   ? KeyExchange::kBlock1Bytes
                            : which == 2 ? KeyExchange::kBlock2Bytes
                                         : KeyExchange::kBlock3Bytes;
        for (size_t at = 0; at < size; ++at) {
            SCOPED_TRACE("block " + std::to_string(which) + " byte " + std::to_string(at));
            KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                                  expect(bob));
            KeyExchange responder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext,
                                  expect(alice));
            std::string block1, block2, block3, none;
            ASSERT_TRUE(initiator.start(block1));
            if (which == 1) {
                block1[at] ^= 0x20;
            }
            responder.receive(block1, block2);
            if (which == 2 && !block2.empty()) {
                block2[at] ^= 0x20;
            }
            initiator.receive(block2, block3);
            if (which == 3 && !block3.empty()) {
                block3[at] ^= 0x20;
            }
            responder.receive(block3, none);
            const bool bothDone = initiator.state() == KeyExchange::State::kDone &&
                                  responder.state() == KeyExchange::State::kDone;
            EXPECT_FALSE(bothDone);
            // The side that received the altered block (or, for block 1,
            // the initiator that checks what the responder signed) fails.
            if (which == 3) {
                EXPECT_EQ(responder.state(), KeyExchange::State::kFailed);
            } else {
                EXPECT_EQ(initiator.state(), KeyExchange::State::kFailed);
            }
        }
    }
}

TEST_F(KeyExchangeTest, APeerThatDoesNotSpeakItIsRefusedOnItsFirstBlock) {
    KeyExchange responder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext,
                          expect(alice));
    std::string out;
    EXPECT_EQ(responder.receive("USER anonymous\r\n", out), KeyExchange::State::kFailed);
    EXPECT_EQ(responder.failure(), KeyExchange::Failure::kNotSpoken);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(responder.failureText().find("does not speak"), std::string::npos);

    KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                          expect(bob));
    ASSERT_TRUE(initiator.start(out));
    EXPECT_EQ(initiator.receive("220 welcome\r\n", out), KeyExchange::State::kFailed);
    EXPECT_EQ(initiator.failure(), KeyExchange::Failure::kNotSpoken);

    KeyExchange empty(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext, expect(alice));
    EXPECT_EQ(empty.receive("", out), KeyExchange::State::kFailed);
    EXPECT_EQ(empty.failure(), KeyExchange::Failure::kNotSpoken);
}

TEST_F(KeyExchangeTest, BlocksOutOfTurnOrOfTheWrongSizeAreMalformed) {
    KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                          expect(bob));
    KeyExchange responder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext,
                          expect(alice));
    std::string block1, block2, block3, out;
    ASSERT_TRUE(initiator.start(block1));
    ASSERT_EQ(responder.receive(block1, block2), KeyExchange::State::kRunning);
    ASSERT_EQ(initiator.receive(block2, block3), KeyExchange::State::kDone);

    struct Row {
        const char* name;
        KeyExchange::Role role;
        std::string first;   // delivered first ("" = a valid block 1)
        std::string second;  // then this
    };
    const Row rows[] = {
        {"responder gets block 3 first", KeyExchange::Role::kResponder, block3, ""},
        {"responder gets block 2 first", KeyExchange::Role::kResponder, block2, ""},
        {"responder gets block 1 twice", KeyExchange::Role::kResponder, block1, block1},
        {"block 1 one byte short", KeyExchange::Role::kResponder, block1.substr(0, block1.size() - 1), ""},
        {"block 1 one byte long", KeyExchange::Role::kResponder, block1 + "x", ""},
        {"initiator gets block 1", KeyExchange::Role::kInitiator, block1, ""},
        {"initiator gets block 2 cut", KeyExchange::Role::kInitiator, block2.substr(0, 100), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        KeyExchange side(row.role, row.role == KeyExchange::Role::kInitiator ? alice : bob, kAlice,
                         kBob, kContext,
                         expect(row.role == KeyExchange::Role::kInitiator ? bob : alice));
        if (row.role == KeyExchange::Role::kInitiator) {
            ASSERT_TRUE(side.start(out));
        }
        KeyExchange::State state = side.receive(row.first, out);
        if (!row.second.empty() && state == KeyExchange::State::kRunning) {
            state = side.receive(row.second, out);
        }
        EXPECT_EQ(state, KeyExchange::State::kFailed);
        EXPECT_EQ(side.failure(), KeyExchange::Failure::kMalformed);
    }
}

TEST_F(KeyExchangeTest, AnIdentityThePeerCheckRefusesFailsTheExchangeOnBothRoles) {
    // Mallory answers in bob's place with her own identity: alice's check,
    // which expects bob's key, refuses her; no block 3 leaves alice.
    KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                          expect(bob));
    KeyExchange impostor(KeyExchange::Role::kResponder, mallory, kAlice, kBob, kContext,
                         expect(alice));
    std::string block1, block2, block3;
    ASSERT_TRUE(initiator.start(block1));
    impostor.receive(block1, block2);
    EXPECT_EQ(initiator.receive(block2, block3), KeyExchange::State::kFailed);
    EXPECT_EQ(initiator.failure(), KeyExchange::Failure::kUntrusted);
    EXPECT_TRUE(block3.empty());

    // Mallory opens a stream to bob as alice: bob's check refuses her.
    KeyExchange caller(KeyExchange::Role::kInitiator, mallory, kAlice, kBob, kContext,
                       expect(bob));
    KeyExchange responder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext,
                          expect(alice));
    std::string none;
    ASSERT_TRUE(caller.start(block1));
    responder.receive(block1, block2);
    ASSERT_EQ(caller.receive(block2, block3), KeyExchange::State::kDone);
    EXPECT_EQ(responder.receive(block3, none), KeyExchange::State::kFailed);
    EXPECT_EQ(responder.failure(), KeyExchange::Failure::kUntrusted);
}

TEST_F(KeyExchangeTest, APeerKeyIsCheckedOnlyAfterItSignedThisTranscript) {
    // Mallory puts bob's identity key into a block 2 she cannot sign: the
    // check never sees bob's key in it, the signature fails first.
    int checks = 0;
    KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                          expect(bob, &checks));
    KeyExchange impostor(KeyExchange::Role::kResponder, mallory, kAlice, kBob, kContext, nullptr);
    std::string block1, block2, block3;
    ASSERT_TRUE(initiator.start(block1));
    impostor.receive(block1, block2);
    std::copy(bob.publicKey().begin(), bob.publicKey().end(),
              block2.begin() + 5 + KeyExchange::kEphemeralBytes);
    EXPECT_EQ(initiator.receive(block2, block3), KeyExchange::State::kFailed);
    EXPECT_EQ(initiator.failure(), KeyExchange::Failure::kBadSignature);
    EXPECT_EQ(checks, 0);

    // A block 2 bob signed for an earlier exchange does not open a new one.
    KeyExchange earlier(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext, expect(bob));
    KeyExchange bobSide(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext, expect(alice));
    std::string oldBlock2;
    ASSERT_TRUE(earlier.start(block1));
    bobSide.receive(block1, oldBlock2);
    KeyExchange later(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                      expect(bob, &checks));
    ASSERT_TRUE(later.start(block1));
    EXPECT_EQ(later.receive(oldBlock2, block3), KeyExchange::State::kFailed);
    EXPECT_EQ(later.failure(), KeyExchange::Failure::kBadSignature);
    EXPECT_EQ(checks, 0);
}

TEST_F(KeyExchangeTest, ASmallOrderEphemeralKeyIsRefused) {
    KeyExchange initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext,
                          expect(bob));
    std::string block1, block2;
    ASSERT_TRUE(initiator.start(block1));
    std::fill(block1.begin() + 5, block1.begin() + 5 + KeyExchange::kEphemeralBytes, '\0');
    KeyExchange responder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext,
                          expect(alice));
    EXPECT_EQ(responder.receive(block1, block2), KeyExchange::State::kFailed);
    EXPECT_EQ(responder.failure(), KeyExchange::Failure::kBadKey);
    EXPECT_TRUE(block2.empty());
}
