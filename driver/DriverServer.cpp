#include "driver/DriverServer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/DriverSocket.h"

namespace df = platform::driverframe;

namespace {

void logLine(const std::string& line) {
    std::fprintf(stderr, "quillon-driver: %s\n", line.c_str());
}

// Creates the missing directories of path's parent, each owner-only.
bool makeParentDirectories(const std::string& path, std::string& error) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return true;
    }
    const std::string parent = path.substr(0, slash);
    for (size_t at = 1; at <= parent.size(); ++at) {
        if (at != parent.size() && parent[at] != '/') {
            continue;
        }
        const std::string part = parent.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create directory " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// The socket's directory must be the driver user's own and closed to others:
// whoever may write there can swap the socket for one of their own, and the
// gateway's commands (an FTP client's password among them) would reach them.
bool checkSocketDirectory(const std::string& path, std::string& error) {
    const size_t slash = path.rfind('/');
    const std::string parent =
        slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/")
                                                                   : path.substr(0, slash);
    struct stat info {};
    if (::stat(parent.c_str(), &info) != 0) {
        error = "cannot inspect directory " + parent + ": " + std::strerror(errno);
        return false;
    }
    if (info.st_uid != ::getuid()) {
        error = "socket directory " + parent + " belongs to uid " + std::to_string(info.st_uid) +
                ", not to this user; choose a directory of your own";
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "socket directory " + parent +
                " is writable by other users; choose one only you can write to";
        return false;
    }
    return true;
}

}  // namespace

DriverServer::DriverServer(platform::EventLoop& loop) : loop(loop), hub(loop, *this) {}

DriverServer::~DriverServer() {
    shutdown();
}

bool DriverServer::addAccount(const DriverAccountConfig& account, std::string& error) {
    if (!hub.addAccount(account.settings, error)) {
        return false;
    }
    Listener listener;
    listener.handle = account.settings.handle;
    listener.path = account.socketPath;
    if (!listenOn(listener, error)) {
        hub.removeAccount(account.settings.handle);
        return false;
    }
    listeners.push_back(listener);
    configured[account.settings.handle] = account;
    logLine(listener.handle + ": serving " + listener.path);
    return true;
}

bool DriverServer::listenOn(Listener& listener, std::string& error) {
    const std::string& path = listener.path;
    if (path.empty() || path.size() > platform::driversocket::kMaxPathBytes) {
        error = "socket path too long (at most 107 bytes): " + path;
        return false;
    }
    if (!makeParentDirectories(path, error) || !checkSocketDirectory(path, error)) {
        return false;
    }
    listener.lockPath = path + ".lock";
    listener.lockFd = ::open(listener.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (listener.lockFd < 0) {
        error = "cannot open " + listener.lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(listener.lockFd, LOCK_EX | LOCK_NB) != 0) {
        error = "socket " + path + " is already served by another quillon-driver (" +
                listener.lockPath + " is locked); stop that driver first";
        ::close(listener.lockFd);
        listener.lockFd = -1;
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            error = path + " exists and is not a socket; not replacing it";
            ::close(listener.lockFd);
            listener.lockFd = -1;
            return false;
        }
        ::unlink(path.c_str());  // left behind by a driver that did not stop cleanly
    }
    listener.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    // The socket is the account's signed-in user: only its owner may connect.
    const mode_t oldMask = ::umask(0177);
    const int bound = listener.fd < 0 ? -1
                                      : ::bind(listener.fd, reinterpret_cast<sockaddr*>(&address),
                                               sizeof address);
    ::umask(oldMask);
    if (bound != 0 || ::chmod(path.c_str(), 0600) != 0 ||
        ::listen(listener.fd, kListenBacklog) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (listener.fd >= 0) {
            ::close(listener.fd);
            listener.fd = -1;
            if (bound == 0) {
                ::unlink(path.c_str());
            }
        }
        ::unlink(listener.lockPath.c_str());
        ::close(listener.lockFd);
        listener.lockFd = -1;
        return false;
    }
    const std::string handle = listener.handle;
    listener.watch = loop.addReadWatch(listener.fd, [this, handle] { onAccept(handle); });
    return true;
}

void DriverServer::closeListener(Listener& listener) {
    if (listener.watch != 0) {
        loop.removeWatch(listener.watch);
        listener.watch = 0;
    }
    if (listener.fd >= 0) {
        ::close(listener.fd);
        ::unlink(listener.path.c_str());
        listener.fd = -1;
    }
    if (listener.lockFd >= 0) {
        ::unlink(listener.lockPath.c_str());
        ::close(listener.lockFd);
        listener.lockFd = -1;
    }
}

void DriverServer::removeAccount(const std::string& handle) {
    for (auto it = listeners.begin(); it != listeners.end(); ++it) {
        if (it->handle == handle) {
            closeListener(*it);
            listeners.erase(it);
            break;
        }
    }
    hub.removeAccount(handle);  // drops the account's clients through dropSession
    configured.erase(handle);
    logLine(handle + ": account removed");
}

void DriverServer::reload(const DriverConfig& config) {
    std::vector<std::string> keep;
    for (const DriverAccountConfig& account : config.accounts) {
        keep.push_back(account.settings.handle);
    }
    for (const std::string& handle : hub.accountHandles()) {
        if (std::find(keep.begin(), keep.end(), handle) == keep.end()) {
            removeAccount(handle);
        }
    }
    for (const DriverAccountConfig& account : config.accounts) {
        auto old = configured.find(account.settings.handle);
        if (old == configured.end()) {
            std::string error;
            if (!addAccount(account, error)) {
                logLine("reload: " + error);
            }
            continue;
        }
        for (const std::string& contact : account.settings.contacts) {
            if (hub.addContact(account.settings.handle, contact)) {
                old->second.settings.contacts.push_back(contact);
                logLine(account.settings.handle + ": contact " + contact + " added");
            }
        }
        if (old->second.socketPath != account.socketPath ||
            old->second.settings.status != account.settings.status ||
            old->second.settings.authorize != account.settings.authorize) {
            logLine(account.settings.handle +
                    ": socket, status and authorize changes take effect after a restart");
        }
    }
}

void DriverServer::shutdown() {
    std::vector<SessionId> ids;
    for (const auto& entry : connections) {
        ids.push_back(entry.first);
    }
    for (SessionId id : ids) {
        closeConnection(id, true, "driver stopping");
    }
    for (Listener& listener : listeners) {
        closeListener(listener);
    }
    listeners.clear();
}

void DriverServer::onAccept(const std::string& handle) {
    auto it = std::find_if(listeners.begin(), listeners.end(),
                           [&](const Listener& l) { return l.handle == handle; });
    if (it == listeners.end()) {
        return;
    }
    const int fd = ::accept4(it->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    size_t clients = 0;
    for (const auto& entry : connections) {
        clients += entry.second->handle == handle ? 1 : 0;
    }
    if (clients >= kMaxClientsPerAccount) {
        logLine(handle + ": too many clients; connection refused");
        ::close(fd);
        return;
    }
    const SessionId session = hub.openSession(handle);
    if (session == 0) {
        ::close(fd);
        return;
    }
    auto connection = std::make_shared<Connection>();
    connection->fd = fd;
    connection->session = session;
    connection->handle = handle;
    connection->watch = loop.addReadWatch(fd, [this, session] { onReadable(session); });
    connections.emplace(session, connection);
}

void DriverServer::onReadable(SessionId session) {
    auto it = connections.find(session);
    if (it == connections.end()) {
        return;
    }
    // Everything this turn says (the result, the reply, the notifications to
    // this client and to its peers) leaves in one write per client at the
    // end of the turn: each client wakes once for all of it.
    held = true;
    struct Release {
        DriverServer& server;
        ~Release() { server.releaseHeldOutput(); }
    } release{*this};
    std::shared_ptr<Connection> connection = it->second;  // stays alive while we work
    char buffer[kReadChunkBytes];
    for (int turn = 0; turn < kMaxReadsPerTurn; ++turn) {
        const ssize_t got = ::recv(connection->fd, buffer, sizeof buffer, 0);
        if (got == 0) {
            closeConnection(session, true,
                            connection->reader.midFrame() ? "vanished in the middle of a frame"
                                                          : "closed the connection");
            return;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            closeConnection(session, true, std::string("read error: ") + std::strerror(errno));
            return;
        }
        size_t used = 0;
        while (used < static_cast<size_t>(got)) {
            used += connection->reader.push(buffer + used, static_cast<size_t>(got) - used);
            df::Frame frame;
            const auto result = connection->reader.next(frame);
            if (result == platform::DriverFrameReader::Result::kError) {
                closeConnection(session, true, "protocol error: " + connection->reader.errorText());
                return;
            }
            if (result == platform::DriverFrameReader::Result::kFrame) {
                handleFrame(*connection, frame);
                if (connections.count(session) == 0) {
                    return;  // closed while handling (its account was removed)
                }
            }
        }
    }
}

void DriverServer::handleFrame(Connection& connection, const df::Frame& frame) {
    switch (frame.type) {
        case df::kDiscover:
            hub.discover(connection.session);
            return;
        case df::kCopyData: {
            std::string_view text = frame.block();
            const size_t nul = text.find('\0');
            if (nul != std::string_view::npos) {
                text = text.substr(0, nul);
            }
            // Taken only from an attached client, as the real client takes
            // commands only from programs it allowed.
            const int result = hub.isAttached(connection.session) ? 1 : 0;
            queueFrame(connection, df::encodeResult(result));
            if (result != 0) {
                hub.handleCommand(connection.session, text);
            }
            return;
        }
        default:
            closeConnection(connection.session, true,
                            std::string("protocol error: a client sent frame '") + frame.type +
                                "', which only the driver sends");
            return;
    }
}

void DriverServer::sendAttach(SessionId session, int code) {
    auto it = connections.find(session);
    if (it != connections.end()) {
        queueFrame(*it->second, df::encodeAttach(code));
    }
}

void DriverServer::sendText(SessionId session, const std::string& text) {
    auto it = connections.find(session);
    if (it != connections.end()) {
        queueText(*it->second, text);
    }
}

void DriverServer::dropSession(SessionId session) {
    closeConnection(session, false, "account removed");
}

bool DriverServer::outputHasRoom(Connection& connection, size_t bytes) {
    if (connection.output.size() + bytes <= kMaxOutputBytes) {
        return true;
    }
    // It does not read what it is sent; the read side sees the shutdown
    // and closes it through the one teardown path.
    logLine(connection.handle + ": client " + std::to_string(connection.session) +
            " does not read its replies; closing it");
    connection.broken = true;
    connection.output.clear();
    ::shutdown(connection.fd, SHUT_RDWR);
    return false;
}

void DriverServer::queueFrame(Connection& connection, const std::string& frame) {
    if (connection.broken || frame.empty() || !outputHasRoom(connection, frame.size())) {
        return;
    }
    connection.output += frame;
    if (!held) {
        flush(connection);
    }
}

void DriverServer::releaseHeldOutput() {
    held = false;
    // flush may close nothing, but a timer it adds refers to the session by
    // id, so the map can be walked directly.
    for (auto& entry : connections) {
        Connection& connection = *entry.second;
        if (!connection.output.empty() && connection.flushTimer == 0) {
            flush(connection);
        }
    }
}

void DriverServer::queueText(Connection& connection, const std::string& text) {
    char header[df::kTextHeaderBytes];
    if (connection.broken || !df::encodeTextHeader(text, header)) {
        return;
    }
    const size_t total = sizeof header + text.size() + 1;
    if (!outputHasRoom(connection, total)) {
        return;
    }
    size_t sent = 0;
    if (connection.output.empty() && !held) {
        // Header, text and its NUL in one call, from where they lie.
        char nul = '\0';
        iovec parts[3] = {{header, sizeof header},
                          {const_cast<char*>(text.data()), text.size()},
                          {&nul, 1}};
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = 3;
        ssize_t wrote;
        do {
            wrote = ::sendmsg(connection.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (wrote < 0 && errno == EINTR);
        if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            connection.broken = true;  // the read side will see the hang-up
            ::shutdown(connection.fd, SHUT_RDWR);
            return;
        }
        sent = wrote > 0 ? static_cast<size_t>(wrote) : 0;
        if (sent == total) {
            return;
        }
    }
    // The rest waits in the output, in order behind what waits already.
    connection.output.reserve(connection.output.size() + total - sent);
    if (sent < sizeof header) {
        connection.output.append(header + sent, sizeof header - sent);
        sent = sizeof header;
    }
    if (sent < sizeof header + text.size()) {
        connection.output.append(text, sent - sizeof header, std::string::npos);
    }
    connection.output.push_back('\0');
    if (!held) {
        flush(connection);
    }
}

void DriverServer::flush(Connection& connection) {
    while (!connection.output.empty() && !connection.broken) {
        const ssize_t wrote = ::send(connection.fd, connection.output.data(),
                                     connection.output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote > 0) {
            connection.output.erase(0, static_cast<size_t>(wrote));
            continue;
        }
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        connection.broken = true;  // the read side will see the hang-up
        connection.output.clear();
        ::shutdown(connection.fd, SHUT_RDWR);
    }
    const bool pending = !connection.output.empty() && !connection.broken;
    if (pending && connection.flushTimer == 0) {
        const SessionId session = connection.session;
        connection.flushTimer = loop.addTimer(kFlushRetryMs, [this, session] {
            auto it = connections.find(session);
            if (it != connections.end()) {
                flush(*it->second);
            }
        });
    } else if (!pending && connection.flushTimer != 0) {
        loop.removeTimer(connection.flushTimer);
        connection.flushTimer = 0;
    }
}

void DriverServer::closeConnection(SessionId session, bool tellHub, const std::string& why) {
    auto it = connections.find(session);
    if (it == connections.end()) {
        return;
    }
    std::shared_ptr<Connection> connection = it->second;
    connections.erase(it);
    loop.removeWatch(connection->watch);
    if (connection->flushTimer != 0) {
        loop.removeTimer(connection->flushTimer);
    }
    ::close(connection->fd);
    if (tellHub) {
        hub.closeSession(session, why);  // logs the detach with the reason
    }
}
