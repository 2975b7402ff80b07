#include "ui/CAppModeDlg.h"

#include <QPushButton>
#include <QRadioButton>

#include "resources/ResourceIds.h"

CAppModeDlg::CAppModeDlg(int initialMode, QWidget* parent) : QDialog(parent), mode(initialMode) {
    builder.build(*this, resources::kDialogMode);
    setFixedSize(builder.size());
    connect(builder.controlAs<QPushButton>(resources::kIdOk), &QPushButton::clicked, this,
            &CAppModeDlg::accept);
    connect(builder.controlAs<QPushButton>(resources::kIdCancel), &QPushButton::clicked, this,
            &CAppModeDlg::reject);
    serverButton()->setChecked(mode == 0);
    clientButton()->setChecked(mode == 1);
    connect(serverButton(), &QRadioButton::clicked, this, [this] { transferFromControls(); });
    connect(clientButton(), &QRadioButton::clicked, this, [this] { transferFromControls(); });
}

QRadioButton* CAppModeDlg::serverButton() const {
    return builder.controlAs<QRadioButton>(resources::kIdRadioServer);
}
QRadioButton* CAppModeDlg::clientButton() const {
    return builder.controlAs<QRadioButton>(resources::kIdRadioClient);
}

void CAppModeDlg::transferFromControls() {
    mode = serverButton()->isChecked() ? 0 : clientButton()->isChecked() ? 1 : -1;
}

void CAppModeDlg::accept() {
    transferFromControls();
    QDialog::accept();
}
