#include "tcp/XR_TCPMANAGERFORFTP.h"

#include <cerrno>
#include <cstring>

#include "platform/Trace.h"

namespace {
constexpr size_t kHostBytes = 261;  // host names are cut to 260 characters
}

XR_TCPMANAGERFORFTP::XR_TCPMANAGERFORFTP(int tunnelPort) : XR_TCPMANAGER() {
    std::strcpy(name2, "XR_TCPMANAGERFORFTP");  // fixed text
    port = tunnelPort;
    initialize();
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
    char realHost[kHostBytes];
    connectHostFor(host, realHost, sizeof realHost);
    // Packets of this connection carry the tunnel port, wherever it goes.
    controlSocket->createClientSocket(port, realHost, connectPortFor(host, requestPort));
    if (controlSocket->connectClient() != 0) {
        controlSocket->startThread();
        logEvent("TCP接続: %s ポート番号=%d", host != nullptr ? host : "", port);
        return 1;
    }
    lastConnectError = controlSocket->getLastError();
    logEvent("TCP接続失敗: %s ポート番号=%d", host != nullptr ? host : "", port);
    errno = lastConnectError;
    return 0;
}

void XR_TCPMANAGERFORFTP::notifyTcpDisconnect(int requestPort) {
    if (!controlSocket) {
        return;
    }
    controlSocket->close();
    logEvent("TCP切断: ポート番号=%d", requestPort);
}

int XR_TCPMANAGERFORFTP::openDataLinkServer(int dataPort, uint32_t bindAddress) {
    if (!dataLinkSocket) {
        dataLinkSocket = std::make_unique<XR_SOCKETTCP>();
        dataLinkSocket->setControl(0);
    }
    if (dataLinkSocket->createServerSocketAnyPort(dataPort, bindAddress) == 0) {
        return -1;
    }
    dataLinkSocket->startThread();
    logEvent("データリンク待受作成: ポート番号=%d ", dataLinkSocket->getLocalPort());
    return dataLinkSocket->getLocalPort();
}

int XR_TCPMANAGERFORFTP::notifyDataLinkConnectRequest(int dataPort, const char* host) {
    platform::trace("TCPMANAMGER:notifyTcpConnectRequest:port%d\n", dataPort);  // fixed text
    if (!dataLinkSocket) {
        dataLinkSocket = std::make_unique<XR_SOCKETTCP>();
        dataLinkSocket->setControl(0);
    }
    char realHost[kHostBytes];
    connectHostFor(host, realHost, sizeof realHost);
    dataLinkSocket->createClientSocket(dataPort, realHost);
    if (dataLinkSocket->connectClient() != 0) {
        dataLinkSocket->startThread();
        logEvent("TCP接続(datalink): %s ポート番号=%d", host != nullptr ? host : "", dataPort);
        return 1;
    }
    lastConnectError = dataLinkSocket->getLastError();
    logEvent("TCP接続失敗: %s ポート番号=%d", host != nullptr ? host : "", dataPort);
    errno = lastConnectError;
    return 0;
}

void XR_TCPMANAGERFORFTP::notifyDataLinkConnectReply(int requestPort, int code) {
    platform::trace("TCPMANAGER:notifyTcpConnectReply() port:%d, repCode:%d\n", requestPort, code);
    if (!dataLinkSocket) {
        return;
    }
    const char* text = nullptr;
    if (code == 1) {
        dataLinkSocket->confirmConnection();
        text = "OK";
    } else if (code == 2) {
        dataLinkSocket->setReplyNg();
        text = "NG";
    }
    if (text != nullptr) {
        logEvent("TCP接続応答(%s): ポート番号=%d", text, dataLinkSocket->getLocalPort());
    }
}

void XR_TCPMANAGERFORFTP::notifyDataLinkDisconnect(int requestPort) {
    if (!dataLinkSocket) {
        return;
    }
    dataLinkSocket->close();
    logEvent("TCP切断: ポート番号=%d", requestPort);
}
