#pragma once

#include <vector>

#include "../ui/FakeController.h"
#include "controller/CQuillonForTcpComListener.h"
#include "controller/QuillonController.h"

// The controller double of the main dialog: FakeController's answers plus
// the wiring, and a way to send the notifications the models would.
class FakeMainController : public QuillonController {
public:
    int getAttachStatus() override { return fake.getAttachStatus(); }
    void connectSelectedUser() override { fake.connectSelectedUser(); }
    void disconnectAll() override { fake.disconnectAll(); }
    std::string getSelectedUserName() override { return fake.getSelectedUserName(); }
    int getSelectedUserStatus() override { return fake.getSelectedUserStatus(); }
    int isSelectedUserConnectable() override { return fake.isSelectedUserConnectable(); }
    void selectNextUser() override { fake.selectNextUser(); }
    void selectUser(const char* handle) override { fake.selectUser(handle); }
    int hasAnyStream() override { return fake.hasAnyStream(); }
    int hasAcceptingStream(int i) override { return fake.hasAcceptingStream(i); }
    int hasConnectedStream(int i) override { return fake.hasConnectedStream(i); }
    int hasPeerConnectedStream(int i) override { return fake.hasPeerConnectedStream(i); }
    std::vector<std::string> getContactHandles() override { return fake.getContactHandles(); }

    void addListener(CQuillonForTcpComListener* listener) override {
        listeners.push_back(listener);
    }
    void init(MainWindowHandle window) override {
        initWindow = window;
        fake.calls.push_back("init");
    }
    void destroyOwnedWindows() override { fake.calls.push_back("destroyOwnedWindows"); }

    void status(int value) {
        fake.attachStatus = value;
        for (auto* l : listeners) {
            l->notifySkypeComStatusChange();
        }
    }
    void streams(int any, int connected = 0) {
        fake.anyStream = any;
        fake.connected = connected;
        for (auto* l : listeners) {
            l->notifyA2AModelChanged();
        }
    }

    FakeController fake;
    std::vector<CQuillonForTcpComListener*> listeners;
    MainWindowHandle initWindow = 0;
};
