#pragma once

#include <functional>
#include <string>

#include "driver/DriverConfig.h"
#include "driver/DriverHub.h"
#include "driver/StreamSeal.h"
#include "driver/XmppAccount.h"
#include "driver/XmppClient.h"
#include "platform/EventLoop.h"

// One XMPP account of the driver: its server connection and the mapping of
// the driver's contract onto it, joined to the hub's account of the same
// handle (the bare JID). Created after the hub has the account; destroyed
// after the hub let go of it (removeAccount or shutdown), or it detaches
// itself from the hub first.
class XmppLink {
public:
    XmppLink(platform::EventLoop& loop, DriverHub& hub, StreamSealFactory& seals,
             const DriverAccountConfig& config, std::function<void(const std::string&)> log,
             bool plaintextForTests = false);
    ~XmppLink();
    XmppLink(const XmppLink&) = delete;
    XmppLink& operator=(const XmppLink&) = delete;

    void start() { client.start(); }
    XmppAccount& getAccount() { return account; }
    XmppClient& getClient() { return client; }

private:
    static XmppClient::Settings clientSettings(const DriverAccountConfig& config, bool plaintext);

    DriverHub& hub;
    std::string handle;
    // account is built first and holds a reference to client, which it uses
    // only once the connection reports a sign-in (after both exist).
    XmppAccount account;
    XmppClient client;
};
