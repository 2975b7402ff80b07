#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "tcp/XR_QUE.h"

// One TCP endpoint of the tunnel: a listening socket that accepts local TCP
// clients one at a time (server role), or a socket that connects out to a TCP
// server (client role). It owns two packet queues through which its bytes
// travel to and from the stream, and at most one worker thread that moves
// bytes between its TCP connection and the queues (executeServer /
// executeClient).
//
// Threads:
// - GUI thread (the TCP manager and the stream): the set-up operations,
//   connectClient, startThread, close, abortConnection, the reply setters,
//   destruction, and every query (getConnectState, the queues' enqueue on
//   the from-peer queue and dequeue on the to-peer queue, getPort, ...).
//   Set-up operations, startThread and close are never called while another
//   one of them runs; they all come from one thread.
// - The worker thread: acceptClient, receiveData, sendData, queueDisconnect,
//   the relay loops. It is the only producer of the to-peer queue and the
//   only consumer of the from-peer queue.
// The flags connectState, replyState, stopRequested and running are atomics,
// each written by one side and polled by the other. The descriptors are
// guarded by descriptorLock (never held across a blocking call), because the
// worker replaces connSocket per accepted client while the GUI thread may
// shut it down or ask its address.
//
// Lifetime: no set-up operation, startThread or destruction proceeds while a
// worker runs: each first stops the previous worker and waits until it has
// ended (close). A socket therefore never runs two workers, and every
// descriptor is closed exactly once, by whichever side owns it at that moment.
class XR_SOCKETTCP {
public:
    static constexpr size_t kBufferBytes = 33024;
    static constexpr int kTcpReadBytes = 10240;  // recvLength of every relay read
    static constexpr int kListenBacklog = 1;
    static constexpr int kWouldBlockCode = 10035;  // the would-block code of traces
    static constexpr int kSendWaitLimit = 20;      // the 20th would-block gives up
    static constexpr int kSendWaitMs = 100;        // pause after a would-block send
    static constexpr int kRelayPauseMs = 20;       // period of the relay steps
    // A relay whose steps found nothing to do this many times in a row (one
    // second) sleeps until its TCP connection or its from-peer queue has
    // something, then goes on with the next step that is due (see runRelay).
    static constexpr int kIdleStepsBeforeWait = 50;
    // The longest such sleep; a safety net only, every cause to step wakes it.
    static constexpr int kIdleWaitLimitMs = 1000;
    static constexpr int kReplyPollMs = 50;        // while replyState is waiting
    static constexpr int kOddReplyPollMs = 100;    // replyState holds no known value
    static constexpr int kStartChecks = 200;       // startThread's checks of running
    static constexpr int kStartCheckMs = 5;        // pause before each further check
    static constexpr int kCloseWaitMs = 2000;      // close waits this long, then on
    // Receive buffer of every tunnel TCP connection (the kernel doubles it
    // for its bookkeeping). With the default one, a sender whose window opens
    // only in large steps lets the buffer run nearly dry between two relay
    // reads, so about one read in twelve comes back short of 10240 bytes;
    // this size keeps a full read waiting at every step. Bounded by the kernel.
    static constexpr int kTcpReceiveBufferBytes = 256 * 1024;
    // connectClient runs on the GUI thread: a target that neither accepts nor
    // refuses (a full accept queue, a silent host) is given up after this.
    static constexpr int kConnectTimeoutMs = 3000;

    enum ConnectState { kIdle = 0, kAccepting = 1, kConnected = 2 };
    enum ReplyState { kReplyWaiting = 0, kReplyOk = 1, kReplyNg = 2 };
    enum Role { kRoleNone = 0, kRoleClient = 1, kRoleServer = 2 };

    XR_SOCKETTCP();
    ~XR_SOCKETTCP();
    XR_SOCKETTCP(const XR_SOCKETTCP&) = delete;
    XR_SOCKETTCP& operator=(const XR_SOCKETTCP&) = delete;

    // Process-wide socket library start-up. POSIX sockets need none, so it
    // does nothing. (Every send passes MSG_NOSIGNAL, so a TCP peer that has
    // gone never raises SIGPIPE.)
    static void startWinsock();

    // --- set-up (GUI thread) ---
    // Listens on `port`: 127.0.0.1 while platform::isLocalOnly(), every
    // interface otherwise; backlog 1. port and localPort become `port`.
    int createServerSocket(int port);
    // The same, listening on `listenPort` while packets carry the tunnel port
    // `port` (localPort = listenPort). Used where the settings move the
    // Client's listener off the tunnel port.
    int createServerSocket(int port, int listenPort);
    // Listens on a free port of `bindAddress` (IPv4, network byte order;
    // INADDR_ANY = every interface) whatever isLocalOnly says; localPort is
    // the port found; packets carry `port`. Resets both queues.
    int createServerSocketAnyPort(int port, uint32_t bindAddress = INADDR_ANY);
    // Prepares a connection to `host` (dotted IPv4 or a name looked up for
    // IPv4 addresses) port `port`; packets carry `port`. Always 1; a failed
    // look-up makes the following connectClient fail. Resets both queues
    // unless the look-up failed.
    int createClientSocket(int port, const char* host);
    // The same, connecting to `connectPort` while packets carry `port`.
    int createClientSocket(int port, const char* host, int connectPort);
    // Connects to the prepared target, waiting at most kConnectTimeoutMs
    // (ETIMEDOUT after that). 0 on failure (getLastError()
    // holds the error; errno is left at it), connSocket then closed.
    int connectClient();

    // --- worker thread (or a test's own thread) ---
    // Blocking accept on listenSocket; connectState 1 while it waits.
    int acceptClient();
    // Writes the first sendLength bytes of sendBuffer to connSocket.
    int sendData();
    // One read of up to recvLength bytes into recvBuffer; recvLength -1 when
    // nothing was waiting on a non-blocking socket.
    int receiveData();
    // Enqueues a DISCONNECT-REQUEST for this socket's port on the to-peer
    // queue; the enqueue's result.
    int queueDisconnect();
    // Makes connSocket non-blocking, as the relay loops do before relaying.
    void setNonBlocking();

    // --- threads (GUI thread) ---
    // Starts the worker for the current role and waits (at most about one
    // second) until it reports running. A previous worker that has ended is
    // reaped first; while one still runs, no second one is started.
    void startThread();
    // Asks the worker to end, ends a blocking accept or read, waits for the
    // worker (kCloseWaitMs, then on until it has ended) and closes both
    // endpoints. The object stays usable for a new set-up.
    void close();
    // Ends the current TCP connection as if its TCP peer had closed it; the
    // worker then takes its usual end-of-connection path (a disconnect notice
    // to the peer; a control listener goes on to accept the next client).
    // 1 if there was a connection to end.
    int abortConnection();
    // For a peer's disconnect notice that finds the from-peer queue full:
    // the worker ends the connection as the notice would, once it has
    // written every entry already queued, so none of those bytes is lost.
    // 1 when a worker runs to do it; 0 otherwise (close the socket instead).
    int disconnectWhenDrained();

    // --- reply state (GUI thread sets, worker polls) ---
    void setReplyWaiting() { replyState.store(kReplyWaiting); }
    void setReplyOk() { replyState.store(kReplyOk); }
    void setReplyNg() { replyState.store(kReplyNg); }
    // The peer's OK to this socket's connect request. A listening socket
    // that waits for it first drops whatever reached its from-peer queue
    // since the accept: the peer writes its reply before any packet of the
    // connection it opened, so all of that belongs to an earlier connection
    // (a late disconnect notice, the last bytes of a session that ended
    // here). GUI thread: it is also the only producer of that queue.
    void confirmConnection();
    // 1 while a listening socket has no TCP client that the peer has
    // confirmed: anything that arrives for it now belongs to an earlier
    // connection (see confirmConnection) and must not reach TCP. 0 for a
    // confirmed client, and for a socket that connected out or was never
    // set up.
    int awaitsPeerConfirmation() const;
    int getReplyState() const { return replyState.load(); }

    // --- queries (any thread) ---
    int getPort() const { return port; }
    int getLocalPort() const { return localPort; }
    int getConnectState() const { return connectState.load(); }
    int isRunning() const { return running.load(); }
    int getRole() const { return role; }
    int isControl() const { return control; }
    // 1 = control socket (the default), 0 = data-link socket. Before set-up.
    void setControl(int isControlSocket) { control = isControlSocket != 0 ? 1 : 0; }
    // The error code of the last failed socket operation of this object
    // (errno values; 10035 stands for would-block).
    int getLastError() const { return lastError.load(); }
    XR_QUE& getFromPeerQueue() { return fromPeerQueue; }
    XR_QUE& getToPeerQueue() { return toPeerQueue; }
    // The local IPv4 address (network byte order) of the current connected
    // TCP connection, as getsockname reports it; 0 without a connection.
    uint32_t getConnectionLocalAddress();

    // The IPv4 address (network byte order) of the other end of the current
    // connected TCP connection, as getpeername reports it; 0 without one.
    uint32_t getConnectionPeerAddress();
    // The IPv4 address (network byte order) of the interface that routes to
    // the outside world, or 0 when no route leads outside.
    static uint32_t getLocalAddress();

    // What one relay (one TCP connection of the worker) did: the benchmark's
    // view of where the time goes. Worker thread only while it relays; the
    // worker writes them to platform::CounterLog when the relay ends.
    struct RelayCounters {
        uint64_t steps = 0;           // relay steps run
        uint64_t reads = 0;           // TCP reads that returned bytes
        uint64_t idleReads = 0;       // TCP reads that found nothing waiting
        uint64_t queueFull = 0;       // steps that could not read: to-peer queue full
        uint64_t writes = 0;          // entries written to TCP
        uint64_t bytesRead = 0;       // from TCP
        uint64_t bytesWritten = 0;    // to TCP
        int64_t periodSumUs = 0;      // between the starts of consecutive steps
        int64_t periodMaxUs = 0;      // (a period that contains an idle sleep not counted)
        uint64_t idleWaits = 0;       // sleeps until there was something to do
    };
    // The counters of the current or last relay (worker thread, or after it).
    const RelayCounters& getRelayCounters() const { return relayCounters; }

    // The worker loops; worker thread only. Public so that the thread entry
    // and tests can run them.
    void executeServer();
    void executeClient();

    // The two buffers the primitives work on (worker thread only).
    uint8_t recvBuffer[kBufferBytes];
    int recvLength = 0;
    uint8_t sendBuffer[kBufferBytes];
    int sendLength = 0;

private:
    // socket, bind and listen on address:listenPort (network order address);
    // the descriptor becomes listenSocket. 1 success, 0 failure (traced).
    int openListener(uint32_t address, int listenPort);
    enum class StepExit { kNone, kReceiveFailure, kSendFailure, kPeerDisconnect, kStop };

    static void threadEntry(XR_SOCKETTCP* socket);
    StepExit relayStep(bool serverTraces);
    // Runs relay steps until one exits. The steps keep a period of
    // kRelayPauseMs: each pause lasts until the next step's deadline, so the
    // time a step works does not lengthen the period. A step that overran
    // its period is followed by a full pause (never two reads closer than
    // one pause). After kIdleStepsBeforeWait steps that did nothing (no
    // bytes read, no entry written, queue not full), the pause lasts until
    // the connection is readable or hung up, an entry or a disconnect-when-
    // drained arrives, or a stop is asked, and then until the next due step
    // time: the steps it leaves out would have found nothing, and the step
    // that follows runs when it would have run anyway. During a transfer
    // this keeps the idle control relay from waking 50 times a second.
    StepExit runRelay(bool serverTraces);
    // One read of up to recvLength bytes (at most capacity) into dest, with
    // receiveData's results.
    int receiveInto(uint8_t* dest, size_t capacity);
    // Writes `length` bytes from `bytes` to connSocket (sendData's loop).
    int sendBytes(const uint8_t* bytes, int length);
    void writeRelayCounters() const;
    // The idle sleep of runRelay; worker thread.
    void waitForWork();
    // Enqueues a header-only message packet with `code` for this socket's
    // port and kind on the to-peer queue; the enqueue's result.
    int enqueueMessage(int code);

    // The steps of executeServer.
    // How the accept phase ended; each outcome but kStopped goes on to the
    // relay start (executeServer says why).
    enum class AcceptExit {
        kStopped,            // stop requested with no client: the worker ends
        kAcceptFailed,       // accept failed (the listener was shut down, or an error)
        kPeerConfirmed,      // a client the peer has confirmed: relay it
        kStoppedWithClient,  // a stop came while the peer answered: client closed
    };
    AcceptExit acceptConfirmedClient();
    // Asks the peer to connect for the client just accepted (CONNECT-REQUEST),
    // after dropping whatever an earlier connection left.
    void requestPeerConnect();
    // Waits (no time limit) for the peer's answer: kReplyOk or kReplyNg, or
    // -1 when a stop was requested first.
    int waitForPeerReply();
    // The end of one client of a control listener after its relay ended for
    // `exit` (not a stop): the peer is told unless it ended the connection
    // itself; the listener then accepts the next client.
    void endControlClient(StepExit exit);
    // Stops a previous worker and closes leftover descriptors before a new
    // set-up.
    void retire();
    // Closes a descriptor field under descriptorLock (shutting it down first
    // when `shutdownFirst`), and sets it to -1.
    void closeDescriptor(int& descriptor, bool shutdownFirst);

    char name[13];  // fixed text: class-name tag, never read
    int listenSocket = -1;  // guarded by descriptorLock where the other thread may look
    int connSocket = -1;    // written by the worker while it runs; guarded by descriptorLock
    std::mutex descriptorLock;
    sockaddr_in bindAddress{};
    sockaddr_in peerAddress{};
    sockaddr_in targetAddress{};
    bool targetValid = false;
    int control = 1;
    int role = kRoleNone;
    int port = 0;
    int localPort = 0;

    std::thread threadHandle;  // the worker, joined before anything replaces it
    std::mutex finishLock;     // with finishedSignal: close waits for the worker's end
    std::condition_variable finishedSignal;
    bool finished = false;  // guarded by finishLock; the worker has left its loop

    std::atomic<int> stopRequested{0};
    std::atomic<int> replyState{kReplyWaiting};
    std::atomic<int> running{0};
    std::atomic<int> connectState{kIdle};
    std::atomic<int> lastError{0};
    // Set by disconnectWhenDrained; the worker acts on it when the from-peer
    // queue is empty, and clears it for each new connection.
    std::atomic<int> drainThenDisconnect{0};

    XR_QUE fromPeerQueue;
    XR_QUE toPeerQueue;

    RelayCounters relayCounters;  // worker thread
    std::chrono::steady_clock::time_point lastStepStart;  // worker thread
    // When the next relay step is due: one period after the previous step
    // was due, so a late wake-up does not push the later steps back.
    std::chrono::steady_clock::time_point nextStepDue;  // worker thread
    int idleSteps = 0;            // worker thread: steps in a row that did nothing
    bool periodInterrupted = false;  // worker thread: the last pause was an idle sleep
    // Wakes an idle relay (eventfd): signalled through fromPeerQueue, and by
    // disconnectWhenDrained and close. The worker makes it when a relay
    // starts and closes it when the relay ends (worker thread).
    int relayWakeFd = -1;
};
