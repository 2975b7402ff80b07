#include "driver/SealedBlocks.h"

#include <algorithm>

namespace {

constexpr unsigned char kTagMessage = crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
constexpr unsigned char kTagFinal = crypto_secretstream_xchacha20poly1305_TAG_FINAL;

#ifdef QUILLON_TEST_UNSEALED
constexpr char kClearData = 'U';
constexpr char kClearFinal = 'F';
#endif

}  // namespace

bool SealedBlocks::sealsPayloads() {
#ifdef QUILLON_TEST_UNSEALED
    return false;
#else
    return true;
#endif
}

SealedBlocks::SealedBlocks(const Key& sendKey, const Key& receiveKeyBytes)
    : receiveKey(receiveKeyBytes) {
    // sodium_init is idempotent; the key exchange that made the keys ran it.
    if (sodium_init() < 0) {
        receiveBroken = true;
        sendEnded = true;
        return;
    }
    pendingHeader.resize(kHeaderBytes);
    crypto_secretstream_xchacha20poly1305_init_push(
        &sendState, reinterpret_cast<unsigned char*>(pendingHeader.data()), sendKey.data());
}

SealedBlocks::~SealedBlocks() {
    sodium_memzero(&sendState, sizeof sendState);
    sodium_memzero(&receiveState, sizeof receiveState);
    sodium_memzero(receiveKey.data(), receiveKey.size());
}

bool SealedBlocks::sealMessage(std::string_view payload, unsigned char tag, std::string& block) {
    block.clear();
    if (sendEnded || payload.size() > kMaxPayloadBytes) {
        return false;
    }
#ifdef QUILLON_TEST_UNSEALED
    block += tag == kTagFinal ? kClearFinal : kClearData;
    block.append(payload);
#else
    const size_t headerBytes = pendingHeader.size();
    block.resize(headerBytes + payload.size() + kOverheadBytes);
    std::copy(pendingHeader.begin(), pendingHeader.end(), block.begin());
    unsigned long long sealedBytes = 0;
    crypto_secretstream_xchacha20poly1305_push(
        &sendState, reinterpret_cast<unsigned char*>(block.data()) + headerBytes, &sealedBytes,
        reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), nullptr, 0, tag);
    block.resize(headerBytes + static_cast<size_t>(sealedBytes));
    pendingHeader.clear();
#endif
    if (tag == kTagFinal) {
        sendEnded = true;
    }
    return true;
}

bool SealedBlocks::seal(std::string_view payload, std::string& block) {
    return sealMessage(payload, kTagMessage, block);
}

bool SealedBlocks::sealFinal(std::string& block) {
    return sealMessage(std::string_view(), kTagFinal, block);
}

SealedBlocks::Opened SealedBlocks::open(std::string_view block, std::string& payload) {
    payload.clear();
    if (receiveBroken || receiveEnded) {
        receiveBroken = true;
        return Opened::kBroken;
    }
#ifdef QUILLON_TEST_UNSEALED
    if (block.empty() || (block[0] != kClearData && block[0] != kClearFinal)) {
        receiveBroken = true;
        return Opened::kBroken;
    }
    if (block[0] == kClearFinal) {
        receiveEnded = true;
        return Opened::kFinal;
    }
    payload.assign(block.substr(1));
    return Opened::kData;
#else
    if (!receiveStarted) {
        if (block.size() < kHeaderBytes ||
            crypto_secretstream_xchacha20poly1305_init_pull(
                &receiveState, reinterpret_cast<const unsigned char*>(block.data()),
                receiveKey.data()) != 0) {
            receiveBroken = true;
            return Opened::kBroken;
        }
        sodium_memzero(receiveKey.data(), receiveKey.size());
        receiveStarted = true;
        block.remove_prefix(kHeaderBytes);
    }
    if (block.size() < kOverheadBytes || block.size() - kOverheadBytes > kMaxPayloadBytes) {
        receiveBroken = true;
        return Opened::kBroken;
    }
    std::string opened(block.size() - kOverheadBytes, '\0');
    unsigned long long openedBytes = 0;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(
            &receiveState, reinterpret_cast<unsigned char*>(opened.data()), &openedBytes, &tag,
            reinterpret_cast<const unsigned char*>(block.data()), block.size(), nullptr, 0) != 0 ||
        (tag != kTagMessage && tag != kTagFinal)) {
        sodium_memzero(opened.data(), opened.size());
        receiveBroken = true;
        return Opened::kBroken;
    }
    opened.resize(static_cast<size_t>(openedBytes));
    if (tag == kTagFinal) {
        receiveEnded = true;
        return opened.empty() ? Opened::kFinal : (receiveBroken = true, Opened::kBroken);
    }
    payload = std::move(opened);
    return Opened::kData;
#endif
}
