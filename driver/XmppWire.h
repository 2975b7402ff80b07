#pragma once

#include <string>

// What the XMPP account mapping needs of its server connection: send one
// stanza (already serialised XML), or give the connection up (the server
// stopped answering) so it is made again. The live connection is XmppClient;
// tests record what is sent.
class XmppWire {
public:
    virtual ~XmppWire() = default;
    virtual void send(const std::string& xml) = 0;
    virtual void drop(const std::string& why) = 0;
};
