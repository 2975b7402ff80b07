#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "driver/KeyExchange.h"
#include "driver/SealedBlocks.h"

// One end of a stream between two drivers as the link carries it: first the
// key exchange, then sealed blocks. The link hands it every block the peer
// sent, in order, and sends every block it gives back; between the two it
// sees only opaque bytes. Writes made before the exchange is done wait here
// (bounded like a stream's inbox) and leave, sealed, as soon as it is.
//
// Whatever goes wrong (a peer that does not speak the protocol, an untrusted
// key, a block that does not open) moves the end to kFailed for good with a
// sentence for the log; the link then ends the stream. A payload is handed
// out only after its block opened, so nothing altered reaches the gateway.
//
// Not thread-safe; one object per stream end, on the link's thread.
class SealedStream {
public:
    using Role = KeyExchange::Role;
    enum class State { kHandshake, kOpen, kEnded, kFailed };
    // What one received block amounted to.
    enum class Event {
        kNothing,    // a handshake block: send what out holds (if anything)
        kOpened,     // the exchange finished: send out (handshake and waiting writes)
        kData,       // payload holds one write of the peer
        kPeerEnded,  // the peer ended the stream properly
        kFailed,     // the stream must end: failureText() says why
    };

    static constexpr size_t kMaxWaitingWrites = 64;
    static constexpr size_t kMaxWaitingBytes = 1024 * 1024;

    SealedStream(Role role, const Identity& own, std::string initiatorJid, std::string responderJid,
                 std::string context, KeyExchange::PeerCheck peerCheck);

    // Initiator only: the first handshake block.
    bool start(std::string& block);

    // One block from the peer; out collects the blocks to send in answer,
    // in order.
    Event receive(std::string_view block, std::deque<std::string>& out, std::string& payload);

    // One write of this side. Sealed into out at once when the stream is
    // open, else kept until it is. False when the write cannot be taken
    // (too large, too many waiting, stream ended or failed).
    bool write(std::string_view payload, std::deque<std::string>& out);
    // The block that ends this side's direction properly (on DISCONNECT);
    // false when there is nothing to end (the exchange never finished).
    bool end(std::string& block);

    State state() const { return current; }
    const std::string& failureText() const { return failure; }
    // Valid once the exchange finished.
    const Identity::PublicKey& peerKey() const { return exchange.peerKey(); }
    KeyExchange::Failure exchangeFailure() const { return exchange.failure(); }

private:
    Event fail(const std::string& why);

    KeyExchange exchange;
    std::unique_ptr<SealedBlocks> blocks;  // once the exchange finished
    std::deque<std::string> waiting;       // writes before the exchange finished
    size_t waitingBytes = 0;
    State current = State::kHandshake;
    std::string failure;
};
