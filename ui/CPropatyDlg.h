#pragma once

#include <QDialog>
#include <string>

#include "ui/DialogBuilder.h"

class CPropaty;
class GateController;
class QCheckBox;
class QComboBox;

// The settings dialog "プロパティ設定" (dialog 132): sound cues, acceptance of
// contact-list users, automatic connection and its contact. OK writes all
// five keys of the settings file.
//
// GUI thread only.
class CPropatyDlg : public QDialog {
    Q_OBJECT
public:
    // Initialises the dialog from the settings and the controller's contact
    // list (both not owned; either may be missing).
    CPropatyDlg(CPropaty* settings, GateController* controller, QWidget* parent = nullptr);

    // OK: checks and stores the values, writes the settings file.
    void accept() override;

    QCheckBox* soundCheck() const;
    QCheckBox* enableUserCheck() const;
    QCheckBox* autoConnectCheck() const;
    QComboBox* userCombo() const;

private:
    void evenRightMargin();
    void transferToControls();
    void transferFromControls();

    DialogBuilder builder;
    CPropaty* settings;
    GateController* controller;
    int enableUser = 0;
    int autoConnect = 0;
    int soundMode = 0;
    std::string autoConnectUser;
};
