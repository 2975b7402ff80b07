#include "driver/XmppClient.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace {

// The library's socket and certificate call-backs carry no user data: they
// find their client through the connection.
std::map<const xmpp_conn_t*, XmppClient*>& clients() {
    static std::map<const xmpp_conn_t*, XmppClient*> registry;
    return registry;
}

// Only the library's warnings and errors reach the log: its debug output carries the raw
// stream, authentication included.
void libraryLog(void* userdata, xmpp_log_level_t level, const char* area, const char* msg) {
    if (level < XMPP_LEVEL_WARN || userdata == nullptr) {
        return;
    }
    auto* log = static_cast<std::function<void(const std::string&)>*>(userdata);
    (*log)(std::string("XMPP library: ") + area + ": " + msg);
}

const char* streamErrorName(xmpp_error_type_t type) {
    switch (type) {
        case XMPP_SE_CONFLICT: return "conflict (signed in elsewhere with the same resource)";
        case XMPP_SE_NOT_AUTHORIZED: return "not authorized";
        case XMPP_SE_SYSTEM_SHUTDOWN: return "server shutting down";
        case XMPP_SE_POLICY_VIOLATION: return "policy violation";
        case XMPP_SE_HOST_UNKNOWN: return "host unknown";
        case XMPP_SE_CONN_TIMEOUT: return "connection timed out";
        case XMPP_SE_RESOURCE_CONSTRAINT: return "resource constraint";
        default: return "stream error";
    }
}

bool initialised = false;

}  // namespace

XmppClient::XmppClient(platform::EventLoop& loop, Settings settings, Listener& listener,
                       std::function<void(const std::string&)> log)
    : loop(loop), settings(std::move(settings)), listener(listener), log(std::move(log)) {
    if (!initialised) {
        xmpp_initialize();
        initialised = true;
    }
    // Each client has its own context, so one account's run never serves another's socket.
    libraryLogger.handler = libraryLog;
    libraryLogger.userdata = &this->log;
    ctx = xmpp_ctx_new(nullptr, &libraryLogger);
}

XmppClient::~XmppClient() {
    if (tick != 0) {
        loop.removeTimer(tick);
    }
    if (flushTimer != 0) {
        loop.removeTimer(flushTimer);
    }
    if (retryTimer != 0) {
        loop.removeTimer(retryTimer);
    }
    unwatchSocket();
    release();
    if (ctx != nullptr) {
        xmpp_ctx_free(ctx);
    }
}

void XmppClient::start() {
    if (tick == 0) {
        tick = loop.addTimer(kTickMs, [this] { pump(); });
    }
    connect();
}

void XmppClient::release() {
    if (conn == nullptr) {
        return;
    }
    // Releasing a live connection makes the library report it lost; the
    // handler must not take that for a loss to recover from, so conn no
    // longer names it by then.
    xmpp_conn_t* released = conn;
    conn = nullptr;
    clients().erase(released);
    xmpp_conn_release(released);
}

void XmppClient::connect() {
    release();
    signedIn = false;
    dropReason.clear();
    conn = xmpp_conn_new(ctx);
    if (conn == nullptr) {
        lost("out of memory");
        return;
    }
    clients()[conn] = this;
    long flags = XMPP_CONN_FLAG_DISABLE_SM;
    flags |= settings.plaintextForTests ? XMPP_CONN_FLAG_DISABLE_TLS : XMPP_CONN_FLAG_MANDATORY_TLS;
    xmpp_conn_set_flags(conn, flags);
    const std::string full = settings.jid + "/" + settings.resource;
    xmpp_conn_set_jid(conn, full.c_str());
    xmpp_conn_set_pass(conn, settings.password.c_str());
    if (!settings.cafile.empty()) {
        xmpp_conn_set_cafile(conn, settings.cafile.c_str());
    }
    xmpp_conn_set_certfail_handler(conn, onCertificateFailure);
    xmpp_conn_set_sockopt_callback(conn, onSocket);
    xmpp_handler_add(conn, onStanzaThunk, nullptr, nullptr, nullptr, this);
    const std::string where =
        (settings.server.empty() ? settings.jid.substr(settings.jid.find('@') + 1)
                                 : settings.server) +
        ":" + std::to_string(settings.port != 0 ? settings.port : kDefaultPort);
    log("connecting to " + where);
    const int rc = xmpp_connect_client(conn, settings.server.empty() ? nullptr : settings.server.c_str(),
                                       static_cast<unsigned short>(settings.port), onConnection, this);
    if (rc != XMPP_EOK) {
        lost("cannot connect to " + where);
    }
}

int XmppClient::onSocket(xmpp_conn_t* conn, void* sock) {
    auto it = clients().find(conn);
    const int fd = *static_cast<int*>(sock);
    if (it == clients().end()) {
        return -1;
    }
    if (fd > kMaxSelectableFd) {
        it->second->log("connection refused: descriptor " + std::to_string(fd) +
                        " is above what the XMPP library can watch");
        return -1;
    }
    // Small stanzas (acknowledgements, pings) must not wait for the large
    // ones before them to be acknowledged by TCP.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    it->second->watchSocket(fd);
    return 0;
}

int XmppClient::onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg) {
    auto it = clients().find(xmpp_tlscert_get_conn(cert));
    if (it != clients().end()) {
        it->second->log(std::string("server certificate rejected: ") +
                        (errormsg != nullptr ? errormsg : "verification failed"));
    }
    return 0;  // never accept a certificate that does not verify
}

void XmppClient::watchSocket(int socketFd) {
    unwatchSocket();
    fd = socketFd;
    watch = loop.addReadWatch(fd, [this] { pump(); });
}

void XmppClient::unwatchSocket() {
    if (watch != 0) {
        loop.removeWatch(watch);
        watch = 0;
    }
    fd = -1;
}

void XmppClient::onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                              xmpp_stream_error_t* streamError, void* userdata) {
    auto* self = static_cast<XmppClient*>(userdata);
    if (self->conn != conn) {
        return;
    }
    if (event == XMPP_CONN_CONNECT) {
        self->signedIn = true;
        self->retryMs = kFirstRetryMs;
        const char* bound = xmpp_conn_get_bound_jid(conn);
        const std::string jid = bound != nullptr ? bound : self->settings.jid;
        self->log("signed in as " + jid +
                  (xmpp_conn_is_secured(conn) != 0 ? " (TLS, certificate verified)" : " (no TLS)"));
        self->listener.onSignedIn(jid);
        return;
    }
    if (event != XMPP_CONN_DISCONNECT && event != XMPP_CONN_FAIL) {
        return;
    }
    std::string why = self->dropReason;
    if (why.empty() && streamError != nullptr) {
        why = std::string("server: ") + streamErrorName(streamError->type);
        if (streamError->text != nullptr) {
            why += std::string(" (") + streamError->text + ")";
        }
    }
    if (why.empty() && error == ECONNABORTED && !self->signedIn &&
        !self->settings.plaintextForTests) {
        // What the library reports when the TLS handshake fails, a server
        // certificate that does not verify included.
        why = "TLS failed (the server's certificate must verify for " +
              self->settings.jid.substr(self->settings.jid.find('@') + 1) +
              " against the system store or cafile)";
    }
    if (why.empty() && error != 0) {
        why = std::strerror(error);
    }
    if (why.empty()) {
        why = self->signedIn ? "connection closed" : "connection or sign-in failed";
    }
    self->lost(why);
}

void XmppClient::lost(const std::string& why) {
    unwatchSocket();
    const bool wasSignedIn = signedIn;
    signedIn = false;
    if (retryTimer == 0) {
        log((wasSignedIn ? "signed out: " : "not signed in: ") + why + "; next attempt in " +
            std::to_string(retryMs / 1000) + " s");
        retryTimer = loop.addTimer(retryMs, [this] {
            loop.removeTimer(retryTimer);
            retryTimer = 0;
            connect();
        });
        retryMs = std::min(retryMs * 2, kMaxRetryMs);
    }
    if (wasSignedIn) {
        listener.onSignedOut(why);
    }
}

int XmppClient::onStanzaThunk(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* userdata) {
    auto* self = static_cast<XmppClient*>(userdata);
    if (self->conn == conn && self->signedIn) {
        self->listener.onStanza(stanza);
    }
    return 1;  // keep the handler
}

void XmppClient::pump() {
    if (running || conn == nullptr) {
        return;
    }
    running = true;
    int quiet = 0;
    for (int run = 0; run < kMaxRunsPerEvent && conn != nullptr; ++run) {
        xmpp_run_once(ctx, 0);
        if (fd < 0) {
            break;  // the connection ended during the run
        }
        int waiting = 0;
        if (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) {
            quiet = 0;
            continue;
        }
        if (++quiet >= kQuietRuns) {
            break;
        }
    }
    running = false;
    if (conn != nullptr && xmpp_conn_send_queue_len(conn) > 0) {
        scheduleFlush(kFlushDelayMs * 5);  // the socket was full: try again soon
    }
}

void XmppClient::scheduleFlush(int delayMs) {
    if (flushTimer != 0) {
        return;
    }
    flushTimer = loop.addTimer(delayMs, [this] {
        loop.removeTimer(flushTimer);
        flushTimer = 0;
        pump();
    });
}

void XmppClient::send(const std::string& xml) {
    if (conn == nullptr || !signedIn) {
        return;
    }
    xmpp_send_raw(conn, xml.data(), xml.size());
    if (!running) {
        scheduleFlush(kFlushDelayMs);
    }
}

void XmppClient::drop(const std::string& why) {
    if (conn == nullptr || fd < 0) {
        return;
    }
    dropReason = why;
    // The library notices the shut socket on its next run and reports the
    // connection lost, whatever the silent server does.
    ::shutdown(fd, SHUT_RDWR);
    scheduleFlush(kFlushDelayMs);
}
