#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "driver/DriverCommand.h"
#include "driver/DriverRemote.h"
#include "platform/EventLoop.h"

// What the hub says to the clients. The socket server implements it; tests
// record it. Every call is made on the hub's loop thread.
class DriverOutbox {
public:
    using SessionId = int;
    virtual ~DriverOutbox() = default;
    virtual void sendAttach(SessionId session, int code) = 0;
    virtual void sendText(SessionId session, const std::string& text) = 0;
    // The hub has forgotten the session (its account was removed): close it.
    virtual void dropSession(SessionId session) = 0;
};

// The accounts, sessions, applications and streams of the driver: everything
// it knows, with no socket in sight. A session is one attached client of one
// account (the account's signed-in user). Streams link a session's
// application to an application of the same name in a session of a contact.
//
// The hub links accounts that it hosts itself. It keeps no knowledge of how a
// client reached it, so another way of reaching accounts (a messaging server)
// can sit beside the local sockets. An account with a DriverRemote reaches
// its contacts only through it: its contacts, their status, what they run and
// the far ends of its streams come from the remote side.
//
// Single-threaded: every operation on the thread of the loop it was given.
class DriverHub {
public:
    using SessionId = DriverOutbox::SessionId;

    enum class Authorize { kAllow, kPending, kRefuse, kUnavailable };

    struct AccountSettings {
        std::string handle;
        std::vector<std::string> contacts;
        std::string status = "ONLINE";
        Authorize authorize = Authorize::kAllow;
        int authorizeDelayMs = kDefaultAuthorizeDelayMs;
    };

    // The attach codes a client receives.
    static constexpr int kAttachSuccess = 0;
    static constexpr int kAttachPending = 1;
    static constexpr int kAttachRefused = 2;
    static constexpr int kAttachNotAvailable = 3;

    static constexpr int kDefaultAuthorizeDelayMs = 3000;
    // Per stream end: what its peer wrote and it has not read yet.
    static constexpr size_t kMaxQueuedMessages = 64;
    static constexpr size_t kMaxQueuedBytes = 1024 * 1024;
    // Per session, so one client cannot exhaust the driver.
    static constexpr size_t kMaxStreamsPerSession = 64;
    static constexpr size_t kMaxApplicationsPerSession = 16;
    // A write to a contact beyond the remote side is acknowledged a round
    // trip later. SENDING lists such a stream only once this many of its
    // writes wait for their acknowledgement, so a client that writes while
    // SENDING is empty keeps the link busy whatever the round trip; a slow
    // reader still holds it back, because the peer's driver acknowledges
    // only while the reader's inbox has room.
    static constexpr size_t kRemoteSendWindowWrites = 8;

    DriverHub(platform::EventLoop& loop, DriverOutbox& outbox);
    ~DriverHub();
    DriverHub(const DriverHub&) = delete;
    DriverHub& operator=(const DriverHub&) = delete;

    // Log lines (attach, detach, stream open and close); standard error by
    // default.
    void setLogSink(std::function<void(const std::string&)> sink) { log = std::move(sink); }

    // Accounts. addAccount fails (and says why) for an invalid or duplicate
    // handle, an invalid contact or status.
    bool addAccount(const AccountSettings& settings, std::string& error);
    // Closes every session of the account (peers get their new stream lists)
    // and forgets it.
    void removeAccount(const std::string& handle);
    // Adds a contact to an account; its attached sessions hear
    // "USER <contact> BUDDYSTATUS 3". Returns false when nothing was added.
    bool addContact(const std::string& handle, const std::string& contact);
    bool hasAccount(const std::string& handle) const { return accounts.count(handle) != 0; }
    std::vector<std::string> accountHandles() const;
    static bool parseAuthorize(std::string_view text, Authorize& out);

    // Sessions. A client that connects to an account's socket opens a
    // session; it is attached once discovery answered it with code 0.
    SessionId openSession(const std::string& handle);
    void discover(SessionId session);
    // why, when given, goes into the log line ("closed the connection").
    void closeSession(SessionId session, const std::string& why = std::string());
    bool isAttached(SessionId session) const;
    size_t sessionCount() const { return sessions.size(); }

    // One command line of an attached session: its reply and notifications go
    // to the outbox.
    void handleCommand(SessionId session, std::string_view line);

    size_t streamCount() const { return streams.size(); }

    // Remote accounts. setRemote makes the account reach its contacts through
    // remote (not owned; nullptr detaches it); such an account starts
    // unavailable: discovery answers "not available" until the remote side
    // signs in. Going unavailable ends every stream of the account (the remote
    // is not told: it lost them itself), forgets its contacts' status and
    // tells its attached clients "not available"; becoming available again
    // attaches them with success.
    void setRemote(const std::string& handle, DriverRemote* remote);
    void setRemoteAvailable(const std::string& handle, bool available);
    // A contact leaves the account's list (a remote contact no longer mutual).
    bool removeContact(const std::string& handle, const std::string& contact);
    // A remote contact's online status; attached clients hear
    // "USER x ONLINESTATUS s" when it changes.
    void setContactStatus(const std::string& handle, const std::string& contact,
                          const std::string& status);
    // A contact of a remote account offers a stream of application: returns
    // the stream's serial, or 0 when the account does not take it (not a
    // contact, no client running application, too many streams). The stream
    // is announced once remoteStreamReady is called.
    int remoteStreamOffered(const std::string& handle, const std::string& peer,
                            const std::string& application);
    void remoteStreamReady(int serial);
    // The remote side ended the stream (peer closed, refused, went silent).
    void remoteStreamClosed(int serial, const std::string& why);
    // One write of the peer for the local client. false: the local end's
    // inbox has no room (nothing taken; offer it again after inboxHasRoom).
    bool remoteDeliver(int serial, const std::string& data);
    // The peer took the oldest unacknowledged write of the local client.
    void remoteAcked(int serial);

private:
    enum class SessionState { kOpen, kPending, kAttached, kRefused, kUnavailable };
    struct Session {
        std::string account;
        SessionState state = SessionState::kOpen;
        std::vector<std::string> applications;  // in creation order
        platform::EventLoop::TimerId authorizeTimer = 0;
    };
    struct Account {
        AccountSettings settings;
        int nextStreamId = 1;  // the ids this account sees, for the driver's life
        DriverRemote* remote = nullptr;  // set: contacts are reached through it
        bool remoteAvailable = false;    // the remote side is signed in
        std::map<std::string, std::string> contactStatus;  // remote contacts' status
    };
    struct StreamEnd {
        SessionId session = 0;
        std::string account;
        int id = 0;                     // the id this end knows the stream by
        // Written by the other end, not yet read. On the far end of a remote
        // stream (session 0): the local client's writes the peer has not
        // acknowledged yet.
        std::deque<std::string> inbox;
        size_t inboxBytes = 0;
    };
    struct Stream {
        int serial = 0;  // unique among the driver's streams
        std::string application;
        StreamEnd ends[2];  // [0] opened it
        bool remote = false;    // one end (session 0) is a contact beyond the remote side
        bool announced = true;  // listed in STREAMS (a remote stream once ready)
    };

    void reply(SessionId session, const std::string& text) { outbox.sendText(session, text); }
    void attachNow(SessionId session);
    void announcePresence(const std::string& handle);
    bool isOnline(const std::string& handle) const;
    std::string visibleStatus(const std::string& handle) const;
    // The status of user as the clients of account asker see it.
    std::string statusFor(const std::string& asker, const std::string& user) const;
    DriverRemote* remoteOf(const std::string& handle) const;
    void notifyApplications(const std::string& handle);
    Stream* findSerial(int serial);
    static int localEnd(const Stream& stream) { return stream.ends[0].session != 0 ? 0 : 1; }
    // Whether from may address to: both hosted, not the same, and each in the
    // other's contacts, as the messaging network links only mutual contacts.
    bool canReach(const std::string& from, const std::string& to) const;
    bool hasApplication(const Session& session, const std::string& name) const;
    SessionId findServingSession(const std::string& handle, const std::string& application) const;

    // The stream and the index of the end that session holds, for the key
    // "peer:id" as that session sees it.
    Stream* findStream(SessionId session, const std::string& application, const std::string& peer,
                       int id, int& end);
    std::string keyOf(const Stream& stream, int end) const;
    std::string streamsLine(SessionId session, const std::string& application) const;
    // The two queue lists of a client's streams: its own writes the peer has
    // not taken yet (SENDING), and the peer's writes it has not read yet
    // (RECEIVED).
    enum class Queue { kSending, kReceived };
    std::string queueLine(SessionId session, const std::string& application, Queue which) const;
    // The lists removeStreams may owe a client, in the order it sends them.
    enum class ListKind { kStreams, kSending, kReceived };
    std::string listLine(SessionId session, const std::string& application, ListKind which) const;
    void removeStreams(const std::function<bool(const Stream&)>& which, const char* why);

    // The steps of handleCommand, one per command; each replies itself.
    void searchFriends(SessionId session);
    void getUser(SessionId session, const DriverCommand& command);
    void getConnectable(SessionId session, const std::string& application);
    // The contacts of account that run application, those beyond the remote
    // side first.
    std::vector<std::string> connectableContacts(const std::string& account,
                                                 const std::string& application) const;
    void createApplication(SessionId session, const std::string& application);
    void deleteApplication(SessionId session, const std::string& application);
    void alterApplication(SessionId session, DriverCommand& command, std::string_view line);
    void disconnect(SessionId session, const DriverCommand& command);
    void connect(SessionId session, const DriverCommand& command, const std::string& line);
    void connectRemote(SessionId session, DriverRemote& remote, const DriverCommand& command,
                       const std::string& line);
    // Takes the command's text into the peer's inbox.
    void write(SessionId session, DriverCommand& command);
    void read(SessionId session, const DriverCommand& command);

    platform::EventLoop& loop;
    DriverOutbox& outbox;
    std::function<void(const std::string&)> log;
    std::map<std::string, Account> accounts;
    std::vector<std::string> accountOrder;
    std::map<SessionId, Session> sessions;
    std::vector<Stream> streams;  // in the order they were opened
    SessionId nextSession = 1;
    int nextStreamSerial = 1;
    bool closingFromRemote = false;  // removeStreams does not tell the remote side
};
