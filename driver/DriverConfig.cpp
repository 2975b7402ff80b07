#include "driver/DriverConfig.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

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

std::vector<std::string> splitContacts(const std::string& text) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, ',')) {
        const std::string t = trimmed(item);
        if (!t.empty() && std::find(out.begin(), out.end(), t) == out.end()) {
            out.push_back(t);
        }
    }
    return out;
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
        account.socketPath =
            (*socket)[0] == '/' || baseDirectory.empty() ? *socket : baseDirectory + "/" + *socket;
        if (!sockets.insert(account.socketPath).second) {
            error = "account " + handle + ": socket " + account.socketPath +
                    " is used by another account";
            return false;
        }
        account.settings.contacts = splitContacts(file.lookup(handle, "contacts").value_or(""));
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
