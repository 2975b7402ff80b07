#pragma once

#include <vector>

#include "skype/MODELLISTENER.h"
#include "skype/XR_SKYPECOMUSER.h"

// One contact of the signed-in user.
struct FriendEntry {
    static constexpr int kHandleBytes = 50;  // zero-terminated, at most 49 characters
    static constexpr int kApplicationCount = 5;
    static constexpr int kOffline = 1;
    static constexpr int kOnline = 2;

    char handle[kHandleBytes];
    int onlineStatus;                    // kOffline or kOnline; kOffline when created
    int connectable[kApplicationCount];  // per application index: 1 when listed CONNECTABLE
};

// What the gateway knows of the driver's users: the signed-in user's handle,
// the contact list with each contact's online status and connectable flags
// per application index, and the selected contact (the peer to connect to).
// It fills itself from the link's notifications and asks for the contact
// list as soon as the link is attached.
//
// One per process (getInstance / releaseInstance); GUI thread only.
class XR_SKYPEMODEL : public XR_SKYPECOMUSER {
public:
    static XR_SKYPEMODEL* getInstance();
    static void releaseInstance();

    void addListener(MODELLISTENER* listener);

    // The selected contact, or nullptr when the list is empty.
    const FriendEntry* getSelectedUser() const;
    // Its onlineStatus, or -1 when the list is empty.
    int getSelectedUserStatus() const;
    // 1 when it is connectable for at least one application index.
    int isSelectedUserConnectable() const;
    void selectNextUser();
    void selectUser(const char* name);
    void reset();
    void setConnectable(int index, const char* text);
    // Whether a stream offered by name may be accepted: any contact with the
    // ENABLEUSER setting on, else only the selected one.
    int isAcceptable(const char* name) const;
    int isFriend(const char* name) const;
    int isSelectedUser(const char* name) const;

    // The contact list, in order.
    int getFriendCount() const { return static_cast<int>(contacts.size()); }
    const FriendEntry* getFriend(int index) const;
    const char* getCurrentUser() const { return currentUser; }
    int getSelectedIndex() const { return selected; }
    const char* getName() const { return name; }

    void notifyConnectStatsuChange(int status) override;
    void notifyCurrentUser(const char* text) override;
    void notifyCurrentUserOnlineStatus(const char* text) override;
    void notifyUsers(const char* text) override;
    void notifyUser(const char* text) override;

private:
    XR_SKYPEMODEL();
    ~XR_SKYPEMODEL() override = default;
    XR_SKYPEMODEL(const XR_SKYPEMODEL&) = delete;
    XR_SKYPEMODEL& operator=(const XR_SKYPEMODEL&) = delete;

    void clear();
    void notifyListeners();
    static FriendEntry makeEntry(const char* handle);
    static bool sameHandle(const char* a, const char* b);

    char name[14];  // fixed text: class-name tag, never read
    char currentUser[FriendEntry::kHandleBytes];
    int selected = 0;
    std::vector<FriendEntry> contacts;
    std::vector<MODELLISTENER*> listeners;  // not owned; never removed
};
