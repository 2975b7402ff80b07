#include "tunnel/XR_SKYPESTREAM.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/CounterLog.h"
#include "platform/EventLoop.h"
#include "platform/Trace.h"
#include "skype/XR_SKYPECOM.h"
#include "support/CQuillonPropaty.h"
#include "support/copyCut.h"
#include "tcp/TunnelPacket.h"
#include "tcp/XR_SOCKETTCP.h"
#include "tcp/XR_TCPMANAGERFORFTP.h"
#include "tunnel/eventLine.h"
#include "tunnel/rewriteFtpControl.h"

namespace {

constexpr int kKeyChars = XR_SKYPESTREAM::kUserChars + 16;  // "%s:%d"
// A read reply whose hexadecimal part is longer than this cannot fit the
// receive buffer and is dropped whole.
constexpr size_t kMaxReplyHexChars = 2 * XR_SKYPESTREAM::kBufferBytes;

// The bytes of a queue entry: what its header says, never more than a slot
// (the pump buffer holds one slot).
int entryLength(const TunnelPacketHeader& header) {
    return static_cast<int>(std::min(header.packetSize(), XR_QUE::kSlotBytes));
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Whether a data-link packet for tunnel port `port` belongs to an earlier
// link than the one `dataLink` serves now: a link that has been set up
// serves one port, and a listener's client counts only once the peer has
// confirmed it. A late end of the last link must never end the next one.
bool isForAnEarlierDataLink(XR_SOCKETTCP* dataLink, int port) {
    if (dataLink == nullptr) {
        return false;
    }
    if (dataLink->getRole() != XR_SOCKETTCP::kRoleNone && dataLink->getPort() != port) {
        return true;
    }
    return dataLink->awaitsPeerConfirmation() == 1;
}

// The rewriting's view of a stream: its TCP manager opens the data-link
// listener, its control socket knows the local address.
class StreamRewriteTarget final : public FtpRewriteTarget {
public:
    explicit StreamRewriteTarget(XR_SKYPESTREAM& stream) : stream(stream) {}
    int openDataLinkServer(int port, uint32_t bindAddress) override {
        XR_TCPMANAGERFORFTP* manager = stream.getTcpManager();
        const int localPort =
            manager != nullptr ? manager->openDataLinkServer(port, bindAddress) : -1;
        if (localPort != -1) {
            stream.noteDataLinkSetUp();
        }
        return localPort;
    }
    uint32_t controlLocalAddress() override {
        XR_TCPMANAGERFORFTP* manager = stream.getTcpManager();
        XR_SOCKETTCP* control = manager != nullptr ? manager->getControlSocket() : nullptr;
        return control != nullptr ? control->getConnectionLocalAddress() : 0;
    }
    const char* peerUser() override { return stream.getPeerUser(); }
    const char* serverHost() override { return stream.getServerHost(); }

private:
    XR_SKYPESTREAM& stream;
};

}  // namespace

void rewriteFtpControl(XR_SKYPESTREAM& stream, unsigned char* packet) {
    StreamRewriteTarget target(stream);
    rewriteFtpControl(target, packet, kMaxQueuedPacketBytes);
}

XR_SKYPESTREAM::XR_SKYPESTREAM(const char* user, int id, const char* application, int index,
                               TcpManagerPointer manager)
    : commandText(new char[kBufferBytes]()),
      receiveBuffer(new unsigned char[kBufferBytes]()),
      sendText(new char[kBufferBytes]()),
      pumpPacket(new unsigned char[kPumpPacketBytes]()),
      roomWait(sleepMs) {
    copyCut(name, sizeof name, "XR_SKYPESTREAM");  // fixed text
    copyCut(peerUser, sizeof peerUser, user);
    streamId = id;
    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    if (settings != nullptr) {
        clientPort = settings->getClientPort(index);
        serverPort = settings->getServerPort(index);
        copyCut(serverHost, sizeof serverHost, settings->getServerHost(index));
    }
    copyCut(applicationName, sizeof applicationName, application);
    tcpManager = manager != nullptr ? std::move(manager)
                                    : std::make_unique<XR_TCPMANAGERFORFTP>(kTunnelPort);
    tcpManager->openServer();
}

// A manager still present is destroyed with its sockets (their destruction
// stops their workers) without closeAll.
XR_SKYPESTREAM::~XR_SKYPESTREAM() = default;

XR_SOCKETTCP* XR_SKYPESTREAM::controlSocket() {
    return tcpManager != nullptr ? tcpManager->getControlSocket() : nullptr;
}

XR_SOCKETTCP* XR_SKYPESTREAM::dataLinkSocket() {
    return tcpManager != nullptr ? tcpManager->getDataLinkSocket() : nullptr;
}

int XR_SKYPESTREAM::isControlAccepting() {
    XR_SOCKETTCP* control = controlSocket();
    return control != nullptr && control->getConnectState() == XR_SOCKETTCP::kAccepting ? 1 : 0;
}

int XR_SKYPESTREAM::isControlConnected() {
    XR_SOCKETTCP* control = controlSocket();
    return control != nullptr && control->getConnectState() == XR_SOCKETTCP::kConnected ? 1 : 0;
}

// --- sending ----------------------------------------------------------------

int XR_SKYPESTREAM::sendPacket(int length, unsigned char* packet) {
    if (XR_SOCKETTCP* control = controlSocket()) {
        storePacketU16(packet, kOffsetControlState,
                       static_cast<uint16_t>(control->getConnectState()));
        storePacketU16(packet, kOffsetControlFree,
                       static_cast<uint16_t>(control->getFromPeerQueue().freeCount()));
    }
    if (XR_SOCKETTCP* dataLink = dataLinkSocket()) {
        storePacketU16(packet, kOffsetDataLinkState,
                       static_cast<uint16_t>(dataLink->getConnectState()));
        storePacketU16(packet, kOffsetDataLinkFree,
                       static_cast<uint16_t>(dataLink->getFromPeerQueue().freeCount()));
    }
    // The number is used up whether or not the write goes out.
    storePacketU32(packet, kOffsetSequence, sendSequence);
    ++sendSequence;
    bytesSent += loadPacketU16(packet, kOffsetDataLength);
    // The send text holds the hexadecimal form of at most this many bytes;
    // anything longer could not be written anyway (see write).
    constexpr size_t kMaxEncodedBytes = (kBufferBytes - 1) / 2;
    const size_t count = std::min(length < 0 ? size_t{0} : static_cast<size_t>(length),
                                  kMaxEncodedBytes);
    encodeHex(packet, count, sendText.get());
    sendTextLength = 2 * count;
    return write();
}

int XR_SKYPESTREAM::write() {
    const size_t total = sendTextLength + std::strlen(applicationName) + std::strlen(peerUser) +
                         kWriteCommandOverheadChars;
    if (total > kMaxWriteCommandChars) {
        return 1;  // too long for one write: dropped, reported as sent
    }
    // "ALTER APPLICATION %s WRITE %s:%d %s": the words formatted, the
    // hexadecimal text (most of the command) copied behind them.
    char* command = commandText.get();
    const int head = std::snprintf(command, kBufferBytes, "ALTER APPLICATION %s WRITE %s:%d ",
                                   applicationName, peerUser, streamId);
    if (head < 0 || static_cast<size_t>(head) + sendTextLength >= kBufferBytes) {
        return 1;  // cannot happen within the length check above; dropped as too long
    }
    std::memcpy(command + head, sendText.get(), sendTextLength + 1);
    if (XR_SKYPECOM::getInstance()->sendCommand(commandText.get()) == 0) {
        return 0;
    }
    writeReady = 0;
    return 1;
}

bool XR_SKYPESTREAM::followTransfer(XR_SOCKETTCP* dataLink) {
    if (!transferActive) {
        if (dataLink == nullptr || dataLink->getConnectState() != XR_SOCKETTCP::kConnected) {
            return false;
        }
        transferActive = true;
        pumpCounters = PumpCounters{};
        transferStart = std::chrono::steady_clock::now();
    } else if (dataLink == nullptr ||
               (dataLink->isRunning() == 0 && dataLink->getToPeerQueue().getCount() == 0)) {
        transferActive = false;
        if (platform::CounterLog::enabled()) {
            const PumpCounters& c = pumpCounters;
            platform::CounterLog::write(
                "pump stream=%s:%d ticks=%llu sent=%llu empty=%llu held=%llu skipped=%llu "
                "elapsed_ms=%lld",
                peerUser, streamId, static_cast<unsigned long long>(c.ticks),
                static_cast<unsigned long long>(c.sent), static_cast<unsigned long long>(c.empty),
                static_cast<unsigned long long>(c.held),
                static_cast<unsigned long long>(c.skipped), static_cast<long long>(c.elapsedMs));
        }
        return false;
    }
    ++pumpCounters.ticks;
    pumpCounters.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - transferStart)
                                 .count();
    return true;
}

void XR_SKYPESTREAM::intervalTimer() {
    const bool counting = followTransfer(dataLinkSocket());
    if (tcpManager == nullptr || writeReady == 0) {
        pumpCounters.held += counting ? 1 : 0;
        return;
    }
    // Every queue entry is copied in whole; only the header is cleared, so
    // an entry shorter than a header still reads as zeros there.
    unsigned char* buffer = pumpPacket.get();

    bool controlSent = false;
    XR_SOCKETTCP* control = controlSocket();
    unsigned size = 0;
    std::memset(buffer, 0, kPacketHeaderBytes);
    if (control != nullptr &&
        control->getToPeerQueue().dequeueEntry(buffer, kPumpPacketBytes, &size) == 1) {
        scanToPeer(buffer);
        const TunnelPacketHeader header = loadPacketHeader(buffer);
        if (sendPacket(std::min(entryLength(header), static_cast<int>(size)), buffer) == 1) {
            controlSent = true;
            platform::trace(
                "XR_SKYPESTREAM::intervalTimer():Send A2A packet deque port=%d,kind=%d\n",
                header.port, header.kind);
        }
    }

    XR_SOCKETTCP* dataLink = dataLinkSocket();
    if (dataLink != nullptr) {
        std::memset(buffer, 0, kPacketHeaderBytes);
        if (peerControlState == kPeerConnected && peerControlFree <= kSkipFreeEntries) {
            // The peer's control queue is filling: let its control data through first.
            pumpCounters.skipped += counting ? 1 : 0;
            platform::trace("SKIP SEND A2A data-link data\n");
        } else if (dataLink->getToPeerQueue().dequeueEntry(buffer, kPumpPacketBytes, &size) == 1) {
            const TunnelPacketHeader header = loadPacketHeader(buffer);
            if (sendPacket(std::min(entryLength(header), static_cast<int>(size)), buffer) == 1) {
                pumpCounters.sent += counting ? 1 : 0;
                platform::trace(
                    "XR_SKYPESTREAM::intervalTimer():Send A2A packet deque port=%d,kind=%d\n",
                    header.port, header.kind);
                return;
            }
        } else {
            pumpCounters.empty += counting ? 1 : 0;
        }
    }
    if (controlSent) {
        return;
    }

    if (idleTicks < kKeepAliveIdleTicks) {
        ++idleTicks;
        return;
    }
    if (sendNullPacket() != 0) {
        idleTicks = 0;
    }
}

int XR_SKYPESTREAM::sendNullPacket() {
    unsigned char packet[kPacketHeaderBytes] = {};
    initPacketHeader(packet);
    return sendPacket(static_cast<int>(kPacketHeaderBytes), packet);
}

int XR_SKYPESTREAM::sendConnectReply(int port, int result, int error) {
    return sendMessagePacket(kKindControlMessage, kCodeConnectReply, port, result, error);
}

int XR_SKYPESTREAM::sendDataLinkConnectReply(int port, int result, int error) {
    return sendMessagePacket(kKindDataLinkMessage, kCodeConnectReply, port, result, error);
}

void XR_SKYPESTREAM::sendDisconnectRequest(int kind, int port) {
    sendMessagePacket(kind, kCodeDisconnectRequest, port, 0, 0);
}

int XR_SKYPESTREAM::sendMessagePacket(int kind, int code, int port, int result, int error) {
    unsigned char packet[kPacketHeaderBytes] = {};
    initPacketHeader(packet);
    storePacketU16(packet, kOffsetPort, static_cast<uint16_t>(port));
    storePacketU16(packet, kOffsetKind, static_cast<uint16_t>(kind));
    storePacketU16(packet, kOffsetCode, static_cast<uint16_t>(code));
    storePacketU16(packet, kOffsetResult, static_cast<uint16_t>(result));
    storePacketU16(packet, kOffsetError, static_cast<uint16_t>(error));
    return sendPacket(static_cast<int>(kPacketHeaderBytes), packet);
}

void XR_SKYPESTREAM::formatDisconnectCommand(char* command, size_t size, const char* application,
                                             const char* user, int id) {
    std::snprintf(command, size, "ALTER APPLICATION %s DISCONNECT %s:%d", application, user, id);
}

void XR_SKYPESTREAM::disconnect() {
    formatDisconnectCommand(commandText.get(), kBufferBytes, applicationName, peerUser, streamId);
    XR_SKYPECOM::getInstance()->sendCommand(commandText.get());
}

void XR_SKYPESTREAM::closeTcp() {
    if (tcpManager != nullptr) {
        tcpManager->closeAll();
        tcpManager.reset();
    }
}

// --- receive dispatch -------------------------------------------------------

void XR_SKYPESTREAM::repRead(const char* text) {
    char key[kKeyChars];
    const int keyLength = std::snprintf(key, sizeof key, "%s:%d ", peerUser, streamId);
    if (std::strncmp(text, key, static_cast<size_t>(keyLength)) != 0) {
        platform::trace("XR_SKYPESTREAM::repRead() SKIP NOT user=%s, id=%d\n", peerUser, streamId);
        return;
    }
    platform::trace("READ REPLY OK\n");

    const char* hex = text + keyLength;
    unsigned char* packet = receiveBuffer.get();
    // Only the header needs clearing: nothing decoded (an odd or empty text)
    // then reads as header length 0, and no byte past what was decoded is
    // ever used (a packet whose header claims more is dropped below).
    std::memset(packet, 0, kPacketHeaderBytes);
    const size_t hexLength = strnlen(hex, kMaxReplyHexChars + 1);
    if (hexLength > kMaxReplyHexChars) {
        platform::trace(
            "XR_SKYPESTREAM::repRead() reply longer than the receive buffer, dropped\n");
        return;
    }
    const int decoded = decodeHex(hex, hexLength, packet);
    const TunnelPacketHeader header = loadPacketHeader(packet);
    if (header.headerLength == 0) {
        platform::trace("●●●●DATA NASHI headerSize=%d\n", header.headerLength);  // fixed text
        return;
    }
    // A packet whose header does not describe the bytes that came never
    // reaches a queue or TCP; the sequence is not advanced, so the next packet
    // shows the gap and the stream is closed.
    if (header.headerLength != kPacketHeaderBytes || header.packetSize() > size_t(decoded) ||
        header.packetSize() > kMaxQueuedPacketBytes) {
        platform::trace(
            "XR_SKYPESTREAM::repRead() bad packet dropped: headerLength=%d dataLength=%d "
            "decoded=%d\n",
            header.headerLength, header.dataLength, decoded);
        return;
    }

    peerControlState = header.controlState;
    peerControlFree = header.controlFree;
    if (header.sequence != receiveSequence) {
        platform::trace("SEQ NO Error headerSEQ=%d, thisSEQ=%d\n",
                        static_cast<int>(header.sequence), static_cast<int>(receiveSequence));
        disconnect();  // the packet is still handled
    }
    ++receiveSequence;
    bytesReceived += header.dataLength;

    const int port = header.port;
    switch (header.kind) {
        case kKindNull:
            platform::trace("receive NULL packet !\n");
            break;
        case kKindControlMessage:
            onControlMessage(header.code, port, header.result);
            break;
        case kKindDataLinkMessage:
            onDataLinkMessage(header.code, port, header.result);
            break;
        case kKindControlData:
            onControlData(packet, port);
            break;
        case kKindDataLinkData:
            onDataLinkData(packet, port);
            break;
        default:
            break;
    }
}

void XR_SKYPESTREAM::onControlMessage(int code, int port, int result) {
    switch (code) {
        case kCodeConnectRequest: {
            platform::trace("A2A RECIEV CONNECT-REQUEST:port:%d\n", port);  // fixed text
            if (tcpManager != nullptr && tcpManager->getMode() == XR_TCPMANAGER::kModeClient) {
                // A Client connects only its own FTP client's sessions; it
                // never opens a connection on the peer's word.
                if (sendConnectReply(port, kResultFailed, ECONNREFUSED) == 1) {
                    writeEventLine(kEventLevel, "%s:TCP接続要求: クライアントモードでは拒否",
                                   peerUser);
                }
                break;
            }
            forgetControlSession();
            controlAbandoned = false;
            int error = 0;
            const int r = tcpManager != nullptr
                              ? tcpManager->notifyTcpConnectRequest(serverPort, serverHost)
                              : 0;
            if (r != 1) {
                ++connectRequestFailures;
                if (tcpManager != nullptr) {
                    error = tcpManager->getLastConnectError();
                }
            }
            const int written = r == 1 ? sendConnectReply(port, kResultConnected, 0)
                                       : sendConnectReply(port, kResultFailed, error);
            if (written == 1) {
                if (r == 1) {
                    writeEventLine(kEventLevel, "%s:TCP接続要求: %s Port=%d 接続", peerUser,
                                   serverHost, serverPort);
                } else {
                    writeEventLine(kEventLevel, "%s:TCP接続要求: %s Port=%d 接続に失敗", peerUser,
                                   serverHost, serverPort);
                }
            }
            break;
        }
        case kCodeConnectReply:
            platform::trace("A2A RECIEV CONNECT-REPLY:port:%d\n", port);  // fixed text
            controlAbandoned = false;
            fromPeerFilter.reset();
            if (result == kResultFailed) {
                ++connectReplyFailures;
            }
            if (tcpManager != nullptr) {
                tcpManager->notifyTcpConnectReply(port, result);
            }
            break;
        case kCodeDisconnectRequest: {
            if (port != clientPort) {
                return;  // not the tunnel's control port: ignored
            }
            platform::trace("A2A RECIEV DISCONNECT-REQUEST:port:%d\n", port);  // fixed text
            XR_SOCKETTCP* control = controlSocket();
            if (control != nullptr && control->awaitsPeerConfirmation() == 1) {
                // The end of a connection that is already over here (the
                // peer's answer to our own notice, sent before it heard of
                // the next client): neither the next client nor its session
                // state may be touched by it.
                platform::trace(
                    "XR_SKYPESTREAM::repRead() disconnect for an earlier connection, ignored\n");
                return;
            }
            forgetControlSession();
            const PeerDisconnect done =
                endOnPeerDisconnect(control, true, kKindControlMessage, port);
            if (done == PeerDisconnect::kQueued) {
                platform::trace("PEERからのDISCONNECTをQUEしました\n");
            } else if (done == PeerDisconnect::kDeferred) {
                platform::trace("PEERからのDISCONNECTをQUEが空になってから行います\n");
            } else if (control != nullptr) {
                platform::trace("PEERからのDISCONNECTをTCPMANAGERに通知しました\n");
            } else {
                platform::trace(
                    "PEERからのDISCONNECTをオブジェクト設定がないのでTCPMANAGERに通知しました\n");
            }
            writeEventLine(kEventLevel, "%s:TCP切断要求: %s Port=%d 切断", peerUser, serverHost,
                           port);
            break;
        }
        default:
            break;
    }
}

void XR_SKYPESTREAM::onDataLinkMessage(int code, int port, int result) {
    switch (code) {
        case kCodeConnectRequest: {
            // Only a data connection this side's FTP program announced, once.
            uint32_t address = 0;
            if (expectations.take(port, nowMs(), address) == 0) {
                platform::trace("A2A data-link CONNECT-REQUEST for port %d not announced\n", port);
                if (sendDataLinkConnectReply(port, kResultFailed, ECONNREFUSED) == 1) {
                    writeEventLine(kEventLevel,
                                   "%s:TCP接続要求(d-link): Port=%d 予期しない要求を拒否", peerUser,
                                   port);
                }
                break;
            }
            // A PORT/EPRT connection goes back to the FTP client that asked
            // for it; a passive one to the configured server.
            char dotted[INET_ADDRSTRLEN] = {};
            in_addr target{};
            target.s_addr = address;
            const char* host =
                address != 0 && ::inet_ntop(AF_INET, &target, dotted, sizeof dotted) != nullptr
                    ? dotted
                    : serverHost;
            dataLinkAbandoned = false;
            int error = 0;
            const int r =
                tcpManager != nullptr ? tcpManager->notifyDataLinkConnectRequest(port, host) : 0;
            if (r != 1 && tcpManager != nullptr) {
                error = tcpManager->getLastConnectError();
            }
            const int written = r == 1 ? sendDataLinkConnectReply(port, kResultConnected, 0)
                                       : sendDataLinkConnectReply(port, kResultFailed, error);
            if (written == 1) {
                if (r == 1) {
                    writeEventLine(kEventLevel, "%s:TCP接続要求(d-link): %s Port=%d 接続", peerUser,
                                   serverHost, port);
                } else {
                    writeEventLine(kEventLevel, "%s:TCP接続要求(d-link): %s Port=%d 接続に失敗",
                                   peerUser, serverHost, port);
                }
            }
            break;
        }
        case kCodeConnectReply: {
            platform::trace("A2A RECIEV CONNECT-REPLY:port:%d\n", port);  // fixed text
            XR_SOCKETTCP* dataLink = dataLinkSocket();
            if (dataLink != nullptr && dataLink->getRole() != XR_SOCKETTCP::kRoleNone &&
                dataLink->getPort() != port) {
                platform::trace(
                    "XR_SKYPESTREAM::repRead() data-link answer for an earlier link, ignored\n");
                break;
            }
            if (tcpManager != nullptr) {
                tcpManager->notifyDataLinkConnectReply(port, result);
            }
            break;
        }
        case kCodeDisconnectRequest: {
            XR_SOCKETTCP* dataLink = dataLinkSocket();
            if (isForAnEarlierDataLink(dataLink, port)) {
                platform::trace(
                    "XR_SKYPESTREAM::repRead() data-link disconnect for an earlier link, "
                    "ignored\n");
                break;
            }
            // A link that was given up has no bytes left to wait for.
            endOnPeerDisconnect(dataLink, !dataLinkAbandoned, kKindDataLinkMessage, port);
            writeEventLine(kEventLevel, "%s:TCP切断要求(d-link): %s Port=%d 切断", peerUser,
                           serverHost, port);
            break;
        }
        default:
            break;
    }
}

XR_SKYPESTREAM::PeerDisconnect XR_SKYPESTREAM::endOnPeerDisconnect(XR_SOCKETTCP* socket,
                                                                   bool mayWait, int kind,
                                                                   int port) {
    if (socket != nullptr && mayWait) {
        XR_QUE& fromPeer = socket->getFromPeerQueue();
        const unsigned char* packet = receiveBuffer.get();
        if (fromPeer.canEnqueue() == 1 &&
            fromPeer.enqueue(packet,
                             static_cast<unsigned>(loadPacketHeader(packet).packetSize())) == 1) {
            // Behind the data queued before it: TCP gets all of it first.
            return PeerDisconnect::kQueued;
        }
        if (socket->disconnectWhenDrained() == 1) {
            // The queue is full of the connection's last bytes: closing now
            // would drop them, so the worker ends it once they are out.
            return PeerDisconnect::kDeferred;
        }
    }
    if (tcpManager != nullptr) {
        if (kind == kKindControlMessage) {
            tcpManager->notifyTcpDisconnect(port);
        } else {
            tcpManager->notifyDataLinkDisconnect(port);
        }
    }
    return PeerDisconnect::kClosedNow;
}

bool XR_SKYPESTREAM::waitForRoom(XR_SOCKETTCP& socket) {
    for (int i = 0; i < kRoomWaitTries && socket.getFromPeerQueue().canEnqueue() == 0; ++i) {
        platform::trace("#WAIT\n");
        roomWait(kRoomWaitMs);
    }
    return socket.getFromPeerQueue().canEnqueue() == 1;
}

void XR_SKYPESTREAM::onControlData(unsigned char* packet, int port) {
    XR_SOCKETTCP* control = controlSocket();
    if (control == nullptr) {
        platform::trace(
            "XR_SKYPESTREAM::repRead() control data without a control socket, dropped\n");
        return;
    }
    if (controlAbandoned) {
        platform::trace(
            "XR_SKYPESTREAM::repRead() control data for a closed connection, dropped\n");
        return;
    }
    if (control->awaitsPeerConfirmation() == 1) {
        // The last bytes of a session that ended here: the next client must
        // not get them (an extra greeting would shift every reply it reads).
        platform::trace(
            "XR_SKYPESTREAM::repRead() control data for an earlier connection, dropped\n");
        return;
    }
    const TunnelPacketHeader header = loadPacketHeader(packet);
    std::string bytes;
    StreamRewriteTarget target(*this);
    if (fromPeerFilter.filter(target, reinterpret_cast<const char*>(packet + kPacketHeaderBytes),
                              header.dataLength, bytes) == 0) {
        platform::trace("XR_SKYPESTREAM::repRead() control line over %zu bytes, connection closed\n",
                        FtpLineAssembler::kMaxLineBytes);
        writeEventLine(kEventLevelLost, "%sとのFTP接続:%sとのport=%d 長すぎる行を検出", peerUser,
                       serverHost, port);
        abandonControl(*control, port);
        return;
    }
    if (bytes.empty()) {
        return;  // a partial line, held until its end arrives
    }
    // Control bytes are never dropped from the middle of a connection: wait
    // for room as data links do, and close the connection on both ends if
    // there is none.
    if (queueControlBytes(*control, packet, bytes)) {
        return;
    }
    platform::trace("XR_SKYPESTREAM::repRead() control queue full, connection closed\n");
    writeEventLine(kEventLevelLost, "%sとのFTP接続:%sとのport=%d QUEFULLを検出", peerUser,
                   serverHost, port);
    abandonControl(*control, port);
}

bool XR_SKYPESTREAM::queueControlBytes(XR_SOCKETTCP& control, const unsigned char* header,
                                       const std::string& bytes) {
    constexpr size_t kMaxPayload = kMaxQueuedPacketBytes - kPacketHeaderBytes;
    unsigned char entry[kMaxQueuedPacketBytes];
    for (size_t at = 0; at < bytes.size(); at += kMaxPayload) {
        const size_t piece = std::min(kMaxPayload, bytes.size() - at);
        std::memcpy(entry, header, kPacketHeaderBytes);
        storePacketU16(entry, kOffsetDataLength, static_cast<uint16_t>(piece));
        std::memcpy(entry + kPacketHeaderBytes, bytes.data() + at, piece);
        const auto size = static_cast<unsigned>(kPacketHeaderBytes + piece);
        if (!waitForRoom(control) || control.getFromPeerQueue().enqueue(entry, size) != 1) {
            return false;
        }
    }
    return true;
}

void XR_SKYPESTREAM::abandonControl(XR_SOCKETTCP& control, int port) {
    controlAbandoned = true;
    forgetControlSession();
    // Ending the connection as if its TCP peer had closed it sends the peer
    // the usual disconnect notice; a listener goes on to accept the next client.
    if (control.abortConnection() == 0) {
        tcpManager->notifyTcpDisconnect(port);
        sendDisconnectRequest(kKindControlMessage, clientPort);
    }
}

int64_t XR_SKYPESTREAM::nowMs() const {
    if (timeSource != nullptr) {
        return timeSource->nowMs();
    }
    return platform::hasGuiLoop() ? platform::guiLoop().clock().nowMs()
                                  : platform::SteadyClock::instance().nowMs();
}

void XR_SKYPESTREAM::forgetControlSession() {
    expectations.clear();
    fromPeerFilter.reset();
    toPeerLines.reset();
}

void XR_SKYPESTREAM::scanToPeer(const unsigned char* packet) {
    const TunnelPacketHeader header = loadPacketHeader(packet);
    if (header.kind == kKindControlMessage &&
        (header.code == kCodeConnectRequest || header.code == kCodeDisconnectRequest)) {
        forgetControlSession();  // this side's control connection begins or ends
        return;
    }
    if (header.kind != kKindControlData || header.packetSize() > kMaxQueuedPacketBytes) {
        return;
    }
    toPeerLines.feed(reinterpret_cast<const char*>(packet + kPacketHeaderBytes), header.dataLength,
                     [this](std::string_view line) { noteAnnouncement(line.data(), line.size()); });
}

void XR_SKYPESTREAM::noteAnnouncement(const char* text, size_t length) {
    char line[FtpLineAssembler::kMaxLineBytes + 1];
    const size_t n = std::min(length, FtpLineAssembler::kMaxLineBytes);
    std::memcpy(line, text, n);
    line[n] = '\0';
    DataLinkAnnouncement found;
    if (readDataLinkAnnouncement(line, found) == 0) {
        return;
    }
    if (found.isReply()) {
        // The FTP server's passive port: the data link connects to the server.
        expectations.expect(found.port, 0, nowMs());
        platform::trace("data link expected on port %d (passive)\n", found.port);
        return;
    }
    // The FTP client's own address, as strict FTP servers require: anything
    // else would let whoever talks to this side send the data link elsewhere.
    XR_SOCKETTCP* control = controlSocket();
    const uint32_t client = control != nullptr ? control->getConnectionPeerAddress() : 0;
    if (client == 0 || found.address != client) {
        platform::trace("PORT/EPRT names another address than the FTP client's; not expected\n");
        writeEventLine(kEventLevel, "%sとのFTP接続:%sとのd-port=%d 他のアドレスの指定を拒否",
                       peerUser, serverHost, found.port);
        return;
    }
    expectations.expect(found.port, client, nowMs());
    platform::trace("data link expected on port %d (active)\n", found.port);
}

void XR_SKYPESTREAM::onDataLinkData(unsigned char* packet, int port) {
    XR_SOCKETTCP* dataLink = dataLinkSocket();
    if (dataLink == nullptr) {
        return;
    }
    if (dataLinkAbandoned) {
        platform::trace("XR_SKYPESTREAM::repRead() data-link data for a closed link, dropped\n");
        return;
    }
    if (isForAnEarlierDataLink(dataLink, port)) {
        platform::trace(
            "XR_SKYPESTREAM::repRead() data-link data for an earlier link, dropped\n");
        return;
    }
    const unsigned size = static_cast<unsigned>(loadPacketHeader(packet).packetSize());
    if (waitForRoom(*dataLink) && dataLink->getFromPeerQueue().enqueue(packet, size) == 1) {
        return;
    }
    for (int i = 0; i < kQueueFullErrorTraces; ++i) {
        platform::trace("ERROR ");  // fixed text
    }
    platform::trace("\n");
    writeEventLine(kEventLevelLost, "%sとのFTP接続:%sとのd-port=%d QUEFULLを検出", peerUser,
                   serverHost, port);
    // The data cannot go on without a hole: end the data link on both sides.
    dataLinkAbandoned = true;
    if (dataLink->abortConnection() == 0) {
        tcpManager->notifyDataLinkDisconnect(port);
        sendDisconnectRequest(kKindDataLinkMessage, port);
    }
}
