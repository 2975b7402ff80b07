#include "driver/DriverHub.h"

#include <algorithm>
#include <cstdio>

namespace {

using Kind = DriverCommand::Kind;

const char* const kStatuses[] = {"ONLINE", "AWAY", "NA", "DND", "INVISIBLE", "OFFLINE", "SKYPEME"};

bool isKnownStatus(std::string_view status) {
    return std::find(std::begin(kStatuses), std::end(kStatuses), status) != std::end(kStatuses);
}

void logToStderr(const std::string& line) {
    std::fprintf(stderr, "quillon-driver: %s\n", line.c_str());
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) {
            out += separator;
        }
        out += item;
    }
    return out;
}

}  // namespace

DriverHub::DriverHub(platform::EventLoop& loop, DriverOutbox& outbox)
    : loop(loop), outbox(outbox), log(logToStderr) {}

DriverHub::~DriverHub() {
    for (auto& entry : sessions) {
        if (entry.second.authorizeTimer != 0) {
            loop.removeTimer(entry.second.authorizeTimer);
        }
    }
}

bool DriverHub::parseAuthorize(std::string_view text, Authorize& out) {
    if (text.empty() || text == "allow") {
        out = Authorize::kAllow;
    } else if (text == "pending") {
        out = Authorize::kPending;
    } else if (text == "refuse") {
        out = Authorize::kRefuse;
    } else if (text == "unavailable") {
        out = Authorize::kUnavailable;
    } else {
        return false;
    }
    return true;
}

bool DriverHub::addAccount(const AccountSettings& settings, std::string& error) {
    if (!isValidHandle(settings.handle)) {
        error = "invalid account handle \"" + settings.handle +
                "\" (1 to 49 bytes, no blank, ',' or ':')";
        return false;
    }
    if (accounts.count(settings.handle) != 0) {
        error = "account " + settings.handle + " is defined twice";
        return false;
    }
    for (const std::string& contact : settings.contacts) {
        if (!isValidHandle(contact)) {
            error = "account " + settings.handle + ": invalid contact \"" + contact + "\"";
            return false;
        }
    }
    if (!isKnownStatus(settings.status)) {
        error = "account " + settings.handle + ": unknown status \"" + settings.status + "\"";
        return false;
    }
    Account account;
    account.settings = settings;
    account.settings.authorizeDelayMs = std::max(settings.authorizeDelayMs, 1);
    accounts.emplace(settings.handle, std::move(account));
    accountOrder.push_back(settings.handle);
    return true;
}

std::vector<std::string> DriverHub::accountHandles() const {
    return accountOrder;
}

void DriverHub::removeAccount(const std::string& handle) {
    if (accounts.count(handle) == 0) {
        return;
    }
    std::vector<SessionId> ids;
    for (const auto& entry : sessions) {
        if (entry.second.account == handle) {
            ids.push_back(entry.first);
        }
    }
    for (SessionId id : ids) {
        closeSession(id, "account removed");
        outbox.dropSession(id);
    }
    accounts.erase(handle);
    std::erase(accountOrder, handle);
}

bool DriverHub::addContact(const std::string& handle, const std::string& contact) {
    auto it = accounts.find(handle);
    if (it == accounts.end() || !isValidHandle(contact)) {
        return false;
    }
    std::vector<std::string>& contacts = it->second.settings.contacts;
    if (std::find(contacts.begin(), contacts.end(), contact) != contacts.end()) {
        return false;
    }
    contacts.push_back(contact);
    for (const auto& entry : sessions) {
        if (entry.second.account == handle && entry.second.state == SessionState::kAttached) {
            reply(entry.first, "USER " + contact + " BUDDYSTATUS 3");
        }
    }
    return true;
}

DriverHub::SessionId DriverHub::openSession(const std::string& handle) {
    if (accounts.count(handle) == 0) {
        return 0;
    }
    const SessionId id = nextSession++;
    Session session;
    session.account = handle;
    sessions.emplace(id, std::move(session));
    return id;
}

bool DriverHub::isAttached(SessionId session) const {
    auto it = sessions.find(session);
    return it != sessions.end() && it->second.state == SessionState::kAttached;
}

void DriverHub::discover(SessionId id) {
    auto it = sessions.find(id);
    if (it == sessions.end()) {
        return;
    }
    Session& session = it->second;
    const AccountSettings& settings = accounts.at(session.account).settings;
    if (session.state == SessionState::kAttached) {
        outbox.sendAttach(id, kAttachSuccess);
        return;
    }
    const Account& account = accounts.at(session.account);
    if (account.remote != nullptr && !account.remoteAvailable) {
        if (session.state != SessionState::kUnavailable) {
            log(session.account + ": client " + std::to_string(id) +
                " told: not available (not signed in)");
        }
        session.state = SessionState::kUnavailable;
        outbox.sendAttach(id, kAttachNotAvailable);
        return;
    }
    switch (settings.authorize) {
        case Authorize::kAllow:
            attachNow(id);
            return;
        case Authorize::kPending:
            if (session.state != SessionState::kPending) {
                session.state = SessionState::kPending;
                session.authorizeTimer = loop.addTimer(settings.authorizeDelayMs, [this, id] {
                    auto found = sessions.find(id);
                    if (found == sessions.end()) {
                        return;
                    }
                    loop.removeTimer(found->second.authorizeTimer);
                    found->second.authorizeTimer = 0;
                    attachNow(id);
                });
                log(session.account + ": client " + std::to_string(id) +
                    " waits for authorization");
            }
            outbox.sendAttach(id, kAttachPending);
            return;
        case Authorize::kRefuse:
            if (session.state != SessionState::kRefused) {
                log(session.account + ": client " + std::to_string(id) + " refused");
            }
            session.state = SessionState::kRefused;
            outbox.sendAttach(id, kAttachRefused);
            return;
        case Authorize::kUnavailable:
            if (session.state != SessionState::kUnavailable) {
                log(session.account + ": client " + std::to_string(id) + " told: not available");
            }
            session.state = SessionState::kUnavailable;
            outbox.sendAttach(id, kAttachNotAvailable);
            return;
    }
}

void DriverHub::attachNow(SessionId id) {
    Session& session = sessions.at(id);
    const bool wasOnline = isOnline(session.account);
    session.state = SessionState::kAttached;
    log(session.account + ": client " + std::to_string(id) + " attached");
    outbox.sendAttach(id, kAttachSuccess);
    const std::string handle = session.account;
    if (!wasOnline && isOnline(handle)) {
        announcePresence(handle);
    }
    notifyApplications(handle);
}

void DriverHub::closeSession(SessionId id, const std::string& why) {
    auto it = sessions.find(id);
    if (it == sessions.end()) {
        return;
    }
    const std::string account = it->second.account;
    const bool wasOnline = isOnline(account);
    const bool wasAttached = it->second.state == SessionState::kAttached;
    // The leaving client hears nothing more; its peers hear of its streams.
    it->second.state = SessionState::kOpen;
    removeStreams(
        [id](const Stream& s) { return s.ends[0].session == id || s.ends[1].session == id; },
        "client detached");
    it = sessions.find(id);
    if (it->second.authorizeTimer != 0) {
        loop.removeTimer(it->second.authorizeTimer);
    }
    sessions.erase(it);
    log(account + ": client " + std::to_string(id) + (wasAttached ? " detached" : " went away") +
        (why.empty() ? "" : " (" + why + ")"));
    if (wasOnline && !isOnline(account)) {
        announcePresence(account);
    }
    notifyApplications(account);
}

DriverRemote* DriverHub::remoteOf(const std::string& handle) const {
    auto it = accounts.find(handle);
    return it == accounts.end() ? nullptr : it->second.remote;
}

void DriverHub::notifyApplications(const std::string& handle) {
    DriverRemote* remote = remoteOf(handle);
    if (remote == nullptr) {
        return;
    }
    std::vector<std::string> names;
    for (const auto& entry : sessions) {
        if (entry.second.account != handle || entry.second.state != SessionState::kAttached) {
            continue;
        }
        for (const std::string& name : entry.second.applications) {
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                names.push_back(name);
            }
        }
    }
    remote->applicationsChanged(names);
}

DriverHub::Stream* DriverHub::findSerial(int serial) {
    for (Stream& stream : streams) {
        if (stream.serial == serial) {
            return &stream;
        }
    }
    return nullptr;
}

void DriverHub::setRemote(const std::string& handle, DriverRemote* remote) {
    auto it = accounts.find(handle);
    if (it == accounts.end()) {
        return;
    }
    it->second.remote = remote;
    it->second.remoteAvailable = false;
    it->second.settings.contacts.clear();
    it->second.contactStatus.clear();
}

void DriverHub::setRemoteAvailable(const std::string& handle, bool available) {
    auto it = accounts.find(handle);
    if (it == accounts.end() || it->second.remote == nullptr ||
        it->second.remoteAvailable == available) {
        return;
    }
    it->second.remoteAvailable = available;
    std::vector<SessionId> ids;
    for (const auto& entry : sessions) {
        if (entry.second.account == handle) {
            ids.push_back(entry.first);
        }
    }
    if (!available) {
        closingFromRemote = true;
        removeStreams(
            [&handle](const Stream& s) {
                return s.remote && s.ends[localEnd(s)].account == handle;
            },
            "signed out");
        closingFromRemote = false;
        accounts.at(handle).contactStatus.clear();
        for (SessionId id : ids) {
            Session& session = sessions.at(id);
            if (session.state != SessionState::kAttached && session.state != SessionState::kPending) {
                continue;
            }
            if (session.authorizeTimer != 0) {
                loop.removeTimer(session.authorizeTimer);
                session.authorizeTimer = 0;
            }
            session.state = SessionState::kUnavailable;
            // A client told "not available" registers its applications anew
            // once it is attached again; keeping the old ones would answer
            // that CREATE with a duplicate error.
            session.applications.clear();
            log(handle + ": client " + std::to_string(id) + " told: not available (signed out)");
            outbox.sendAttach(id, kAttachNotAvailable);
        }
        return;
    }
    // Signed in again: the clients that were told "not available" attach.
    for (SessionId id : ids) {
        auto found = sessions.find(id);
        if (found != sessions.end() && found->second.state == SessionState::kUnavailable) {
            found->second.state = SessionState::kOpen;
            discover(id);
        }
    }
}

bool DriverHub::removeContact(const std::string& handle, const std::string& contact) {
    auto it = accounts.find(handle);
    if (it == accounts.end()) {
        return false;
    }
    std::vector<std::string>& contacts = it->second.settings.contacts;
    if (std::find(contacts.begin(), contacts.end(), contact) == contacts.end()) {
        return false;
    }
    std::erase(contacts, contact);
    it->second.contactStatus.erase(contact);
    return true;
}

void DriverHub::setContactStatus(const std::string& handle, const std::string& contact,
                                 const std::string& status) {
    auto it = accounts.find(handle);
    if (it == accounts.end() || it->second.remote == nullptr) {
        return;
    }
    const std::string before = statusFor(handle, contact);
    it->second.contactStatus[contact] = status;
    const std::string after = statusFor(handle, contact);
    if (before == after) {
        return;
    }
    for (const auto& entry : sessions) {
        if (entry.second.account == handle && entry.second.state == SessionState::kAttached) {
            reply(entry.first, "USER " + contact + " ONLINESTATUS " + after);
        }
    }
}

int DriverHub::remoteStreamOffered(const std::string& handle, const std::string& peer,
                                   const std::string& application) {
    auto it = accounts.find(handle);
    if (it == accounts.end() || it->second.remote == nullptr || !it->second.remoteAvailable) {
        return 0;
    }
    const auto& contacts = it->second.settings.contacts;
    if (std::find(contacts.begin(), contacts.end(), peer) == contacts.end()) {
        return 0;
    }
    const SessionId session = findServingSession(handle, application);
    if (session == 0) {
        return 0;
    }
    size_t count = 0;
    for (const Stream& s : streams) {
        for (const StreamEnd& e : s.ends) {
            count += e.session == session ? 1 : 0;
        }
    }
    if (count >= kMaxStreamsPerSession) {
        return 0;
    }
    Stream stream;
    stream.serial = nextStreamSerial++;
    stream.application = application;
    stream.remote = true;
    stream.announced = false;
    stream.ends[0].account = peer;
    stream.ends[1].session = session;
    stream.ends[1].account = handle;
    streams.push_back(std::move(stream));
    return streams.back().serial;
}

void DriverHub::remoteStreamReady(int serial) {
    Stream* stream = findSerial(serial);
    if (stream == nullptr || stream->announced) {
        return;
    }
    const int e = localEnd(*stream);
    StreamEnd& local = stream->ends[e];
    local.id = accounts.at(local.account).nextStreamId++;
    stream->announced = true;
    log("stream opened: " + stream->application + ", " + local.account + " (" +
        keyOf(*stream, e) + ") - " + stream->ends[1 - e].account + " (through the server, " +
        (e == 0 ? "opened here" : "opened there") + ")");
    reply(local.session, streamsLine(local.session, stream->application));
}

void DriverHub::remoteStreamClosed(int serial, const std::string& why) {
    closingFromRemote = true;
    removeStreams([serial](const Stream& s) { return s.serial == serial; }, why.c_str());
    closingFromRemote = false;
}

bool DriverHub::remoteDeliver(int serial, const std::string& data) {
    Stream* stream = findSerial(serial);
    if (stream == nullptr || !stream->announced) {
        return false;
    }
    StreamEnd& local = stream->ends[localEnd(*stream)];
    if (local.inbox.size() >= kMaxQueuedMessages ||
        local.inboxBytes + data.size() > kMaxQueuedBytes) {
        return false;
    }
    local.inbox.push_back(data);
    local.inboxBytes += data.size();
    reply(local.session, queueLine(local.session, stream->application, Queue::kReceived));
    return true;
}

void DriverHub::remoteAcked(int serial) {
    Stream* stream = findSerial(serial);
    if (stream == nullptr) {
        return;
    }
    const int e = localEnd(*stream);
    StreamEnd& far = stream->ends[1 - e];
    if (far.inbox.empty()) {
        return;
    }
    far.inboxBytes -= far.inbox.front().size();
    far.inbox.pop_front();
    const SessionId session = stream->ends[e].session;
    reply(session, queueLine(session, stream->application, Queue::kSending));
}

bool DriverHub::isOnline(const std::string& handle) const {
    auto it = accounts.find(handle);
    if (it == accounts.end()) {
        return false;
    }
    const std::string& status = it->second.settings.status;
    if (status == "OFFLINE" || status == "INVISIBLE") {
        return false;
    }
    for (const auto& entry : sessions) {
        if (entry.second.account == handle && entry.second.state == SessionState::kAttached) {
            return true;
        }
    }
    return false;
}

std::string DriverHub::statusFor(const std::string& asker, const std::string& user) const {
    auto it = accounts.find(asker);
    if (it == accounts.end() || it->second.remote == nullptr) {
        return visibleStatus(user);
    }
    const auto& contacts = it->second.settings.contacts;
    if (std::find(contacts.begin(), contacts.end(), user) == contacts.end()) {
        return "UNKNOWN";
    }
    auto status = it->second.contactStatus.find(user);
    return status == it->second.contactStatus.end() ? "OFFLINE" : status->second;
}

std::string DriverHub::visibleStatus(const std::string& handle) const {
    auto it = accounts.find(handle);
    if (it == accounts.end()) {
        return "UNKNOWN";
    }
    return isOnline(handle) ? it->second.settings.status : "OFFLINE";
}

void DriverHub::announcePresence(const std::string& handle) {
    if (remoteOf(handle) != nullptr) {
        return;  // its contacts hear of it through the remote side
    }
    const std::string line = "USER " + handle + " ONLINESTATUS " + visibleStatus(handle);
    for (const auto& entry : sessions) {
        if (entry.second.state != SessionState::kAttached || entry.second.account == handle ||
            remoteOf(entry.second.account) != nullptr) {
            continue;
        }
        const auto& contacts = accounts.at(entry.second.account).settings.contacts;
        if (std::find(contacts.begin(), contacts.end(), handle) != contacts.end()) {
            reply(entry.first, line);
        }
    }
}

bool DriverHub::canReach(const std::string& from, const std::string& to) const {
    auto ia = accounts.find(from);
    auto ib = accounts.find(to);
    if (from == to || ia == accounts.end() || ib == accounts.end()) {
        return false;
    }
    const auto& mine = ia->second.settings.contacts;
    const auto& theirs = ib->second.settings.contacts;
    return std::find(mine.begin(), mine.end(), to) != mine.end() &&
           std::find(theirs.begin(), theirs.end(), from) != theirs.end();
}

bool DriverHub::hasApplication(const Session& session, const std::string& name) const {
    return std::find(session.applications.begin(), session.applications.end(), name) !=
           session.applications.end();
}

DriverHub::SessionId DriverHub::findServingSession(const std::string& handle,
                                                   const std::string& application) const {
    for (const auto& entry : sessions) {
        if (entry.second.account == handle && entry.second.state == SessionState::kAttached &&
            hasApplication(entry.second, application)) {
            return entry.first;
        }
    }
    return 0;
}

DriverHub::Stream* DriverHub::findStream(SessionId session, const std::string& application,
                                         const std::string& peer, int id, int& end) {
    for (Stream& stream : streams) {
        if (stream.application != application || !stream.announced) {
            continue;
        }
        for (int e = 0; e < 2; ++e) {
            if (stream.ends[e].session == session && stream.ends[e].id == id &&
                stream.ends[1 - e].account == peer) {
                end = e;
                return &stream;
            }
        }
    }
    return nullptr;
}

std::string DriverHub::keyOf(const Stream& stream, int end) const {
    return stream.ends[1 - end].account + ":" + std::to_string(stream.ends[end].id);
}

std::string DriverHub::streamsLine(SessionId session, const std::string& application) const {
    std::vector<std::string> keys;
    for (const Stream& stream : streams) {
        for (int e = 0; e < 2; ++e) {
            if (stream.application == application && stream.announced &&
                stream.ends[e].session == session) {
                keys.push_back(keyOf(stream, e));
            }
        }
    }
    std::string line = "APPLICATION " + application + " STREAMS";
    if (!keys.empty()) {
        line += " " + joined(keys, " ");
    }
    return line;
}

std::string DriverHub::queueLine(SessionId session, const std::string& application,
                                 Queue which) const {
    const bool sending = which == Queue::kSending;
    std::vector<std::string> entries;
    for (const Stream& stream : streams) {
        for (int e = 0; e < 2; ++e) {
            if (stream.application != application || !stream.announced ||
                stream.ends[e].session != session) {
                continue;
            }
            const StreamEnd& holder = sending ? stream.ends[1 - e] : stream.ends[e];
            const size_t listedFrom = sending && stream.remote ? kRemoteSendWindowWrites : 1;
            if (holder.inbox.size() >= listedFrom) {
                entries.push_back(keyOf(stream, e) + "=" + std::to_string(holder.inboxBytes));
            }
        }
    }
    std::string line = "APPLICATION " + application + (sending ? " SENDING" : " RECEIVED");
    if (!entries.empty()) {
        line += " " + joined(entries, " ");
    }
    return line;
}

std::string DriverHub::listLine(SessionId session, const std::string& application,
                                ListKind which) const {
    if (which == ListKind::kStreams) {
        return streamsLine(session, application);
    }
    return queueLine(session, application,
                     which == ListKind::kSending ? Queue::kSending : Queue::kReceived);
}

void DriverHub::removeStreams(const std::function<bool(const Stream&)>& which, const char* why) {
    struct Refresh {
        SessionId session;
        std::string application;
        ListKind kind;
        bool operator==(const Refresh&) const = default;
    };
    std::vector<Refresh> refresh;
    std::vector<std::pair<DriverRemote*, int>> tellRemote;
    auto want = [&refresh](Refresh r) {
        if (std::find(refresh.begin(), refresh.end(), r) == refresh.end()) {
            refresh.push_back(std::move(r));
        }
    };
    for (const Stream& stream : streams) {
        if (!which(stream)) {
            continue;
        }
        if (stream.remote && !closingFromRemote) {
            if (DriverRemote* remote = remoteOf(stream.ends[localEnd(stream)].account)) {
                tellRemote.emplace_back(remote, stream.serial);
            }
        }
        if (!stream.announced) {
            // Never listed: only the client that asked for it hears that it
            // did not come about (its list, unchanged).
            if (stream.ends[0].session != 0) {
                want({stream.ends[0].session, stream.application, ListKind::kStreams});
            }
            continue;
        }
        if (stream.remote) {
            const int e = localEnd(stream);
            log("stream closed (" + std::string(why) + "): " + stream.application + ", " +
                stream.ends[e].account + " (" + keyOf(stream, e) + ") - " +
                stream.ends[1 - e].account + " (through the server)");
        } else {
            log("stream closed (" + std::string(why) + "): " + stream.application + ", " +
                stream.ends[0].account + " (" + keyOf(stream, 0) + ") - " +
                stream.ends[1].account + " (" + keyOf(stream, 1) + ")");
        }
        for (int e = 0; e < 2; ++e) {
            want({stream.ends[e].session, stream.application, ListKind::kStreams});
        }
        for (int e = 0; e < 2; ++e) {
            if (!stream.ends[e].inbox.empty()) {
                want({stream.ends[1 - e].session, stream.application, ListKind::kSending});
                want({stream.ends[e].session, stream.application, ListKind::kReceived});
            }
        }
    }
    std::erase_if(streams, which);
    for (const auto& entry : tellRemote) {
        entry.first->closeStream(entry.second);
    }
    std::stable_sort(refresh.begin(), refresh.end(),
                     [](const Refresh& a, const Refresh& b) { return a.kind < b.kind; });
    for (const Refresh& r : refresh) {
        auto it = sessions.find(r.session);
        if (it == sessions.end() || it->second.state != SessionState::kAttached) {
            continue;
        }
        reply(r.session, listLine(r.session, r.application, r.kind));
    }
}

void DriverHub::handleCommand(SessionId id, std::string_view line) {
    auto it = sessions.find(id);
    if (it == sessions.end() || it->second.state != SessionState::kAttached) {
        return;
    }
    const std::string& me = it->second.account;
    DriverCommand command = parseCommand(line);
    switch (command.kind) {
        case Kind::kError:
            reply(id, command.errorReply());
            return;
        case Kind::kPing:
            reply(id, "PONG");
            return;
        case Kind::kSearchFriends:
            searchFriends(id);
            return;
        case Kind::kGetCurrentUserHandle:
            reply(id, "CURRENTUSERHANDLE " + me);
            return;
        case Kind::kGetUserStatus:
            reply(id, "USERSTATUS " + accounts.at(me).settings.status);
            return;
        case Kind::kGetUser:
            getUser(id, command);
            return;
        case Kind::kGetConnectable:
            getConnectable(id, command.application);
            return;
        case Kind::kCreateApplication:
            createApplication(id, command.application);
            return;
        case Kind::kDeleteApplication:
            deleteApplication(id, command.application);
            return;
        default:
            alterApplication(id, command, line);
            return;
    }
}

void DriverHub::searchFriends(SessionId id) {
    const AccountSettings& settings = accounts.at(sessions.at(id).account).settings;
    std::string text = "USERS";
    if (!settings.contacts.empty()) {
        text += " " + joined(settings.contacts, ", ");
    }
    reply(id, text);
}

void DriverHub::getUser(SessionId id, const DriverCommand& command) {
    const std::string& me = sessions.at(id).account;
    if (command.property == "ONLINESTATUS") {
        reply(id, "USER " + command.user + " ONLINESTATUS " + statusFor(me, command.user));
        return;
    }
    // The parser lets only ONLINESTATUS and BUDDYSTATUS through.
    const std::vector<std::string>& contacts = accounts.at(me).settings.contacts;
    const bool listed = std::find(contacts.begin(), contacts.end(), command.user) != contacts.end();
    reply(id, "USER " + command.user + " BUDDYSTATUS " + (listed ? "3" : "1"));
}

void DriverHub::getConnectable(SessionId id, const std::string& app) {
    const std::vector<std::string> users = connectableContacts(sessions.at(id).account, app);
    std::string text = "APPLICATION " + app + " CONNECTABLE";
    if (!users.empty()) {
        text += " " + joined(users, " ");
    }
    reply(id, text);
}

std::vector<std::string> DriverHub::connectableContacts(const std::string& me,
                                                        const std::string& app) const {
    const std::vector<std::string>& contacts = accounts.at(me).settings.contacts;
    auto isContact = [&contacts](const std::string& user) {
        return std::find(contacts.begin(), contacts.end(), user) != contacts.end();
    };
    std::vector<std::string> users;
    if (DriverRemote* remote = remoteOf(me)) {
        // The remote side may know of users that are no longer (or not yet)
        // contacts here; only contacts are offered.
        for (const std::string& contact : remote->connectable(app)) {
            if (isContact(contact)) {
                users.push_back(contact);
            }
        }
    }
    for (const std::string& contact : contacts) {
        if (canReach(me, contact) && isOnline(contact) && findServingSession(contact, app) != 0 &&
            std::find(users.begin(), users.end(), contact) == users.end()) {
            users.push_back(contact);
        }
    }
    return users;
}

void DriverHub::createApplication(SessionId id, const std::string& app) {
    Session& session = sessions.at(id);
    if (hasApplication(session, app)) {
        reply(id, "ERROR 541 CREATE APPLICATION: application already exists");
        return;
    }
    if (session.applications.size() >= kMaxApplicationsPerSession) {
        reply(id, "ERROR 540 CREATE APPLICATION: too many applications");
        return;
    }
    session.applications.push_back(app);
    reply(id, "CREATE APPLICATION " + app);
    notifyApplications(session.account);
}

void DriverHub::deleteApplication(SessionId id, const std::string& app) {
    const std::string me = sessions.at(id).account;
    if (!hasApplication(sessions.at(id), app)) {
        reply(id, "ERROR 542 DELETE APPLICATION: unknown application");
        return;
    }
    // The reply comes before the STREAMS lists the closing streams cause.
    reply(id, "DELETE APPLICATION " + app);
    removeStreams(
        [id, app](const Stream& s) {
            return s.application == app && (s.ends[0].session == id || s.ends[1].session == id);
        },
        "application deleted");
    std::erase(sessions.at(id).applications, app);
    notifyApplications(me);
}

void DriverHub::alterApplication(SessionId id, DriverCommand& command, std::string_view line) {
    // Only on an application this client created.
    if (!hasApplication(sessions.at(id), command.application)) {
        reply(id, "ERROR 542 ALTER APPLICATION: unknown application");
        return;
    }
    switch (command.kind) {
        case Kind::kConnect:
            connect(id, command, std::string(line));
            return;
        case Kind::kDisconnect:
            disconnect(id, command);
            return;
        case Kind::kWrite:
            write(id, command);
            return;
        case Kind::kRead:
            read(id, command);
            return;
        default:
            reply(id, "ERROR 2 Unknown command");
            return;
    }
}

void DriverHub::disconnect(SessionId id, const DriverCommand& command) {
    const std::string me = sessions.at(id).account;
    const std::string& app = command.application;
    int end = 0;
    Stream* stream = findStream(id, app, command.user, command.streamId, end);
    if (stream == nullptr) {
        reply(id, "ERROR 548 ALTER APPLICATION DISCONNECT: unknown stream");
        return;
    }
    // Matched by serial: removeStreams erases from the vector stream points into.
    const int serial = stream->serial;
    reply(id, "ALTER APPLICATION " + app + " DISCONNECT " + command.user + ":" +
                  std::to_string(command.streamId));
    removeStreams([serial](const Stream& s) { return s.serial == serial; },
                  ("disconnect by " + me).c_str());
}

void DriverHub::connect(SessionId id, const DriverCommand& command, const std::string& line) {
    const std::string me = sessions.at(id).account;
    const std::string& app = command.application;
    const std::string& peer = command.user;
    if (DriverRemote* remote = remoteOf(me)) {
        connectRemote(id, *remote, command, line);
        return;
    }
    const SessionId peerSession =
        canReach(me, peer) && isOnline(peer) ? findServingSession(peer, app) : 0;
    if (peerSession == 0) {
        reply(id, "ERROR 547 ALTER APPLICATION CONNECT: " + peer +
                      " is not an online contact running " + app);
        return;
    }
    size_t mine = 0;
    size_t theirs = 0;
    for (const Stream& s : streams) {
        for (const StreamEnd& e : s.ends) {
            mine += e.session == id ? 1 : 0;
            theirs += e.session == peerSession ? 1 : 0;
        }
    }
    if (mine >= kMaxStreamsPerSession || theirs >= kMaxStreamsPerSession) {
        reply(id, "ERROR 547 ALTER APPLICATION CONNECT: too many streams");
        return;
    }
    Stream stream;
    stream.serial = nextStreamSerial++;
    stream.application = app;
    stream.ends[0].session = id;
    stream.ends[0].account = me;
    stream.ends[0].id = accounts.at(me).nextStreamId++;
    stream.ends[1].session = peerSession;
    stream.ends[1].account = peer;
    stream.ends[1].id = accounts.at(peer).nextStreamId++;
    streams.push_back(std::move(stream));
    const Stream& added = streams.back();
    log("stream opened: " + app + ", " + me + " (" + keyOf(added, 0) + ") - " + peer + " (" +
        keyOf(added, 1) + ")");
    reply(id, line);
    reply(id, "APPLICATION " + app + " CONNECTING " + peer);
    reply(id, streamsLine(id, app));
    reply(peerSession, streamsLine(peerSession, app));
}

void DriverHub::write(SessionId id, DriverCommand& command) {
    const std::string& app = command.application;
    int end = 0;
    Stream* stream = findStream(id, app, command.user, command.streamId, end);
    if (stream == nullptr) {
        reply(id, "ERROR 549 ALTER APPLICATION WRITE: unknown stream");
        return;
    }
    StreamEnd& peer = stream->ends[1 - end];
    if (peer.inbox.size() >= kMaxQueuedMessages ||
        peer.inboxBytes + command.text.size() > kMaxQueuedBytes) {
        reply(id, "ERROR 552 ALTER APPLICATION WRITE: stream buffer full");
        return;
    }
    peer.inboxBytes += command.text.size();
    peer.inbox.push_back(std::move(command.text));
    const SessionId peerSession = peer.session;
    const bool remote = stream->remote;
    const int serial = stream->serial;
    reply(id, "ALTER APPLICATION " + app + " WRITE " + command.user + ":" +
                  std::to_string(command.streamId));
    reply(id, queueLine(id, app, Queue::kSending));
    if (remote) {
        if (DriverRemote* link = remoteOf(sessions.at(id).account)) {
            link->sendBlock(serial, peer.inbox.back());
        }
        return;
    }
    reply(peerSession, queueLine(peerSession, app, Queue::kReceived));
}

void DriverHub::read(SessionId id, const DriverCommand& command) {
    const std::string& app = command.application;
    int end = 0;
    Stream* stream = findStream(id, app, command.user, command.streamId, end);
    if (stream == nullptr) {
        reply(id, "ERROR 550 ALTER APPLICATION READ: unknown stream");
        return;
    }
    StreamEnd& own = stream->ends[end];
    std::string head = "ALTER APPLICATION " + app + " READ " + command.user + ":" +
                       std::to_string(command.streamId);
    if (own.inbox.empty()) {
        reply(id, head);
        return;
    }
    std::string message = std::move(own.inbox.front());
    own.inbox.pop_front();
    own.inboxBytes -= message.size();
    const SessionId writer = stream->ends[1 - end].session;
    const bool remote = stream->remote;
    const int serial = stream->serial;
    head.reserve(head.size() + 1 + message.size());
    head += ' ';
    head += message;
    reply(id, head);
    reply(id, queueLine(id, app, Queue::kReceived));
    if (remote) {
        if (DriverRemote* link = remoteOf(sessions.at(id).account)) {
            link->inboxHasRoom(serial);
        }
        return;
    }
    reply(writer, queueLine(writer, app, Queue::kSending));
}

void DriverHub::connectRemote(SessionId id, DriverRemote& remote, const DriverCommand& command,
                              const std::string& line) {
    const std::string me = sessions.at(id).account;
    const std::string& app = command.application;
    const std::string& peer = command.user;
    const auto& contacts = accounts.at(me).settings.contacts;
    const std::vector<std::string> running = remote.connectable(app);
    if (std::find(contacts.begin(), contacts.end(), peer) == contacts.end() ||
        std::find(running.begin(), running.end(), peer) == running.end()) {
        reply(id, "ERROR 547 ALTER APPLICATION CONNECT: " + peer +
                      " is not an online contact running " + app);
        return;
    }
    size_t mine = 0;
    for (const Stream& s : streams) {
        for (const StreamEnd& e : s.ends) {
            mine += e.session == id ? 1 : 0;
        }
    }
    if (mine >= kMaxStreamsPerSession) {
        reply(id, "ERROR 547 ALTER APPLICATION CONNECT: too many streams");
        return;
    }
    Stream stream;
    stream.serial = nextStreamSerial++;
    stream.application = app;
    stream.remote = true;
    stream.announced = false;
    stream.ends[0].session = id;
    stream.ends[0].account = me;
    stream.ends[1].account = peer;
    const int serial = stream.serial;
    streams.push_back(std::move(stream));
    if (!remote.openStream(serial, peer, app)) {
        std::erase_if(streams, [serial](const Stream& s) { return s.serial == serial; });
        reply(id, "ERROR 547 ALTER APPLICATION CONNECT: " + peer + " cannot be reached");
        return;
    }
    // The stream is listed once the peer's driver took it.
    reply(id, line);
    reply(id, "APPLICATION " + app + " CONNECTING " + peer);
}
