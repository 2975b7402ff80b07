#include "ui/CPropatyDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>
#include <algorithm>

#include "controller/GateController.h"
#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "support/CPropaty.h"
#include "ui/ModalSeam.h"

namespace {
constexpr const char* kNoAutoConnectUser = "自動接続先のユーザIDが設定されていません。";
constexpr const char* kCannotWrite =
    "設定ファイル %1 に書き込めませんでした。\n変更はプログラムの終了まで有効です。";
constexpr const char* kCaption = "QuillonForFTP Ⅱ";

// The list entry whose text starts with prefix, without regard to case,
// searching from the second entry and wrapping around to the first; -1 when
// none does.
int findPrefix(const QComboBox& combo, const QString& prefix) {
    const int count = combo.count();
    for (int step = 1; step <= count; ++step) {
        const int index = step % count;
        if (combo.itemText(index).startsWith(prefix, Qt::CaseInsensitive)) {
            return index;
        }
    }
    return -1;
}
}  // namespace

CPropatyDlg::CPropatyDlg(CPropaty* settingsRef, GateController* controllerRef, QWidget* parent)
    : QDialog(parent), settings(settingsRef), controller(controllerRef) {
    builder.build(*this, resources::kDialogSettings);
    evenRightMargin();
    setFixedSize(builder.size());
    connect(builder.controlAs<QPushButton>(resources::kIdOk), &QPushButton::clicked, this,
            &CPropatyDlg::accept);
    connect(builder.controlAs<QPushButton>(resources::kIdCancel), &QPushButton::clicked, this,
            &CPropatyDlg::reject);
    transferToControls();
    if (settings == nullptr || controller == nullptr) {
        return;
    }
    soundMode = settings->getSoundMode();
    enableUser = settings->getEnableUser();
    autoConnect = settings->getAutoConnect();
    autoConnectUser = settings->getAutoConnectUser();

    QComboBox* combo = userCombo();
    const std::vector<std::string> handles = controller->getContactHandles();
    for (const std::string& handle : handles) {
        combo->addItem(QString::fromStdString(handle));
    }
    if (handles.empty() && !autoConnectUser.empty()) {
        combo->addItem(QString::fromStdString(autoConnectUser));
    }
    // No entry is selected unless one starts with the stored handle; an
    // empty handle would match every entry and selects none.
    combo->setCurrentIndex(
        autoConnectUser.empty() ? -1 : findPrefix(*combo, QString::fromStdString(autoConnectUser)));

    if (settings->getAppMode() != 0) {
        enableUserCheck()->setEnabled(false);
    } else {
        autoConnectCheck()->setEnabled(false);
        combo->setEnabled(false);
    }
    transferToControls();
}

void CPropatyDlg::evenRightMargin() {
    // The stand-in font runs wider than the template's, so the dialog grows
    // to hold its widest check box. The controls that reach the template's
    // right margin (the group box, the contact box, the cancel button)
    // follow the new edge, and the dialog's right margin is its left one.
    const int left = builder.control(resources::kIdOk)->x();
    int widest = 0;
    for (auto* check : findChildren<QCheckBox*>()) {
        widest = std::max(widest, check->geometry().right() + 1);
    }
    const int templateRight = builder.control(resources::kIdCancel)->geometry().right() + 1;
    const int shift = widest - templateRight;
    if (shift <= 0) {
        return;
    }
    for (auto* group : findChildren<QGroupBox*>()) {
        group->resize(group->width() + shift, group->height());
    }
    QWidget* combo = builder.control(resources::kIdUserCombo);
    combo->resize(combo->width() + shift, combo->height());
    QWidget* cancel = builder.control(resources::kIdCancel);
    cancel->move(cancel->x() + shift, cancel->y());
    builder.setSize(QSize(widest + left, builder.size().height()));
    resize(builder.size());
}

QCheckBox* CPropatyDlg::soundCheck() const {
    return builder.controlAs<QCheckBox>(resources::kIdCheckSound);
}
QCheckBox* CPropatyDlg::enableUserCheck() const {
    return builder.controlAs<QCheckBox>(resources::kIdCheckEnableUser);
}
QCheckBox* CPropatyDlg::autoConnectCheck() const {
    return builder.controlAs<QCheckBox>(resources::kIdCheckAutoConnect);
}
QComboBox* CPropatyDlg::userCombo() const {
    return builder.controlAs<QComboBox>(resources::kIdUserCombo);
}

void CPropatyDlg::transferToControls() {
    soundCheck()->setChecked(soundMode != 0);
    enableUserCheck()->setChecked(enableUser != 0);
    autoConnectCheck()->setChecked(autoConnect != 0);
    // The edit field shows the stored handle exactly, so that OK never
    // rewrites it with a list entry that only starts like it.
    userCombo()->setEditText(QString::fromStdString(autoConnectUser));
}

void CPropatyDlg::transferFromControls() {
    soundMode = soundCheck()->isChecked() ? 1 : 0;
    enableUser = enableUserCheck()->isChecked() ? 1 : 0;
    autoConnect = autoConnectCheck()->isChecked() ? 1 : 0;
    autoConnectUser = userCombo()->currentText().toStdString();
}

void CPropatyDlg::accept() {
    transferFromControls();
    if (autoConnect != 0 && autoConnectUser.empty()) {
        ui::messageBox(this, QString::fromUtf8(kNoAutoConnectUser), QString::fromUtf8(kCaption));
        return;
    }
    if (settings != nullptr) {
        settings->setSoundMode(soundMode);
        settings->setEnableUser(enableUser);
        settings->setAutoConnect(autoConnect);
        settings->setAutoConnectUser(autoConnectUser.c_str());
        if (settings->saveIni() == 0) {
            platform::trace("CPropatyDlg: cannot write %s\n", settings->getIniPath().c_str());
            ui::messageBox(
                this,
                QString::fromUtf8(kCannotWrite).arg(QString::fromStdString(settings->getIniPath())),
                QString::fromUtf8(kCaption));
        }
    }
    QDialog::accept();
}
