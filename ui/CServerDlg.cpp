#include "ui/CServerDlg.h"

#include "controller/GateController.h"
#include "platform/ProcessFlags.h"
#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "skype/AttachStatus.h"
#include "support/CPropaty.h"
#include "ui/FaultText.h"

namespace {
constexpr const char* kServerCannotOpen = "SERVERからの接続はできません";
}

CServerDlg::CServerDlg(CPropaty* settingsRef, GateController* controllerRef, QWidget* parent)
    : CGatePanel(resources::kDialogServerPanel, settingsRef, controllerRef, parent) {}

void CServerDlg::setModeText() {
    if (settings != nullptr && statusBar != nullptr) {
        // Where the FTP server really is: the settings may move it.
        statusBar->setServerText(settings->getServerConnectPort(0));
    }
}

void CServerDlg::onBconnect() {
    platform::trace("CServerDlg::OnBconnect()\n");
    if (settings == nullptr || controller == nullptr) {
        return;
    }
    if (controlText(resources::kIdGateButton) == QStringLiteral("open")) {
        if (platform::isDebugMode()) {
            openGate();
        } else {
            showMessage(kServerCannotOpen);
        }
    } else {
        closeGate();
    }
}

void CServerDlg::onSelectButton() {
    selectStep();
}

void CServerDlg::updateLamps() {
    if (controller->getAttachStatus() == SKYPECONTROLAPI_ATTACH_SUCCESS) {
        lampConnected = controller->hasConnectedStream(0);
        lampPeer = controller->hasPeerConnectedStream(0);
    } else {
        lampConnected = lampPeer = 0;
    }
    setLampTexts("C", "P");
}

void CServerDlg::checkFaults() {
    // The peer's connect request could not be carried to the FTP server:
    // shown with where it tried until a connection gets through or the gate
    // closes.
    int error = 0;
    if (controller->takeServerConnectFailures(0, &error) > 0 && settings != nullptr) {
        const std::string text = ui::serverConnectFailureText(
            settings->getServerConnectHost(0), settings->getServerConnectPort(0), error);
        platform::trace("UI server: cannot reach the FTP server, error %d\n", error);
        messageLine.setFault(text.c_str());
    } else if (!messageLine.getFault().empty() && controller->hasConnectedStream(0) == 1) {
        messageLine.setFault(nullptr);
    }
}
