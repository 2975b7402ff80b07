#pragma once

#include <string>
#include <vector>

// How an account reaches contacts that this driver does not host: a messaging
// server. The hub calls it for an account that has one (DriverHub::setRemote);
// the remote side answers through the hub's remote operations. Streams are
// named by the hub's serial, unique among the driver's streams.
//
// Every call on the hub's loop thread; none of them calls back into the hub
// before returning.
class DriverRemote {
public:
    virtual ~DriverRemote() = default;

    // The applications registered by the account's attached clients changed
    // (the remote side announces them to its contacts).
    virtual void applicationsChanged(const std::vector<std::string>& applications) = 0;
    // The contacts that are online and run the application, in a stable order.
    virtual std::vector<std::string> connectable(const std::string& application) const = 0;
    // Opens a stream to peer for application. The hub hears back with
    // remoteStreamReady or remoteStreamClosed. false: cannot even try.
    virtual bool openStream(int serial, const std::string& peer,
                            const std::string& application) = 0;
    // One write of the local client, for the peer; the hub holds it as unsent
    // until remoteAcked.
    virtual void sendBlock(int serial, const std::string& data) = 0;
    // The local client read from the stream: its inbox may have room again.
    virtual void inboxHasRoom(int serial) = 0;
    // The hub closed the stream (disconnect, client gone, application deleted).
    virtual void closeStream(int serial) = 0;
};
