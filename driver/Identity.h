#pragma once

#include <sodium.h>

#include <array>
#include <string>
#include <string_view>

// The long-term key pair of one messaging account of the driver (Ed25519).
// Its secret half lives in a file that only the owner may read; the driver
// makes it on the account's first start and refuses to use one that others
// can read or that belongs to someone else. The public half is what a
// contact pins, and its fingerprint is what two people compare by voice.
//
// The file holds one line after its comment:
//   quillon-identity-1 <base64 of the 32-byte seed>
//
// Not thread-safe; each object on one thread.
class Identity {
public:
    static constexpr size_t kPublicKeyBytes = crypto_sign_PUBLICKEYBYTES;  // 32
    static constexpr size_t kSignatureBytes = crypto_sign_BYTES;           // 64
    using PublicKey = std::array<unsigned char, kPublicKeyBytes>;
    using Signature = std::array<unsigned char, kSignatureBytes>;

    // Fingerprint: 8 groups of 5 decimal digits ("12345-67890-…", 47
    // characters): digits read aloud the same in every language, 133 bits of
    // a hash of the public key. Each group is a 40-bit slice of the hash
    // taken modulo 100000.
    static constexpr size_t kFingerprintGroups = 8;
    static constexpr size_t kFingerprintGroupDigits = 5;
    static constexpr size_t kFingerprintDigits = kFingerprintGroups * kFingerprintGroupDigits;

    // The identity file is small; anything longer is not one.
    static constexpr size_t kMaxFileBytes = 4096;

    Identity();
    ~Identity();
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;
    Identity(Identity&& other) noexcept;
    Identity& operator=(Identity&& other) noexcept;

    // A fresh key pair in memory only (tests, and the first start before the
    // file is written).
    static bool generate(Identity& out, std::string& error);

    // Reads the identity at path; refuses (with a message naming the file)
    // one that is missing, not a regular file, not the user's own, readable
    // or writable by group or others, or malformed.
    static bool load(const std::string& path, Identity& out, std::string& error);

    // Loads path, or when no file is there makes a new key pair and writes
    // it owner-only (created tells which). A file that exists but cannot be
    // used is an error, never replaced.
    static bool loadOrCreate(const std::string& path, Identity& out, bool& created,
                             std::string& error);

    bool valid() const { return isValid; }
    const PublicKey& publicKey() const { return pk; }
    std::string fingerprint() const { return fingerprintOf(pk); }

    // Detached signature over message.
    Signature sign(std::string_view message) const;
    static bool verify(const PublicKey& key, std::string_view message, const Signature& signature);

    static std::string fingerprintOf(const PublicKey& key);
    // Accepts a fingerprint as people write it: the 40 digits with any
    // spaces or hyphens between them. On success canonical is the form
    // fingerprintOf prints.
    static bool parseFingerprint(std::string_view text, std::string& canonical);

    // Base64 (no padding, URL-safe alphabet) of a public key, as it is
    // published and pinned; and back.
    static std::string encodeKey(const PublicKey& key);
    static bool decodeKey(std::string_view text, PublicKey& key);

private:
    static bool fromSeed(const unsigned char* seed, Identity& out, std::string& error);
    void wipe();

    bool isValid = false;
    std::array<unsigned char, crypto_sign_SEEDBYTES> seed{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> sk{};
    PublicKey pk{};
};
