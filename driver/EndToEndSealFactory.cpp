#include "driver/EndToEndSealFactory.h"

#include "driver/EndToEndSeal.h"

EndToEndSealFactory::EndToEndSealFactory(std::function<void(const std::string&)> log)
    : log(std::move(log)) {}

bool EndToEndSealFactory::addAccount(const DriverAccountConfig& config,
                                     const std::string& trustCommand, std::string& error) {
    const std::string& jid = config.settings.handle;
    Account account;
    if (const auto known = accounts.find(jid); known != accounts.end()) {
        account.identity = known->second.identity;  // the key does not change while running
    } else {
        auto identity = std::make_shared<Identity>();
        bool created = false;
        if (!Identity::loadOrCreate(config.identityPath, *identity, created, error)) {
            return false;
        }
        log(jid + ": " + (created ? "made a new identity key in " : "identity key from ") +
            config.identityPath + ", fingerprint " + identity->fingerprint());
        account.identity = std::move(identity);
    }
    account.trust = std::make_shared<TrustStore>(config.trustPath, jid,
                                                 config.expectedFingerprints, trustCommand);
    account.trust->setLogSink([this](const std::string& line) { log(line); });
    accounts[jid] = std::move(account);
    return true;
}

std::string EndToEndSealFactory::fingerprint(const std::string& jid) const {
    const auto it = accounts.find(jid);
    return it == accounts.end() ? std::string() : it->second.identity->fingerprint();
}

std::unique_ptr<StreamSeal> EndToEndSealFactory::create(const StreamSealContext& context) {
    const auto it = accounts.find(context.localJid);
    if (it == accounts.end() || !it->second.identity->valid()) {
        return nullptr;
    }
    const std::shared_ptr<const Identity> identity = it->second.identity;
    const std::shared_ptr<TrustStore> trust = it->second.trust;
    const std::string peer = context.peerJid;
    auto check = [trust, peer](const Identity::PublicKey& key) {
        return trust->check(peer, key) != TrustStore::Verdict::kRefused;
    };
    return std::make_unique<EndToEndSeal>(identity, *identity, context, check);
}

std::vector<std::string> EndToEndSealFactory::announcedFeatures(const std::string& localJid) {
    const auto it = accounts.find(localJid);
    if (it == accounts.end() || !it->second.identity->valid()) {
        return {};
    }
    return {kIdentityFeaturePrefix + Identity::encodeKey(it->second.identity->publicKey())};
}

bool EndToEndSealFactory::contactUsable(const std::string& localJid, const std::string& peerJid,
                                        const std::vector<std::string>& features) {
    const auto it = accounts.find(localJid);
    if (it == accounts.end()) {
        return false;
    }
    const std::string prefix = kIdentityFeaturePrefix;
    const std::string* published = nullptr;
    for (const std::string& feature : features) {
        if (feature.compare(0, prefix.size(), prefix) == 0) {
            if (published != nullptr) {
                published = nullptr;  // two keys: neither is the contact's
                break;
            }
            published = &feature;
        }
    }
    Identity::PublicKey key{};
    if (published == nullptr || !Identity::decodeKey(published->substr(prefix.size()), key)) {
        if (loggedStrangers.insert({localJid, peerJid}).second) {
            log(localJid + ": contact " + peerJid +
                " publishes no single identity key: its driver does not speak sealed streams, "
                "no stream is offered to it");
        }
        return false;
    }
    return it->second.trust->check(peerJid, key) != TrustStore::Verdict::kRefused;
}
