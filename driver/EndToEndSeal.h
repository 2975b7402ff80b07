#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/SealedStream.h"
#include "driver/StreamSeal.h"

// The seal of one stream between two drivers: the key exchange of
// KeyExchange run as the bytestream's handshake, then every write sealed by
// SealedBlocks, and a final block when this side ends the stream. What the
// messaging server carries is three handshake blocks (public keys and
// signatures) and ciphertext.
//
// Single-threaded: every call on the driver's loop thread.
class EndToEndSeal final : public StreamSeal {
public:
    // keepAlive holds whatever owns identity (the account's keys) for as
    // long as the seal lives.
    EndToEndSeal(std::shared_ptr<const void> keepAlive, const Identity& identity,
                 const StreamSealContext& context, KeyExchange::PeerCheck peerCheck);

    Step start(std::vector<std::string>& out) override;
    Step receiveHandshake(std::string_view block, std::vector<std::string>& out) override;
    bool seal(std::string_view text, std::string& block) override;
    bool open(std::string_view block, std::string& text) override;
    std::string failure() const override;
    bool end(std::string& block) override;
    bool peerEnded() const override { return stream.state() == SealedStream::State::kEnded; }
    bool marksTheEnd() const override { return true; }

    // The name both sides give the stream in the key exchange: the
    // application and the bytestream's session id.
    static std::string contextOf(const StreamSealContext& context);

private:
    std::shared_ptr<const void> keepAlive;
    bool initiator;
    SealedStream stream;
    std::string extraFailure;
};
