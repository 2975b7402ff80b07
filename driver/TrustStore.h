#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "driver/Identity.h"

// The identity keys one account trusts for its contacts. A contact's key is
// pinned the first time it is seen, unless the configuration names the
// fingerprint to expect (contacts = bob@a.test#<fingerprint>), which then
// decides alone. A key that differs from the pinned or expected one is
// refused: every stream with that contact fails until the user trusts the
// new key (quillon-driver --trust) or corrects the configured fingerprint.
// The refused key is kept in the file as "offered" so that --trust, run as
// another process, can pin exactly the key that was refused.
//
// The file is text, owner-only, one entry a line:
//   pinned  <contact> <key>     the key streams with contact must use
//   offered <contact> <key>     a key the contact used that was refused
// with keys in Identity::encodeKey form. It is read again whenever it
// changed on disk, so --trust takes effect in a running driver at the next
// check.
//
// Not thread-safe; one object per account, on the driver's loop thread.
class TrustStore {
public:
    enum class Verdict {
        kTrusted,    // the pinned or expected key
        kPinnedNow,  // first sight: pinned, trusted from now on
        kRefused,    // not the key the contact must use
    };
    // The file is small; anything longer is not one.
    static constexpr size_t kMaxFileBytes = 1024 * 1024;

    // path: the account's trust file; account names the account in log
    // lines; expected maps contacts to canonical fingerprints (Identity::
    // parseFingerprint) from the configuration; trustCommand is the command
    // that pins a refused key, as the log line shows it ("quillon-driver
    // --trust FILE SECTION", the contact is added).
    TrustStore(std::string path, std::string account,
               std::map<std::string, std::string> expected, std::string trustCommand);

    // Log lines (first sight, refusal). Standard error by default.
    void setLogSink(std::function<void(const std::string&)> sink) { log = std::move(sink); }

    // Whether contact may use key; pins it on first sight and records a
    // refused one. The refusal is logged once per contact and key, with
    // both fingerprints.
    Verdict check(const std::string& contact, const Identity::PublicKey& key);

    // Whether streams with contact are refused now: the last key it used was
    // refused and nobody has trusted it since.
    bool isRefused(const std::string& contact);

    // The file could not be read or written (a message in lastError()):
    // every contact without an expected fingerprint is then refused rather
    // than pinned afresh.
    const std::string& lastError() const { return error; }

    // quillon-driver --trust: pins the key contact offered and was refused.
    // Fails with a message when nothing is offered, or when the
    // configuration expects another fingerprint for contact (the
    // configuration then has to change instead).
    static bool trustOffered(const std::string& path, const std::string& contact,
                             const std::map<std::string, std::string>& expected,
                             std::string& message);

    // What the file says about contact (for tests and --trust's message).
    bool pinnedKey(const std::string& contact, Identity::PublicKey& key);
    bool offeredKey(const std::string& contact, Identity::PublicKey& key);

private:
    struct Entries {
        std::map<std::string, Identity::PublicKey> pinned;
        std::map<std::string, Identity::PublicKey> offered;
    };
    static bool readFile(const std::string& path, Entries& entries, std::string& error);
    static bool writeFile(const std::string& path, const Entries& entries, std::string& error);
    // Reads the file again if it changed on disk since the last read.
    bool refresh();
    bool save();
    void say(const std::string& line);

    std::string path;
    std::string account;
    std::map<std::string, std::string> expected;
    std::string trustCommand;
    std::function<void(const std::string&)> log;
    Entries entries;
    bool loaded = false;
    // What the file looked like when it was last read or written.
    struct timespec seenTime {};
    off_t seenSize = -1;
    ino_t seenInode = 0;
    std::string error;
    // Refusals already logged: contact and the refused key's fingerprint.
    std::set<std::pair<std::string, std::string>> loggedRefusals;
    // Contacts whose last key broke a configured fingerprint (kept in
    // memory: --trust cannot lift those).
    std::set<std::string> refusedByConfiguration;
};
