#pragma once

#include <strophe.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/DriverHub.h"
#include "driver/DriverRemote.h"
#include "driver/StreamSeal.h"
#include "driver/XmppClient.h"
#include "driver/XmppWire.h"
#include "platform/EventLoop.h"

// The driver's contract for one account, mapped onto standard XMPP:
//
// - contacts are the roster items with mutual subscription; the configured
//   contacts are subscribed to, and their requests approved (also ahead of
//   time), automatically; a request from anyone else is left unanswered;
// - a contact's online status is the best of its resources' presence
//   (no show ONLINE, away AWAY, xa NA, dnd DND, none OFFLINE);
// - each application the account's clients registered is a service-discovery
//   feature of this resource, announced through entity capabilities; a
//   contact runs an application when one of its available resources
//   advertises it (disco#info asked once per capabilities hash, cached when
//   the hash verifies);
// - a stream is an in-band bytestream (IQ stanzas) to the contact's full JID,
//   accepted only from a mutual contact for an application a client of this
//   account registered. One WRITE is one data block, sealed (StreamSeal) and
//   base64-coded; the peer's driver acknowledges a block (the IQ result) once
//   it sits in the reader's inbox, and holds the acknowledgement while that
//   inbox is full, so a slow reader holds the writer back while several
//   blocks may be in flight;
// - the server is pinged every kServerPingPeriodMs and, while a stream is
//   open, the peer every kPeerPingPeriodMs; a peer silent for kPeerSilenceMs
//   loses its streams, a server silent for kServerPingTimeoutMs is dropped.
//
// It talks to the server through an XmppWire and hears from it through
// XmppClient::Listener, so tests feed it stanzas with no server.
//
// Single-threaded: everything on the loop's thread.
class XmppAccount final : public DriverRemote, public XmppClient::Listener {
public:
    static constexpr int kPingTickMs = 1000;
    static constexpr int kServerPingPeriodMs = 10000;
    static constexpr int kServerPingTimeoutMs = 10000;
    static constexpr int kPeerPingPeriodMs = 2000;
    static constexpr int kPeerSilenceMs = 7000;  // + one tick and loop delays: under 10 s
    static constexpr int kDeferMs = 1;           // work the hub must not see re-entered
    static constexpr size_t kBlockSizeBytes = 65535;  // advertised in the open request
    static constexpr size_t kMaxBlockBytes =
        DriverCommand::kMaxWriteBytes + StreamSeal::kMaxOverheadBytes;
    static constexpr size_t kMaxCapsCacheEntries = 256;
    static constexpr size_t kMaxResourcesPerContact = 16;

    static constexpr const char* kCapsNode = "urn:quillon:driver";
    static constexpr const char* kFeaturePrefix = "urn:quillon:application:";
    static constexpr const char* kStreamNs = "urn:quillon:stream";
    static constexpr const char* kIbbNs = "http://jabber.org/protocol/ibb";

    struct Settings {
        std::string jid;  // bare: the account's handle in the hub
        std::vector<std::string> contacts;
        std::string status = "ONLINE";
    };

    XmppAccount(platform::EventLoop& loop, DriverHub& hub, XmppWire& wire,
                StreamSealFactory& seals, Settings settings,
                std::function<void(const std::string&)> log);
    ~XmppAccount() override;
    XmppAccount(const XmppAccount&) = delete;
    XmppAccount& operator=(const XmppAccount&) = delete;

    // XmppClient::Listener
    void onSignedIn(const std::string& boundJid) override;
    void onSignedOut(const std::string& why) override;
    void onStanza(xmpp_stanza_t* stanza) override;

    // DriverRemote
    void applicationsChanged(const std::vector<std::string>& applications) override;
    std::vector<std::string> connectable(const std::string& application) const override;
    bool openStream(int serial, const std::string& peer, const std::string& application) override;
    void sendBlock(int serial, const std::string& data) override;
    void inboxHasRoom(int serial) override;
    void closeStream(int serial) override;

    // The capabilities hash this resource announces.
    const std::string& capsVer() const { return ownVer; }
    size_t openStreamCount() const { return streams.size(); }

private:
    struct Resource {
        std::string show;  // "" available, "away", "xa", "dnd", "chat"
        std::string capsVer;
        std::string capsHash;
        std::string capsNode;
        bool featuresKnown = false;
        std::vector<std::string> features;
    };
    struct RosterItem {
        std::string subscription = "none";
        bool asked = false;
    };
    struct HeldBlock {
        std::string iqId;
        std::string text;
    };
    enum class Phase { kOpening, kHandshake, kOpen };
    struct Bytestream {
        std::string sid;
        std::string peerFull;
        std::string peerBare;
        std::string application;
        bool initiator = false;
        Phase phase = Phase::kOpening;
        std::unique_ptr<StreamSeal> seal;
        int handshakeBlocksIn = 0;
        uint16_t seqOut = 0;  // next data block's sequence number
        uint16_t seqIn = 0;   // expected from the peer
        // Blocks taken from the peer whose acknowledgement waits for room in
        // the reader's inbox, oldest first. Bounded by the peer's window.
        std::deque<HeldBlock> held;
        size_t heldBytes = 0;
    };
    enum class Kind { kRoster, kServerPing, kPeerPing, kDisco, kOpen, kData, kHandshake, kClose };
    struct PendingIq {
        explicit PendingIq(Kind kind, int serial = 0, std::string peer = std::string())
            : kind(kind), serial(serial), peer(std::move(peer)) {}
        Kind kind;
        int serial = 0;
        std::string peer;  // the full JID asked (empty: the server)
        std::string ver;
        std::string hash;
    };
    struct Liveness {
        int64_t lastHeardMs = 0;
        bool pingOut = false;
    };

    std::string nextId();
    int64_t now() const { return loop.clock().nowMs(); }
    void send(const std::string& xml) { wire.send(xml); }
    std::string sendIq(const std::string& to, const std::string& type, const std::string& payload,
                       PendingIq pending);
    void replyResult(xmpp_stanza_t* iq, const std::string& payload = std::string());
    void replyError(xmpp_stanza_t* iq, const char* type, const char* condition);
    void defer(std::function<void()> task);

    void onIq(xmpp_stanza_t* iq);
    void onIqAnswer(xmpp_stanza_t* iq, bool ok);
    void onPresence(xmpp_stanza_t* presence);
    void onRosterResult(xmpp_stanza_t* query);
    void onRosterPush(xmpp_stanza_t* iq, xmpp_stanza_t* query);
    void applyRosterItem(xmpp_stanza_t* item);
    void onDiscoInfoGet(xmpp_stanza_t* iq, xmpp_stanza_t* query);
    void onDiscoInfoResult(const PendingIq& pending, xmpp_stanza_t* query);
    void onOpen(xmpp_stanza_t* iq, xmpp_stanza_t* open);
    void onData(xmpp_stanza_t* iq, xmpp_stanza_t* data);
    void onClose(xmpp_stanza_t* iq, xmpp_stanza_t* close);

    void sendPresence();
    void syncContacts();
    std::string statusOf(const std::string& bare) const;
    std::string resourceFor(const std::string& bare, const std::string& application) const;
    bool isMutual(const std::string& bare) const;
    bool isConfiguredContact(const std::string& bare) const;

    Bytestream* findStream(const std::string& peerFull, const std::string& sid, int& serial);
    void startSeal(int serial);
    void sendStreamBlock(int serial, Bytestream& stream, const std::string& block, Kind kind);
    void handshakeStep(int serial, StreamSeal::Step step, std::vector<std::string>& out);
    void deliverHeld(int serial);
    // Ends a stream from this side: the peer is told (tellPeer), the hub hears why.
    void endStream(int serial, const std::string& why, bool tellPeer);
    void forgetStream(int serial);
    void onTick();

    platform::EventLoop& loop;
    DriverHub& hub;
    XmppWire& wire;
    StreamSealFactory& seals;
    Settings settings;
    std::function<void(const std::string&)> log;

    bool signedIn = false;
    bool rosterLoaded = false;
    std::string fullJid;
    std::string domain;
    std::vector<std::string> applications;  // this account's clients', registered
    std::vector<std::string> ownFeatures;
    std::string ownVer;

    std::map<std::string, RosterItem> roster;                              // by bare JID
    std::map<std::string, std::map<std::string, Resource>> presences;      // bare -> full -> resource
    std::vector<std::string> hubContacts;                                  // mutual, as the hub has them
    std::map<std::string, std::vector<std::string>> capsCache;             // verified ver -> features
    std::vector<std::string> ignoredRequests;                              // logged once each
    std::map<int, Bytestream> streams;                                     // by the hub's serial
    std::map<std::string, PendingIq> pending;                              // by IQ id
    std::map<std::string, Liveness> peers;                                 // full JIDs with streams
    int64_t serverPingSentMs = -1;                                         // -1: none out
    int64_t lastServerPingMs = 0;
    uint64_t idCounter = 0;

    platform::EventLoop::TimerId tickTimer = 0;
    platform::EventLoop::TimerId deferTimer = 0;
    std::vector<std::function<void()>> deferred;
};
