#pragma once

// The one channel between the gateway and the messaging client (on Linux:
// quillon-driver). It discovers and attaches to the driver, sends text
// commands, and hands every notification, classified by its first word, to
// its XR_SKYPECOMUSER listeners in registration order.
//
// Substituting the transport in a test: everything leaves through a
// SkypeTransport. Give the link your own with setTransport (for example one
// that records each command and returns 1; it must return 0 for target 0, as
// a send to no window fails), make the link attached with
//     link->onAttachMessage(link->getAttachMessageId(), someDriverWindow, 0);
// (status 1; someDriverWindow is any non-zero handle, the target of every
// later send) and feed notification lines with parseNotification("...").
// setTransport(nullptr) returns to the built-in driver transport. Install a
// GUI loop (platform::setGuiLoop) before attachWindow; destroy the link's
// window (XR_WINDOW::destroyWindow(getOwnWindow())) and release the link
// before that loop goes away.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "skype/AttachStatus.h"
#include "skype/SkypeTransport.h"
#include "skype/XR_SKYPECOMUSER.h"
#include "skype/XR_WINDOW.h"

class DriverTransport;

class XR_SKYPECOM {
public:
    static constexpr unsigned kRediscoveryTimerId = 1;
    static constexpr int kRediscoveryPeriodMs = 5000;
    static constexpr int kTraceCopyBytes = 512;  // traces show at most this much of a line
    static constexpr const char* kWindowClassName = "SKYPEWINDOW";
    static constexpr const char* kSendFailedEventLine =
        "SkypeDriverへの通知に失敗しました。Skypeは未接続";

    static XR_SKYPECOM* getInstance();
    static void releaseInstance();

    // Creates the hidden window (owned by parent) and starts discovery. Once,
    // after every listener of the models is registered.
    void attachWindow(WindowHandle parent);
    // Appends a listener (not owned; never removed; duplicates kept).
    void addListener(XR_SKYPECOMUSER* listener);
    // Sends one zero-terminated command line; the driver's result (non-zero:
    // taken), or 0 on failure, which also ends the attachment (status 0 to
    // every listener, rediscovery on the next tick).
    int sendCommand(const char* text);
    // One of the SKYPECONTROLAPI_ values (skype/AttachStatus.h).
    int getAttachStatus() const { return attachStatus; }
    // Discovery: asks the driver to attach, only while no driver is known.
    void broadcastMessage();

    // The hidden window's procedure; reaches the link through getInstance.
    static WindowResult skypeWndProc(WindowHandle window, unsigned message, WindowParam first,
                                     WindowLParam second);
    // 1 when message is the attach message (handled), else 0.
    int onAttachMessage(unsigned message, WindowParam first, WindowLParam second);
    // 1 when the block came from the known driver window, else 0.
    int onCopyData(WindowHandle sender, const CopyDataBlock* block);
    // Classifies one notification line and hands it to the listeners.
    void parseNotification(const char* text, int length);
    void parseNotification(const char* line);

    // Test seam: the transport (not owned); nullptr: the built-in one.
    void setTransport(SkypeTransport* transport);
    SkypeTransport& getTransport();
    // Sees every event line the link writes to the event log (which is
    // switched off in this system); for tests and diagnostics.
    void setEventLineObserver(std::function<void(int level, const char* text)> observer);

    WindowHandle getOwnWindow() const { return ownWindow; }
    WindowHandle getSkypeWindow() const { return skypeWindow; }
    WindowHandle getParentWindow() const { return parentWindow; }
    unsigned getAttachMessageId() const { return attachMessage; }
    unsigned getDiscoverMessageId() const { return discoverMessage; }
    size_t getListenerCount() const { return listeners.size(); }
    const char* getName() const { return name; }

private:
    XR_SKYPECOM();
    ~XR_SKYPECOM();
    XR_SKYPECOM(const XR_SKYPECOM&) = delete;
    XR_SKYPECOM& operator=(const XR_SKYPECOM&) = delete;

    void writeEvent(int level, const char* text);
    void notifyStatus();

    char name[12];  // fixed text: class-name tag, never read
    WindowHandle parentWindow = 0;
    unsigned attachMessage = 0;
    unsigned discoverMessage = 0;
    WindowHandle ownWindow = 0;
    WindowHandle skypeWindow = 0;  // the driver's connection; 0 while not attached
    std::unique_ptr<XR_WINDOW> window;
    std::vector<XR_SKYPECOMUSER*> listeners;  // not owned, in registration order
    int32_t attachStatus = SKYPECONTROLAPI_NO_ATTACH;

    std::unique_ptr<DriverTransport> driverTransport;
    SkypeTransport* transport = nullptr;  // driverTransport's, or a test's
    std::function<void(int, const char*)> eventObserver;
    // Separate, so a notification handled inside a send does not mix them.
    char sendTrace[kTraceCopyBytes + 1];
    char receiveTrace[kTraceCopyBytes + 1];
};
