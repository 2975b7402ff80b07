#pragma once

#include <string>
#include <vector>

// What the panels and the settings dialog ask of the controller: the
// controller's forwarding operations to the models, so that no window holds a
// model itself. Implemented by the controller (CQuillonForTcpCom) and, in
// tests, by a controller double.
//
// GUI thread only.
class GateController {
public:
    virtual ~GateController() = default;

    // The driver attachment status: one of the SKYPECONTROLAPI_ values of
    // skype/AttachStatus.h (1 attached, 0 not attached, ...).
    virtual int getAttachStatus() = 0;
    // Opens the gate to the selected contact.
    virtual void connectSelectedUser() = 0;
    // Closes the gate.
    virtual void disconnectAll() = 0;
    // The selected contact's handle; empty when no contact is selected.
    virtual std::string getSelectedUserName() = 0;
    // The selected contact's online status: 1 offline, 2 online, -1 none.
    virtual int getSelectedUserStatus() = 0;
    virtual int isSelectedUserConnectable() = 0;
    virtual void selectNextUser() = 0;
    virtual void selectUser(const char* handle) = 0;
    virtual int hasAnyStream() = 0;
    virtual int hasAcceptingStream(int applicationIndex) = 0;
    virtual int hasConnectedStream(int applicationIndex) = 0;
    virtual int hasPeerConnectedStream(int applicationIndex) = 0;
    // The handles of the contact list, in list order.
    virtual std::vector<std::string> getContactHandles() = 0;

    // Failures of the TCP side that the windows show. The defaults answer
    // "nothing failed", for controllers without a TCP side.
    //
    // Client mode: the socket error (errno) of a listener of the
    // application's open gate that could not be opened, with the port it
    // tried in *listenPort; 0 while every such listener listens.
    virtual int getListenError(int applicationIndex, int* listenPort) {
        (void)applicationIndex;
        (void)listenPort;
        return 0;
    }
    // Client mode: tries again to open every listener that could not be
    // opened; 1 when all of them listen now.
    virtual int retryListen(int applicationIndex) {
        (void)applicationIndex;
        return 1;
    }
    // Server mode: how many of the peer's connect requests could not be
    // carried to the FTP server since the last call; the socket error of the
    // last of them in *error.
    virtual int takeServerConnectFailures(int applicationIndex, int* error) {
        (void)applicationIndex;
        (void)error;
        return 0;
    }
    // Client mode: how many of this side's connect requests the peer
    // answered with "could not connect" since the last call.
    virtual int takePeerConnectFailures(int applicationIndex) {
        (void)applicationIndex;
        return 0;
    }
};
