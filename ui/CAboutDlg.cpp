#include "ui/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "resources/ResourceIds.h"
#include "ui/HomePage.h"
#include "ui/VersionText.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    builder.build(*this, resources::kDialogAbout, [](int) { openHomePage(); });
    setFixedSize(builder.size());
    connect(builder.controlAs<QPushButton>(resources::kIdOk), &QPushButton::clicked, this,
            &CAboutDlg::accept);
    versionText = formatAboutVersion(getVersionText());
    builder.controlAs<QLabel>(resources::kIdVersionText)
        ->setText(QString::fromStdString(versionText));
}
