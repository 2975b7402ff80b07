#include "driver/DriverConfig.h"

#include <algorithm>
#include <cctype>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

std::string lowered(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The password of password_file: the file's first line. Refused unless only
// its owner may read it, so a password never sits in a file others can read.
bool readPasswordFile(const std::string& path, std::string& password, std::string& why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        why = "cannot read " + path;
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        why = path + " is not a regular file";
        return false;
    }
    if ((info.st_mode & 077) != 0 || info.st_uid != ::geteuid()) {
        ::close(fd);
        why = path + " must be owned by this user and readable by its owner only (chmod 600)";
        return false;
    }
    std::string text;
    char buf[512];
    ssize_t n = 0;
    while (text.size() <= DriverConfig::kMaxPasswordBytes &&
           (n = ::read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    const size_t end = text.find_first_of("\r\n");
    password = text.substr(0, end);
    if (password.empty() || password.size() > DriverConfig::kMaxPasswordBytes) {
        why = path + " holds no password on its first line";
        return false;
    }
    return true;
}

bool parseXmpp(const ProfileFile& file, const std::string& section, const std::string& base,
               XmppAccountConfig& xmpp, std::map<std::string, std::string>& fingerprints,
               std::string& error) {
    auto fail = [&](const char* key, const std::string& why) {
        error = "section [" + section + "], key " + key + ": " + why;
        return false;
    };
    xmpp.enabled = true;
    xmpp.jid = lowered(file.lookup(section, "jid").value_or(""));
    if (!DriverConfig::isBareJid(xmpp.jid)) {
        return fail("jid", "\"" + xmpp.jid + "\" is not a bare JID (local@domain, at most 49 bytes)");
    }
    const auto password = file.lookup(section, "password");
    const auto passwordFile = file.lookup(section, "password_file");
    if (password && passwordFile) {
        return fail("password", "give password or password_file, not both");
    }
    if (passwordFile) {
        std::string why;
        if (passwordFile->empty() ||
            !readPasswordFile(resolved(*passwordFile, base), xmpp.password, why)) {
            return fail("password_file", passwordFile->empty() ? "no path" : why);
        }
    } else if (!password || password->empty()) {
        return fail("password", "missing (or give password_file)");
    } else if (password->size() > DriverConfig::kMaxPasswordBytes) {
        return fail("password", "too long");
    } else {
        xmpp.password = *password;
    }
    xmpp.server = file.lookup(section, "server").value_or("");
    for (char c : xmpp.server) {
        if (std::isspace(static_cast<unsigned char>(c)) || std::iscntrl(static_cast<unsigned char>(c))) {
            return fail("server", "\"" + xmpp.server + "\" is not a host name or address");
        }
    }
    if (const auto port = file.lookup(section, "port")) {
        const int value = profile::parseLeadingInt(*port);
        if (value < 1 || value > 65535 || std::to_string(value) != *port) {
            return fail("port", "\"" + *port + "\" is not a port number (1 to 65535)");
        }
        xmpp.port = value;
    }
    if (const auto cafile = file.lookup(section, "cafile")) {
        if (cafile->empty()) {
            return fail("cafile", "no path");
        }
        xmpp.cafile = resolved(*cafile, base);
        std::ifstream probe(xmpp.cafile);
        if (!probe) {
            return fail("cafile", "cannot read " + xmpp.cafile);
        }
    }
    std::vector<std::string> contacts;
    std::map<std::string, std::string> given;
    std::string why;
    if (!splitContacts(file.lookup(section, "contacts").value_or(""), contacts, given, why)) {
        return fail("contacts", why);
    }
    for (const auto& [contact, fingerprint] : given) {
        const auto known = fingerprints.find(lowered(contact));
        if (known != fingerprints.end() && known->second != fingerprint) {
            return fail("contacts", "contact " + contact + " is given two different fingerprints");
        }
        fingerprints[lowered(contact)] = fingerprint;
    }
    for (const std::string& contact : contacts) {
        const std::string jid = lowered(contact);
        if (!DriverConfig::isBareJid(jid)) {
            return fail("contacts", "\"" + contact + "\" is not a bare JID");
        }
        if (jid == xmpp.jid) {
            return fail("contacts", "the account cannot be its own contact");
        }
        if (std::find(xmpp.contacts.begin(), xmpp.contacts.end(), jid) == xmpp.contacts.end()) {
            xmpp.contacts.push_back(jid);
        }
    }
    return true;
}

}  // namespace

bool DriverConfig::isBareJid(std::string_view text) {
    const size_t at = text.find('@');
    if (text.empty() || text.size() > 49 || at == 0 || at == std::string_view::npos ||
        at + 1 >= text.size() || text.find('@', at + 1) != std::string_view::npos) {
        return false;
    }
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == ',' || c == ':' || c == '/' || c == '"' ||
            c == '\'' || c == '<' || c == '>' || c == '&') {
            return false;
        }
    }
    return text.back() != '.';
}

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
        account.section = handle;
        account.settings.handle = handle;
        if (file.lookup(handle, "jid")) {
            if (!parseXmpp(file, handle, baseDirectory, account.xmpp,
                           account.expectedFingerprints, error)) {
                return false;
            }
            account.settings.handle = account.xmpp.jid;
            if (!handles.insert(account.xmpp.jid).second) {
                error = "section [" + handle + "], key jid: " + account.xmpp.jid +
                        " is defined twice";
                return false;
            }
        }
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
        if (!account.xmpp.enabled &&
            !splitContacts(file.lookup(handle, "contacts").value_or(""),
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
    const bool anyXmpp = std::any_of(accounts.begin(), accounts.end(),
                                     [](const DriverAccountConfig& a) { return a.xmpp.enabled; });
    if (anyXmpp && accounts.size() > kMaxAccountsWithXmpp) {
        error = "at most " + std::to_string(kMaxAccountsWithXmpp) +
                " accounts in a file with XMPP accounts";
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
        const std::string& handle = account.section;
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
