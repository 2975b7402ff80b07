#include "skype/XR_SKYPEMODEL.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Trace.h"
#include "skype/XR_SKYPECOM.h"
#include "support/CQuillonPropaty.h"
#include "support/copyCut.h"
#include "support/nextToken.h"

namespace {
XR_SKYPEMODEL* gInstance = nullptr;
constexpr size_t kCommandBytes = 1024;

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

XR_SKYPEMODEL* XR_SKYPEMODEL::getInstance() {
    if (gInstance == nullptr) {
        gInstance = new XR_SKYPEMODEL();
    }
    return gInstance;
}

void XR_SKYPEMODEL::releaseInstance() {
    delete gInstance;
    gInstance = nullptr;
}

XR_SKYPEMODEL::XR_SKYPEMODEL() {
    std::strcpy(name, "XR_SKYPEMODEL");  // fixed text
    clear();
    XR_SKYPECOM::getInstance()->addListener(this);
}

void XR_SKYPEMODEL::clear() {
    std::memset(currentUser, 0, sizeof currentUser);
    selected = 0;
    contacts.clear();
}

void XR_SKYPEMODEL::reset() {
    clear();
    notifyListeners();
}

void XR_SKYPEMODEL::addListener(MODELLISTENER* listener) {
    listeners.push_back(listener);
}

void XR_SKYPEMODEL::notifyListeners() {
    for (size_t i = 0; i < listeners.size(); ++i) {
        if (listeners[i] != nullptr) {
            listeners[i]->notifyModelChanged();
        }
    }
}

FriendEntry XR_SKYPEMODEL::makeEntry(const char* handle) {
    FriendEntry entry{};
    copyCut(entry.handle, sizeof entry.handle, handle);
    entry.onlineStatus = FriendEntry::kOffline;
    return entry;
}

bool XR_SKYPEMODEL::sameHandle(const char* a, const char* b) {
    return std::strncmp(a, b, FriendEntry::kHandleBytes) == 0;
}

const FriendEntry* XR_SKYPEMODEL::getFriend(int index) const {
    if (index < 0 || index >= static_cast<int>(contacts.size())) {
        return nullptr;
    }
    return &contacts[static_cast<size_t>(index)];
}

const FriendEntry* XR_SKYPEMODEL::getSelectedUser() const {
    return getFriend(selected);
}

int XR_SKYPEMODEL::getSelectedUserStatus() const {
    const FriendEntry* entry = getSelectedUser();
    return entry == nullptr ? -1 : entry->onlineStatus;
}

int XR_SKYPEMODEL::isSelectedUserConnectable() const {
    const FriendEntry* entry = getSelectedUser();
    if (entry == nullptr) {
        return 0;
    }
    for (int flag : entry->connectable) {
        if (flag == 1) {
            return 1;
        }
    }
    return 0;
}

void XR_SKYPEMODEL::selectNextUser() {
    selected = selected + 1;
    if (selected >= static_cast<int>(contacts.size())) {
        selected = 0;
    }
    notifyListeners();
}

void XR_SKYPEMODEL::selectUser(const char* user) {
    if (user != nullptr) {
        for (size_t i = 0; i < contacts.size(); ++i) {
            if (std::strcmp(contacts[i].handle, user) == 0) {
                selected = static_cast<int>(i);
            }
        }
    }
    notifyListeners();
}

void XR_SKYPEMODEL::setConnectable(int index, const char* text) {
    if (index < 0 || index >= FriendEntry::kApplicationCount) {
        return;  // no such application slot
    }
    for (FriendEntry& entry : contacts) {
        entry.connectable[index] = 0;
    }
    char token[kLongTokenSize];
    const char* position = text;
    while (position != nullptr) {
        position = nextToken(position, token, sizeof token, ' ');
        for (FriendEntry& entry : contacts) {
            if (sameHandle(entry.handle, token)) {
                entry.connectable[index] = 1;
            }
        }
    }
    notifyListeners();
}

int XR_SKYPEMODEL::isFriend(const char* user) const {
    if (user == nullptr) {
        return 0;
    }
    for (const FriendEntry& entry : contacts) {
        if (sameHandle(entry.handle, user)) {
            return 1;
        }
    }
    return 0;
}

int XR_SKYPEMODEL::isSelectedUser(const char* user) const {
    const FriendEntry* entry = getSelectedUser();
    return entry != nullptr && user != nullptr && sameHandle(entry->handle, user) ? 1 : 0;
}

int XR_SKYPEMODEL::isAcceptable(const char* user) const {
    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    if (settings != nullptr && settings->getEnableUser() != 0) {
        return isFriend(user);
    }
    return isSelectedUser(user);
}

void XR_SKYPEMODEL::notifyConnectStatsuChange(int status) {
    if (status == SKYPECONTROLAPI_ATTACH_SUCCESS) {
        XR_SKYPECOM::getInstance()->sendCommand("SEARCH FRIENDS");
    }
}

void XR_SKYPEMODEL::notifyCurrentUser(const char* text) {
    char token[kLongTokenSize];
    nextToken(text, token, sizeof token);
    copyCut(currentUser, sizeof currentUser, token);
    platform::trace("XR_SKYPEMODEL::notifyCurrentUser(%s)\n", text);
}

void XR_SKYPEMODEL::notifyCurrentUserOnlineStatus(const char* text) {
    platform::trace("XR_SKYPEMODEL::notifyCurrentUserOnlineStatus(%s)\n", text);
}

void XR_SKYPEMODEL::notifyUsers(const char* text) {
    contacts.clear();
    char token[kLongTokenSize];
    const char* position = text;
    while (position != nullptr) {
        position = nextToken(position, token, sizeof token, ',');
        contacts.push_back(makeEntry(token));
    }
    selected = 0;
    notifyListeners();
    // The handles are copied first: a command's answer may rebuild the list.
    std::vector<std::string> handles;
    for (const FriendEntry& entry : contacts) {
        handles.emplace_back(entry.handle);
    }
    char command[kCommandBytes];
    for (const std::string& handle : handles) {
        std::snprintf(command, sizeof command, "GET USER %s ONLINESTATUS", handle.c_str());
        XR_SKYPECOM::getInstance()->sendCommand(command);
    }
    XR_SKYPECOM::getInstance()->sendCommand("GET CURRENTUSERHANDLE");
}

void XR_SKYPEMODEL::notifyUser(const char* text) {
    char user[kLongTokenSize];
    char property[kLongTokenSize];
    char value[kLongTokenSize];
    const char* position = nextToken(text, user, sizeof user, ' ');
    if (position == nullptr) {
        return;
    }
    position = nextToken(position, property, sizeof property);
    if (position == nullptr) {
        return;
    }
    nextToken(position, value, sizeof value);
    if (startsWith(property, "ONLINESTATUS")) {
        const int status = startsWith(value, "OFFLINE") || startsWith(value, "UNKNOWN")
                               ? FriendEntry::kOffline
                               : FriendEntry::kOnline;
        if (sameHandle(user, currentUser)) {
            return;
        }
        for (FriendEntry& entry : contacts) {
            if (sameHandle(entry.handle, user)) {
                entry.onlineStatus = status;
                return;
            }
        }
        return;
    }
    if (startsWith(property, "BUDDYSTATUS") && startsWith(value, "3") && isFriend(user) == 0) {
        contacts.push_back(makeEntry(user));
    }
}
