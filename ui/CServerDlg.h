#pragma once

#include "ui/CGatePanel.h"

// The panel of Server mode (dialog 129), beside the FTP server. A Server
// waits for the Client to open the gate: its open button opens streams only
// in debug mode, it never connects on its own, and its local lamp has no
// listening state.
class CServerDlg : public CGatePanel {
    Q_OBJECT
public:
    CServerDlg(CPropaty* settings, GateController* controller, QWidget* parent = nullptr);

    void onSelectButton() override;
    void onBconnect() override;

protected:
    const char* traceName() const override { return "CServerDlg"; }
    void setModeText() override;
    void updateLamps() override;
    void autoConnectTick() override {}
    bool isLocalLampLit() const override { return lampConnected != 0; }
    void checkFaults() override;
};
