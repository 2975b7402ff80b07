#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/DriverConfig.h"
#include "driver/Identity.h"
#include "driver/StreamSeal.h"
#include "driver/TrustStore.h"

// The seals of every XMPP account of the driver: each account's identity
// key (made on its first start) and its pinned contact keys. An account
// publishes its public key as a service-discovery feature of its resource,
//   urn:quillon:identity:1:<key, URL-safe base64 without padding>
// which entity capabilities announce with its applications; a contact whose
// resources publish no key does not speak sealed streams and is never
// offered a stream, and one whose key is refused by the account's trust
// store stays visible but not connectable.
//
// Single-threaded: every call on the driver's loop thread.
class EndToEndSealFactory final : public StreamSealFactory {
public:
    static constexpr const char* kIdentityFeaturePrefix = "urn:quillon:identity:1:";

    // log receives lines that name the account they concern.
    explicit EndToEndSealFactory(std::function<void(const std::string&)> log);

    // Loads (or makes, owner-only) the account's identity and opens its
    // trust store; trustCommand is what the refusal log line tells the user
    // to run. Again for an account it has: the identity is kept, the trust
    // store follows the new configuration (expected fingerprints).
    bool addAccount(const DriverAccountConfig& account, const std::string& trustCommand,
                    std::string& error);
    bool hasAccount(const std::string& jid) const { return accounts.count(jid) != 0; }
    std::string fingerprint(const std::string& jid) const;

    std::unique_ptr<StreamSeal> create(const StreamSealContext& context) override;
    std::vector<std::string> announcedFeatures(const std::string& localJid) override;
    bool contactUsable(const std::string& localJid, const std::string& peerJid,
                       const std::vector<std::string>& features) override;

private:
    // Shared with the seals made for the account, so a reload that
    // replaces the trust store leaves the streams in progress intact.
    struct Account {
        std::shared_ptr<const Identity> identity;
        std::shared_ptr<TrustStore> trust;
    };

    std::function<void(const std::string&)> log;
    std::map<std::string, Account> accounts;  // by bare JID
    // Contacts already logged as not speaking sealed streams (account, contact).
    std::set<std::pair<std::string, std::string>> loggedStrangers;
};
