#include "controller/CQuillonForTcpCom.h"

#include "skype/XR_SKYPECOM.h"
#include "skype/XR_WINDOW.h"
#include "support/XR_EVENTLOG.h"
#include "tcp/XR_SOCKETTCP.h"
#include "tcp/XR_TCPMANAGERFORFTP.h"
#include "tunnel/XR_A2AMODEL.h"
#include "tunnel/XR_SKYPESTREAM.h"

CQuillonForTcpCom::CQuillonForTcpCom() {
    XR_EVENTLOG::getInstance()->addListener(this);
}

CQuillonForTcpCom::~CQuillonForTcpCom() {
    release();
}

void CQuillonForTcpCom::release() {
    listeners.clear();
    XR_A2AMODEL::releaseInstance();
    a2aModel = nullptr;
    XR_SKYPEMODEL::releaseInstance();
    skypeModel = nullptr;
    // The link's window goes before the link. A window front end destroyed
    // it with its main window already (the handle names no window any more,
    // so this does nothing); the headless host has no main window.
    destroyOwnedWindows();
    XR_SKYPECOM::releaseInstance();
    skypeCom = nullptr;
    XR_EVENTLOG::releaseInstance();
}

void CQuillonForTcpCom::addListener(CQuillonForTcpComListener* listener) {
    listeners.push_back(listener);
}

void CQuillonForTcpCom::init(MainWindowHandle window) {
    wire(kApplicationName);
    attach(window);
    // A listener on a free port of every interface, closed again at once.
    XR_SOCKETTCP probe;
    probe.createServerSocketAnyPort(kTunnelPort);
}

void CQuillonForTcpCom::wire(const char* applicationName) {
    // The controller registers first, so it hears every attach status
    // before the models do.
    skypeCom = XR_SKYPECOM::getInstance();
    skypeCom->addListener(this);
    skypeModel = XR_SKYPEMODEL::getInstance();
    skypeModel->addListener(this);
    a2aModel = XR_A2AMODEL::getInstance();
    a2aModel->addListener(this);
    a2aModel->setApplicationName(0, applicationName);
}

void CQuillonForTcpCom::attach(MainWindowHandle window) {
    mainWindow = window;
    skypeCom->attachWindow(window);
}

void CQuillonForTcpCom::destroyOwnedWindows() {
    if (skypeCom != nullptr && skypeCom->getOwnWindow() != 0) {
        XR_WINDOW::destroyWindow(skypeCom->getOwnWindow());
    }
}

void CQuillonForTcpCom::notifyConnectStatsuChange(int status) {
    // By index: a listener may register another while it is called.
    for (size_t i = 0; i < listeners.size(); ++i) {
        listeners[i]->notifySkypeComStatusChange();
    }
    if (status == SKYPECONTROLAPI_NO_ATTACH) {
        // The windows hear of it first; then the streams go and the
        // contacts are forgotten.
        a2aModel->closeAllStreams();
        skypeModel->reset();
    }
}

void CQuillonForTcpCom::notifyCurrentUser(const char* text) {
    for (size_t i = 0; i < listeners.size(); ++i) {
        listeners[i]->notifyCurrentUser(text);
    }
}

void CQuillonForTcpCom::notifyModelChanged() {
    for (size_t i = 0; i < listeners.size(); ++i) {
        listeners[i]->notifyModelChanged();
    }
}

void CQuillonForTcpCom::notifyA2AModelChanged() {
    for (size_t i = 0; i < listeners.size(); ++i) {
        listeners[i]->notifyA2AModelChanged();
    }
}

void CQuillonForTcpCom::notifyA2ATransferRate(int index, double sent, double received) {
    for (size_t i = 0; i < listeners.size(); ++i) {
        listeners[i]->notifyA2ATransferRate(index, sent, received);
    }
}

void CQuillonForTcpCom::notifyLog(const char* line) {
    for (size_t i = 0; i < listeners.size(); ++i) {
        listeners[i]->notifyLog(line);
    }
}

int CQuillonForTcpCom::getAttachStatus() {
    return skypeCom != nullptr ? skypeCom->getAttachStatus() : SKYPECONTROLAPI_NO_ATTACH;
}

void CQuillonForTcpCom::connectSelectedUser() {
    a2aModel->connectSelectedUser();
}

void CQuillonForTcpCom::disconnectAll() {
    a2aModel->disconnectAll();
}

const FriendEntry* CQuillonForTcpCom::getSelectedUser() {
    return skypeModel->getSelectedUser();
}

std::string CQuillonForTcpCom::getSelectedUserName() {
    const FriendEntry* entry = getSelectedUser();
    return entry != nullptr ? std::string(entry->handle) : std::string();
}

int CQuillonForTcpCom::getSelectedUserStatus() {
    return skypeModel->getSelectedUserStatus();
}

int CQuillonForTcpCom::isSelectedUserConnectable() {
    return skypeModel->isSelectedUserConnectable();
}

void CQuillonForTcpCom::selectNextUser() {
    skypeModel->selectNextUser();
}

void CQuillonForTcpCom::selectUser(const char* handle) {
    skypeModel->selectUser(handle);
}

int CQuillonForTcpCom::hasAnyStream() {
    return a2aModel->hasAnyStream();
}

int CQuillonForTcpCom::hasAcceptingStream(int index) {
    return a2aModel->hasAcceptingStream(index);
}

int CQuillonForTcpCom::hasConnectedStream(int index) {
    return a2aModel->hasConnectedStream(index);
}

int CQuillonForTcpCom::hasPeerConnectedStream(int index) {
    return a2aModel->hasPeerConnectedStream(index);
}

std::vector<std::string> CQuillonForTcpCom::getContactHandles() {
    std::vector<std::string> handles;
    if (skypeModel == nullptr) {
        return handles;
    }
    for (int i = 0; i < skypeModel->getFriendCount(); ++i) {
        const FriendEntry* entry = skypeModel->getFriend(i);
        if (entry != nullptr) {
            handles.emplace_back(entry->handle);
        }
    }
    return handles;
}

int CQuillonForTcpCom::getContactCount() {
    return skypeModel != nullptr ? skypeModel->getFriendCount() : 0;
}

int CQuillonForTcpCom::isContact(const char* handle) {
    return skypeModel != nullptr ? skypeModel->isFriend(handle) : 0;
}

void CQuillonForTcpCom::reportTraffic() {
    if (a2aModel != nullptr) {
        a2aModel->trafficTick();
    }
}

template <typename Visit>
void CQuillonForTcpCom::forEachStream(int index, Visit visit) {
    if (a2aModel == nullptr || index < 0 || index >= XR_A2AMODEL::kApplicationCount) {
        return;
    }
    XR_SKYPEAPPLICATION& application = a2aModel->getApplication(index);
    for (size_t slot = 0; slot < application.getSlotCount(); ++slot) {
        if (XR_SKYPESTREAM* stream = application.getStream(slot)) {
            visit(*stream);
        }
    }
}

namespace {
// A Client's listener that is not listening: it was set up, but its
// accepting worker never started because socket, bind or listen failed.
XR_SOCKETTCP* failedListener(XR_SKYPESTREAM& stream) {
    XR_TCPMANAGERFORFTP* manager = stream.getTcpManager();
    if (manager == nullptr || manager->getMode() != XR_TCPMANAGER::kModeClient) {
        return nullptr;
    }
    XR_SOCKETTCP* socket = manager->getControlSocket();
    if (socket == nullptr || socket->isRunning() == 1 || socket->getLastError() == 0) {
        return nullptr;
    }
    return socket;
}
}  // namespace

int CQuillonForTcpCom::getListenError(int index, int* listenPort) {
    int error = 0;
    forEachStream(index, [&](XR_SKYPESTREAM& stream) {
        if (XR_SOCKETTCP* socket = failedListener(stream); socket != nullptr && error == 0) {
            error = socket->getLastError();
            if (listenPort != nullptr) {
                *listenPort = socket->getLocalPort();
            }
        }
    });
    return error;
}

int CQuillonForTcpCom::retryListen(int index) {
    int allListening = 1;
    forEachStream(index, [&](XR_SKYPESTREAM& stream) {
        if (failedListener(stream) != nullptr) {
            stream.getTcpManager()->openServer();
            if (failedListener(stream) != nullptr) {
                allListening = 0;
            }
        }
    });
    return allListening;
}

int CQuillonForTcpCom::takeServerConnectFailures(int index, int* error) {
    int failures = 0;
    forEachStream(index, [&](XR_SKYPESTREAM& stream) {
        const int n = stream.takeConnectRequestFailures();
        if (n > 0) {
            failures += n;
            if (error != nullptr && stream.getTcpManager() != nullptr) {
                *error = stream.getTcpManager()->getLastConnectError();
            }
        }
    });
    return failures;
}

int CQuillonForTcpCom::takePeerConnectFailures(int index) {
    int failures = 0;
    forEachStream(index,
                  [&](XR_SKYPESTREAM& stream) { failures += stream.takeConnectReplyFailures(); });
    return failures;
}
