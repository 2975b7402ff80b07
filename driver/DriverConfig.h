#pragma once

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
struct DriverAccountConfig {
    DriverHub::AccountSettings settings;
    std::string socketPath;
};

struct DriverConfig {
    std::vector<DriverAccountConfig> accounts;

    // Parses the text of a configuration file; baseDirectory resolves
    // relative socket paths. On failure returns false with a message that
    // names the account and the key.
    bool parse(std::string_view text, const std::string& baseDirectory, std::string& error);
    bool load(const std::string& path, std::string& error);
};
