#include "tcp/XR_TCPMANAGERFORFTP.h"

#include <cstring>

#include "platform/Trace.h"

XR_TCPMANAGERFORFTP::XR_TCPMANAGERFORFTP(int tunnelPort) : XR_TCPMANAGER(tunnelPort) {
    std::strcpy(name2, "XR_TCPMANAGERFORFTP");  // fixed text
}

void XR_TCPMANAGERFORFTP::closeAll() {
    XR_TCPMANAGER::closeAll();
    closeAndDestroy(dataLinkSocket);
}

int XR_TCPMANAGERFORFTP::notifyTcpConnectRequest(int requestPort, const char* host) {
    platform::trace("TCPMANAMGER:notifyTcpConnectRequest:port%d\n", requestPort);  // fixed text
    platform::trace("port%d client sequence start\n", port);
    if (!controlSocket) {
        platform::trace("port%d_client create start\n", port);
        controlSocket = std::make_unique<XR_SOCKETTCP>();
    }
    // Packets of this connection carry the tunnel port, wherever it goes.
    return connectSocket(*controlSocket, host, port, connectPortFor(host, requestPort));
}

void XR_TCPMANAGERFORFTP::notifyTcpDisconnect(int requestPort) {
    closeNow(controlSocket.get(), requestPort);
}

XR_SOCKETTCP& XR_TCPMANAGERFORFTP::dataLink() {
    if (!dataLinkSocket) {
        dataLinkSocket = std::make_unique<XR_SOCKETTCP>();
        dataLinkSocket->setControl(0);
    }
    return *dataLinkSocket;
}

int XR_TCPMANAGERFORFTP::openDataLinkServer(int dataPort, uint32_t bindAddress) {
    XR_SOCKETTCP& socket = dataLink();
    if (socket.createServerSocketAnyPort(dataPort, bindAddress) == 0) {
        return -1;
    }
    socket.startThread();
    logEvent("データリンク待受作成: ポート番号=%d ", socket.getLocalPort());
    return socket.getLocalPort();
}

int XR_TCPMANAGERFORFTP::notifyDataLinkConnectRequest(int dataPort, const char* host) {
    platform::trace("TCPMANAMGER:notifyTcpConnectRequest:port%d\n", dataPort);  // fixed text
    // A data link connects to the port its packets carry.
    return connectSocket(dataLink(), host, dataPort, dataPort);
}

void XR_TCPMANAGERFORFTP::notifyDataLinkConnectReply(int requestPort, int code) {
    passConnectReply(dataLinkSocket.get(), requestPort, code);
}

void XR_TCPMANAGERFORFTP::notifyDataLinkDisconnect(int requestPort) {
    closeNow(dataLinkSocket.get(), requestPort);
}
