#pragma once

#include <cstdint>
#include <memory>

#include "tcp/XR_SOCKETTCP.h"

// The stream's only way to the TCP side. It owns at most a control socket
// (the tunnel's TCP connection) and, in the FTP specialisation, a data-link
// socket (the current FTP data connection), and turns the stream's events
// into socket operations: listen, connect when the peer asks, pass the peer's
// answer to the waiting worker, close on the peer's disconnect. Every step
// writes one event line to the event log.
//
// The ten operations keep this slot order in both classes; the stream calls
// them through it. The base class implements initialize, openServer, the
// control-socket part of closeAll and notifyTcpConnectReply; its versions of
// the others do nothing (they are never called on a base object).
//
// Where this machine really listens and connects: the settings may move the
// Client's listener off the tunnel port (getClientListenPort) and the
// Server's target (getServerConnectHost / getServerConnectPort). The manager
// applies them when it is handed the configured values (the tunnel port to
// listen on, the configured server host and port to connect to); packets
// keep carrying the tunnel port, so peers interoperate.
//
// Threads: GUI thread only (the stream's timer and receive dispatch). The
// workers it starts run on their own threads; the manager reaches them only
// through close and the reply setters. closeAll, the disconnects and every
// set-up wait until the socket's previous worker has ended.
class XR_TCPMANAGER {
public:
    static constexpr size_t kEventLineBytes = 100;  // at most 99 characters and a NUL
    static constexpr int kModeClient = 2;           // listens for the local TCP client
    static constexpr int kModeServer = 1;           // only connects out
    static constexpr int kSettingsType = 0;  // the application index the settings are read for

    explicit XR_TCPMANAGER(int port);

    // Slot 0: sets mode from the settings. Sockets still held are closed
    // and destroyed (none exist when it runs from a constructor).
    virtual void initialize();
    // Slot 1: in Client mode listens on the tunnel port and starts its worker.
    virtual void openServer();
    // Slot 2: closes and destroys the control socket (then, in the FTP
    // manager, the data-link socket), each with a "TCP切断" line.
    virtual void closeAll();
    // Slot 3: connects the control socket to host:port; 1 when connected.
    // On failure getLastConnectError() (and errno) hold the socket error.
    virtual int notifyTcpConnectRequest(int port, const char* host);
    // Slot 4: the peer's answer (1 OK, 2 NG) to this side's connect request.
    virtual void notifyTcpConnectReply(int port, int code);
    // Slot 5: closes the control socket at once (its listener too).
    virtual void notifyTcpDisconnect(int port);
    // Slot 6: a data-link listener on a free port of `bindAddress` (IPv4,
    // network byte order; 0 = every interface) whose packets carry `port`;
    // returns the port listened on, or -1.
    virtual int openDataLinkServer(int port, uint32_t bindAddress = 0);
    // Slot 7: connects the data-link socket to host:port; 1 when connected.
    virtual int notifyDataLinkConnectRequest(int port, const char* host);
    // Slot 8: the peer's answer to this side's data-link connect request.
    virtual void notifyDataLinkConnectReply(int port, int code);
    // Slot 9: closes the data-link socket at once.
    virtual void notifyDataLinkDisconnect(int port);

    virtual ~XR_TCPMANAGER();

    XR_TCPMANAGER(const XR_TCPMANAGER&) = delete;
    XR_TCPMANAGER& operator=(const XR_TCPMANAGER&) = delete;

    // Either may be null. Owned by the manager; valid until closeAll,
    // initialize or destruction.
    XR_SOCKETTCP* getControlSocket() const { return controlSocket.get(); }
    XR_SOCKETTCP* getDataLinkSocket() const { return dataLinkSocket.get(); }
    int getMode() const { return mode; }
    int getPort() const { return port; }
    // The socket error of the last connect request that failed (0 before any).
    int getLastConnectError() const { return lastConnectError; }

protected:
    // Formats one event line (cut to 99 characters on a character boundary)
    // and hands it to writeEventLine.
    void logEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Hands a formatted line to the event log at the event level. Tests
    // override it to see the lines the switched-off log would drop.
    virtual void writeEventLine(const char* line);

    // The port to listen on for the tunnel port `tunnelPort`.
    static int listenPortFor(int tunnelPort);
    // The host to connect to for a requested host: the configured server
    // host means the settings' connect host. Written into `realHost` (cut to
    // realHostBytes - 1 characters).
    static void connectHostFor(const char* host, char* realHost, size_t realHostBytes);
    // The port to connect to for a requested control target: the configured
    // server port on the configured host means the settings' connect port.
    static int connectPortFor(const char* host, int port);
    // Closes, logs and destroys one socket (closeAll's step).
    void closeAndDestroy(std::unique_ptr<XR_SOCKETTCP>& socket);

    // The steps the control socket and the data-link socket share; each
    // takes the socket it works on.
    //
    // Connects `socket` to `host` (the configured server host means the
    // settings' connect host) port `connectPort`, its packets carrying
    // `packetPort`, and starts its worker; logs the outcome (a data-link
    // socket's success line says so). 1 when connected; 0 with
    // lastConnectError and errno holding the socket error.
    int connectSocket(XR_SOCKETTCP& socket, const char* host, int packetPort, int connectPort);
    // Hands the peer's answer (1 OK, 2 NG) to `socket`'s waiting worker;
    // any other answer changes nothing. Null: only traced.
    void passConnectReply(XR_SOCKETTCP* socket, int requestPort, int code);
    // Closes `socket` at once (its listener too); null: nothing.
    void closeNow(XR_SOCKETTCP* socket, int requestPort);

    char name[14];  // fixed text: class-name tag, never read
    int port = 0;
    std::unique_ptr<XR_SOCKETTCP> controlSocket;
    std::unique_ptr<XR_SOCKETTCP> dataLinkSocket;
    int mode = 0;
    int lastConnectError = 0;
};
