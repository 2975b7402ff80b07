#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>
#include <string>

#include "ui/CLogoDlg.h"
#include "ui/CLogoDlgListener.h"
#include "ui/CMsg.h"
#include "ui/DialogBuilder.h"

class CPropaty;
class GateController;
class QLabel;
class QPushButton;

// What the client panel and the server panel share: the gate button, the two
// lamps, the select button, the selected contact, the status line and the
// status bar, with their timers and colours. The two panels differ only in
// the hooks below.
//
// The main dialog constructs a panel with the settings and the controller
// (not owned) and calls initDialog() once. GUI thread only.
class CGatePanel : public QWidget, public CLogoDlgListener {
    Q_OBJECT
public:
    static constexpr int kStatusTimer = 1;
    static constexpr int kLampTimer = 2;
    static constexpr int kAutoConnectTimer = 3;
    static constexpr int kStatusPeriodMs = 500;
    static constexpr int kLampPeriodMs = 500;
    static constexpr int kAutoConnectPeriodMs = 100;

    ~CGatePanel() override;

    // The dialog's initialisation: status bar, mode text, timers.
    void initDialog();

    // Calls of the main dialog.
    void changeAttachStatus(int status);
    void showSelectedUser();
    void setGateOpen(int open);
    void setRates(double sent, double received);
    virtual void openGate();
    virtual void closeGate();
    virtual void onSelectButton() = 0;
    // The gate button (1021).
    virtual void onBconnect() = 0;
    // A timer message (1, 2 or 3); the panel's QTimers call it.
    void onTimer(int timerId);

    void notifyPropatyButton() override;

    // Observers (tests, traces).
    QWidget* control(int controlId) const { return builder.control(controlId); }
    QString controlText(int controlId) const;
    bool isControlEnabled(int controlId) const;
    QColor backgroundOf(int controlId) const;
    QColor textColourOf(int controlId) const;
    CLogoDlg& getStatusBar() { return *statusBar; }
    CMsg& getMessageLine() { return messageLine; }
    int getUserColour() const { return userColour; }

    static QColor gray() { return QColor(100, 100, 100); }
    static QColor green() { return QColor(0, 255, 0); }
    static QColor red() { return QColor(255, 0, 0); }
    static QColor blue() { return QColor(0, 0, 255); }

protected:
    CGatePanel(int dialogId, CPropaty* settings, GateController* controller, QWidget* parent);

    // The differences of the two panels.
    virtual const char* traceName() const = 0;
    virtual void setModeText() = 0;
    virtual void updateLamps() = 0;
    virtual void autoConnectTick() = 0;
    virtual bool isLocalLampLit() const = 0;
    // After each lamp refresh: the failures of the open gate for the status
    // line (CMsg::setFault). Only while the controller exists.
    virtual void checkFaults() {}
    // A new attach status reached the panel (changeAttachStatus).
    virtual void attachStatusChanged(int status) { (void)status; }

    // Shows a message in the status line at once.
    void showMessage(const char* text);
    // The select step of the select button: the next contact and its cue, or
    // the refusal while the button is disabled.
    void selectStep();
    void setLampTexts(const char* local, const char* peer);
    void refreshColours();

    CPropaty* settings;
    GateController* controller;
    DialogBuilder builder;
    CLogoDlg* statusBar = nullptr;  // child widget, owned by the panel
    CMsg messageLine;
    int userColour = 0;  // 0, 1 blue; 2 green
    int lampConnected = 0;
    int lampPeer = 0;

private:
    void setLabelColours(QLabel* label, const QColor& text, const QColor& background);
    void traceLamps();

    QPushButton* gateButton = nullptr;
    QPushButton* selectButton = nullptr;
    QLabel* lampLocal = nullptr;
    QLabel* lampPeerLabel = nullptr;
    QLabel* userName = nullptr;
    QLabel* statusLine = nullptr;
    QTimer statusTimer;
    QTimer lampTimer;
    QTimer autoConnectTimer;
    std::string tracedLamps;  // the lamps as last traced
    std::string tracedUser;   // the contact and its colour as last traced
    int tracedLed = -1;
};
