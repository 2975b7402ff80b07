#include "skype/DriverTransport.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "platform/Clock.h"
#include "platform/DriverSocket.h"
#include "platform/Trace.h"

namespace df = platform::driverframe;

namespace {
// Handles of driver connections; never reused in the process.
WindowHandle gNextDriverWindow = 0x7F000001;
}  // namespace

DriverTransport::DriverTransport(std::string socketPath, int sendTimeoutMs)
    : configuredPath(std::move(socketPath)), sendTimeoutMs(sendTimeoutMs) {
    attachMessage = XR_WINDOW::registerWindowMessage("SkypeControlAPIAttach");
}

DriverTransport::~DriverTransport() {
    close();
}

void DriverTransport::removeWatch(platform::EventLoop::WatchId& id) {
    if (id != 0 && platform::hasGuiLoop() && &platform::guiLoop() == watchLoop) {
        watchLoop->removeWatch(id);
    }
    id = 0;
}

void DriverTransport::close() {
    if (fd < 0) {
        return;
    }
    removeWatch(watch);
    ::close(fd);
    fd = -1;
    driverWindow = 0;
    reader = platform::DriverFrameReader();
}

int DriverTransport::broadcastDiscover(WindowHandle window, unsigned discoverMessage) {
    (void)discoverMessage;
    ownWindow = window;
    if (!platform::hasGuiLoop()) {
        return 0;
    }
    platform::EventLoop& loop = platform::guiLoop();
    if (watchLoop != &loop) {
        // A new GUI loop (tests install one each): watch from scratch; a
        // delivery deferred on the old loop went with it.
        close();
        deliveryScheduled = false;
        watchLoop = &loop;
    }
    if (fd < 0) {
        const std::string path =
            configuredPath.empty() ? platform::driversocket::defaultPath() : configuredPath;
        fd = platform::driversocket::connectTo(path);
        if (fd < 0) {
            return 0;
        }
        driverWindow = gNextDriverWindow++;
        watch = loop.addReadWatch(fd, [this] { onReadable(); });
    }
    const std::string frame = df::encodeDiscover();
    if (!platform::driversocket::writeAll(fd, frame.data(), frame.size(), sendTimeoutMs)) {
        close();
        return 0;
    }
    return 1;
}

WindowResult DriverTransport::sendCopyData(WindowHandle target, WindowHandle sender,
                                           const CopyDataBlock& block) {
    (void)sender;
    if (fd < 0 || target == 0 || target != driverWindow) {
        return 0;
    }
    std::string& frame = sendFrame;
    df::encodeCopyDataInto(frame, static_cast<uint32_t>(block.tag), block.data, block.byteCount);
    if (frame.empty()) {
        platform::trace("DriverTransport: block of %u bytes over the limit of %zu\n",
                        block.byteCount, df::kMaxBlockBytes);
        close();
        return 0;
    }
    const platform::Clock& clock = platform::SteadyClock::instance();
    const int64_t deadline = clock.nowMs() + sendTimeoutMs;
    if (!platform::driversocket::writeAll(fd, frame.data(), frame.size(), sendTimeoutMs)) {
        close();
        return 0;
    }
    bool gotResult = false;
    int32_t result = 0;
    while (!gotResult) {
        const int64_t left = deadline - clock.nowMs();
        if (left <= 0) {
            platform::trace("DriverTransport: no result within %d ms\n", sendTimeoutMs);
            close();
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            close();
            break;
        }
        if (ready > 0 && !readFrames(&gotResult, &result)) {
            break;  // closed
        }
    }
    if (!pending.empty()) {
        scheduleDelivery();
    }
    return gotResult ? result : 0;
}

bool DriverTransport::readFrames(bool* gotResult, int32_t* result) {
    char buffer[kReadChunkBytes];
    for (int turn = 0; turn < kMaxReadsPerTurn; ++turn) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0) {
            close();
            return false;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            }
            close();
            return false;
        }
        size_t used = 0;
        while (used < static_cast<size_t>(got)) {
            used += reader.push(buffer + used, static_cast<size_t>(got) - used);
            df::Frame frame;
            const auto state = reader.next(frame);
            if (state == platform::DriverFrameReader::Result::kError) {
                platform::trace("DriverTransport: %s\n", reader.errorText().c_str());
                close();
                return false;
            }
            if (state != platform::DriverFrameReader::Result::kFrame) {
                continue;
            }
            if (frame.type == df::kResult) {
                if (gotResult != nullptr && !*gotResult) {
                    *gotResult = true;
                    *result = frame.word();
                }
                continue;  // a result nobody waits for is dropped
            }
            if (frame.type != df::kAttach && frame.type != df::kCopyData) {
                platform::trace("DriverTransport: unexpected frame '%c'\n", frame.type);
                close();
                return false;
            }
            if (!queue(std::move(frame))) {
                platform::trace("DriverTransport: driver floods the link; closing\n");
                close();
                return false;
            }
        }
        if (gotResult != nullptr && *gotResult) {
            return true;  // the rest waits for the loop
        }
        if (static_cast<size_t>(got) < sizeof buffer) {
            // A stream socket hands out all it holds, up to the buffer: a
            // short read emptied it, and another read would only find it
            // empty. What comes later makes the socket readable again.
            return true;
        }
    }
    return true;
}

namespace {

// Notifications that state the whole current picture of an application (its
// stream list, its connectable contacts, what waits to be read): a later one
// makes an earlier one still waiting here worthless. Returns the length of
// the part that names what is stated ("APPLICATION x STREAMS"), or 0 for
// every other block.
size_t supersedingKeyLength(std::string_view text) {
    constexpr std::string_view kApplication = "APPLICATION ";
    if (text.substr(0, kApplication.size()) != kApplication) {
        return 0;
    }
    const size_t nameEnd = text.find(' ', kApplication.size());
    if (nameEnd == std::string_view::npos) {
        return 0;
    }
    for (std::string_view keyword : {"STREAMS", "CONNECTABLE", "RECEIVED"}) {
        const std::string_view rest = text.substr(nameEnd + 1);
        if (rest.substr(0, keyword.size()) == keyword &&
            (rest.size() == keyword.size() || rest[keyword.size()] == ' ' ||
             rest[keyword.size()] == '\0')) {
            return nameEnd + 1 + keyword.size();
        }
    }
    return 0;
}

}  // namespace

bool DriverTransport::queue(df::Frame frame) {
    // A burst of notifications (a contact opening many streams at once) must
    // not grow the queue without bound, nor be fatal to the link: a state
    // notification takes the place of the one of the same kind still waiting
    // (in its place, so a stream list never moves behind the reads of a
    // stream it announced).
    if (frame.type == df::kCopyData) {
        const std::string_view text = frame.block();
        const size_t keyLength = supersedingKeyLength(text);
        if (keyLength != 0) {
            const std::string_view key = text.substr(0, keyLength);
            for (Pending& waiting : pending) {
                if (waiting.from != driverWindow || waiting.frame.type != df::kCopyData) {
                    continue;
                }
                const std::string_view older = waiting.frame.block();
                if (supersedingKeyLength(older) == keyLength && older.substr(0, keyLength) == key) {
                    if (pendingBytes - waiting.frame.body.size() + frame.body.size() >
                        kMaxPendingBytes) {
                        return false;
                    }
                    pendingBytes = pendingBytes - waiting.frame.body.size() + frame.body.size();
                    waiting.frame = std::move(frame);
                    return true;  // at most one of each kind waits
                }
            }
        }
    }
    if (pending.size() >= kMaxPendingBlocks ||
        pendingBytes + frame.body.size() > kMaxPendingBytes) {
        return false;
    }
    pendingBytes += frame.body.size();
    pending.push_back(Pending{driverWindow, std::move(frame)});
    return true;
}

void DriverTransport::scheduleDelivery() {
    if (deliveryScheduled || watchLoop == nullptr || !platform::hasGuiLoop() ||
        &platform::guiLoop() != watchLoop) {
        return;
    }
    deliveryScheduled = true;
    std::weak_ptr<int> alive = lifeToken;
    watchLoop->defer([this, alive] {
        if (alive.expired()) {
            return;
        }
        deliveryScheduled = false;
        deliverPending();
    });
}

void DriverTransport::onReadable() {
    if (fd >= 0) {
        readFrames(nullptr, nullptr);
    }
    deliverPending();
    if (!pending.empty()) {
        scheduleDelivery();  // queued by a send inside a delivery that had ended
    }
}

void DriverTransport::deliverPending() {
    if (delivering) {
        return;  // a nested loop inside a listener; the outer delivery goes on
    }
    delivering = true;
    while (!pending.empty()) {
        Pending next = std::move(pending.front());
        pending.pop_front();
        pendingBytes -= next.frame.body.size();
        if (next.frame.type == df::kAttach) {
            XR_WINDOW::sendMessage(ownWindow, attachMessage, next.from, next.frame.word());
        } else {
            const std::string_view bytes = next.frame.block();
            CopyDataBlock block;
            block.tag = next.frame.tag();
            block.byteCount = static_cast<uint32_t>(bytes.size());
            // The body is a std::string, so a NUL follows the bytes even when
            // the driver's block lacks one: parsers never run past it.
            block.data = bytes.data();
            XR_WINDOW::sendMessage(ownWindow, windowmsg::kCopyData, next.from,
                                   reinterpret_cast<WindowLParam>(&block));
        }
    }
    delivering = false;
}
