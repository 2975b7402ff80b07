#pragma once

#include <string>
#include <utility>
#include <vector>

#include "controller/GateController.h"

// A controller double for the windows: answers from its fields and records
// the calls that act.
class FakeController : public GateController {
public:
    int getAttachStatus() override { return attachStatus; }
    void connectSelectedUser() override { calls.push_back("connectSelectedUser"); }
    void disconnectAll() override { calls.push_back("disconnectAll"); }
    std::string getSelectedUserName() override {
        return contacts.empty() ? std::string() : contacts[selected];
    }
    int getSelectedUserStatus() override { return contacts.empty() ? -1 : selectedStatus; }
    int isSelectedUserConnectable() override { return connectable; }
    void selectNextUser() override {
        calls.push_back("selectNextUser");
        if (!contacts.empty()) {
            selected = (selected + 1) % static_cast<int>(contacts.size());
        }
    }
    void selectUser(const char* handle) override {
        calls.push_back(std::string("selectUser ") + handle);
        for (size_t i = 0; i < contacts.size(); ++i) {
            if (contacts[i] == handle) {
                selected = static_cast<int>(i);
            }
        }
    }
    int hasAnyStream() override { return anyStream; }
    int hasAcceptingStream(int index) override { return index == 0 ? accepting : 0; }
    int hasConnectedStream(int index) override { return index == 0 ? connected : 0; }
    int hasPeerConnectedStream(int index) override { return index == 0 ? peerConnected : 0; }
    std::vector<std::string> getContactHandles() override { return contacts; }
    int getListenError(int index, int* port) override {
        if (index == 0 && listenError != 0 && port != nullptr) {
            *port = listenPort;
        }
        return index == 0 ? listenError : 0;
    }
    int retryListen(int) override {
        calls.push_back("retryListen");
        if (retryOpens) {
            listenError = 0;
        }
        return listenError == 0 ? 1 : 0;
    }
    int takeServerConnectFailures(int, int* error) override {
        if (serverFailures > 0 && error != nullptr) {
            *error = serverError;
        }
        return std::exchange(serverFailures, 0);
    }
    int takePeerConnectFailures(int) override { return std::exchange(peerFailures, 0); }

    int count(const std::string& call) const {
        int n = 0;
        for (const std::string& c : calls) {
            n += c == call ? 1 : 0;
        }
        return n;
    }

    int attachStatus = 1;
    std::vector<std::string> contacts;
    int selected = 0;
    int selectedStatus = 2;
    int connectable = 1;
    int anyStream = 0;
    int accepting = 0;
    int connected = 0;
    int peerConnected = 0;
    int listenError = 0;  // errno of a listener that could not be opened
    int listenPort = 0;
    bool retryOpens = false;  // the next retryListen succeeds
    int serverFailures = 0;
    int serverError = 0;
    int peerFailures = 0;
    std::vector<std::string> calls;
};
