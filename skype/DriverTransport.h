#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "platform/DriverFrame.h"
#include "platform/EventLoop.h"
#include "skype/SkypeTransport.h"

// The link's way to quillon-driver: a Unix stream socket (path from
// QUILLON_DRIVER, else the per-user default, looked up at each discovery).
//
// Discovery connects when there is no connection and sends a discover frame;
// the driver answers with an attach frame, delivered to the link's window as
// the attach message whose first parameter names this connection (a handle
// that is new for every connection, so blocks of an old connection are never
// taken for the new one's). A copy-data send writes one frame and waits for
// the driver's result frame, at most kSendTimeoutMs in all. Frames that
// arrive meanwhile are queued (bounded) and delivered, in arrival order,
// after the send has returned: as a task the GUI loop runs before it waits
// again (EventLoop::defer), so no notification is handled inside a send and
// handing them on costs no wake-up of the loop.
//
// A send that cannot be completed (no connection, block over the frame
// limit, write or wait failing or timing out, the driver hanging up or
// breaking the protocol) returns 0 and closes the connection: the link then
// reports the attachment lost and rediscovers. A driver that goes away is
// therefore noticed at the latest by the next command.
//
// GUI thread only; needs platform::guiLoop().
class DriverTransport final : public SkypeTransport {
public:
    // Longest time the GUI thread waits for the driver in one send. The
    // driver answers at once (microseconds); this only bounds the stall when
    // it hangs, and is long enough that a heavily loaded machine does not
    // make a healthy driver look lost (which would drop every stream).
    static constexpr int kSendTimeoutMs = 2000;
    static constexpr size_t kMaxPendingBlocks = 1024;
    static constexpr size_t kMaxPendingBytes = 4 * 1024 * 1024;
    static constexpr size_t kReadChunkBytes = 64 * 1024;
    static constexpr int kMaxReadsPerTurn = 8;

    // socketPath empty: QUILLON_DRIVER or the per-user default, at each
    // discovery. sendTimeoutMs other than kSendTimeoutMs only in tests.
    explicit DriverTransport(std::string socketPath = std::string(),
                             int sendTimeoutMs = kSendTimeoutMs);
    ~DriverTransport() override;
    DriverTransport(const DriverTransport&) = delete;
    DriverTransport& operator=(const DriverTransport&) = delete;

    int broadcastDiscover(WindowHandle ownWindow, unsigned discoverMessage) override;
    WindowResult sendCopyData(WindowHandle target, WindowHandle sender,
                              const CopyDataBlock& block) override;

    bool isConnected() const { return fd >= 0; }
    WindowHandle getDriverWindow() const { return driverWindow; }
    size_t pendingCount() const { return pending.size(); }
    void close();

private:
    struct Pending {
        WindowHandle from;
        platform::driverframe::Frame frame;
    };

    // Reads what the socket has; queues every frame but results, and stores
    // a result in *result when given. Returns false when the connection
    // ended or broke (it is then closed).
    bool readFrames(bool* gotResult, int32_t* result);
    bool queue(platform::driverframe::Frame frame);
    // Has deliverPending run by the GUI loop before it waits again (once,
    // however often it is asked before that).
    void scheduleDelivery();
    void onReadable();
    void deliverPending();
    void removeWatch(platform::EventLoop::WatchId& id);

    std::string configuredPath;
    int sendTimeoutMs;
    int fd = -1;
    WindowHandle driverWindow = 0;  // names the current connection; 0 without one
    WindowHandle ownWindow = 0;
    unsigned attachMessage = 0;
    // The loop the watches were added to; they are removed only from it, and
    // only while it is still the GUI loop.
    platform::EventLoop* watchLoop = nullptr;
    platform::EventLoop::WatchId watch = 0;
    bool deliveryScheduled = false;
    // Lives as long as this object: a deferred delivery that outlives it
    // finds it expired and does nothing.
    std::shared_ptr<int> lifeToken = std::make_shared<int>(0);
    platform::DriverFrameReader reader;
    std::deque<Pending> pending;  // at most kMaxPendingBlocks / kMaxPendingBytes
    // The frame being sent; reused, so a send allocates nothing once it has
    // grown to the largest frame (kMaxBlockBytes and its header).
    std::string sendFrame;
    size_t pendingBytes = 0;
    bool delivering = false;
};
