#pragma once

#include <sodium.h>

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "driver/Identity.h"

// The authenticated key exchange that opens a sealed stream between two
// drivers: three opaque blocks carried over whatever link the stream uses.
//
//   1  initiator -> responder   "QSS1" 01 | eI (32) | IKi (32)
//   2  responder -> initiator   "QSS1" 02 | eR (32) | IKr (32) | sigR (64)
//   3  initiator -> responder   "QSS1" 03 | sigI (64)
//
// eI, eR are X25519 keys made for this stream alone and forgotten once the
// stream keys are derived (forward secrecy); IKi, IKr are the two accounts'
// Ed25519 identity keys. The transcript hash
//
//   th = BLAKE2b-256(prologue | block 1 | block 2 without sigR)
//   prologue = "QuillonForFTP sealed stream v1" | len16 initiator JID |
//              len16 responder JID | len16 stream context
//
// binds both identities, both ephemeral keys, both accounts' bare JIDs and
// the stream (application and stream id), so a block cannot be moved to
// another stream or pair of accounts. Each side signs its role and th
// (sigR over "responder" | th, sigI over "initiator" | th), which proves it
// holds its identity key now and saw the same ephemeral keys. Keys:
//
//   okm = BLAKE2b-512(key = X25519(e, e'), "QuillonForFTP sealed stream keys v1" | th)
//   initiator -> responder key = okm[0..32), responder -> initiator = okm[32..64)
//
// Whether the peer's identity key is the contact's is not decided here: the
// peer check given to the constructor is asked once the peer has signed the
// transcript, and a false answer fails the exchange.
//
// Not thread-safe; one object per stream end, on one thread.
class KeyExchange {
public:
    enum class Role { kInitiator, kResponder };
    enum class State { kRunning, kDone, kFailed };
    enum class Failure {
        kNone,
        kNotSpoken,     // the first block is not one of ours: a peer without sealing
        kMalformed,     // ours, but the wrong block for this moment or the wrong size
        kBadSignature,  // the peer could not sign the transcript with its key
        kBadKey,        // an ephemeral key no honest peer sends
        kUntrusted,     // the peer check refused the peer's identity key
    };
    using PeerCheck = std::function<bool(const Identity::PublicKey& peerKey)>;
    using Key = std::array<unsigned char, 32>;

    static constexpr std::string_view kMagic = "QSS1";
    static constexpr size_t kEphemeralBytes = crypto_scalarmult_BYTES;  // 32
    static constexpr size_t kHashBytes = crypto_generichash_BYTES;      // 32
    static constexpr size_t kBlock1Bytes = 5 + kEphemeralBytes + Identity::kPublicKeyBytes;
    static constexpr size_t kBlock2Bytes =
        5 + kEphemeralBytes + Identity::kPublicKeyBytes + Identity::kSignatureBytes;
    static constexpr size_t kBlock3Bytes = 5 + Identity::kSignatureBytes;
    // Each of the JIDs and the context goes into the prologue with a 16-bit length.
    static constexpr size_t kMaxNameBytes = 65535;

    // own must outlive the exchange. initiatorJid, responderJid are the two
    // accounts' bare JIDs as both sides know them; context names the stream
    // (for example the application and the bytestream's session id).
    KeyExchange(Role role, const Identity& own, std::string initiatorJid,
                std::string responderJid, std::string context, PeerCheck peerCheck);
    ~KeyExchange();
    KeyExchange(const KeyExchange&) = delete;
    KeyExchange& operator=(const KeyExchange&) = delete;

    // Initiator only, once: block 1.
    bool start(std::string& out);
    // One block from the peer. out gets the block to send in answer, if any
    // (block 2 for the responder, block 3 for the initiator).
    State receive(std::string_view block, std::string& out);

    State state() const { return current; }
    Failure failure() const { return failed; }
    // A sentence for the log when the exchange failed.
    std::string failureText() const;

    // Valid once state() is kDone.
    const Key& sendKey() const { return txKey; }
    const Key& receiveKey() const { return rxKey; }
    const Identity::PublicKey& peerKey() const { return peerIdentity; }
    const std::array<unsigned char, kHashBytes>& transcriptHash() const { return th; }

private:
    State fail(Failure why);
    std::string prologue() const;
    bool derive(const unsigned char* peerEphemeral);
    std::string signedText(const char* roleLabel) const;

    Role role;
    const Identity& own;
    std::string initiatorJid;
    std::string responderJid;
    std::string context;
    PeerCheck peerCheck;

    State current = State::kRunning;
    Failure failed = Failure::kNone;
    bool started = false;
    std::string block1;  // as sent or received, for the transcript
    std::array<unsigned char, crypto_scalarmult_SCALARBYTES> ephemeralSecret{};
    std::array<unsigned char, kEphemeralBytes> ephemeralPublic{};
    Identity::PublicKey peerIdentity{};
    std::array<unsigned char, kHashBytes> th{};
    Key txKey{};
    Key rxKey{};
};
