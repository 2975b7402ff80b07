#pragma once

#include <sodium.h>

#include <array>
#include <string>
#include <string_view>

// Both directions of one sealed stream once its keys are agreed: each block
// this side sends is one secretstream (XChaCha20-Poly1305) message under the
// send key, each block it receives is opened under the receive key. The
// secretstream's nonce advances with every message, so a block that was
// dropped, replayed, moved or changed in any bit fails to open, and so does
// every block after it: the stream is broken for good and nothing of the
// failing block is handed out. The end of the stream is a block of its own
// carrying the final tag; a block after it is a failure too.
//
// Layout of the blocks of one direction:
//   first block:  secretstream header (24) | message
//   later blocks: message
//   message:      ciphertext of the payload | tag and MAC (17 bytes)
//
// Built with QUILLON_TEST_UNSEALED (a test-only build switch, off by
// default, that exists to show the end-to-end payload check can fail) a
// message is a marker byte and the payload in clear. No driver built that
// way belongs anywhere but in that test.
//
// Not thread-safe; one object per stream end, on one thread.
class SealedBlocks {
public:
    using Key = std::array<unsigned char, crypto_secretstream_xchacha20poly1305_KEYBYTES>;
    enum class Opened { kData, kFinal, kBroken };

    static constexpr size_t kHeaderBytes = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
    static constexpr size_t kOverheadBytes = crypto_secretstream_xchacha20poly1305_ABYTES;
    // The driver carries writes of at most 65535 bytes; a block carries one.
    static constexpr size_t kMaxPayloadBytes = 65535;

    SealedBlocks(const Key& sendKey, const Key& receiveKey);
    ~SealedBlocks();
    SealedBlocks(const SealedBlocks&) = delete;
    SealedBlocks& operator=(const SealedBlocks&) = delete;

    // One payload into one block. Fails for a payload over the limit or
    // after the final block was sealed.
    bool seal(std::string_view payload, std::string& block);
    // The block that ends this direction (sent on DISCONNECT).
    bool sealFinal(std::string& block);

    // One received block: kData with its payload, kFinal when the peer ended
    // the stream properly, kBroken (payload empty) when the block does not
    // open; once broken or final, every later block is kBroken.
    Opened open(std::string_view block, std::string& payload);

    // False only in the test-only build that carries payloads in clear.
    static bool sealsPayloads();

    bool broken() const { return receiveBroken; }
    bool peerEnded() const { return receiveEnded; }

private:
    bool sealMessage(std::string_view payload, unsigned char tag, std::string& block);

    crypto_secretstream_xchacha20poly1305_state sendState;
    crypto_secretstream_xchacha20poly1305_state receiveState;
    Key receiveKey{};             // kept until the peer's header arrives
    std::string pendingHeader;    // this side's header, sent with its first block
    bool receiveStarted = false;  // the peer's header has been read
    bool receiveBroken = false;
    bool receiveEnded = false;
    bool sendEnded = false;
};
