#pragma once

#include <string>
#include <vector>

#include "app/CQuillonForTcpComListener.h"
#include "app/QuillonController.h"
#include "skype/MODELLISTENER.h"
#include "skype/XR_SKYPECOMUSER.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/XR_EVENTLOGLISTENER.h"
#include "tunnel/XR_A2AMODELLISTENER.h"

class XR_SKYPECOM;
class XR_A2AMODEL;

// The controller: the one object through which the windows reach the models.
// It creates and wires the driver link, the user model and the tunnel model,
// listens to them and to the event log, fans every notification out to its
// CQuillonForTcpComListener windows, and offers the windows forwarding
// operations. At destruction it releases the models in a fixed order: tunnel
// model, user model, link, event log.
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
    void init(MainWindowHandle window) override;
    void destroyOwnedWindows() override;

    // XR_SKYPECOMUSER
    void notifyConnectStatsuChange(int status) override;
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
