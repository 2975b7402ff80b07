#pragma once

#include "tcp/XR_TCPMANAGER.h"

// The FTP tunnel's manager (tunnel port 21) with the data-link socket: the
// manager of every stream. One control socket serves the tunnel port; one
// data-link socket serves whichever FTP data connection is current and is set
// up again (its previous worker stopped first) for each new one.
//
// Threads: GUI thread only, as its base.
class XR_TCPMANAGERFORFTP : public XR_TCPMANAGER {
public:
    static constexpr int kFtpPort = 21;

    explicit XR_TCPMANAGERFORFTP(int port);
    ~XR_TCPMANAGERFORFTP() override = default;

    void closeAll() override;
    int notifyTcpConnectRequest(int port, const char* host) override;
    void notifyTcpDisconnect(int port) override;
    int openDataLinkServer(int port, uint32_t bindAddress = 0) override;
    int notifyDataLinkConnectRequest(int port, const char* host) override;
    void notifyDataLinkConnectReply(int port, int code) override;
    void notifyDataLinkDisconnect(int port) override;

private:
    // The data-link socket, created (as a data-link socket) on first use.
    XR_SOCKETTCP& dataLink();

    char name2[20];  // fixed text: class-name tag, never read
};
