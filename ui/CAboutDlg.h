#pragma once

#include <QDialog>
#include <string>

#include "ui/DialogBuilder.h"

// The about box (dialog 100): the program icon, the product title with its
// version, and a link to the home page.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    std::string getVersionLine() const { return versionText; }

private:
    DialogBuilder builder;
    std::string versionText;
};
