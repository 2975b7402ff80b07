#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver/DriverConfig.h"
#include "driver/DriverHub.h"
#include "platform/DriverFrame.h"
#include "platform/EventLoop.h"

// The local way of reaching the driver's accounts: one Unix socket per
// account, created owner-only, and one connection per client. Frames come in
// through DriverFrameReader, commands go to the hub, and the hub's replies go
// back out as frames. A client that breaks the protocol (a frame over the
// limit, an unknown frame, a frame that only the driver sends) or goes away,
// even in the middle of a frame, is closed alone; the others go on.
//
// Each socket file is guarded by an exclusive lock on "<socket>.lock", so a
// second driver for the same socket is refused instead of stealing it.
//
// Single-threaded: everything on the loop's thread.
class DriverServer final : public DriverOutbox {
public:
    static constexpr int kListenBacklog = 16;
    static constexpr size_t kMaxClientsPerAccount = 32;
    static constexpr size_t kReadChunkBytes = 64 * 1024;
    static constexpr int kMaxReadsPerTurn = 8;                  // then the other clients get a turn
    static constexpr size_t kMaxOutputBytes = 8 * 1024 * 1024;  // a client that never reads
    static constexpr int kFlushRetryMs = 5;  // retry of a write that found no room

    explicit DriverServer(platform::EventLoop& loop);
    ~DriverServer() override;
    DriverServer(const DriverServer&) = delete;
    DriverServer& operator=(const DriverServer&) = delete;

    // Adds the account to the hub and starts serving its socket. On failure
    // nothing is left behind and error says why.
    bool addAccount(const DriverAccountConfig& account, std::string& error);
    // Stops serving the account, closes its clients, removes its socket.
    void removeAccount(const std::string& handle);
    // Applies a changed configuration: new accounts are served, missing ones
    // removed, contacts added to kept accounts (they hear BUDDYSTATUS 3).
    // Other changes to a kept account need a restart; they are reported.
    void reload(const DriverConfig& config);
    // Closes every client and listener and removes the socket files.
    void shutdown();

    DriverHub& getHub() { return hub; }
    size_t clientCount() const { return connections.size(); }

    void sendAttach(SessionId session, int code) override;
    void sendText(SessionId session, const std::string& text) override;
    void dropSession(SessionId session) override;

private:
    struct Listener {
        std::string handle;
        std::string path;
        std::string lockPath;
        int fd = -1;
        int lockFd = -1;
        platform::EventLoop::WatchId watch = 0;
    };
    struct Connection {
        int fd = -1;
        SessionId session = 0;
        std::string handle;
        platform::DriverFrameReader reader;
        std::string output;  // frames not yet written; at most kMaxOutputBytes
        platform::EventLoop::WatchId watch = 0;
        platform::EventLoop::TimerId flushTimer = 0;
        bool broken = false;  // writing failed; the read side closes it
    };

    bool listenOn(Listener& listener, std::string& error);
    void closeListener(Listener& listener);
    void onAccept(const std::string& handle);
    void onReadable(SessionId session);
    void handleFrame(Connection& connection, const platform::driverframe::Frame& frame);
    void queueFrame(Connection& connection, const std::string& frame);
    // Queues the text frame of `text`: written straight from `text` when
    // nothing else waits, so a notification is not copied on its way out;
    // only what the socket does not take is kept in the output.
    void queueText(Connection& connection, const std::string& text);
    // Whether `bytes` more fit the output; closes a client that does not
    // read (see queueFrame).
    bool outputHasRoom(Connection& connection, size_t bytes);
    // Ends a turn of held output: writes what every client has waiting.
    void releaseHeldOutput();
    void flush(Connection& connection);
    void closeConnection(SessionId session, bool tellHub, const std::string& why);

    platform::EventLoop& loop;
    DriverHub hub;
    std::vector<Listener> listeners;
    std::map<SessionId, std::shared_ptr<Connection>> connections;
    std::map<std::string, DriverAccountConfig> configured;
    // While a client's input is handled, output is only queued; the end of
    // the turn writes it (releaseHeldOutput).
    bool held = false;
};
