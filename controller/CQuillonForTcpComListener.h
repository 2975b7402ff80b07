#pragma once

// What the controller tells its front end: the windows (the main dialog) or
// the headless host. Called on the GUI thread, in registration order.
class CQuillonForTcpComListener {
public:
    virtual ~CQuillonForTcpComListener() = default;
    // The event log wrote a line (never while the log is switched off).
    virtual void notifyLog(const char* line) = 0;
    // The link reported an attach status; ask getAttachStatus for it.
    virtual void notifySkypeComStatusChange() = 0;
    // The user model changed: contact list, selection, connectable users.
    virtual void notifyModelChanged() = 0;
    // An application's registration or its set of streams changed.
    virtual void notifyA2AModelChanged() = 0;
    // Once a second per named application: the bytes of the last second.
    virtual void notifyA2ATransferRate(int index, double sent, double received) = 0;
    // The driver named the signed-in account (the text after
    // "CURRENTUSERHANDLE"); only the headless host shows it.
    virtual void notifyCurrentUser(const char* handle) { (void)handle; }
};
