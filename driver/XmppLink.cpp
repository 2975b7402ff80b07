#include "driver/XmppLink.h"

XmppLink::XmppLink(platform::EventLoop& loop, DriverHub& hub, StreamSealFactory& seals,
                   const DriverAccountConfig& config, std::function<void(const std::string&)> log,
                   bool plaintextForTests)
    : hub(hub),
      handle(config.xmpp.jid),
      account(loop, hub, client, seals,
              XmppAccount::Settings{config.xmpp.jid, config.xmpp.contacts, config.settings.status},
              log),
      client(loop, clientSettings(config, plaintextForTests), account, log) {
    hub.setRemote(handle, &account);
}

XmppLink::~XmppLink() {
    if (hub.hasAccount(handle)) {
        hub.setRemoteAvailable(handle, false);
        hub.setRemote(handle, nullptr);
    }
}

XmppClient::Settings XmppLink::clientSettings(const DriverAccountConfig& config, bool plaintext) {
    XmppClient::Settings settings;
    settings.jid = config.xmpp.jid;
    settings.password = config.xmpp.password;
    settings.server = config.xmpp.server;
    settings.port = config.xmpp.port;
    settings.cafile = config.xmpp.cafile;
    settings.plaintextForTests = plaintext;
    return settings;
}
