#include "ui/CClientDlg.h"

#include "controller/GateController.h"
#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "skype/AttachStatus.h"
#include "support/CPropaty.h"
#include "ui/FaultText.h"

namespace {
constexpr const char* kAutoConnectDone = "STREAM接続操作を行いました(自動)";
constexpr const char* kAutoConnectMode = "自動接続モードです。ユーザの切り替えはできません。";
}  // namespace

CClientDlg::CClientDlg(CPropaty* settingsRef, GateController* controllerRef, QWidget* parent)
    : CGatePanel(resources::kDialogClientPanel, settingsRef, controllerRef, parent) {}

void CClientDlg::setModeText() {
    if (settings != nullptr && statusBar != nullptr) {
        // Where the FTP client really connects: the settings may move the
        // listener off the tunnel port.
        statusBar->setClientText(settings->getClientListenPort(0));
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
    if (controller->getAttachStatus() == SKYPECONTROLAPI_ATTACH_SUCCESS) {
        lampAccepting = controller->hasAcceptingStream(0);
        lampConnected = controller->hasConnectedStream(0);
        lampPeer = controller->hasPeerConnectedStream(0);
    } else {
        lampAccepting = lampConnected = lampPeer = 0;
    }
    setLampTexts(lampConnected ? "C" : "L", "P");
}

void CClientDlg::attachStatusChanged(int status) {
    if (status != SKYPECONTROLAPI_ATTACH_SUCCESS) {
        // Every attachment starts the automatic connection afresh: the
        // first tick after the driver is back connects at once.
        autoConnectCountdown = 0;
    }
}

void CClientDlg::checkFaults() {
    // The listener: shown (and tried again) for as long as it cannot be
    // opened; the regular line returns once it listens.
    int port = 0;
    int error = controller->getListenError(0, &port);
    if (error != 0 && ++listenRetryTicks >= kListenRetryTicks) {
        listenRetryTicks = 0;
        if (controller->retryListen(0) == 1) {
            platform::trace("UI listen: port %d open now\n", port);
        }
        error = controller->getListenError(0, &port);
    }
    if (error != 0) {
        const std::string text = ui::listenFailureText(port, error);
        if (messageLine.getFault() != text) {
            platform::trace("UI listen: port %d failed, error %d\n", port, error);
        }
        messageLine.setFault(text.c_str());
        peerFailureShown = false;
        return;
    }
    listenRetryTicks = 0;
    // The peer could not reach its FTP server: shown until the peer's TCP
    // side connects for us or the gate closes.
    if (controller->takePeerConnectFailures(0) > 0) {
        platform::trace("UI peer: cannot reach its FTP server\n");
        messageLine.setFault(ui::peerConnectFailureText());
        peerFailureShown = true;
    } else if (peerFailureShown && controller->hasPeerConnectedStream(0) == 1) {
        peerFailureShown = false;
        messageLine.setFault(nullptr);
    } else if (!peerFailureShown && !messageLine.getFault().empty()) {
        messageLine.setFault(nullptr);  // the listener's failure is over
    }
}

void CClientDlg::autoConnectTick() {
    if (settings == nullptr || controller == nullptr ||
        controller->getAttachStatus() != SKYPECONTROLAPI_ATTACH_SUCCESS) {
        autoConnectCountdown = 0;  // no attachment: the next one connects at once
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
