#pragma once

#include "ui/CGatePanel.h"

// The panel of Client mode (dialog 130), beside the FTP client: the user
// chooses the contact, opens and closes the gate, and the panel connects on
// its own when the settings ask for automatic connection.
class CClientDlg : public CGatePanel {
    Q_OBJECT
public:
    // The automatic connection connects at once, then again every
    // kAutoConnectRetryMs while the contact stays connectable: a countdown of
    // kAutoConnectRepeatTicks ticks, then the tick that connects.
    static constexpr int kAutoConnectRepeatTicks = 600;
    static constexpr int kAutoConnectRetryMs =
        (kAutoConnectRepeatTicks + 1) * kAutoConnectPeriodMs;  // 60.1 s
    // A listener that could not be opened is tried again every 6 lamp
    // ticks of 500 ms: every 3 s while the gate stays open.
    static constexpr int kListenRetryTicks = 6;

    CClientDlg(CPropaty* settings, GateController* controller, QWidget* parent = nullptr);

    void onSelectButton() override;
    void onBconnect() override;

    int getLampAccepting() const { return lampAccepting; }
    int getAutoConnectCountdown() const { return autoConnectCountdown; }

protected:
    const char* traceName() const override { return "CClientDlg"; }
    void setModeText() override;
    void updateLamps() override;
    void autoConnectTick() override;
    bool isLocalLampLit() const override { return lampAccepting != 0 || lampConnected != 0; }
    void checkFaults() override;
    void attachStatusChanged(int status) override;

private:
    int lampAccepting = 0;
    int autoConnectCountdown = 0;
    int listenRetryTicks = 0;
    bool peerFailureShown = false;  // the fault line holds the peer's failure
};
