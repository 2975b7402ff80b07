#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "platform/Clock.h"
#include "tcp/XR_TCPMANAGERFORFTP.h"
#include "tunnel/DataLinkExpectations.h"
#include "tunnel/FtpControlFilter.h"
#include "tunnel/FtpLineAssembler.h"

// One application stream between this gateway and one peer, named by the
// peer's handle and the stream id the driver assigned ("bob:3"). The stream
// owns the TCP side of the tunnel for that peer (one FTP TCP manager with its
// control and data-link sockets) and moves packets both ways:
//  - the send pump (intervalTimer, every 20 ms) takes at most one control and
//    one data-link packet from the sockets' to-peer queues, stamps the
//    sequence number and this side's queue states and writes each as
//    hexadecimal text; after a write the driver took, nothing more leaves
//    until resumeWriting (the application's empty SENDING list);
//  - the receive dispatch (repRead) decodes one read reply, checks it, and
//    opens, confirms or closes TCP connections or queues the bytes for TCP,
//    rewriting FTP data-link addresses on the control connection on the way.
//
// GUI thread only. The socket workers touch only the sockets' queues and
// their single-word state flags.
class XR_SKYPESTREAM {
public:
    static constexpr size_t kBufferBytes = 65792;      // command, send text and receive buffers
    static constexpr size_t kPumpPacketBytes = 32768;  // holds any queue entry (30976 bytes)
    static constexpr size_t kUserChars = 100;
    static constexpr size_t kApplicationChars = 100;
    static constexpr size_t kHostChars = 260;
    static constexpr size_t kMaxWriteCommandChars = 65534;
    // Characters of "ALTER APPLICATION %s WRITE %s:%d %s" besides the two
    // names and the text, counted with room for a ten-digit stream id.
    static constexpr size_t kWriteCommandOverheadChars = 37;
    static constexpr int kTunnelPort = 21;
    static constexpr int kKeepAliveIdleTicks = 600;  // a NULL packet on the 601st idle tick
    static constexpr int kSkipFreeEntries = 20;  // peer control queue this full holds data links
    static constexpr int kPeerConnected = 2;
    static constexpr int kRoomWaitMs = 50;      // one wait for room in a from-peer queue
    static constexpr int kRoomWaitTries = 100;  // 100 x 50 ms = 5 s
    static constexpr int kQueueFullErrorTraces = 500;  // fixed text: "ERROR " this many times

    using TcpManagerPointer = std::unique_ptr<XR_TCPMANAGERFORFTP>;
    using RoomWait = std::function<void(int ms)>;

    // A stream to peerUser:streamId for the application applicationName in
    // settings slot `index`. Creates its TCP manager for the tunnel port and
    // opens it (it listens only in Client mode). A test may hand in its own
    // manager instead; it is opened the same way.
    XR_SKYPESTREAM(const char* peerUser, int streamId, const char* applicationName, int index,
                   TcpManagerPointer manager = nullptr);
    ~XR_SKYPESTREAM();
    XR_SKYPESTREAM(const XR_SKYPESTREAM&) = delete;
    XR_SKYPESTREAM& operator=(const XR_SKYPESTREAM&) = delete;

    // The send pump; one call per 20 ms tick.
    void intervalTimer();
    // The driver has sent everything this application wrote.
    void resumeWriting() { writeReady = 1; }
    // Receive dispatch of one read reply: `text` is the stream key, one space
    // and the hexadecimal text of one packet. Replies of other streams are
    // ignored. Usable without sockets (then every packet is only checked).
    void repRead(const char* text);

    // Stamps and writes one packet of `length` bytes (header + payload).
    // Returns 1 when written (or dropped as too long), 0 when the driver
    // refused the write.
    int sendPacket(int length, unsigned char* packet);
    int sendNullPacket();
    int sendConnectReply(int port, int result, int error);
    int sendDataLinkConnectReply(int port, int result, int error);
    // Asks the driver to close this stream.
    void disconnect();
    // The one form of the command that asks the driver to close stream
    // user:id of `application` ("ALTER APPLICATION %s DISCONNECT %s:%d"),
    // written into `command` and cut to `size` - 1 characters. The stream's
    // own disconnect and the application's refusals and gate closing use it.
    static void formatDisconnectCommand(char* command, size_t size, const char* application,
                                        const char* user, int id);
    // Closes every TCP connection of the stream and destroys its manager.
    void closeTcp();

    int isControlAccepting();
    int isControlConnected();
    int isPeerControlConnected() { return peerControlState == kPeerConnected ? 1 : 0; }

    const char* getPeerUser() const { return peerUser; }
    int getStreamId() const { return streamId; }
    int getSeen() const { return seen; }
    void setSeen(int value) { seen = value; }
    int getBytesSent() const { return bytesSent; }
    void setBytesSent(int value) { bytesSent = value; }
    int getBytesReceived() const { return bytesReceived; }
    void setBytesReceived(int value) { bytesReceived = value; }
    int getWriteReady() const { return writeReady; }
    uint32_t getSendSequence() const { return sendSequence; }
    uint32_t getReceiveSequence() const { return receiveSequence; }
    int getPeerControlState() const { return peerControlState; }
    int getPeerControlFree() const { return peerControlFree; }
    const char* getServerHost() const { return serverHost; }
    int getServerPort() const { return serverPort; }
    int getClientPort() const { return clientPort; }
    XR_TCPMANAGERFORFTP* getTcpManager() { return tcpManager.get(); }
    // How often, since the last call, the peer's connect request could not
    // be carried to this side's TCP server (this side answered "failed"),
    // and how often the peer answered this side's request so. GUI thread.
    int takeConnectRequestFailures() { return std::exchange(connectRequestFailures, 0); }
    int takeConnectReplyFailures() { return std::exchange(connectReplyFailures, 0); }
    // The packet decoded from the last read reply.
    const unsigned char* getReceiveBuffer() const { return receiveBuffer.get(); }

    // How the receive dispatch waits for room in a full from-peer queue;
    // sleeps on the calling thread unless a test replaces it.
    void setRoomWait(RoomWait wait) { roomWait = std::move(wait); }

    // What the pump did while one data link carried a transfer, from the
    // tick that found it connected to the tick that found it ended with
    // nothing left to send: the benchmark's view of where ticks go. Written
    // to platform::CounterLog at the end of each transfer.
    struct PumpCounters {
        uint64_t ticks = 0;    // pump ticks run during the transfer
        uint64_t sent = 0;     // ticks that wrote a data-link packet
        uint64_t empty = 0;    // ticks free to write that found the data-link queue empty
        uint64_t held = 0;     // ticks held back: the last write not yet sent (SENDING)
        uint64_t skipped = 0;  // ticks that held data back for the peer's full control queue
        int64_t elapsedMs = 0;  // from the first to the last tick of the transfer
    };
    // The current transfer's counters, or the last one's once it ended.
    const PumpCounters& getPumpCounters() const { return pumpCounters; }

    // A new data link has been set up (by the FTP rewriting): data-link
    // packets are delivered again after an earlier link was abandoned.
    void noteDataLinkSetUp() { dataLinkAbandoned = false; }

    // Notes the data-link ports this side's FTP program announces in control
    // text on its way to the peer (the pump calls it for every control
    // packet it takes; a test may hand it a packet directly).
    void scanToPeer(const unsigned char* packet);
    // The data links this side's FTP program announced to the peer.
    const DataLinkExpectations& getExpectations() const { return expectations; }
    // Where the expectations' time comes from; the GUI loop's clock unless a
    // test hands in its own.
    void setClock(const platform::Clock* source) { timeSource = source; }

private:
    int write();
    // Follows the data link's transfer for the pump counters; true while
    // one is under way (this tick counts).
    bool followTransfer(XR_SOCKETTCP* dataLink);
    XR_SOCKETTCP* controlSocket();
    XR_SOCKETTCP* dataLinkSocket();
    // Waits (kRoomWaitTries x kRoomWaitMs at most) until the socket's
    // from-peer queue can take an entry; returns whether it can.
    bool waitForRoom(XR_SOCKETTCP& socket);
    void onControlMessage(int code, int port, int result);
    void onDataLinkMessage(int code, int port, int result);
    void onControlData(unsigned char* packet, int port);
    void onDataLinkData(unsigned char* packet, int port);
    // Tells the peer that a connection of this side has ended: a control
    // (kind 1) or data-link (kind 2) DISCONNECT-REQUEST for `port`.
    void sendDisconnectRequest(int kind, int port);
    // Builds and writes one header-only message packet (connect replies,
    // disconnect requests); sendPacket's result.
    int sendMessagePacket(int kind, int code, int port, int result, int error);
    // What a peer's DISCONNECT-REQUEST (the packet in the receive buffer)
    // did to this side's connection.
    enum class PeerDisconnect {
        kQueued,    // behind the bytes queued before it; the worker ends the connection
        kDeferred,  // the queue was full: the worker ends it once the queue is empty
        kClosedNow  // no worker can act on it (or waiting is pointless): closed at once
    };
    // The one decision for both kinds of connection: queue the notice for
    // `socket`'s worker, else let the worker end the connection once its
    // queue has drained, else close it now through the TCP manager (control
    // or data link by `kind`). `mayWait` false (a connection given up) or a
    // null socket goes straight to closing.
    PeerDisconnect endOnPeerDisconnect(XR_SOCKETTCP* socket, bool mayWait, int kind, int port);
    // Local address (network byte order) of this side's control connection.
    uint32_t controlLocalAddress();
    void noteAnnouncement(const char* line, size_t length);
    // A control connection begins or ends: what was announced or held for
    // the old one no longer applies.
    void forgetControlSession();
    // Queues control bytes for TCP in as many entries as they need, behind
    // `header`'s fields; false when the queue stayed full.
    bool queueControlBytes(XR_SOCKETTCP& control, const unsigned char* header,
                           const std::string& bytes);
    // Closes the control connection on both ends (its bytes cannot go on).
    void abandonControl(XR_SOCKETTCP& control, int port);
    int64_t nowMs() const;

    char name[16];  // fixed text: class-name tag, never read
    int seen = 1;
    char serverHost[kHostChars] = {};
    int serverPort = 0;
    std::unique_ptr<char[]> commandText;
    std::unique_ptr<unsigned char[]> receiveBuffer;
    std::unique_ptr<char[]> sendText;
    std::unique_ptr<unsigned char[]> pumpPacket;
    uint32_t sendSequence = 0;
    uint32_t receiveSequence = 0;
    int clientPort = 0;
    char peerUser[kUserChars] = {};
    int streamId = 0;
    char applicationName[kApplicationChars] = {};
    int writeReady = 1;
    uint16_t peerControlState = 0;
    uint16_t peerControlFree = 0;
    TcpManagerPointer tcpManager;
    int idleTicks = 0;
    int bytesSent = 0;
    int bytesReceived = 0;

    // Set when a connection was closed because its from-peer queue stayed
    // full: later bytes for it cannot be delivered in order any more and are
    // dropped at once, until the next connection of that kind is set up.
    bool controlAbandoned = false;
    bool dataLinkAbandoned = false;
    RoomWait roomWait;

    size_t sendTextLength = 0;  // characters of sendText, set by sendPacket
    PumpCounters pumpCounters;
    bool transferActive = false;
    std::chrono::steady_clock::time_point transferStart;

    // Control text from the peer, checked line by line before TCP gets it.
    FtpControlFilter fromPeerFilter;
    // Control text to the peer, read (never changed) for announcements; an
    // over-long line of the local program is only skipped.
    FtpLineAssembler toPeerLines{true};
    DataLinkExpectations expectations;
    const platform::Clock* timeSource = nullptr;
    // Counted for the windows, which show each failure (GUI thread only).
    int connectRequestFailures = 0;
    int connectReplyFailures = 0;
};
