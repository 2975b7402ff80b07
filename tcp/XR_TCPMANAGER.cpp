#include "tcp/XR_TCPMANAGER.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Trace.h"
#include "support/CQuillonPropaty.h"
#include "support/XR_EVENTLOG.h"
#include "support/copyCut.h"

namespace {

constexpr size_t kHostBytes = 261;  // host names are cut to 260 characters

// Cuts a UTF-8 text to at most `maxBytes` bytes without splitting a
// character.
void cutAtCharacter(char* text, size_t maxBytes) {
    size_t length = std::strlen(text);
    if (length <= maxBytes) {
        return;
    }
    length = maxBytes;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80) {
        --length;  // text[length] continues a character: cut before its start
    }
    text[length] = '\0';
}

}  // namespace

XR_TCPMANAGER::XR_TCPMANAGER(int tunnelPort) : port(tunnelPort) {
    std::strcpy(name, "XR_TCPMANAGER");  // fixed text
    initialize();
}

XR_TCPMANAGER::~XR_TCPMANAGER() = default;  // the sockets stop their workers

void XR_TCPMANAGER::initialize() {
    mode = 0;
    // Forgetting a socket would leave its worker running on an object nobody
    // owns, so one still held is closed and destroyed.
    controlSocket.reset();
    dataLinkSocket.reset();
    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    mode = (settings != nullptr && settings->getAppMode() != 0) ? kModeClient : kModeServer;
}

void XR_TCPMANAGER::openServer() {
    if (mode != kModeClient) {
        return;
    }
    if (!controlSocket) {
        controlSocket = std::make_unique<XR_SOCKETTCP>();
    }
    if (controlSocket->createServerSocket(port, listenPortFor(port)) != 0) {
        controlSocket->startThread();
        logEvent("サーバソケット作成: ポート番号=%d ", port);
    } else {
        logEvent("サーバソケット作成失敗: ポート番号=%d ", port);
    }
}

void XR_TCPMANAGER::closeAndDestroy(std::unique_ptr<XR_SOCKETTCP>& socket) {
    if (!socket) {
        return;
    }
    socket->close();
    logEvent("TCP切断: ポート番号=%d", socket->getLocalPort());
    socket.reset();
}

void XR_TCPMANAGER::closeAll() {
    closeAndDestroy(controlSocket);
}

int XR_TCPMANAGER::notifyTcpConnectRequest(int, const char*) {
    return 0;
}

void XR_TCPMANAGER::notifyTcpConnectReply(int requestPort, int code) {
    passConnectReply(controlSocket.get(), requestPort, code);
}

void XR_TCPMANAGER::notifyTcpDisconnect(int) {}

int XR_TCPMANAGER::openDataLinkServer(int, uint32_t) {
    return -1;
}

int XR_TCPMANAGER::notifyDataLinkConnectRequest(int, const char*) {
    return 0;
}

void XR_TCPMANAGER::notifyDataLinkConnectReply(int, int) {}

void XR_TCPMANAGER::notifyDataLinkDisconnect(int) {}

int XR_TCPMANAGER::connectSocket(XR_SOCKETTCP& socket, const char* host, int packetPort,
                                 int connectPort) {
    char realHost[kHostBytes];
    connectHostFor(host, realHost, sizeof realHost);
    socket.createClientSocket(packetPort, realHost, connectPort);
    const char* shownHost = host != nullptr ? host : "";
    if (socket.connectClient() != 0) {
        socket.startThread();
        if (socket.isControl() != 0) {
            logEvent("TCP接続: %s ポート番号=%d", shownHost, packetPort);
        } else {
            logEvent("TCP接続(datalink): %s ポート番号=%d", shownHost, packetPort);
        }
        return 1;
    }
    lastConnectError = socket.getLastError();
    logEvent("TCP接続失敗: %s ポート番号=%d", shownHost, packetPort);
    errno = lastConnectError;
    return 0;
}

void XR_TCPMANAGER::passConnectReply(XR_SOCKETTCP* socket, int requestPort, int code) {
    platform::trace("TCPMANAGER:notifyTcpConnectReply() port:%d, repCode:%d\n", requestPort, code);
    if (socket == nullptr) {
        return;
    }
    const char* text = nullptr;
    if (code == 1) {
        socket->confirmConnection();
        text = "OK";
    } else if (code == 2) {
        socket->setReplyNg();
        text = "NG";
    }
    if (text != nullptr) {  // any other answer changes nothing, so it is not logged
        logEvent("TCP接続応答(%s): ポート番号=%d", text, socket->getLocalPort());
    }
}

void XR_TCPMANAGER::closeNow(XR_SOCKETTCP* socket, int requestPort) {
    if (socket == nullptr) {
        return;
    }
    socket->close();
    logEvent("TCP切断: ポート番号=%d", requestPort);
}

void XR_TCPMANAGER::logEvent(const char* format, ...) {
    char line[kEventLineBytes * 2];  // room to see a line that is too long
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    cutAtCharacter(line, kEventLineBytes - 1);
    writeEventLine(line);
}

void XR_TCPMANAGER::writeEventLine(const char* line) {
    XR_EVENTLOG::getInstance()->write(XR_EVENTLOG::kEvent, line);
}

int XR_TCPMANAGER::listenPortFor(int tunnelPort) {
    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    if (settings != nullptr && tunnelPort == settings->getClientPort(kSettingsType)) {
        return settings->getClientListenPort(kSettingsType);
    }
    return tunnelPort;
}

void XR_TCPMANAGER::connectHostFor(const char* host, char* realHost, size_t realHostBytes) {
    std::string chosen = host != nullptr ? host : "";
    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    if (settings != nullptr && chosen == settings->getServerHost(kSettingsType)) {
        chosen = settings->getServerConnectHost(kSettingsType);
    }
    copyCut(realHost, realHostBytes, chosen.c_str());
}

int XR_TCPMANAGER::connectPortFor(const char* host, int requestedPort) {
    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    if (settings != nullptr && host != nullptr &&
        std::strcmp(host, settings->getServerHost(kSettingsType)) == 0 &&
        requestedPort == settings->getServerPort(kSettingsType)) {
        return settings->getServerConnectPort(kSettingsType);
    }
    return requestedPort;
}
