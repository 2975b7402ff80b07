#include "ui/CClientDlg.h"

#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "support/CPropaty.h"
#include "ui/GateController.h"

namespace {
constexpr const char* kAutoConnectDone = "STREAM接続操作を行いました(自動)";
constexpr const char* kAutoConnectMode = "自動接続モードです。ユーザの切り替えはできません。";
}  // namespace

CClientDlg::CClientDlg(CPropaty* settingsRef, GateController* controllerRef, QWidget* parent)
    : CGatePanel(resources::kDialogClientPanel, settingsRef, controllerRef, parent) {}

void CClientDlg::setModeText() {
    if (settings != nullptr && statusBar != nullptr) {
        statusBar->setClientText(settings->getClientPort(0));
    }
}

void CClientDlg::onBconnect() {
    platform::trace("CQuillonForTcpDlg::OnBconnect()\n");
    if (settings == nullptr || controller == nullptr) {
        return;
    }
    if (controlText(resources::kIdGateButton) == QStringLiteral("open")) {
        openGate();
    } else {
        closeGate();
    }
}

void CClientDlg::onSelectButton() {
    // The open button's trace, as the select button has always printed it.
    platform::trace("CQuillonForTcpDlg::OnBconnect()\n");
    if (settings != nullptr && settings->getAutoConnect() != 0) {
        showMessage(kAutoConnectMode);
        return;
    }
    selectStep();
}

void CClientDlg::updateLamps() {
    if (controller->getAttachStatus() == 1) {
        lampAccepting = controller->hasAcceptingStream(0);
        lampConnected = controller->hasConnectedStream(0);
        lampPeer = controller->hasPeerConnectedStream(0);
    } else {
        lampAccepting = lampConnected = lampPeer = 0;
    }
    setLampTexts(lampConnected ? "C" : "L", "P");
}

void CClientDlg::autoConnectTick() {
    if (settings == nullptr || controller == nullptr || controller->getAttachStatus() != 1) {
        return;
    }
    const std::string user = settings->getAutoConnectUser();
    if (settings->getAutoConnect() == 0 || user.empty()) {
        return;
    }
    controller->selectUser(user.c_str());
    if (controller->isSelectedUserConnectable() != 1) {
        return;  // the countdown stands still while the contact is not connectable
    }
    if (autoConnectCountdown == 0) {
        autoConnectCountdown = kAutoConnectRepeatTicks;
        controller->connectSelectedUser();
        showMessage(kAutoConnectDone);
    } else {
        --autoConnectCountdown;
    }
}
