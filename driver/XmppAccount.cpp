#include "driver/XmppAccount.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "driver/XmppText.h"

namespace {

using xmpptext::escaped;

constexpr const char* kRosterNs = "jabber:iq:roster";
constexpr const char* kDiscoInfoNs = "http://jabber.org/protocol/disco#info";
constexpr const char* kCapsNs = "http://jabber.org/protocol/caps";
constexpr const char* kPingNs = "urn:xmpp:ping";
constexpr const char* kStanzaErrorNs = "urn:ietf:params:xml:ns:xmpp-stanzas";
constexpr const char* kIdentityCategory = "client";
constexpr const char* kIdentityType = "bot";
constexpr const char* kIdentityName = "quillon-driver";

std::string attr(xmpp_stanza_t* stanza, const char* name) {
    const char* value = stanza != nullptr ? xmpp_stanza_get_attribute(stanza, name) : nullptr;
    return value != nullptr ? value : "";
}

std::string nameOf(xmpp_stanza_t* stanza) {
    const char* name = xmpp_stanza_get_name(stanza);
    return name != nullptr ? name : "";
}

// The character data of an element (all its text children).
std::string textOf(xmpp_stanza_t* element) {
    std::string text;
    if (element == nullptr) {
        return text;
    }
    for (xmpp_stanza_t* child = xmpp_stanza_get_children(element); child != nullptr;
         child = xmpp_stanza_get_next(child)) {
        if (xmpp_stanza_is_text(child)) {
            const char* part = xmpp_stanza_get_text_ptr(child);
            if (part != nullptr) {
                text += part;
            }
        }
    }
    return text;
}

// The first child element of element in namespace ns (any name).
xmpp_stanza_t* childNs(xmpp_stanza_t* element, const char* ns) {
    for (xmpp_stanza_t* child = xmpp_stanza_get_children(element); child != nullptr;
         child = xmpp_stanza_get_next(child)) {
        if (xmpp_stanza_is_tag(child)) {
            const char* childNs = xmpp_stanza_get_ns(child);
            if (childNs != nullptr && std::strcmp(childNs, ns) == 0) {
                return child;
            }
        }
    }
    return nullptr;
}

xmpp_stanza_t* childNamed(xmpp_stanza_t* element, const char* name) {
    for (xmpp_stanza_t* child = xmpp_stanza_get_children(element); child != nullptr;
         child = xmpp_stanza_get_next(child)) {
        if (xmpp_stanza_is_tag(child) && nameOf(child) == name) {
            return child;
        }
    }
    return nullptr;
}

std::string randomSid() {
    static std::random_device device;
    static const char kHex[] = "0123456789abcdef";
    std::string sid;
    for (int i = 0; i < 4; ++i) {
        uint32_t v = device();
        for (int k = 0; k < 8; ++k) {
            sid += kHex[v & 15];
            v >>= 4;
        }
    }
    return sid;
}

int rankOf(const std::string& show) {
    if (show.empty() || show == "chat") return 4;
    if (show == "away") return 3;
    if (show == "xa") return 2;
    if (show == "dnd") return 1;
    return 0;
}

const char* statusOfShow(const std::string& show) {
    switch (rankOf(show)) {
        case 4: return "ONLINE";
        case 3: return "AWAY";
        case 2: return "NA";
        case 1: return "DND";
        default: return "ONLINE";
    }
}

bool hasTo(const std::string& subscription) {
    return subscription == "to" || subscription == "both";
}

bool hasFrom(const std::string& subscription) {
    return subscription == "from" || subscription == "both";
}

}  // namespace

XmppAccount::XmppAccount(platform::EventLoop& loop, DriverHub& hub, XmppWire& wire,
                         StreamSealFactory& seals, Settings settings,
                         std::function<void(const std::string&)> log)
    : loop(loop),
      hub(hub),
      wire(wire),
      seals(seals),
      settings(std::move(settings)),
      log(std::move(log)) {
    applicationsChanged({});
}

XmppAccount::~XmppAccount() {
    if (tickTimer != 0) {
        loop.removeTimer(tickTimer);
    }
    if (deferTimer != 0) {
        loop.removeTimer(deferTimer);
    }
}

std::string XmppAccount::nextId() {
    return "q" + std::to_string(++idCounter);
}

std::string XmppAccount::sendIq(const std::string& to, const std::string& type,
                                const std::string& payload, PendingIq entry) {
    const std::string id = nextId();
    std::string xml = "<iq type='" + type + "' id='" + id + "'";
    if (!to.empty()) {
        xml += " to='" + escaped(to) + "'";
    }
    xml += ">" + payload + "</iq>";
    pending.emplace(id, std::move(entry));
    send(xml);
    return id;
}

void XmppAccount::replyResult(xmpp_stanza_t* iq, const std::string& payload) {
    std::string xml = "<iq type='result' id='" + escaped(attr(iq, "id")) + "'";
    const std::string from = attr(iq, "from");
    if (!from.empty()) {
        xml += " to='" + escaped(from) + "'";
    }
    xml += payload.empty() ? "/>" : ">" + payload + "</iq>";
    send(xml);
}

void XmppAccount::replyError(xmpp_stanza_t* iq, const char* type, const char* condition) {
    std::string xml = "<iq type='error' id='" + escaped(attr(iq, "id")) + "'";
    const std::string from = attr(iq, "from");
    if (!from.empty()) {
        xml += " to='" + escaped(from) + "'";
    }
    xml += "><error type='" + std::string(type) + "'><" + condition + " xmlns='" +
           kStanzaErrorNs + "'/></error></iq>";
    send(xml);
}

void XmppAccount::defer(std::function<void()> task) {
    deferred.push_back(std::move(task));
    if (deferTimer != 0) {
        return;
    }
    deferTimer = loop.addTimer(kDeferMs, [this] {
        loop.removeTimer(deferTimer);
        deferTimer = 0;
        std::vector<std::function<void()>> tasks;
        tasks.swap(deferred);
        for (auto& task : tasks) {
            task();
        }
    });
}

// ---- the connection ----

void XmppAccount::onSignedIn(const std::string& boundJid) {
    signedIn = true;
    rosterLoaded = false;
    fullJid = boundJid;
    const size_t at = settings.jid.find('@');
    domain = settings.jid.substr(at + 1);
    roster.clear();
    presences.clear();
    serverPingSentMs = -1;
    lastServerPingMs = now();
    if (tickTimer == 0) {
        tickTimer = loop.addTimer(kPingTickMs, [this] { onTick(); });
    }
    PendingIq entry(Kind::kRoster);
    sendIq("", "get", std::string("<query xmlns='") + kRosterNs + "'/>", entry);
}

void XmppAccount::onSignedOut(const std::string& why) {
    signedIn = false;
    rosterLoaded = false;
    streams.clear();
    pending.clear();
    peers.clear();
    presences.clear();
    roster.clear();
    if (tickTimer != 0) {
        loop.removeTimer(tickTimer);
        tickTimer = 0;
    }
    // Every stream of the account ends, its clients hear "not available".
    hub.setRemoteAvailable(settings.jid, false);
    log("contacts offline, streams ended (" + why + ")");
}

void XmppAccount::onTick() {
    if (!signedIn) {
        return;
    }
    const int64_t t = now();
    if (serverPingSentMs >= 0 && t - serverPingSentMs > kServerPingTimeoutMs) {
        serverPingSentMs = -1;
        wire.drop("the server did not answer a ping within " +
                  std::to_string(kServerPingTimeoutMs / 1000) + " s");
        return;
    }
    if (serverPingSentMs < 0 && t - lastServerPingMs >= kServerPingPeriodMs) {
        serverPingSentMs = t;
        lastServerPingMs = t;
        PendingIq entry(Kind::kServerPing);
        sendIq(domain, "get", std::string("<ping xmlns='") + kPingNs + "'/>", entry);
    }
    std::vector<std::string> silent;
    for (auto& entry : peers) {
        Liveness& peer = entry.second;
        if (t - peer.lastHeardMs > kPeerSilenceMs) {
            silent.push_back(entry.first);
        } else if (!peer.pingOut && t - peer.lastHeardMs >= kPeerPingPeriodMs) {
            peer.pingOut = true;
            PendingIq ping(Kind::kPeerPing);
            ping.peer = entry.first;
            sendIq(entry.first, "get", std::string("<ping xmlns='") + kPingNs + "'/>", ping);
        }
    }
    for (const std::string& full : silent) {
        std::vector<int> serials;
        for (const auto& s : streams) {
            if (s.second.peerFull == full) {
                serials.push_back(s.first);
            }
        }
        for (int serial : serials) {
            endStream(serial,
                      "peer " + full + " silent for " + std::to_string(kPeerSilenceMs / 1000) + " s",
                      true);
        }
        peers.erase(full);
    }
}

// ---- stanzas ----

void XmppAccount::onStanza(xmpp_stanza_t* stanza) {
    const std::string from = attr(stanza, "from");
    auto live = peers.find(from);
    if (live != peers.end()) {
        live->second.lastHeardMs = now();
    }
    const std::string name = nameOf(stanza);
    if (name == "iq") {
        onIq(stanza);
    } else if (name == "presence") {
        onPresence(stanza);
    }
}

void XmppAccount::onIq(xmpp_stanza_t* iq) {
    const std::string type = attr(iq, "type");
    if (type == "result" || type == "error") {
        onIqAnswer(iq, type == "result");
        return;
    }
    if (type != "get" && type != "set") {
        return;
    }
    const std::string from = attr(iq, "from");
    const std::string fromBare = xmpptext::bareOf(from);
    if (xmpp_stanza_t* query = childNs(iq, kRosterNs); query != nullptr && type == "set") {
        if (!from.empty() && fromBare != settings.jid) {
            replyError(iq, "cancel", "forbidden");
            return;
        }
        onRosterPush(iq, query);
        return;
    }
    if (xmpp_stanza_t* query = childNs(iq, kDiscoInfoNs); query != nullptr && type == "get") {
        onDiscoInfoGet(iq, query);
        return;
    }
    if (childNs(iq, kPingNs) != nullptr && type == "get") {
        replyResult(iq);
        return;
    }
    if (xmpp_stanza_t* ibb = childNs(iq, kIbbNs); ibb != nullptr && type == "set") {
        const std::string what = nameOf(ibb);
        if (what == "open") {
            onOpen(iq, ibb);
        } else if (what == "data") {
            onData(iq, ibb);
        } else if (what == "close") {
            onClose(iq, ibb);
        } else {
            replyError(iq, "cancel", "bad-request");
        }
        return;
    }
    replyError(iq, "cancel", "service-unavailable");
}

void XmppAccount::onIqAnswer(xmpp_stanza_t* iq, bool ok) {
    auto it = pending.find(attr(iq, "id"));
    if (it == pending.end()) {
        return;
    }
    const std::string from = attr(iq, "from");
    // An answer counts only from whom it was asked (the server answers for
    // the account itself with no from, its bare JID or its domain).
    if (!it->second.peer.empty() ? from != it->second.peer
                                 : !(from.empty() || from == domain ||
                                     xmpptext::bareOf(from) == settings.jid)) {
        return;
    }
    const PendingIq entry = it->second;
    pending.erase(it);
    switch (entry.kind) {
        case Kind::kRoster:
            onRosterResult(ok ? childNs(iq, kRosterNs) : nullptr);
            return;
        case Kind::kServerPing:
            serverPingSentMs = -1;
            return;
        case Kind::kPeerPing: {
            auto live = peers.find(entry.peer);
            if (live != peers.end()) {
                live->second.pingOut = false;
            }
            return;
        }
        case Kind::kDisco:
            if (ok) {
                onDiscoInfoResult(entry, childNs(iq, kDiscoInfoNs));
            }
            return;
        case Kind::kOpen: {
            auto s = streams.find(entry.serial);
            if (s == streams.end()) {
                return;
            }
            if (!ok) {
                log("stream to " + s->second.peerFull + " (" + s->second.application +
                    ") refused by the peer");
                forgetStream(entry.serial);
                hub.remoteStreamClosed(entry.serial, "refused by the peer");
                return;
            }
            s->second.phase = Phase::kHandshake;
            startSeal(entry.serial);
            return;
        }
        case Kind::kData:
        case Kind::kHandshake:
            if (streams.count(entry.serial) == 0) {
                return;
            }
            if (!ok) {
                endStream(entry.serial, "the peer refused a block", false);
                return;
            }
            if (entry.kind == Kind::kData) {
                hub.remoteAcked(entry.serial);
            }
            return;
        case Kind::kClose:
            return;
    }
}

// ---- roster and presence ----

void XmppAccount::applyRosterItem(xmpp_stanza_t* item) {
    const std::string jid = xmpptext::bareOf(attr(item, "jid"));
    if (jid.empty() || jid == settings.jid) {
        return;
    }
    const std::string subscription = attr(item, "subscription");
    if (subscription == "remove") {
        roster.erase(jid);
        return;
    }
    RosterItem& entry = roster[jid];
    entry.subscription = subscription.empty() ? "none" : subscription;
    entry.asked = attr(item, "ask") == "subscribe";
}

void XmppAccount::onRosterResult(xmpp_stanza_t* query) {
    if (query != nullptr) {
        for (xmpp_stanza_t* item = xmpp_stanza_get_children(query); item != nullptr;
             item = xmpp_stanza_get_next(item)) {
            if (xmpp_stanza_is_tag(item) && nameOf(item) == "item") {
                applyRosterItem(item);
            }
        }
    }
    rosterLoaded = true;
    // The configured contacts: subscribe to them, and approve theirs ahead of time.
    for (const std::string& contact : settings.contacts) {
        auto it = roster.find(contact);
        const std::string subscription = it == roster.end() ? "none" : it->second.subscription;
        if (!hasTo(subscription) && (it == roster.end() || !it->second.asked)) {
            send("<presence to='" + escaped(contact) + "' type='subscribe'/>");
        }
        if (!hasFrom(subscription)) {
            send("<presence to='" + escaped(contact) + "' type='subscribed'/>");
        }
    }
    sendPresence();
    syncContacts();
    hub.setRemoteAvailable(settings.jid, true);
}

void XmppAccount::onRosterPush(xmpp_stanza_t* iq, xmpp_stanza_t* query) {
    for (xmpp_stanza_t* item = xmpp_stanza_get_children(query); item != nullptr;
         item = xmpp_stanza_get_next(item)) {
        if (xmpp_stanza_is_tag(item) && nameOf(item) == "item") {
            applyRosterItem(item);
        }
    }
    replyResult(iq);
    if (rosterLoaded) {
        syncContacts();
    }
}

bool XmppAccount::isMutual(const std::string& bare) const {
    auto it = roster.find(bare);
    return it != roster.end() && it->second.subscription == "both";
}

bool XmppAccount::isConfiguredContact(const std::string& bare) const {
    return std::find(settings.contacts.begin(), settings.contacts.end(), bare) !=
           settings.contacts.end();
}

void XmppAccount::syncContacts() {
    std::vector<std::string> mutual;
    for (const auto& entry : roster) {
        if (entry.second.subscription == "both") {
            mutual.push_back(entry.first);
        }
    }
    for (const std::string& gone : hubContacts) {
        if (std::find(mutual.begin(), mutual.end(), gone) != mutual.end()) {
            continue;
        }
        hub.removeContact(settings.jid, gone);
        log("contact " + gone + " is no longer mutual");
        std::vector<int> serials;
        for (const auto& s : streams) {
            if (s.second.peerBare == gone) {
                serials.push_back(s.first);
            }
        }
        for (int serial : serials) {
            endStream(serial, "no longer a mutual contact", true);
        }
    }
    for (const std::string& contact : mutual) {
        if (std::find(hubContacts.begin(), hubContacts.end(), contact) == hubContacts.end()) {
            hub.addContact(settings.jid, contact);
            log("contact " + contact + " (mutual subscription)");
        }
    }
    hubContacts = mutual;
    for (const std::string& contact : mutual) {
        hub.setContactStatus(settings.jid, contact, statusOf(contact));
    }
}

std::string XmppAccount::statusOf(const std::string& bare) const {
    auto it = presences.find(bare);
    if (it == presences.end() || it->second.empty()) {
        return "OFFLINE";
    }
    int best = -1;
    std::string show;
    for (const auto& entry : it->second) {
        if (rankOf(entry.second.show) > best) {
            best = rankOf(entry.second.show);
            show = entry.second.show;
        }
    }
    return statusOfShow(show);
}

void XmppAccount::onPresence(xmpp_stanza_t* presence) {
    const std::string from = attr(presence, "from");
    const std::string bare = xmpptext::bareOf(from);
    const std::string type = attr(presence, "type");
    if (bare.empty() || bare == settings.jid) {
        return;
    }
    if (type == "subscribe") {
        if (isConfiguredContact(bare)) {
            send("<presence to='" + escaped(bare) + "' type='subscribed'/>");
            auto it = roster.find(bare);
            if (it == roster.end() || (!hasTo(it->second.subscription) && !it->second.asked)) {
                send("<presence to='" + escaped(bare) + "' type='subscribe'/>");
            }
        } else if (std::find(ignoredRequests.begin(), ignoredRequests.end(), bare) ==
                   ignoredRequests.end()) {
            if (ignoredRequests.size() < 256) {
                ignoredRequests.push_back(bare);
            }
            log("subscription request from " + bare + " left unanswered (not in contacts)");
        }
        return;
    }
    if (type == "subscribed" || type == "unsubscribe" || type == "unsubscribed" ||
        type == "probe") {
        return;  // the roster push that follows says what changed
    }
    if (from.find('/') == std::string::npos) {
        return;  // presence of an account, not of a resource
    }
    if (roster.count(bare) == 0) {
        return;  // only roster items count (and none other fills the tables)
    }
    if (type == "unavailable" || type == "error") {
        auto it = presences.find(bare);
        if (it != presences.end()) {
            it->second.erase(from);
            if (it->second.empty()) {
                presences.erase(it);
            }
        }
        std::vector<int> serials;
        for (const auto& s : streams) {
            if (s.second.peerFull == from) {
                serials.push_back(s.first);
            }
        }
        for (int serial : serials) {
            endStream(serial, "peer " + from + " went offline", false);
        }
        peers.erase(from);
    } else if (!type.empty()) {
        return;
    } else {
        auto& resources = presences[bare];
        if (resources.count(from) == 0 && resources.size() >= kMaxResourcesPerContact) {
            return;
        }
        Resource& resource = resources[from];
        resource.show = textOf(childNamed(presence, "show"));
        xmpp_stanza_t* caps = childNs(presence, kCapsNs);
        const std::string ver = attr(caps, "ver");
        if (caps == nullptr || ver.empty()) {
            resource.capsVer.clear();
            resource.featuresKnown = false;
            resource.features.clear();
        } else if (ver != resource.capsVer || !resource.featuresKnown) {
            resource.capsVer = ver;
            resource.capsHash = attr(caps, "hash");
            resource.capsNode = attr(caps, "node");
            auto cached = capsCache.find(ver);
            if (cached != capsCache.end() && resource.capsHash == "sha-1") {
                resource.features = cached->second;
                resource.featuresKnown = true;
            } else {
                resource.featuresKnown = false;
                resource.features.clear();
                const bool asked = std::any_of(pending.begin(), pending.end(), [&](const auto& p) {
                    return p.second.kind == Kind::kDisco && p.second.peer == from &&
                           p.second.ver == ver;
                });
                if (!asked) {
                    PendingIq entry(Kind::kDisco);
                    entry.peer = from;
                    entry.ver = ver;
                    entry.hash = resource.capsHash;
                    sendIq(from, "get",
                           std::string("<query xmlns='") + kDiscoInfoNs + "' node='" +
                               escaped(resource.capsNode + "#" + ver) + "'/>",
                           entry);
                }
            }
        }
    }
    if (isMutual(bare)) {
        hub.setContactStatus(settings.jid, bare, statusOf(bare));
    }
}

// ---- service discovery and capabilities ----

void XmppAccount::applicationsChanged(const std::vector<std::string>& names) {
    applications = names;
    ownFeatures = {kCapsNs, kDiscoInfoNs, kIbbNs, kPingNs};
    for (const std::string& feature : seals.announcedFeatures(settings.jid)) {
        ownFeatures.push_back(feature);
    }
    for (const std::string& name : applications) {
        ownFeatures.push_back(kFeaturePrefix + xmpptext::percentEncoded(name));
    }
    std::sort(ownFeatures.begin(), ownFeatures.end());
    ownFeatures.erase(std::unique(ownFeatures.begin(), ownFeatures.end()), ownFeatures.end());
    const std::string ver =
        xmpptext::capsVer(kIdentityCategory, kIdentityType, kIdentityName, ownFeatures);
    if (ver == ownVer) {
        return;
    }
    ownVer = ver;
    if (signedIn && rosterLoaded) {
        sendPresence();
    }
}

void XmppAccount::sendPresence() {
    const std::string& status = settings.status;
    if (status == "OFFLINE" || status == "INVISIBLE") {
        return;  // not announced: contacts see this account offline
    }
    std::string xml = "<presence>";
    if (status == "AWAY") {
        xml += "<show>away</show>";
    } else if (status == "NA") {
        xml += "<show>xa</show>";
    } else if (status == "DND") {
        xml += "<show>dnd</show>";
    } else if (status == "SKYPEME") {
        xml += "<show>chat</show>";
    }
    xml += std::string("<c xmlns='") + kCapsNs + "' hash='sha-1' node='" + kCapsNode + "' ver='" +
           escaped(ownVer) + "'/></presence>";
    send(xml);
}

void XmppAccount::onDiscoInfoGet(xmpp_stanza_t* iq, xmpp_stanza_t* query) {
    const std::string node = attr(query, "node");
    if (!node.empty() && node != std::string(kCapsNode) + "#" + ownVer) {
        replyError(iq, "cancel", "item-not-found");
        return;
    }
    std::string payload = std::string("<query xmlns='") + kDiscoInfoNs + "'";
    if (!node.empty()) {
        payload += " node='" + escaped(node) + "'";
    }
    payload += "><identity category='" + std::string(kIdentityCategory) + "' type='" +
               kIdentityType + "' name='" + kIdentityName + "'/>";
    for (const std::string& feature : ownFeatures) {
        payload += "<feature var='" + escaped(feature) + "'/>";
    }
    payload += "</query>";
    replyResult(iq, payload);
}

void XmppAccount::onDiscoInfoResult(const PendingIq& entry, xmpp_stanza_t* query) {
    if (query == nullptr) {
        return;
    }
    std::vector<std::string> features;
    std::vector<std::string> identities;
    bool hasForm = false;
    for (xmpp_stanza_t* child = xmpp_stanza_get_children(query); child != nullptr;
         child = xmpp_stanza_get_next(child)) {
        if (!xmpp_stanza_is_tag(child)) {
            continue;
        }
        const std::string name = nameOf(child);
        if (name == "feature") {
            features.push_back(attr(child, "var"));
        } else if (name == "identity") {
            identities.push_back(attr(child, "category") + "/" + attr(child, "type") + "/" +
                                 attr(child, "xml:lang") + "/" + attr(child, "name"));
        } else if (name == "x") {
            hasForm = true;
        }
    }
    // Cache by the hash only when it verifies (one identity, no extended
    // form: what a driver announces); otherwise the features serve only the
    // resource that was asked.
    bool verified = false;
    if (entry.hash == "sha-1" && !hasForm && identities.size() == 1) {
        const std::string& id = identities[0];
        const size_t a = id.find('/');
        const size_t b = id.find('/', a + 1);
        const size_t c = id.find('/', b + 1);
        if (id.substr(b + 1, c - b - 1).empty()) {
            verified = xmpptext::capsVer(id.substr(0, a), id.substr(a + 1, b - a - 1),
                                         id.substr(c + 1), features) == entry.ver;
        }
    }
    if (verified) {
        if (capsCache.size() >= kMaxCapsCacheEntries) {
            capsCache.clear();
        }
        capsCache[entry.ver] = features;
    }
    for (auto& contact : presences) {
        for (auto& resource : contact.second) {
            if (resource.second.capsVer == entry.ver &&
                (resource.first == entry.peer || (verified && resource.second.capsHash == "sha-1"))) {
                resource.second.features = features;
                resource.second.featuresKnown = true;
            }
        }
    }
}

std::string XmppAccount::resourceFor(const std::string& bare,
                                     const std::string& application) const {
    auto it = presences.find(bare);
    if (it == presences.end()) {
        return "";
    }
    const std::string feature = kFeaturePrefix + xmpptext::percentEncoded(application);
    for (const auto& entry : it->second) {
        const Resource& r = entry.second;
        if (r.featuresKnown &&
            std::find(r.features.begin(), r.features.end(), feature) != r.features.end() &&
            seals.contactUsable(settings.jid, bare, r.features)) {
            return entry.first;
        }
    }
    return "";
}

std::vector<std::string> XmppAccount::connectable(const std::string& application) const {
    std::vector<std::string> users;
    if (!signedIn) {
        return users;
    }
    for (const std::string& contact : hubContacts) {
        if (!resourceFor(contact, application).empty()) {
            users.push_back(contact);
        }
    }
    return users;
}

// ---- bytestreams ----

XmppAccount::Bytestream* XmppAccount::findStream(const std::string& peerFull,
                                                 const std::string& sid, int& serial) {
    for (auto& entry : streams) {
        if (entry.second.peerFull == peerFull && entry.second.sid == sid) {
            serial = entry.first;
            return &entry.second;
        }
    }
    return nullptr;
}

bool XmppAccount::openStream(int serial, const std::string& peer, const std::string& application) {
    if (!signedIn || !isMutual(peer)) {
        return false;
    }
    const std::string full = resourceFor(peer, application);
    if (full.empty()) {
        return false;
    }
    Bytestream stream;
    stream.sid = randomSid();
    stream.peerFull = full;
    stream.peerBare = peer;
    stream.application = application;
    stream.initiator = true;
    streams.emplace(serial, std::move(stream));
    peers.emplace(full, Liveness{now(), false});
    PendingIq entry(Kind::kOpen, serial, full);
    sendIq(full, "set",
           std::string("<open xmlns='") + kIbbNs + "' block-size='" +
               std::to_string(kBlockSizeBytes) + "' sid='" + streams.at(serial).sid +
               "' stanza='iq'><application xmlns='" + kStreamNs + "'>" +
               xmpptext::percentEncoded(application) + "</application></open>",
           entry);
    return true;
}

void XmppAccount::onOpen(xmpp_stanza_t* iq, xmpp_stanza_t* open) {
    const std::string from = attr(iq, "from");
    const std::string bare = xmpptext::bareOf(from);
    const std::string sid = attr(open, "sid");
    std::string application;
    xmpp_stanza_t* app = childNs(open, kStreamNs);
    const bool named = app != nullptr && xmpptext::percentDecoded(textOf(app), application) &&
                       !application.empty();
    int existing = 0;
    if (sid.empty() || sid.size() > 64 || from.find('/') == std::string::npos || !named ||
        (attr(open, "stanza") != "" && attr(open, "stanza") != "iq")) {
        replyError(iq, "modify", "bad-request");
        return;
    }
    if (findStream(from, sid, existing) != nullptr) {
        replyError(iq, "cancel", "conflict");
        return;
    }
    const int serial = isMutual(bare) ? hub.remoteStreamOffered(settings.jid, bare, application) : 0;
    if (serial == 0) {
        log("stream from " + from + " (" + application + ") refused: " +
            (isMutual(bare) ? "no client runs the application" : "not a mutual contact"));
        replyError(iq, "cancel", "not-acceptable");
        return;
    }
    Bytestream stream;
    stream.sid = sid;
    stream.peerFull = from;
    stream.peerBare = bare;
    stream.application = application;
    stream.initiator = false;
    stream.phase = Phase::kHandshake;
    streams.emplace(serial, std::move(stream));
    peers.emplace(from, Liveness{now(), false});
    replyResult(iq);
    startSeal(serial);
}

void XmppAccount::startSeal(int serial) {
    Bytestream& stream = streams.at(serial);
    StreamSealContext context;
    context.initiator = stream.initiator;
    context.localJid = settings.jid;
    context.peerJid = stream.peerBare;
    context.application = stream.application;
    context.sid = stream.sid;
    stream.seal = seals.create(context);
    if (!stream.seal) {
        endStream(serial, "no seal for the stream", true);
        return;
    }
    std::vector<std::string> out;
    const StreamSeal::Step step = stream.seal->start(out);
    handshakeStep(serial, step, out);
}

void XmppAccount::handshakeStep(int serial, StreamSeal::Step step, std::vector<std::string>& out) {
    auto it = streams.find(serial);
    if (it == streams.end()) {
        return;
    }
    for (const std::string& block : out) {
        if (block.size() > StreamSeal::kMaxHandshakeBlockBytes) {
            endStream(serial, "handshake block too long", true);
            return;
        }
        sendStreamBlock(serial, it->second, block, Kind::kHandshake);
    }
    if (step == StreamSeal::Step::kFailed) {
        endStream(serial, "handshake failed: " + it->second.seal->failure(), true);
        return;
    }
    if (step == StreamSeal::Step::kDone) {
        it->second.phase = Phase::kOpen;
        hub.remoteStreamReady(serial);
    }
}

void XmppAccount::sendStreamBlock(int serial, Bytestream& stream, const std::string& block,
                                  Kind kind) {
    PendingIq entry(kind, serial, stream.peerFull);
    const uint16_t seq = stream.seqOut++;
    sendIq(stream.peerFull, "set",
           std::string("<data xmlns='") + kIbbNs + "' seq='" + std::to_string(seq) + "' sid='" +
               stream.sid + "'>" + xmpptext::base64(block) + "</data>",
           entry);
}

void XmppAccount::sendBlock(int serial, const std::string& data) {
    auto it = streams.find(serial);
    if (it == streams.end() || it->second.phase != Phase::kOpen) {
        return;
    }
    std::string block;
    if (!it->second.seal->seal(data, block) ||
        block.size() > data.size() + StreamSeal::kMaxOverheadBytes) {
        const std::string why = "a write could not be sealed: " + it->second.seal->failure();
        defer([this, serial, why] {
            if (streams.count(serial) != 0) {
                endStream(serial, why, true);
            }
        });
        return;
    }
    sendStreamBlock(serial, it->second, block, Kind::kData);
}

void XmppAccount::onData(xmpp_stanza_t* iq, xmpp_stanza_t* data) {
    const std::string from = attr(iq, "from");
    int serial = 0;
    Bytestream* stream = findStream(from, attr(data, "sid"), serial);
    if (stream == nullptr || stream->phase == Phase::kOpening) {
        replyError(iq, "cancel", "item-not-found");
        return;
    }
    const std::string seqText = attr(data, "seq");
    if (seqText != std::to_string(stream->seqIn)) {
        replyError(iq, "cancel", "unexpected-request");
        endStream(serial, "block out of order", true);
        return;
    }
    ++stream->seqIn;
    const std::string text = textOf(data);
    std::string block;
    const size_t limit = stream->phase == Phase::kHandshake ? StreamSeal::kMaxHandshakeBlockBytes
                                                            : kMaxBlockBytes;
    if (text.size() > (limit + 2) / 3 * 4 || !xmpptext::unbase64(text, block)) {
        replyError(iq, "modify", "bad-request");
        endStream(serial, "malformed block", true);
        return;
    }
    if (stream->phase == Phase::kHandshake) {
        replyResult(iq);
        if (++stream->handshakeBlocksIn > StreamSeal::kMaxHandshakeBlocks) {
            endStream(serial, "too many handshake blocks", true);
            return;
        }
        std::vector<std::string> out;
        const StreamSeal::Step step = stream->seal->receiveHandshake(block, out);
        handshakeStep(serial, step, out);
        return;
    }
    std::string plain;
    const bool opened = stream->seal->open(block, plain);
    if (!opened && stream->seal->peerEnded()) {
        replyResult(iq);  // the proper end: the close follows
        return;
    }
    if (!opened || plain.empty() ||
        plain.size() > DriverCommand::kMaxWriteBytes) {
        replyError(iq, "cancel", "not-acceptable");
        endStream(serial, "a block did not open: " + stream->seal->failure(), true);
        return;
    }
    if (stream->held.empty() && hub.remoteDeliver(serial, plain)) {
        replyResult(iq);
        return;
    }
    // The reader's inbox is full: the acknowledgement waits. A peer that
    // sends past its window is broken.
    if (stream->held.size() >= DriverHub::kMaxQueuedMessages ||
        stream->heldBytes + plain.size() > DriverHub::kMaxQueuedBytes) {
        replyError(iq, "wait", "resource-constraint");
        endStream(serial, "the peer wrote past its window", true);
        return;
    }
    stream->heldBytes += plain.size();
    stream->held.push_back(HeldBlock{attr(iq, "id"), std::move(plain)});
}

void XmppAccount::inboxHasRoom(int serial) {
    auto it = streams.find(serial);
    if (it == streams.end() || it->second.held.empty()) {
        return;
    }
    defer([this, serial] { deliverHeld(serial); });
}

void XmppAccount::deliverHeld(int serial) {
    auto it = streams.find(serial);
    while (it != streams.end() && !it->second.held.empty()) {
        Bytestream& stream = it->second;
        if (!hub.remoteDeliver(serial, stream.held.front().text)) {
            return;
        }
        const HeldBlock block = std::move(stream.held.front());
        stream.held.pop_front();
        stream.heldBytes -= block.text.size();
        send("<iq type='result' id='" + escaped(block.iqId) + "' to='" + escaped(stream.peerFull) +
             "'/>");
        it = streams.find(serial);
    }
}

void XmppAccount::onClose(xmpp_stanza_t* iq, xmpp_stanza_t* close) {
    int serial = 0;
    Bytestream* stream = findStream(attr(iq, "from"), attr(close, "sid"), serial);
    if (stream == nullptr) {
        replyError(iq, "cancel", "item-not-found");
        return;
    }
    replyResult(iq);
    std::string why = "closed by the peer";
    if (stream->phase == Phase::kOpen && stream->seal && stream->seal->marksTheEnd() &&
        !stream->seal->peerEnded()) {
        why = "closed without the peer's final block (cut on the way)";
        log("stream with " + stream->peerFull + " (" + stream->application + ") ended: " + why);
    }
    forgetStream(serial);
    hub.remoteStreamClosed(serial, why);
}

void XmppAccount::closeStream(int serial) {
    auto it = streams.find(serial);
    if (it == streams.end()) {
        return;
    }
    std::string last;
    if (signedIn && it->second.phase == Phase::kOpen && it->second.seal &&
        it->second.seal->end(last)) {
        sendStreamBlock(serial, it->second, last, Kind::kData);
    }
    if (signedIn) {
        PendingIq entry(Kind::kClose, serial, it->second.peerFull);
        sendIq(it->second.peerFull, "set",
               std::string("<close xmlns='") + kIbbNs + "' sid='" + it->second.sid + "'/>", entry);
    }
    forgetStream(serial);
}

void XmppAccount::endStream(int serial, const std::string& why, bool tellPeer) {
    auto it = streams.find(serial);
    if (it == streams.end()) {
        return;
    }
    log("stream with " + it->second.peerFull + " (" + it->second.application + ") ended: " + why);
    if (tellPeer) {
        closeStream(serial);
    } else {
        forgetStream(serial);
    }
    hub.remoteStreamClosed(serial, why);
}

void XmppAccount::forgetStream(int serial) {
    auto it = streams.find(serial);
    if (it == streams.end()) {
        return;
    }
    const std::string peer = it->second.peerFull;
    streams.erase(it);
    for (auto p = pending.begin(); p != pending.end();) {
        const bool mine = p->second.serial == serial && p->second.kind != Kind::kClose;
        p = mine ? pending.erase(p) : std::next(p);
    }
    const bool stillUsed = std::any_of(streams.begin(), streams.end(),
                                       [&](const auto& s) { return s.second.peerFull == peer; });
    if (!stillUsed) {
        peers.erase(peer);
    }
}
