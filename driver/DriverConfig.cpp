#include "driver/DriverConfig.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "driver/Identity.h"
#include "support/ProfileFile.h"

namespace {

std::string trimmed(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

// Section names in the order the file has them (the first of duplicates).
std::vector<std::string> sectionNames(std::string_view text) {
    std::vector<std::string> names;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        const std::string t = trimmed(line);
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
            names.push_back(trimmed(std::string_view(t).substr(1, t.size() - 2)));
        }
    }
    return names;
}

// Splits "bob, carol#12345-…" into handles and the fingerprints some of them
// carry. Fails (naming the contact) for a fingerprint that is not one, or
// two different fingerprints for one contact.
bool splitContacts(const std::string& text, std::vector<std::string>& out,
                   std::map<std::string, std::string>& fingerprints, std::string& error) {
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        std::string t = trimmed(item);
        const size_t hash = t.find('#');
        if (hash != std::string::npos) {
            std::string canonical;
            const std::string contact = trimmed(std::string_view(t).substr(0, hash));
            if (!Identity::parseFingerprint(std::string_view(t).substr(hash + 1), canonical)) {
                error = "contact " + contact + ": the fingerprint after '#' must be " +
                        std::to_string(Identity::kFingerprintDigits) + " digits";
                return false;
            }
            const auto known = fingerprints.find(contact);
            if (known != fingerprints.end() && known->second != canonical) {
                error = "contact " + contact + " is given two different fingerprints";
                return false;
            }
            fingerprints[contact] = canonical;
            t = contact;
        }
        if (!t.empty() && std::find(out.begin(), out.end(), t) == out.end()) {
            out.push_back(t);
        }
    }
    return true;
}

std::string resolved(const std::string& path, const std::string& baseDirectory) {
    return path[0] == '/' || baseDirectory.empty() ? path : baseDirectory + "/" + path;
}

}  // namespace

bool DriverConfig::parse(std::string_view text, const std::string& baseDirectory,
                         std::string& error) {
    accounts.clear();
    const ProfileFile file(text);
    std::set<std::string> sockets;
    std::set<std::string> handles;
    for (const std::string& handle : sectionNames(text)) {
        if (handles.count(handle) != 0) {
            error = "account " + handle + " is defined twice";
            return false;
        }
        handles.insert(handle);
        DriverAccountConfig account;
        account.settings.handle = handle;
        const auto socket = file.lookup(handle, "socket");
        if (!socket || socket->empty()) {
            error = "account " + handle + ": no socket path";
            return false;
        }
        account.socketPath = resolved(*socket, baseDirectory);
        if (!sockets.insert(account.socketPath).second) {
            error = "account " + handle + ": socket " + account.socketPath +
                    " is used by another account";
            return false;
        }
        if (!splitContacts(file.lookup(handle, "contacts").value_or(""),
                           account.settings.contacts, account.expectedFingerprints, error)) {
            error = "account " + handle + ": contacts: " + error;
            return false;
        }
        const std::string identity = file.lookup(handle, "identity").value_or("");
        account.identityPath = resolved(identity.empty() ? handle + ".identity" : identity,
                                        baseDirectory);
        const std::string trust = file.lookup(handle, "trust").value_or("");
        account.trustPath = resolved(trust.empty() ? handle + ".trust" : trust, baseDirectory);
        if (account.trustPath == account.identityPath) {
            error = "account " + handle + ": identity and trust must be different files";
            return false;
        }
        const std::string status = file.lookup(handle, "status").value_or("");
        if (!status.empty()) {
            account.settings.status = status;
        }
        if (!DriverHub::parseAuthorize(file.lookup(handle, "authorize").value_or(""),
                                       account.settings.authorize)) {
            error =
                "account " + handle + ": authorize must be allow, pending, refuse or unavailable";
            return false;
        }
        if (const auto delay = file.lookup(handle, "authorizedelay")) {
            const int ms = profile::parseLeadingInt(*delay);
            if (ms <= 0) {
                error = "account " + handle + ": authorizedelay must be a positive number of ms";
                return false;
            }
            account.settings.authorizeDelayMs = ms;
        }
        accounts.push_back(std::move(account));
    }
    if (accounts.empty()) {
        error = "no account defined (one [handle] section per account)";
        return false;
    }
    return true;
}

bool DriverConfig::load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const size_t slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? "." : path.substr(0, slash);
    if (!parse(text.str(), base.empty() ? "/" : base, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

const DriverAccountConfig* DriverConfig::find(std::string_view section) const {
    for (const DriverAccountConfig& account : accounts) {
        const std::string& handle = account.settings.handle;
        if (handle.size() == section.size() &&
            std::equal(handle.begin(), handle.end(), section.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return &account;
        }
    }
    return nullptr;
}
