#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "driver/SealedStream.h"

namespace {

constexpr const char* kAlice = "alice@a.test";
constexpr const char* kBob = "bob@b.test";
constexpr const char* kContext = "QuillonForFtp2000 sid-7";

// Two ends of one stream and the blocks in flight between them, so a test
// can do to the blocks whatever a server on the way could.
class StreamPair {
public:
    StreamPair()
        : alice(make("alice")),
          bob(make("bob")),
          initiator(KeyExchange::Role::kInitiator, alice, kAlice, kBob, kContext, accept(bob)),
          responder(KeyExchange::Role::kResponder, bob, kAlice, kBob, kContext, accept(alice)) {}

    static Identity make(const char*) {
        Identity identity;
        std::string error;
        Identity::generate(identity, error);
        return identity;
    }
    static KeyExchange::PeerCheck accept(const Identity& who) {
        const Identity::PublicKey key = who.publicKey();
        return [key](const Identity::PublicKey& offered) { return offered == key; };
    }

    // Runs the handshake to the end; writes made before stay queued.
    bool open() {
        std::string block1;
        if (!initiator.start(block1)) {
            return false;
        }
        std::deque<std::string> toInitiator, toResponder;
        std::string payload;
        if (responder.receive(block1, toInitiator, payload) != SealedStream::Event::kNothing) {
            return false;
        }
        while (!toInitiator.empty()) {
            initiator.receive(toInitiator.front(), toResponder, payload);
            toInitiator.pop_front();
        }
        // Block 3 opens the responder; the initiator's waiting writes follow it.
        if (toResponder.empty() ||
            responder.receive(toResponder.front(), toInitiator, payload) !=
                SealedStream::Event::kOpened) {
            return false;
        }
        toResponder.pop_front();
        aliceToBob.insert(aliceToBob.end(), toResponder.begin(), toResponder.end());
        return initiator.state() == SealedStream::State::kOpen &&
               responder.state() == SealedStream::State::kOpen;
    }

    Identity alice, bob;
    SealedStream initiator, responder;
    std::deque<std::string> aliceToBob;  // sealed blocks on their way to bob
};

std::string payloadOf(int i) {
    return "write " + std::to_string(i) + " " + std::string(static_cast<size_t>(100 + i), 'a' + i);
}

}  // namespace

TEST(SealedStream, CarriesWritesBothWaysInOrderAndEndsProperly) {
    StreamPair pair;
    // Two writes before the exchange finished wait, and leave first.
    ASSERT_TRUE(pair.initiator.write(payloadOf(0), pair.aliceToBob));
    ASSERT_TRUE(pair.initiator.write(payloadOf(1), pair.aliceToBob));
    EXPECT_TRUE(pair.aliceToBob.empty());
    ASSERT_TRUE(pair.open());
    ASSERT_EQ(pair.aliceToBob.size(), 2u);
    ASSERT_TRUE(pair.initiator.write(payloadOf(2), pair.aliceToBob));

    std::deque<std::string> answers;
    std::string payload;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(pair.responder.receive(pair.aliceToBob.front(), answers, payload),
                  SealedStream::Event::kData);
        pair.aliceToBob.pop_front();
        EXPECT_EQ(payload, payloadOf(i));
    }
    EXPECT_TRUE(answers.empty());

    std::deque<std::string> bobToAlice;
    ASSERT_TRUE(pair.responder.write("reply", bobToAlice));
    ASSERT_EQ(pair.initiator.receive(bobToAlice.front(), answers, payload),
              SealedStream::Event::kData);
    EXPECT_EQ(payload, "reply");

    std::string last;
    ASSERT_TRUE(pair.initiator.end(last));
    EXPECT_EQ(pair.responder.receive(last, answers, payload), SealedStream::Event::kPeerEnded);
    EXPECT_EQ(pair.responder.state(), SealedStream::State::kEnded);
    EXPECT_FALSE(pair.initiator.write("more", pair.aliceToBob)) << "nothing is sealed after the end";
    EXPECT_EQ(pair.responder.receive(last, answers, payload), SealedStream::Event::kFailed)
        << "nothing is taken after the final block";
    EXPECT_TRUE(payload.empty());
}

TEST(SealedStream, BlocksCarryNoPayloadByteAndCostLittle) {
    StreamPair pair;
    ASSERT_TRUE(pair.open());
    const std::string marker = "MARKER-3f9c2a71-PASS-secret";
    const std::string payload = std::string(20000, 'x') + marker;
    ASSERT_TRUE(pair.initiator.write(payload, pair.aliceToBob));
    ASSERT_TRUE(pair.initiator.write(payload, pair.aliceToBob));
    const std::string& first = pair.aliceToBob[0];
    const std::string& second = pair.aliceToBob[1];
    EXPECT_EQ(first.size(), payload.size() + SealedBlocks::kHeaderBytes + SealedBlocks::kOverheadBytes);
    EXPECT_EQ(second.size(), payload.size() + SealedBlocks::kOverheadBytes);
    for (const std::string* block : {&first, &second}) {
        EXPECT_EQ(block->find(marker), std::string::npos);
        EXPECT_EQ(block->find("xxxxxxxx"), std::string::npos);
    }
    // The same payload twice does not give the same block.
    EXPECT_NE(first.substr(SealedBlocks::kHeaderBytes), second);
}

struct AttackRow {
    const char* name;
    // Changes the five sealed blocks (index 0..4) in flight to bob.
    std::function<void(std::deque<std::string>&)> attack;
    size_t deliveredBefore;  // writes that still arrive intact before the failure
};

// Whatever a server on the way does to the sealed blocks, bob receives an
// unbroken prefix of what alice wrote and then the stream fails: never a
// changed, repeated or missing write in the middle.
TEST(SealedStream, ADroppedReplayedReorderedOrAlteredBlockEndsTheStream) {
    const AttackRow rows[] = {
        {"first block dropped", [](auto& b) { b.erase(b.begin()); }, 0},
        {"third block dropped", [](auto& b) { b.erase(b.begin() + 2); }, 2},
        {"second block replayed", [](auto& b) { b.insert(b.begin() + 2, b[1]); }, 2},
        {"first block replayed at the end", [](auto& b) { b.push_back(b[0]); }, 5},
        {"last block replayed", [](auto& b) { b.push_back(b[4]); }, 5},
        {"two blocks swapped", [](auto& b) { std::swap(b[1], b[2]); }, 1},
        {"header byte altered", [](auto& b) { b[0][3] ^= 0x01; }, 0},
        {"first payload byte altered",
         [](auto& b) { b[0][SealedBlocks::kHeaderBytes] ^= 0x01; }, 0},
        {"middle byte altered", [](auto& b) { b[3][b[3].size() / 2] ^= 0x80; }, 3},
        {"MAC byte altered", [](auto& b) { b[4].back() ^= 0x01; }, 4},
        {"block cut short", [](auto& b) { b[2].pop_back(); }, 2},
        {"block lengthened", [](auto& b) { b[2].push_back('x'); }, 2},
        {"block emptied", [](auto& b) { b[1].clear(); }, 1},
        {"two blocks joined", [](auto& b) { b[1] += b[2]; b.erase(b.begin() + 2); }, 1},
        {"a block of another stream", [](auto& b) {
             StreamPair other;
             other.open();
             other.initiator.write("x", other.aliceToBob);
             other.initiator.write("y", other.aliceToBob);
             b[1] = other.aliceToBob[1];
         }, 1},
    };
    for (const AttackRow& row : rows) {
        SCOPED_TRACE(row.name);
        StreamPair pair;
        ASSERT_TRUE(pair.open());
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(pair.initiator.write(payloadOf(i), pair.aliceToBob));
        }
        row.attack(pair.aliceToBob);
        std::deque<std::string> answers;
        std::string payload;
        size_t delivered = 0;
        SealedStream::Event event = SealedStream::Event::kData;
        for (const std::string& block : pair.aliceToBob) {
            event = pair.responder.receive(block, answers, payload);
            if (event != SealedStream::Event::kData) {
                EXPECT_TRUE(payload.empty());
                break;
            }
            EXPECT_EQ(payload, payloadOf(static_cast<int>(delivered)));
            ++delivered;
        }
        EXPECT_EQ(event, SealedStream::Event::kFailed);
        EXPECT_EQ(delivered, row.deliveredBefore);
        EXPECT_EQ(pair.responder.state(), SealedStream::State::kFailed);
        EXPECT_NE(pair.responder.failureText().find("does not open"), std::string::npos);
        // Failed for good: even the right next block is not taken now.
        std::string more;
        pair.initiator.write("after", answers);
        EXPECT_EQ(pair.responder.receive(answers.back(), answers, more),
                  SealedStream::Event::kFailed);
        EXPECT_TRUE(more.empty());
    }
}

TEST(SealedStream, AnEndAfterADroppedBlockIsNoProperEnd) {
    StreamPair pair;
    ASSERT_TRUE(pair.open());
    ASSERT_TRUE(pair.initiator.write("one", pair.aliceToBob));
    std::string last;
    ASSERT_TRUE(pair.initiator.end(last));
    EXPECT_FALSE(pair.initiator.write("after the end", pair.aliceToBob));
    std::deque<std::string> answers;
    std::string payload;
    // A server that drops the data block and passes the end on is caught.
    EXPECT_EQ(pair.responder.receive(last, answers, payload), SealedStream::Event::kFailed);
}

TEST(SealedStream, APeerThatDoesNotSpeakItOrAnUntrustedKeyFailsTheStream) {
    StreamPair pair;
    std::deque<std::string> out;
    std::string payload;
    EXPECT_EQ(pair.responder.receive("plain tunnel data", out, payload),
              SealedStream::Event::kFailed);
    EXPECT_NE(pair.responder.failureText().find("does not speak"), std::string::npos);
    EXPECT_EQ(pair.responder.exchangeFailure(), KeyExchange::Failure::kNotSpoken);
    EXPECT_TRUE(out.empty());

    // Bob's end trusts only carol: alice's block 3 fails it.
    Identity carol = StreamPair::make("carol");
    SealedStream initiator(KeyExchange::Role::kInitiator, pair.alice, kAlice, kBob, kContext,
                           StreamPair::accept(pair.bob));
    SealedStream responder(KeyExchange::Role::kResponder, pair.bob, kAlice, kBob, kContext,
                           StreamPair::accept(carol));
    std::string block;
    ASSERT_TRUE(initiator.start(block));
    ASSERT_TRUE(initiator.write("secret", out));
    std::deque<std::string> toInitiator, toResponder;
    responder.receive(block, toInitiator, payload);
    ASSERT_EQ(initiator.receive(toInitiator.front(), toResponder, payload),
              SealedStream::Event::kOpened);
    ASSERT_EQ(toResponder.size(), 2u);  // block 3 and the waiting write
    EXPECT_EQ(responder.receive(toResponder[0], toInitiator, payload),
              SealedStream::Event::kFailed);
    EXPECT_EQ(responder.exchangeFailure(), KeyExchange::Failure::kUntrusted);
    EXPECT_EQ(responder.receive(toResponder[1], toInitiator, payload),
              SealedStream::Event::kFailed);
    EXPECT_TRUE(payload.empty());
}

TEST(SealedStream, WritesAreBoundedBeforeAndAfterTheExchange) {
    StreamPair pair;
    std::deque<std::string> out;
    EXPECT_FALSE(pair.initiator.write(std::string(SealedBlocks::kMaxPayloadBytes + 1, 'x'), out));
    for (size_t i = 0; i < SealedStream::kMaxWaitingWrites; ++i) {
        ASSERT_TRUE(pair.initiator.write("w", out)) << i;
    }
    EXPECT_FALSE(pair.initiator.write("one too many", out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(pair.open());
    EXPECT_EQ(pair.aliceToBob.size(), SealedStream::kMaxWaitingWrites);
    EXPECT_TRUE(pair.initiator.write(std::string(SealedBlocks::kMaxPayloadBytes, 'x'), out));
    EXPECT_FALSE(pair.initiator.write(std::string(SealedBlocks::kMaxPayloadBytes + 1, 'x'), out));
    // A responder that never finished its exchange has nothing to end.
    SealedStream fresh(KeyExchange::Role::kResponder, pair.bob, kAlice, kBob, kContext, nullptr);
    std::string last;
    EXPECT_FALSE(fresh.end(last));
}
