#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "driver/DriverHub.h"

// The driver's configuration file: one INI section per account, named by the
// account's handle, with
//   socket          path of the account's Unix socket (required; a relative
//                   path is taken from the configuration file's directory)
//   contacts        comma-separated handles, in the order SEARCH FRIENDS lists them
//   status          ONLINE (default), AWAY, NA, DND, INVISIBLE, OFFLINE, SKYPEME
//   authorize       allow (default), pending, refuse, unavailable
//   authorizedelay  milliseconds before a pending attach succeeds (default 3000)
//   identity        the account's identity key file for sealed streams
//                   (default <section>.identity beside the configuration file)
//   trust           the account's pinned contact keys (default <section>.trust
//                   beside the configuration file)
// A contact may carry the fingerprint its identity key must have:
// "contacts = bob@a.test#12345-67890-…"; the handle is the part before '#'.
struct DriverAccountConfig {
    DriverHub::AccountSettings settings;
    std::string socketPath;
    std::string identityPath;
    std::string trustPath;
    // Contact handle -> fingerprint in canonical form (Identity::parseFingerprint).
    std::map<std::string, std::string> expectedFingerprints;
};

struct DriverConfig {
    std::vector<DriverAccountConfig> accounts;

    // Parses the text of a configuration file; baseDirectory resolves
    // relative socket paths. On failure returns false with a message that
    // names the account and the key.
    bool parse(std::string_view text, const std::string& baseDirectory, std::string& error);
    bool load(const std::string& path, std::string& error);

    // The account of that section (case-insensitive, as the file's names
    // are), or nullptr.
    const DriverAccountConfig* find(std::string_view section) const;
};
