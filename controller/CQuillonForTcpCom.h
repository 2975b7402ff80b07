#pragma once

#include <string>
#include <vector>

#include "controller/CQuillonForTcpComListener.h"
#include "controller/QuillonController.h"
#include "skype/MODELLISTENER.h"
#include "skype/XR_SKYPECOMUSER.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/XR_EVENTLOGLISTENER.h"
#include "tunnel/XR_A2AMODELLISTENER.h"

class XR_SKYPECOM;
class XR_A2AMODEL;

// The controller: the one object through which a front end (the window, or
// the headless quillon-host) reaches the models. It creates and wires the
// driver link, the user model and the tunnel model, listens to them and to
// the event log, fans every notification out to its
// CQuillonForTcpComListener front ends, drops the streams and forgets the
// contacts when the driver attachment ends, and offers the front end
// forwarding operations. release (and the destructor) releases the models in
// a fixed order: tunnel model, user model, the link's window, link, event log.
//
// Core code: no Qt. GUI thread only; no locks.
class CQuillonForTcpCom : public XR_SKYPECOMUSER,
                          public MODELLISTENER,
                          public XR_A2AMODELLISTENER,
                          public XR_EVENTLOGLISTENER,
                          public QuillonController {
public:
    static constexpr int kTunnelPort = 100;  // the port the start-up probe listener carries
    static constexpr const char* kApplicationName = "QuillonForFtp2000";

    CQuillonForTcpCom();
    ~CQuillonForTcpCom() override;
    CQuillonForTcpCom(const CQuillonForTcpCom&) = delete;
    CQuillonForTcpCom& operator=(const CQuillonForTcpCom&) = delete;

    // Wiring.
    void addListener(CQuillonForTcpComListener* listener) override;
    // The window's start: wire(kApplicationName), attach(window), then a
    // probe listener on kTunnelPort's free port of every interface.
    void init(MainWindowHandle window) override;
    void destroyOwnedWindows() override;
    // Creates and wires the models (the controller is the link's first
    // listener) and names application 0.
    void wire(const char* applicationName);
    // Creates the link's window (owned by window) and starts discovering the
    // driver. Once, after wire.
    void attach(MainWindowHandle window);
    // Stops listening and releases the models in the fixed order; the link's
    // window goes after the user model unless the front end destroyed it
    // already (destroyOwnedWindows). Again is harmless.
    void release();

    // XR_SKYPECOMUSER
    void notifyConnectStatsuChange(int status) override;
    void notifyCurrentUser(const char* text) override;
    // MODELLISTENER
    void notifyModelChanged() override;
    // XR_A2AMODELLISTENER
    void notifyA2AModelChanged() override;
    void notifyA2ATransferRate(int index, double sent, double received) override;
    // XR_EVENTLOGLISTENER
    void notifyLog(const char* line) override;

    // Forwarding operations (all but getAttachStatus only after init).
    int getAttachStatus() override;
    void connectSelectedUser() override;
    void disconnectAll() override;
    const FriendEntry* getSelectedUser();
    std::string getSelectedUserName() override;
    int getSelectedUserStatus() override;
    int isSelectedUserConnectable() override;
    void selectNextUser() override;
    void selectUser(const char* handle) override;
    int hasAnyStream() override;
    int hasAcceptingStream(int applicationIndex) override;
    int hasConnectedStream(int applicationIndex) override;
    int hasPeerConnectedStream(int applicationIndex) override;
    std::vector<std::string> getContactHandles() override;
    int getListenError(int applicationIndex, int* listenPort) override;
    int retryListen(int applicationIndex) override;
    int takeServerConnectFailures(int applicationIndex, int* error) override;
    int takePeerConnectFailures(int applicationIndex) override;
    int getContactCount();
    int isContact(const char* handle);
    // Reports the bytes the streams moved since the last report now
    // (notifyA2ATransferRate), instead of at the next once-a-second tick.
    void reportTraffic();

    XR_SKYPEMODEL* getSkypeModel() const { return skypeModel; }
    MainWindowHandle getMainWindow() const { return mainWindow; }
    size_t getListenerCount() const { return listeners.size(); }

private:
    // Calls visit for every stream of the application (none for an index
    // outside the five slots or before init).
    template <typename Visit>
    void forEachStream(int applicationIndex, Visit visit);

    MainWindowHandle mainWindow = 0;
    XR_SKYPECOM* skypeCom = nullptr;
    XR_SKYPEMODEL* skypeModel = nullptr;
    XR_A2AMODEL* a2aModel = nullptr;
    std::vector<CQuillonForTcpComListener*> listeners;  // not owned; in registration order
};
