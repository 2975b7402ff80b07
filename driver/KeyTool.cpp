#include "driver/KeyTool.h"

#include "driver/DriverConfig.h"
#include "driver/Identity.h"
#include "driver/TrustStore.h"

namespace {

const DriverAccountConfig* findAccount(const DriverConfig& config, const std::string& configPath,
                                       const std::string& section, FILE* err) {
    const DriverAccountConfig* account = config.find(section);
    if (account == nullptr) {
        std::fprintf(err, "quillon-driver: %s: no account [%s]\n", configPath.c_str(),
                     section.c_str());
    }
    return account;
}

}  // namespace

std::string KeyTool::trustCommand(const std::string& configPath, const std::string& section) {
    return "quillon-driver --trust " + configPath + " " + section;
}

int KeyTool::printFingerprint(const std::string& configPath, const std::string& section,
                              FILE* out, FILE* err) {
    DriverConfig config;
    std::string error;
    if (!config.load(configPath, error)) {
        std::fprintf(err, "quillon-driver: %s\n", error.c_str());
        return 1;
    }
    const DriverAccountConfig* account = findAccount(config, configPath, section, err);
    if (account == nullptr) {
        return 1;
    }
    Identity identity;
    bool created = false;
    if (!Identity::loadOrCreate(account->identityPath, identity, created, error)) {
        std::fprintf(err, "quillon-driver: account %s: %s\n", account->settings.handle.c_str(),
                     error.c_str());
        return 1;
    }
    if (created) {
        std::fprintf(err, "quillon-driver: account %s: made a new identity key in %s\n",
                     account->settings.handle.c_str(), account->identityPath.c_str());
    }
    std::fprintf(out, "%s\n", identity.fingerprint().c_str());
    return 0;
}

int KeyTool::trust(const std::string& configPath, const std::string& section,
                   const std::string& contact, FILE* out, FILE* err) {
    DriverConfig config;
    std::string error;
    if (!config.load(configPath, error)) {
        std::fprintf(err, "quillon-driver: %s\n", error.c_str());
        return 1;
    }
    const DriverAccountConfig* account = findAccount(config, configPath, section, err);
    if (account == nullptr) {
        return 1;
    }
    std::string message;
    if (!TrustStore::trustOffered(account->trustPath, contact, account->expectedFingerprints,
                                  message)) {
        std::fprintf(err, "quillon-driver: account %s: %s\n", account->settings.handle.c_str(),
                     message.c_str());
        return 1;
    }
    std::fprintf(out, "account %s: %s\n", account->settings.handle.c_str(), message.c_str());
    return 0;
}
