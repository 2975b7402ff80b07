#pragma once

#include <strophe.h>

#include <functional>
#include <string>

#include "driver/XmppWire.h"
#include "platform/EventLoop.h"

// One account's connection to its XMPP server through libstrophe, run on the
// driver's own poll loop: the connection's socket is watched by the loop, and
// after each readable event the library is run until it is quiet, because it
// reads at most 4 KB a run and TLS can hold decrypted bytes inside OpenSSL
// where poll cannot see them. The library has no next-timer call, so a
// periodic tick (kTickMs) bounds how long its own time-outs and half-written
// stanzas wait.
//
// STARTTLS is required and the server's certificate verified (the system's
// store plus the account's cafile; the name checked is the JID's domain).
// The library picks SCRAM whenever the server offers it. The password is
// handed to the library only; it is never logged.
//
// The library's select() cannot watch a descriptor above 1023: such a
// connection is refused (the driver keeps its descriptor count below that).
//
// A lost or failed connection is made again after kFirstRetryMs, doubling up
// to kMaxRetryMs; a successful sign-in starts the sequence over.
//
// Single-threaded: everything on the loop's thread.
class XmppClient final : public XmppWire {
public:
    static constexpr int kTickMs = 50;
    static constexpr int kFlushDelayMs = 1;     // a stanza queued outside a run goes out this soon
    static constexpr int kFirstRetryMs = 1000;  // then doubling
    static constexpr int kMaxRetryMs = 30000;
    // Runs after the socket is empty: each takes up to 4 KB that TLS holds,
    // so this many empty a 16 KB TLS record.
    static constexpr int kQuietRuns = 5;
    static constexpr int kMaxRunsPerEvent = 256;  // then other descriptors get a turn
    static constexpr int kMaxSelectableFd = 1023;
    static constexpr int kDefaultPort = 5222;

    struct Settings {
        std::string jid;  // bare
        std::string password;
        std::string server;  // empty: the JID's domain (SRV, then the name)
        int port = 0;
        std::string cafile;
        std::string resource = "quillon-driver";
        // Tests only: no TLS at all (a scripted peer on loopback).
        bool plaintextForTests = false;
    };

    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void onSignedIn(const std::string& boundJid) = 0;
        virtual void onSignedOut(const std::string& why) = 0;
        virtual void onStanza(xmpp_stanza_t* stanza) = 0;
    };

    XmppClient(platform::EventLoop& loop, Settings settings, Listener& listener,
               std::function<void(const std::string&)> log);
    ~XmppClient() override;
    XmppClient(const XmppClient&) = delete;
    XmppClient& operator=(const XmppClient&) = delete;

    // Starts the first connection attempt.
    void start();
    bool isSignedIn() const { return signedIn; }

    void send(const std::string& xml) override;
    void drop(const std::string& why) override;

private:
    static void onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error,
                             xmpp_stream_error_t* streamError, void* userdata);
    static int onStanzaThunk(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* userdata);
    static int onSocket(xmpp_conn_t* conn, void* sock);
    static int onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg);

    void connect();
    void release();
    void watchSocket(int fd);
    void unwatchSocket();
    void pump();
    void scheduleFlush(int delayMs);
    void lost(const std::string& why);

    platform::EventLoop& loop;
    Settings settings;
    Listener& listener;
    std::function<void(const std::string&)> log;
    xmpp_log_t libraryLogger{};
    xmpp_ctx_t* ctx = nullptr;
    xmpp_conn_t* conn = nullptr;  // released only outside the library's run
    int fd = -1;
    platform::EventLoop::WatchId watch = 0;
    platform::EventLoop::TimerId tick = 0;
    platform::EventLoop::TimerId flushTimer = 0;
    platform::EventLoop::TimerId retryTimer = 0;
    int retryMs = kFirstRetryMs;
    bool running = false;  // inside xmpp_run_once
    bool signedIn = false;
    std::string dropReason;  // set by drop(): why the connection was given up
};
