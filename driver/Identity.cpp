#include "driver/Identity.h"

#include "driver/SyncedWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kFileTag = "quillon-identity-1";
constexpr const char* kFileComment =
    "# The identity key of one QuillonForFTP driver account. Keep it secret:\n"
    "# whoever has this file can pose as the account to its contacts.\n";
// Hashed before the key so that the fingerprint cannot collide with any
// other use of the same hash over the same 32 bytes.
constexpr std::string_view kFingerprintDomain = "QuillonForFTP identity fingerprint v1";
constexpr size_t kFingerprintHashBytes = Identity::kFingerprintGroups * 5;  // 40-bit slices
constexpr unsigned kFingerprintGroupModulus = 100000;
constexpr int kBase64Variant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;

bool cryptoReady(std::string& error) {
    if (sodium_init() < 0) {
        error = "the crypto library cannot start";
        return false;
    }
    return true;
}

std::string modeText(mode_t mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

}  // namespace

Identity::Identity() = default;

Identity::~Identity() {
    wipe();
}

Identity::Identity(Identity&& other) noexcept {
    *this = std::move(other);
}

Identity& Identity::operator=(Identity&& other) noexcept {
    if (this != &other) {
        isValid = other.isValid;
        seed = other.seed;
        sk = other.sk;
        pk = other.pk;
        other.wipe();
    }
    return *this;
}

void Identity::wipe() {
    sodium_memzero(seed.data(), seed.size());
    sodium_memzero(sk.data(), sk.size());
    pk.fill(0);
    isValid = false;
}

bool Identity::fromSeed(const unsigned char* seedBytes, Identity& out, std::string& error) {
    out.wipe();
    std::memcpy(out.seed.data(), seedBytes, out.seed.size());
    if (crypto_sign_seed_keypair(out.pk.data(), out.sk.data(), out.seed.data()) != 0) {
        out.wipe();
        error = "cannot derive the key pair";
        return false;
    }
    out.isValid = true;
    return true;
}

bool Identity::generate(Identity& out, std::string& error) {
    if (!cryptoReady(error)) {
        return false;
    }
    std::array<unsigned char, crypto_sign_SEEDBYTES> fresh;
    randombytes_buf(fresh.data(), fresh.size());
    const bool ok = fromSeed(fresh.data(), out, error);
    sodium_memzero(fresh.data(), fresh.size());
    return ok;
}

bool Identity::load(const std::string& path, Identity& out, std::string& error) {
    if (!cryptoReady(error)) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = "identity file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "identity file " + path + " is not a regular file";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        ::close(fd);
        error = "identity file " + path + " belongs to another user";
        return false;
    }
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(fd);
        error = "identity file " + path + " can be read or changed by others (mode " +
                modeText(st.st_mode) + "): make it owner-only (chmod 600) and check who saw it";
        return false;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got > kMaxFileBytes) {
        sodium_memzero(text.data(), text.size());
        error = "identity file " + path + " is too long to be one";
        return false;
    }
    text.resize(got);

    // The first line that is neither empty nor a comment holds the key.
    std::array<unsigned char, crypto_sign_SEEDBYTES> seedBytes{};
    bool found = false;
    size_t start = 0;
    while (start < text.size() && !found) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::string_view tag(kFileTag);
        if (line.substr(0, tag.size()) != tag || line.size() <= tag.size() + 1 ||
            line[tag.size()] != ' ') {
            break;
        }
        const std::string_view encoded = line.substr(tag.size() + 1);
        size_t decoded = 0;
        found = sodium_base642bin(seedBytes.data(), seedBytes.size(), encoded.data(),
                                  encoded.size(), nullptr, &decoded, nullptr,
                                  kBase64Variant) == 0 &&
                decoded == seedBytes.size();
        if (!found) {
            break;
        }
    }
    sodium_memzero(text.data(), text.size());
    if (!found) {
        error = "identity file " + path + " does not hold an identity key";
        return false;
    }
    const bool ok = fromSeed(seedBytes.data(), out, error);
    sodium_memzero(seedBytes.data(), seedBytes.size());
    if (!ok) {
        error = "identity file " + path + ": " + error;
    }
    return ok;
}

bool Identity::loadOrCreate(const std::string& path, Identity& out, bool& created,
                            std::string& error) {
    created = false;
    if (!cryptoReady(error)) {
        return false;
    }
    // O_EXCL: of two drivers started at once on the same file, one writes
    // it and the other reads what that one wrote.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        if (errno == EEXIST) {
            return load(path, out, error);
        }
        error = "cannot create identity file " + path + ": " + std::strerror(errno);
        return false;
    }
    Identity fresh;
    if (!generate(fresh, error)) {
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    char encoded[sodium_base64_ENCODED_LEN(crypto_sign_SEEDBYTES, kBase64Variant)];
    sodium_bin2base64(encoded, sizeof encoded, fresh.seed.data(), fresh.seed.size(),
                      kBase64Variant);
    std::string text = std::string(kFileComment) + kFileTag + " " + encoded + "\n";
    sodium_memzero(encoded, sizeof encoded);
    // The key must be on disk before anyone pins it.
    const bool ok = writeAllSynced(fd, text.data(), text.size());
    const int writeErrno = errno;
    sodium_memzero(text.data(), text.size());
    ::close(fd);
    if (!ok) {
        ::unlink(path.c_str());
        error = "cannot write identity file " + path + ": " + std::strerror(writeErrno);
        return false;
    }
    out = std::move(fresh);
    created = true;
    return true;
}

Identity::Signature Identity::sign(std::string_view message) const {
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         sk.data());
    return signature;
}

bool Identity::verify(const PublicKey& key, std::string_view message,
                      const Signature& signature) {
    return crypto_sign_verify_detached(signature.data(),
                                       reinterpret_cast<const unsigned char*>(message.data()),
                                       message.size(), key.data()) == 0;
}

std::string Identity::fingerprintOf(const PublicKey& key) {
    std::array<unsigned char, kFingerprintHashBytes> hash{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, hash.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kFingerprintDomain.data()),
                              kFingerprintDomain.size());
    crypto_generichash_update(&state, key.data(), key.size());
    crypto_generichash_final(&state, hash.data(), hash.size());
    std::string out;
    for (size_t group = 0; group < kFingerprintGroups; ++group) {
        uint64_t slice = 0;
        for (size_t i = 0; i < 5; ++i) {
            slice = (slice << 8) | hash[group * 5 + i];
        }
        char digits[16];
        std::snprintf(digits, sizeof digits, "%05u",
                      static_cast<unsigned>(slice % kFingerprintGroupModulus));
        if (group != 0) {
            out += '-';
        }
        out += digits;
    }
    return out;
}

bool Identity::parseFingerprint(std::string_view text, std::string& canonical) {
    std::string digits;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c != ' ' && c != '-') {
            return false;
        }
        if (digits.size() > kFingerprintDigits) {
            return false;
        }
    }
    if (digits.size() != kFingerprintDigits) {
        return false;
    }
    canonical.clear();
    for (size_t group = 0; group < kFingerprintGroups; ++group) {
        if (group != 0) {
            canonical += '-';
        }
        canonical += digits.substr(group * kFingerprintGroupDigits, kFingerprintGroupDigits);
    }
    return true;
}

std::string Identity::encodeKey(const PublicKey& key) {
    char encoded[sodium_base64_ENCODED_LEN(kPublicKeyBytes, kBase64Variant)];
    sodium_bin2base64(encoded, sizeof encoded, key.data(), key.size(), kBase64Variant);
    return encoded;
}

bool Identity::decodeKey(std::string_view text, PublicKey& key) {
    if (sodium_init() < 0) {
        return false;
    }
    size_t decoded = 0;
    const char* end = nullptr;
    PublicKey out{};
    if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &decoded,
                          &end, kBase64Variant) != 0 ||
        decoded != out.size() || end != text.data() + text.size()) {
        return false;
    }
    key = out;
    return true;
}
