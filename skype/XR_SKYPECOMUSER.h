#pragma once

// A listener of the driver link. Every operation has an empty body, so a
// listener overrides only what it needs. Text arguments point into the
// notification and are valid for the duration of the call only. Called on
// the GUI thread, in registration order.
class XR_SKYPECOMUSER {
public:
    virtual ~XR_SKYPECOMUSER() = default;

    // The stored attach status, on every attach message and after a failed
    // send: a statement of the current status, not necessarily a change.
    virtual void notifyConnectStatsuChange(int status) { (void)status; }
    // The text after "CURRENTUSERHANDLE".
    virtual void notifyCurrentUser(const char* text) { (void)text; }
    // The text after "USERSTATUS".
    virtual void notifyCurrentUserOnlineStatus(const char* text) { (void)text; }
    // The text after "USERS": the contact list.
    virtual void notifyUsers(const char* text) { (void)text; }
    // The text after "USER": one property of one user.
    virtual void notifyUser(const char* text) { (void)text; }
    // The whole line, for "CREATE", "DELETE", "ALTER" and "APPLICATION" lines.
    virtual void notifyA2Adata(const char* line) { (void)line; }
};
