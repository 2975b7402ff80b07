#include "ui/CServerDlg.h"

#include "platform/ProcessFlags.h"
#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "support/CPropaty.h"
#include "ui/GateController.h"

namespace {
constexpr const char* kServerCannotOpen = "SERVERからの接続はできません";
}

CServerDlg::CServerDlg(CPropaty* settingsRef, GateController* controllerRef, QWidget* parent)
    : CGatePanel(resources::kDialogServerPanel, settingsRef, controllerRef, parent) {}

void CServerDlg::setModeText() {
    if (settings != nullptr && statusBar != nullptr) {
        statusBar->setServerText(settings->getServerPort(0));
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
    if (controller->getAttachStatus() == 1) {
        lampConnected = controller->hasConnectedStream(0);
        lampPeer = controller->hasPeerConnectedStream(0);
    } else {
        lampConnected = lampPeer = 0;
    }
    setLampTexts("C", "P");
}
