#include "driver/TrustStore.h"

#include "driver/SyncedWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

constexpr const char* kFileComment =
    "# Identity keys of the contacts of one QuillonForFTP driver account.\n"
    "# pinned: the key a contact's streams must use; offered: a key that was refused.\n"
    "# \"quillon-driver --trust CONFIG SECTION CONTACT\" pins an offered key.\n";
constexpr std::string_view kPinned = "pinned";
constexpr std::string_view kOffered = "offered";

bool sameStat(const struct stat& st, const struct timespec& time, off_t size, ino_t inode) {
    return st.st_mtim.tv_sec == time.tv_sec && st.st_mtim.tv_nsec == time.tv_nsec &&
           st.st_size == size && st.st_ino == inode;
}

}  // namespace

TrustStore::TrustStore(std::string path, std::string account,
                       std::map<std::string, std::string> expected, std::string trustCommand)
    : path(std::move(path)),
      account(std::move(account)),
      expected(std::move(expected)),
      trustCommand(std::move(trustCommand)) {}

void TrustStore::say(const std::string& line) {
    if (log) {
        log(line);
    } else {
        std::fprintf(stderr, "quillon-driver: %s\n", line.c_str());
    }
}

bool TrustStore::readFile(const std::string& path, Entries& entries, std::string& error) {
    entries = Entries();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;  // nothing pinned yet
        }
        error = "trust file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "trust file " + path + " is not a regular file";
        return false;
    }
    // Whoever can write the file decides whom the account trusts.
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(fd);
        error = "trust file " + path + " can be changed by another user: make it owner-only";
        return false;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxFileBytes) {
            ::close(fd);
            error = "trust file " + path + " is too long to be one";
            return false;
        }
    }
    ::close(fd);
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::istringstream words(line);
        std::string kind, contact, key, extra;
        words >> kind;
        if (kind.empty() || kind[0] == '#') {
            continue;
        }
        words >> contact >> key;
        Identity::PublicKey decoded{};
        if ((kind != kPinned && kind != kOffered) || contact.empty() || (words >> extra) ||
            !Identity::decodeKey(key, decoded)) {
            error = "trust file " + path + ": line " + std::to_string(number) + " is malformed";
            entries = Entries();
            return false;
        }
        (kind == kPinned ? entries.pinned : entries.offered)[contact] = decoded;
    }
    return true;
}

bool TrustStore::writeFile(const std::string& path, const Entries& entries, std::string& error) {
    std::string text = kFileComment;
    for (const auto& [contact, key] : entries.pinned) {
        text += std::string(kPinned) + " " + contact + " " + Identity::encodeKey(key) + "\n";
    }
    for (const auto& [contact, key] : entries.offered) {
        text += std::string(kOffered) + " " + contact + " " + Identity::encodeKey(key) + "\n";
    }
    // A new file renamed over the old one: a reader sees the old or the new
    // text, never half of one, and a crash leaves the old one.
    const std::string temporary = path + ".new." + std::to_string(::getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR);
    if (fd < 0) {
        error = "cannot write trust file " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool ok = writeAllSynced(fd, text.data(), text.size());
    const int writeErrno = errno;
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int why = ok ? errno : writeErrno;
        ::unlink(temporary.c_str());
        error = "cannot write trust file " + path + ": " + std::strerror(why);
        return false;
    }
    return true;
}

bool TrustStore::refresh() {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            entries = Entries();
            loaded = true;
            error.clear();
            seenSize = -1;
            return true;
        }
        error = "trust file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (loaded && error.empty() && sameStat(st, seenTime, seenSize, seenInode)) {
        return true;
    }
    std::string why;
    if (!readFile(path, entries, why)) {
        if (why != error) {
            say("account " + account + ": " + why);
        }
        error = why;
        loaded = false;
        return false;
    }
    error.clear();
    loaded = true;
    seenTime = st.st_mtim;
    seenSize = st.st_size;
    seenInode = st.st_ino;
    return true;
}

bool TrustStore::save() {
    std::string why;
    if (!writeFile(path, entries, why)) {
        say("account " + account + ": " + why);
        error = why;
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        seenTime = st.st_mtim;
        seenSize = st.st_size;
        seenInode = st.st_ino;
    }
    return true;
}

TrustStore::Verdict TrustStore::check(const std::string& contact, const Identity::PublicKey& key) {
    const bool readable = refresh();
    const std::string offered = Identity::fingerprintOf(key);

    if (const auto wanted = expected.find(contact); wanted != expected.end()) {
        if (offered != wanted->second) {
            refusedByConfiguration.insert(contact);
            if (loggedRefusals.insert({contact, offered}).second) {
                say("account " + account + ": contact " + contact + " offers identity key " +
                    offered + " but the configuration expects " + wanted->second +
                    ": streams with " + contact + " are refused until the configured "
                    "fingerprint is corrected");
            }
            return Verdict::kRefused;
        }
        refusedByConfiguration.erase(contact);
        // Keep the file in step with the configuration, so that the pin
        // holds if the fingerprint is later taken out of it.
        const auto pinned = entries.pinned.find(contact);
        if (readable && (pinned == entries.pinned.end() || pinned->second != key ||
                         entries.offered.count(contact) != 0)) {
            entries.pinned[contact] = key;
            entries.offered.erase(contact);
            save();
        }
        return Verdict::kTrusted;
    }

    if (!readable) {
        // Without the file nobody can tell a first sight from a changed key.
        if (loggedRefusals.insert({contact, offered}).second) {
            say("account " + account + ": contact " + contact + " offers identity key " +
                offered + ", refused because the trust file cannot be read (" + error + ")");
        }
        return Verdict::kRefused;
    }

    const auto pinned = entries.pinned.find(contact);
    if (pinned == entries.pinned.end()) {
        entries.pinned[contact] = key;
        entries.offered.erase(contact);
        save();
        say("account " + account + ": pinned identity key " + offered + " of contact " +
            contact + " on first use");
        return Verdict::kPinnedNow;
    }
    if (pinned->second == key) {
        if (entries.offered.erase(contact) != 0) {
            save();
        }
        return Verdict::kTrusted;
    }
    const auto previous = entries.offered.find(contact);
    if (previous == entries.offered.end() || previous->second != key) {
        entries.offered[contact] = key;
        save();
    }
    if (loggedRefusals.insert({contact, offered}).second) {
        say("account " + account + ": contact " + contact + " offers identity key " + offered +
            " but the pinned key is " + Identity::fingerprintOf(pinned->second) +
            ": streams with " + contact + " are refused until \"" + trustCommand + " " +
            contact + "\"");
    }
    return Verdict::kRefused;
}

bool TrustStore::isRefused(const std::string& contact) {
    if (refusedByConfiguration.count(contact) != 0) {
        return true;
    }
    if (expected.count(contact) != 0) {
        return false;
    }
    if (!refresh()) {
        return true;
    }
    const auto offered = entries.offered.find(contact);
    if (offered == entries.offered.end()) {
        return false;
    }
    const auto pinned = entries.pinned.find(contact);
    return pinned == entries.pinned.end() || pinned->second != offered->second;
}

bool TrustStore::pinnedKey(const std::string& contact, Identity::PublicKey& key) {
    refresh();
    const auto found = entries.pinned.find(contact);
    if (found == entries.pinned.end()) {
        return false;
    }
    key = found->second;
    return true;
}

bool TrustStore::offeredKey(const std::string& contact, Identity::PublicKey& key) {
    refresh();
    const auto found = entries.offered.find(contact);
    if (found == entries.offered.end()) {
        return false;
    }
    key = found->second;
    return true;
}

bool TrustStore::trustOffered(const std::string& path, const std::string& contact,
                              const std::map<std::string, std::string>& expected,
                              std::string& message) {
    Entries entries;
    if (!readFile(path, entries, message)) {
        return false;
    }
    const auto offered = entries.offered.find(contact);
    const auto pinned = entries.pinned.find(contact);
    if (offered == entries.offered.end()) {
        message = "contact " + contact + " has offered no refused key";
        if (pinned != entries.pinned.end()) {
            message += " (pinned: " + Identity::fingerprintOf(pinned->second) + ")";
        }
        return false;
    }
    const std::string fingerprint = Identity::fingerprintOf(offered->second);
    if (const auto wanted = expected.find(contact);
        wanted != expected.end() && wanted->second != fingerprint) {
        message = "the configuration expects fingerprint " + wanted->second + " for " + contact +
                  ", which offered " + fingerprint + ": change the configured fingerprint";
        return false;
    }
    const std::string was = pinned == entries.pinned.end()
                                ? std::string("none")
                                : Identity::fingerprintOf(pinned->second);
    entries.pinned[contact] = offered->second;
    entries.offered.erase(contact);
    if (!writeFile(path, entries, message)) {
        return false;
    }
    message = "trusted identity key " + fingerprint + " for contact " + contact + " (was " + was +
              ")";
    return true;
}
