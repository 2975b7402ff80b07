#pragma once

#include <QDialog>

#include "ui/DialogBuilder.h"

class QRadioButton;

// The mode dialog "動作選択" (dialog 133): Server (0) or Client (1).
//
// GUI thread only.
class CAppModeDlg : public QDialog {
    Q_OBJECT
public:
    // mode: the current mode; a value other than 0 or 1 selects no button.
    explicit CAppModeDlg(int mode, QWidget* parent = nullptr);

    void accept() override;
    int getMode() const { return mode; }

    QRadioButton* serverButton() const;
    QRadioButton* clientButton() const;

private:
    void transferFromControls();

    DialogBuilder builder;
    int mode = -1;
};
