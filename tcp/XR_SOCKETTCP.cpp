#include "tcp/XR_SOCKETTCP.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "platform/CounterLog.h"
#include "platform/ProcessFlags.h"
#include "platform/Trace.h"
#include "tcp/TunnelPacket.h"

namespace {

// Any address outside the local networks serves: connecting a UDP socket
// sends nothing and only picks the route (a documentation address).
constexpr const char* kOutsideProbeAddress = "198.51.100.1";

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool isWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Urgent bytes stay in the byte stream: an FTP client sends the end of its
// "ABOR" line as urgent data, and a plain read would skip that byte, so the
// command would never be complete on the other side.
void keepUrgentDataInline(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on);
}

// Set before the connection exists (on the listener, inherited by accepted
// sockets; on a client socket before connect) so the window it allows is
// announced from the start.
void sizeReceiveBuffer(int fd) {
    const int bytes = XR_SOCKETTCP::kTcpReceiveBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace

XR_SOCKETTCP::XR_SOCKETTCP() {
    startWinsock();
    std::strcpy(name, "XR_SOCKETTCP");  // fixed text
    std::memset(recvBuffer, 0, sizeof recvBuffer);
    std::memset(sendBuffer, 0, sizeof sendBuffer);
}

XR_SOCKETTCP::~XR_SOCKETTCP() {
    retire();
}

void XR_SOCKETTCP::startWinsock() {
    // POSIX sockets need no library start-up: nothing to do.
}

// --- set-up -----------------------------------------------------------------

void XR_SOCKETTCP::retire() {
    if (threadHandle.joinable()) {
        bool ended;
        {
            std::lock_guard<std::mutex> guard(finishLock);
            ended = finished;
        }
        if (ended) {
            threadHandle.join();
        } else {
            close();
        }
    }
    closeDescriptor(listenSocket, false);
    closeDescriptor(connSocket, true);
}

void XR_SOCKETTCP::closeDescriptor(int& descriptor, bool shutdownFirst) {
    std::lock_guard<std::mutex> guard(descriptorLock);
    if (descriptor < 0) {
        return;
    }
    if (shutdownFirst) {
        ::shutdown(descriptor, SHUT_RDWR);
    }
    ::close(descriptor);
    descriptor = -1;
}

int XR_SOCKETTCP::createServerSocket(int tunnelPort) {
    return createServerSocket(tunnelPort, tunnelPort);
}

int XR_SOCKETTCP::openListener(uint32_t address, int listenPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        lastError.store(errno);
        platform::trace("socket Error: %d\n", lastError.load());
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard(descriptorLock);
        listenSocket = fd;
    }
    std::memset(&bindAddress, 0, sizeof bindAddress);
    bindAddress.sin_family = AF_INET;
    bindAddress.sin_port = htons(static_cast<uint16_t>(listenPort));
    bindAddress.sin_addr.s_addr = address;
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sizeReceiveBuffer(fd);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0) {
        lastError.store(errno);
        platform::trace("bind Error: %d\n", lastError.load());
        closeDescriptor(listenSocket, false);
        return 0;
    }
    if (::listen(fd, kListenBacklog) != 0) {
        lastError.store(errno);
        platform::trace("listen Error: %d\n", lastError.load());
        closeDescriptor(listenSocket, false);
        return 0;
    }
    return 1;
}

int XR_SOCKETTCP::createServerSocket(int tunnelPort, int listenPort) {
    retire();
    port = tunnelPort;
    localPort = listenPort;
    const uint32_t address = platform::isLocalOnly() ? htonl(INADDR_LOOPBACK) : INADDR_ANY;
    if (openListener(address, listenPort) == 0) {
        return 0;
    }
    platform::trace("サーバソケットを作成しました. port:%d\n", port);
    role = kRoleServer;
    connectState.store(kIdle);
    return 1;
}

int XR_SOCKETTCP::createServerSocketAnyPort(int tunnelPort, uint32_t address) {
    retire();
    port = tunnelPort;
    if (openListener(address, 0) == 0) {
        return 0;
    }
    sockaddr_in found{};
    socklen_t length = sizeof found;
    if (::getsockname(listenSocket, reinterpret_cast<sockaddr*>(&found), &length) != 0) {
        platform::trace("getsockname failed.:%d\n", errno);
    } else {
        localPort = ntohs(found.sin_port);
    }
    platform::trace("** sin.sin_port=%d\n", localPort);
    platform::trace("サーバソケットを作成しました. port:%d\n", port);
    role = kRoleServer;
    connectState.store(kIdle);
    fromPeerQueue.reset();
    toPeerQueue.reset();
    return 1;
}

int XR_SOCKETTCP::createClientSocket(int tunnelPort, const char* host) {
    return createClientSocket(tunnelPort, host, tunnelPort);
}

int XR_SOCKETTCP::createClientSocket(int tunnelPort, const char* host, int connectPort) {
    retire();
    port = tunnelPort;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        keepUrgentDataInline(fd);
        sizeReceiveBuffer(fd);
    }
    {
        std::lock_guard<std::mutex> guard(descriptorLock);
        connSocket = fd;  // a failure here shows as a failing connect
    }
    std::memset(&targetAddress, 0, sizeof targetAddress);
    targetAddress.sin_family = AF_INET;
    targetAddress.sin_port = htons(static_cast<uint16_t>(connectPort));
    targetValid = false;
    if (host != nullptr && ::inet_aton(host, &targetAddress.sin_addr) != 0) {
        targetValid = true;
    } else if (host != nullptr) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(host, nullptr, &hints, &found) == 0 && found != nullptr) {
            targetAddress.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
            targetValid = true;
        }
        if (found != nullptr) {
            ::freeaddrinfo(found);
        }
    }
    if (!targetValid) {
        return 1;  // the connect that follows fails
    }
    platform::trace("クライアントソケットを作成しました. port:%d\n", port);
    role = kRoleClient;
    connectState.store(kIdle);
    fromPeerQueue.reset();
    toPeerQueue.reset();
    return 1;
}

namespace {

// Connects fd to target without letting a slow or silent target hold the
// calling (GUI) thread: the connect runs non-blocking and is given up after
// timeoutMs. Returns 0 on success, else the error (ETIMEDOUT on time-out).
int connectWithin(int fd, const sockaddr_in& target, int timeoutMs) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    int error = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        error = errno;
        if (error == EINPROGRESS || error == EINTR) {
            pollfd p{fd, POLLOUT, 0};
            int ready = 0;
            do {
                ready = ::poll(&p, 1, timeoutMs);
            } while (ready < 0 && errno == EINTR);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                    error = errno;
                }
            }
        }
    }
    // The relay loops choose their own mode; hand the socket back as it came.
    ::fcntl(fd, F_SETFL, flags);
    return error;
}

}  // namespace

int XR_SOCKETTCP::connectClient() {
    int error = EADDRNOTAVAIL;  // the target could not be looked up
    if (targetValid) {
        error = connSocket >= 0 ? connectWithin(connSocket, targetAddress, kConnectTimeoutMs)
                                : EBADF;
    }
    if (error != 0) {
        lastError.store(error);
        platform::trace("connect Error : %d\n", error);
        closeDescriptor(connSocket, false);
        errno = error;
        return 0;
    }
    platform::trace("connctしました. port:%d\n", port);  // fixed text
    connectState.store(kConnected);
    return 1;
}

// --- primitives of the worker -------------------------------------------------

int XR_SOCKETTCP::acceptClient() {
    connectState.store(kAccepting);
    socklen_t length = sizeof peerAddress;
    const int fd =
        ::accept4(listenSocket, reinterpret_cast<sockaddr*>(&peerAddress), &length, SOCK_CLOEXEC);
    if (fd < 0) {
        lastError.store(errno);
        platform::trace("accept Error: %d\n", lastError.load());
        connectState.store(kIdle);
        return 0;
    }
    keepUrgentDataInline(fd);
    {
        std::lock_guard<std::mutex> guard(descriptorLock);
        connSocket = fd;
    }
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peerAddress.sin_addr, dotted, sizeof dotted);
    platform::trace("accepted connection from %s, port=%d\n", dotted, ntohs(peerAddress.sin_port));
    connectState.store(kConnected);
    return 1;
}

int XR_SOCKETTCP::sendData() {
    return sendBytes(sendBuffer, sendLength);
}

int XR_SOCKETTCP::sendBytes(const uint8_t* bytes, int length) {
    if (length <= 0) {
        return 1;
    }
    int written = 0;
    int waits = 0;  // not reset by progress: one call waits at most 19 times
    while (written < length) {
        const ssize_t n = ::send(connSocket, bytes + written,
                                 static_cast<size_t>(length - written), MSG_NOSIGNAL);
        if (n >= 0) {
            written += static_cast<int>(n);
            continue;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (isWouldBlock(error)) {
            if (++waits >= kSendWaitLimit) {
                lastError.store(kWouldBlockCode);
                platform::trace("Thread:send Error Send WaitCount OVER : %d\n", kWouldBlockCode);
                return 0;
            }
            sleepMs(kSendWaitMs);
            continue;
        }
        lastError.store(error);
        platform::trace("Thread:send Error : %d\n", error);
        return 0;
    }
    return 1;
}

int XR_SOCKETTCP::receiveData() {
    return receiveInto(recvBuffer, sizeof recvBuffer);
}

int XR_SOCKETTCP::receiveInto(uint8_t* dest, size_t capacity) {
    const size_t want = std::min(static_cast<size_t>(std::max(recvLength, 0)), capacity);
    const ssize_t n = ::recv(connSocket, dest, want, 0);
    if (n >= 1) {
        recvLength = static_cast<int>(n);
        return 1;
    }
    const int error = n < 0 ? errno : 0;
    if (n < 0 && (isWouldBlock(error) || error == EINTR)) {
        recvLength = -1;
        return 1;
    }
    if (n < 0) {
        lastError.store(error);
    }
    platform::trace("Thread:recv Error : 0x%x,n=%d\n", static_cast<unsigned>(error),
                    static_cast<int>(n));
    recvLength = 0;
    return 0;
}

int XR_SOCKETTCP::enqueueMessage(int code) {
    uint8_t packet[kPacketHeaderBytes] = {};
    TunnelPacketHeader header;
    initPacketHeader(header);
    header.port = static_cast<uint16_t>(port);
    header.kind = control != 0 ? kKindControlMessage : kKindDataLinkMessage;
    header.code = static_cast<uint16_t>(code);
    storePacketHeader(header, packet);
    return toPeerQueue.enqueue(packet, sizeof packet);
}

int XR_SOCKETTCP::queueDisconnect() {
    return enqueueMessage(kCodeDisconnectRequest);
}

void XR_SOCKETTCP::setNonBlocking() {
    const int flags = ::fcntl(connSocket, F_GETFL, 0);
    if (flags >= 0) {
        ::fcntl(connSocket, F_SETFL, flags | O_NONBLOCK);
    }
}

// --- threads ------------------------------------------------------------------

void XR_SOCKETTCP::startThread() {
    if (threadHandle.joinable()) {
        bool ended;
        {
            std::lock_guard<std::mutex> guard(finishLock);
            ended = finished;
        }
        if (!ended) {
            // A socket never runs two workers.
            platform::trace("スレッド作成失敗\n");
            return;
        }
        threadHandle.join();
    }
    stopRequested.store(0);
    drainThenDisconnect.store(0);
    {
        std::lock_guard<std::mutex> guard(finishLock);
        finished = false;
    }
    try {
        // The socket travels as the thread's own argument, so no start can
        // hand a worker another socket.
        threadHandle = std::thread(&XR_SOCKETTCP::threadEntry, this);
    } catch (const std::system_error&) {
        platform::trace("スレッド作成失敗\n");
        std::lock_guard<std::mutex> guard(finishLock);
        finished = true;
        return;
    }
    platform::trace("スレッドを作成しました\n");
    for (int check = 0; check < kStartChecks && running.load() == 0; ++check) {
        {
            std::lock_guard<std::mutex> guard(finishLock);
            if (finished) {
                break;
            }
        }
        sleepMs(kStartCheckMs);
    }
}

void XR_SOCKETTCP::threadEntry(XR_SOCKETTCP* socket) {
    platform::trace("スレッド開始 port=%d\n", socket->port);
    if (socket->role == kRoleClient) {
        socket->executeClient();
    } else if (socket->role == kRoleServer) {
        socket->executeServer();
    } else {
        platform::trace("スレッド起動失敗：サーバ・クライアント種別が設定されていません\n");
    }
    platform::trace("スレッド終了 port=%d\n", socket->port);
    {
        std::lock_guard<std::mutex> guard(socket->finishLock);
        socket->finished = true;
    }
    socket->finishedSignal.notify_all();
}

void XR_SOCKETTCP::close() {
    stopRequested.store(1);
    fromPeerQueue.wakeConsumer();
    const bool hasWorker = threadHandle.joinable();
    if (hasWorker) {
        // Wake a blocking accept or read; the descriptors are closed once the
        // worker has ended, so it never works on a number reused elsewhere.
        std::lock_guard<std::mutex> guard(descriptorLock);
        if (listenSocket >= 0) {
            ::shutdown(listenSocket, SHUT_RDWR);
        }
        if (connSocket >= 0) {
            ::shutdown(connSocket, SHUT_RDWR);
        }
    } else {
        closeDescriptor(listenSocket, false);
        closeDescriptor(connSocket, true);
    }
    platform::trace("スレッド終了を指示\n");
    if (hasWorker) {
        std::unique_lock<std::mutex> lock(finishLock);
        if (!finishedSignal.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                     [this] { return finished; })) {
            // Past the time-out the worker still owns this object; it always
            // ends once its endpoints are shut down, so wait for it.
            finishedSignal.wait(lock, [this] { return finished; });
        }
        lock.unlock();
        threadHandle.join();
        closeDescriptor(listenSocket, false);
        closeDescriptor(connSocket, true);
    }
    connectState.store(kIdle);
    platform::trace("スレッド終了を検知しました\n");
}

void XR_SOCKETTCP::confirmConnection() {
    if (role == kRoleServer && replyState.load() == kReplyWaiting) {
        fromPeerQueue.reset();
    }
    replyState.store(kReplyOk);
}

int XR_SOCKETTCP::awaitsPeerConfirmation() const {
    if (role != kRoleServer) {
        return 0;
    }
    return connectState.load() == kConnected && replyState.load() == kReplyOk ? 0 : 1;
}

int XR_SOCKETTCP::abortConnection() {
    std::lock_guard<std::mutex> guard(descriptorLock);
    if (connSocket < 0 || connectState.load() != kConnected) {
        return 0;
    }
    ::shutdown(connSocket, SHUT_RDWR);
    return 1;
}

int XR_SOCKETTCP::disconnectWhenDrained() {
    if (running.load() == 0) {
        return 0;
    }
    drainThenDisconnect.store(1);
    fromPeerQueue.wakeConsumer();
    return 1;
}

uint32_t XR_SOCKETTCP::getConnectionLocalAddress() {
    std::lock_guard<std::mutex> guard(descriptorLock);
    if (connSocket < 0) {
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(connSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET) {
        return 0;
    }
    return local.sin_addr.s_addr;
}

uint32_t XR_SOCKETTCP::getConnectionPeerAddress() {
    std::lock_guard<std::mutex> guard(descriptorLock);
    if (connSocket < 0) {
        return 0;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(connSocket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET) {
        return 0;
    }
    return peer.sin_addr.s_addr;
}

uint32_t XR_SOCKETTCP::getLocalAddress() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in outside{};
    outside.sin_family = AF_INET;
    outside.sin_port = 0;
    ::inet_aton(kOutsideProbeAddress, &outside.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&outside), sizeof outside) != 0) {
        ::close(fd);
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        ::close(fd);
        return 0;
    }
    ::close(fd);
    return local.sin_addr.s_addr;
}

// --- the relay loops ----------------------------------------------------------

XR_SOCKETTCP::StepExit XR_SOCKETTCP::relayStep(bool serverTraces) {
    RelayCounters& counters = relayCounters;
    const auto stepStart = std::chrono::steady_clock::now();
    if (counters.steps > 0 && !periodInterrupted) {
        const int64_t periodUs =
            std::chrono::duration_cast<std::chrono::microseconds>(stepStart - lastStepStart)
                .count();
        counters.periodSumUs += periodUs;
        counters.periodMaxUs = std::max(counters.periodMaxUs, periodUs);
    }
    lastStepStart = stepStart;
    periodInterrupted = false;
    ++counters.steps;
    bool worked = false;

    // TCP to the peer: one read, only while the to-peer queue has room. The
    // bytes are read straight behind the packet header in sendBuffer, where
    // the data packet is built; only the header needs clearing.
    if (toPeerQueue.canEnqueue() != 0) {
        recvLength = kTcpReadBytes;
        if (receiveInto(sendBuffer + kPacketHeaderBytes, sizeof sendBuffer - kPacketHeaderBytes) ==
            0) {
            platform::trace("Thread:Recv Fatal Error exit thread port=%d\n", port);
            return StepExit::kReceiveFailure;
        }
        if (recvLength > 0) {
            worked = true;
            ++counters.reads;
            counters.bytesRead += static_cast<uint64_t>(recvLength);
            if (serverTraces) {
                platform::trace("Thread:TCP-Recieve port=%d,len=%d\n",  // fixed text
                                port, recvLength);
            }
            TunnelPacketHeader header;
            initPacketHeader(header);
            header.port = static_cast<uint16_t>(port);
            header.kind = control != 0 ? kKindControlData : kKindDataLinkData;
            header.dataLength = static_cast<uint16_t>(recvLength);
            storePacketHeader(header, sendBuffer);
            toPeerQueue.enqueue(sendBuffer, static_cast<unsigned>(kPacketHeaderBytes + recvLength));
        } else {
            ++counters.idleReads;
        }
    } else {
        worked = true;  // waits for the pump, which signals nothing: keep stepping
        ++counters.queueFull;
        if (serverTraces) {
            platform::trace("PORT%d A2ASEND QUE FULL\n", port);
        }
    }

    // The peer to TCP: at most one entry, written to TCP from where it lies.
    unsigned entrySize = 0;
    if (fromPeerQueue.dequeueEntry(recvBuffer, sizeof recvBuffer, &entrySize) != 0) {
        worked = true;
        if (entrySize < kPacketHeaderBytes) {
            std::memset(recvBuffer + entrySize, 0, kPacketHeaderBytes - entrySize);
        }
        const TunnelPacketHeader entry = loadPacketHeader(recvBuffer);
        if (entry.kind == kKindControlData || entry.kind == kKindDataLinkData) {
            if (serverTraces) {
                platform::trace("Thread:A2A-Recieve len=%d\n", entry.dataLength);  // fixed text
            }
            if (kPacketHeaderBytes + entry.dataLength > entrySize) {
                // Not the bytes the header announces: not a packet we could
                // have been given whole, so none of it goes to TCP.
                platform::trace("Thread:A2A-Recieve bad length=%d dropped\n", entry.dataLength);
            } else {
                sendLength = entry.dataLength;
                if (sendBytes(recvBuffer + kPacketHeaderBytes, sendLength) == 0) {
                    return StepExit::kSendFailure;
                }
                ++counters.writes;
                counters.bytesWritten += static_cast<uint64_t>(sendLength);
                platform::trace("Thread:Send complete! port=%d,len=%d\n", port, sendLength);
            }
        } else if ((entry.kind == kKindControlMessage || entry.kind == kKindDataLinkMessage) &&
                   entry.code == kCodeDisconnectRequest) {
            return StepExit::kPeerDisconnect;
        }
    } else if (drainThenDisconnect.exchange(0) != 0) {
        // The peer's end, waiting behind a queue that was full: it is empty now.
        return StepExit::kPeerDisconnect;
    }

    // Once idle long enough, every further idle step sleeps again.
    idleSteps = worked ? 0 : std::min(idleSteps + 1, kIdleStepsBeforeWait);
    if (idleSteps >= kIdleStepsBeforeWait) {
        waitForWork();
    }

    // The pause lasts until the next step is due.
    const auto period = std::chrono::milliseconds(kRelayPauseMs);
    nextStepDue += period;
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextStepDue) {
        nextStepDue = now + period;  // overran its period: a full pause
    }
    std::this_thread::sleep_until(nextStepDue);
    if (stopRequested.load() != 0) {
        return StepExit::kStop;
    }
    return StepExit::kNone;
}

void XR_SOCKETTCP::waitForWork() {
    if (relayWakeFd < 0) {
        return;
    }
    fromPeerQueue.armWake();
    // The last look, after arming: whatever arrives from here on signals.
    if (fromPeerQueue.getCount() == 0 && drainThenDisconnect.load() == 0 &&
        stopRequested.load() == 0) {
        pollfd fds[2] = {{connSocket, POLLIN | POLLPRI, 0}, {relayWakeFd, POLLIN, 0}};
        ::poll(fds, 2, kIdleWaitLimitMs);  // any outcome: the step looks for itself
        ++relayCounters.idleWaits;
    }
    fromPeerQueue.disarmWake();
    uint64_t signals = 0;
    [[maybe_unused]] const ssize_t n = ::read(relayWakeFd, &signals, sizeof signals);
    // Back on the step grid: the next step is the first one due from now on.
    const auto period = std::chrono::milliseconds(kRelayPauseMs);
    const auto now = std::chrono::steady_clock::now();
    if (now > nextStepDue) {
        nextStepDue += ((now - nextStepDue) / period) * period;
    }
    periodInterrupted = true;
}

XR_SOCKETTCP::StepExit XR_SOCKETTCP::runRelay(bool serverTraces) {
    relayCounters = RelayCounters{};
    idleSteps = 0;
    periodInterrupted = false;
    nextStepDue = std::chrono::steady_clock::now();
    // The relay's own wake-up, for as long as it relays. Without it (no
    // descriptors left) the relay simply never sleeps past a pause.
    relayWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    fromPeerQueue.setWakeFd(relayWakeFd);
    StepExit exit = StepExit::kNone;
    while (exit == StepExit::kNone) {
        exit = relayStep(serverTraces);
    }
    fromPeerQueue.setWakeFd(-1);  // from here on no producer signals it
    if (relayWakeFd >= 0) {
        ::close(relayWakeFd);
        relayWakeFd = -1;
    }
    writeRelayCounters();
    return exit;
}

void XR_SOCKETTCP::writeRelayCounters() const {
    if (!platform::CounterLog::enabled()) {
        return;
    }
    const RelayCounters& c = relayCounters;
    const double meanMs =
        c.steps > 1 ? static_cast<double>(c.periodSumUs) / 1000.0 / static_cast<double>(c.steps - 1)
                    : 0.0;
    platform::CounterLog::write(
        "relay port=%d link=%s role=%s steps=%llu period_ms=%.3f period_max_ms=%.3f reads=%llu "
        "idle_reads=%llu queue_full=%llu writes=%llu bytes_read=%llu bytes_written=%llu "
        "idle_waits=%llu",
        port, control != 0 ? "control" : "data", role == kRoleServer ? "server" : "client",
        static_cast<unsigned long long>(c.steps), meanMs,
        static_cast<double>(c.periodMaxUs) / 1000.0, static_cast<unsigned long long>(c.reads),
        static_cast<unsigned long long>(c.idleReads), static_cast<unsigned long long>(c.queueFull),
        static_cast<unsigned long long>(c.writes), static_cast<unsigned long long>(c.bytesRead),
        static_cast<unsigned long long>(c.bytesWritten),
        static_cast<unsigned long long>(c.idleWaits));
}

// The accept phase of a listening worker: accepts one client after another
// until the peer confirms one. A client the peer refuses is closed and the
// next one accepted.
XR_SOCKETTCP::AcceptExit XR_SOCKETTCP::acceptConfirmedClient() {
    while (stopRequested.load() == 0) {
        // The last client's OK ends with it: until the peer confirms the
        // next one, whatever it sends belongs to a connection that is over.
        setReplyWaiting();
        if (acceptClient() == 0) {
            closeDescriptor(connSocket, false);
            return AcceptExit::kAcceptFailed;
        }
        platform::trace("Thread:accept exec　OK:port:%d\n", port);  // fixed text
        requestPeerConnect();
        if (waitForPeerReply() == kReplyOk) {
            return AcceptExit::kPeerConfirmed;
        }
        closeDescriptor(connSocket, true);  // refused, or a stop came first
        if (stopRequested.load() != 0) {
            return AcceptExit::kStoppedWithClient;
        }
    }
    return AcceptExit::kStopped;
}

void XR_SOCKETTCP::requestPeerConnect() {
    setReplyWaiting();
    drainThenDisconnect.store(0);  // a pending end belonged to the last client
    // Entries left from an earlier connection are dropped before the peer
    // hears of this one, so nothing it sends for this client can be dropped
    // with them.
    fromPeerQueue.reset();
    enqueueMessage(kCodeConnectRequest);
    platform::trace("Thread:PEERにconnect-RequestをQueしました\n");
}

int XR_SOCKETTCP::waitForPeerReply() {
    while (stopRequested.load() == 0) {
        const int state = replyState.load();
        if (state == kReplyWaiting) {
            platform::trace("WaitConnectPeer");
            sleepMs(kReplyPollMs);
        } else if (state == kReplyOk) {
            platform::trace("Thread:CONNECT_OK detect:port:%d\n", port);
            return kReplyOk;
        } else if (state == kReplyNg) {
            platform::trace("Thread:CONNECT_NG detect:port:%d\n", port);
            return kReplyNg;
        } else {
            sleepMs(kOddReplyPollMs);
        }
    }
    return -1;
}

void XR_SOCKETTCP::endControlClient(StepExit exit) {
    connectState.store(kIdle);
    if (exit != StepExit::kPeerDisconnect) {  // a peer that ended it needs no notice
        queueDisconnect();
    }
    closeDescriptor(connSocket, true);
    if (exit == StepExit::kReceiveFailure) {
        platform::trace("PORT(%d):PEERから切断されました.\n", port);
    }
}

void XR_SOCKETTCP::executeServer() {
    platform::trace("executeServer Start:port:%d\n", port);
    running.store(1);
    for (;;) {
        const AcceptExit accepted = acceptConfirmedClient();
        if (accepted == AcceptExit::kStopped) {
            break;
        }
        // Relay start. Every other outcome of the accept phase comes here.
        // A stop during the peer's answer (kStoppedWithClient) is noticed
        // just below, as is an accept that failed because close shut the
        // listener down. An accept that failed on its own (kAcceptFailed)
        // comes here too, on purpose: with no connection the first read
        // fails, and the receive-failure end below does what the end of any
        // connection does: a control socket sends the peer a disconnect
        // notice and accepts again, a data link's worker ends with its
        // notice. The failed accept thus needs no teardown of its own.
        setNonBlocking();
        platform::trace("thread:Server port=%d start tcp rcv-send\n", port);
        if (stopRequested.load() != 0) {
            break;
        }
        const StepExit exit = runRelay(true);
        if (exit == StepExit::kStop) {
            break;
        }
        if (exit == StepExit::kSendFailure) {
            platform::trace("Thread:Send Error! port=%d, len=%d\n", port, sendLength);
        }
        if (control == 0) {
            break;  // a data link serves one connection
        }
        endControlClient(exit);
    }
    queueDisconnect();
    closeDescriptor(connSocket, true);
    running.store(0);
    platform::trace("Server Thread end:port:%d\n", port);
    connectState.store(kIdle);
}

void XR_SOCKETTCP::executeClient() {
    running.store(1);
    setNonBlocking();
    if (stopRequested.load() == 0) {
        const StepExit exit = runRelay(false);
        if (exit == StepExit::kSendFailure) {
            platform::trace("Thread:Send Fatal Error exit thread port=%d\n", port);
        }
    }
    platform::trace("Client Thread:end :port:%d\n", port);
    queueDisconnect();
    closeDescriptor(connSocket, true);
    connectState.store(kIdle);
    running.store(0);
}
