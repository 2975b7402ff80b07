#include "driver/KeyExchange.h"

#include <cstring>

namespace {

constexpr std::string_view kPrologueLabel = "QuillonForFTP sealed stream v1";
constexpr std::string_view kKeyLabel = "QuillonForFTP sealed stream keys v1";
constexpr const char* kInitiatorLabel = "initiator";
constexpr const char* kResponderLabel = "responder";
constexpr unsigned char kBlock1Type = 1;
constexpr unsigned char kBlock2Type = 2;
constexpr unsigned char kBlock3Type = 3;
constexpr size_t kTypeOffset = KeyExchange::kMagic.size();
constexpr size_t kBodyOffset = kTypeOffset + 1;
constexpr size_t kOkmBytes = 64;  // two 32-byte keys

const unsigned char* bytes(std::string_view text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

void appendLengthPrefixed(std::string& out, const std::string& text) {
    out += static_cast<char>((text.size() >> 8) & 0xff);
    out += static_cast<char>(text.size() & 0xff);
    out += text;
}

std::string header(unsigned char type) {
    std::string out(KeyExchange::kMagic);
    out += static_cast<char>(type);
    return out;
}

bool hasMagic(std::string_view block) {
    return block.size() > kTypeOffset && block.substr(0, kTypeOffset) == KeyExchange::kMagic;
}

}  // namespace

KeyExchange::KeyExchange(Role role, const Identity& own, std::string initiatorJid,
                         std::string responderJid, std::string context, PeerCheck peerCheck)
    : role(role),
      own(own),
      initiatorJid(std::move(initiatorJid)),
      responderJid(std::move(responderJid)),
      context(std::move(context)),
      peerCheck(std::move(peerCheck)) {}

KeyExchange::~KeyExchange() {
    sodium_memzero(ephemeralSecret.data(), ephemeralSecret.size());
    sodium_memzero(txKey.data(), txKey.size());
    sodium_memzero(rxKey.data(), rxKey.size());
}

KeyExchange::State KeyExchange::fail(Failure why) {
    current = State::kFailed;
    failed = why;
    sodium_memzero(ephemeralSecret.data(), ephemeralSecret.size());
    sodium_memzero(txKey.data(), txKey.size());
    sodium_memzero(rxKey.data(), rxKey.size());
    return current;
}

std::string KeyExchange::failureText() const {
    switch (failed) {
    case Failure::kNone:
        return "no failure";
    case Failure::kNotSpoken:
        return "the peer does not speak the sealed-stream protocol";
    case Failure::kMalformed:
        return "the peer sent a malformed or unexpected handshake block";
    case Failure::kBadSignature:
        return "the peer's signature over the handshake does not verify";
    case Failure::kBadKey:
        return "the peer sent an unusable ephemeral key";
    case Failure::kUntrusted:
        return "the peer's identity key is not the one trusted for this contact";
    }
    return "unknown failure";
}

std::string KeyExchange::prologue() const {
    std::string out(kPrologueLabel);
    appendLengthPrefixed(out, initiatorJid);
    appendLengthPrefixed(out, responderJid);
    appendLengthPrefixed(out, context);
    return out;
}

std::string KeyExchange::signedText(const char* roleLabel) const {
    std::string out(roleLabel);
    out.append(reinterpret_cast<const char*>(th.data()), th.size());
    return out;
}

// th must be set. Derives both directions' keys from the shared secret of
// the two ephemeral keys and forgets this side's ephemeral secret.
bool KeyExchange::derive(const unsigned char* peerEphemeral) {
    std::array<unsigned char, crypto_scalarmult_BYTES> shared{};
    // Fails for a peer key of small order (an all-zero shared secret).
    if (crypto_scalarmult(shared.data(), ephemeralSecret.data(), peerEphemeral) != 0) {
        sodium_memzero(shared.data(), shared.size());
        return false;
    }
    std::array<unsigned char, kOkmBytes> okm{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, shared.data(), shared.size(), okm.size());
    crypto_generichash_update(&state, bytes(kKeyLabel), kKeyLabel.size());
    crypto_generichash_update(&state, th.data(), th.size());
    crypto_generichash_final(&state, okm.data(), okm.size());
    sodium_memzero(shared.data(), shared.size());
    sodium_memzero(ephemeralSecret.data(), ephemeralSecret.size());
    Key initiatorToResponder{};
    Key responderToInitiator{};
    std::memcpy(initiatorToResponder.data(), okm.data(), 32);
    std::memcpy(responderToInitiator.data(), okm.data() + 32, 32);
    sodium_memzero(okm.data(), okm.size());
    txKey = role == Role::kInitiator ? initiatorToResponder : responderToInitiator;
    rxKey = role == Role::kInitiator ? responderToInitiator : initiatorToResponder;
    sodium_memzero(initiatorToResponder.data(), initiatorToResponder.size());
    sodium_memzero(responderToInitiator.data(), responderToInitiator.size());
    return true;
}

bool KeyExchange::start(std::string& out) {
    out.clear();
    if (role != Role::kInitiator || started || current != State::kRunning) {
        return false;
    }
    if (sodium_init() < 0 || !own.valid() || initiatorJid.size() > kMaxNameBytes ||
        responderJid.size() > kMaxNameBytes || context.size() > kMaxNameBytes) {
        fail(Failure::kMalformed);
        return false;
    }
    started = true;
    crypto_box_keypair(ephemeralPublic.data(), ephemeralSecret.data());
    block1 = header(kBlock1Type);
    block1.append(reinterpret_cast<const char*>(ephemeralPublic.data()), ephemeralPublic.size());
    block1.append(reinterpret_cast<const char*>(own.publicKey().data()), Identity::kPublicKeyBytes);
    out = block1;
    return true;
}

KeyExchange::State KeyExchange::receive(std::string_view block, std::string& out) {
    out.clear();
    if (current != State::kRunning) {
        return current == State::kDone ? fail(Failure::kMalformed) : current;
    }
    if (!hasMagic(block)) {
        // Only the first block the peer sends tells whether it speaks the
        // protocol; a later stranger is a broken exchange.
        const bool first = role == Role::kResponder ? block1.empty() : true;
        return fail(first ? Failure::kNotSpoken : Failure::kMalformed);
    }
    const unsigned char type = static_cast<unsigned char>(block[kTypeOffset]);
    const unsigned char* body = bytes(block) + kBodyOffset;

    if (role == Role::kResponder && block1.empty()) {
        if (type != kBlock1Type || block.size() != kBlock1Bytes) {
            return fail(Failure::kMalformed);
        }
        if (sodium_init() < 0 || !own.valid() || initiatorJid.size() > kMaxNameBytes ||
            responderJid.size() > kMaxNameBytes || context.size() > kMaxNameBytes) {
            return fail(Failure::kMalformed);
        }
        block1.assign(block);
        const unsigned char* peerEphemeral = body;
        std::memcpy(peerIdentity.data(), body + kEphemeralBytes, Identity::kPublicKeyBytes);

        crypto_box_keypair(ephemeralPublic.data(), ephemeralSecret.data());
        std::string block2 = header(kBlock2Type);
        block2.append(reinterpret_cast<const char*>(ephemeralPublic.data()),
                      ephemeralPublic.size());
        block2.append(reinterpret_cast<const char*>(own.publicKey().data()),
                      Identity::kPublicKeyBytes);
        const std::string transcript = prologue() + block1 + block2;
        crypto_generichash(th.data(), th.size(), bytes(transcript), transcript.size(), nullptr, 0);
        if (!derive(peerEphemeral)) {
            return fail(Failure::kBadKey);
        }
        const Identity::Signature signature = own.sign(signedText(kResponderLabel));
        block2.append(reinterpret_cast<const char*>(signature.data()), signature.size());
        out = std::move(block2);
        return current;  // still running: block 3 proves the initiator
    }

    if (role == Role::kResponder) {
        if (type != kBlock3Type || block.size() != kBlock3Bytes) {
            return fail(Failure::kMalformed);
        }
        Identity::Signature signature{};
        std::memcpy(signature.data(), body, signature.size());
        if (!Identity::verify(peerIdentity, signedText(kInitiatorLabel), signature)) {
            return fail(Failure::kBadSignature);
        }
        if (peerCheck && !peerCheck(peerIdentity)) {
            return fail(Failure::kUntrusted);
        }
        current = State::kDone;
        return current;
    }

    // Initiator: the only block it expects is block 2.
    if (!started || type != kBlock2Type || block.size() != kBlock2Bytes) {
        return fail(Failure::kMalformed);
    }
    const unsigned char* peerEphemeral = body;
    std::memcpy(peerIdentity.data(), body + kEphemeralBytes, Identity::kPublicKeyBytes);
    const size_t signedBytes = kBlock2Bytes - Identity::kSignatureBytes;
    const std::string transcript = prologue() + block1 + std::string(block.substr(0, signedBytes));
    crypto_generichash(th.data(), th.size(), bytes(transcript), transcript.size(), nullptr, 0);
    Identity::Signature signature{};
    std::memcpy(signature.data(), bytes(block) + signedBytes, signature.size());
    if (!Identity::verify(peerIdentity, signedText(kResponderLabel), signature)) {
        return fail(Failure::kBadSignature);
    }
    if (peerCheck && !peerCheck(peerIdentity)) {
        return fail(Failure::kUntrusted);
    }
    if (!derive(peerEphemeral)) {
        return fail(Failure::kBadKey);
    }
    const Identity::Signature mine = own.sign(signedText(kInitiatorLabel));
    out = header(kBlock3Type);
    out.append(reinterpret_cast<const char*>(mine.data()), mine.size());
    current = State::kDone;
    return current;
}
