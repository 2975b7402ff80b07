#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "ui/CLed.h"
#include "ui/CLogoDlgListener.h"
#include "ui/DialogBuilder.h"

class QPushButton;
class QLabel;

// The status bar along the top of a panel (dialog 131): the "propaty" button,
// the mode text, a link to the home page and the attachment lamp. Amber in
// Client mode, yellow in Server mode.
//
// GUI thread only.
class CLogoDlg : public QWidget {
    Q_OBJECT
public:
    explicit CLogoDlg(QWidget* parent = nullptr);

    // Appends a listener of the "propaty" button (not owned, never removed).
    void addListener(CLogoDlgListener* listener);

    // "Client [%d]" / "Server [%d]" with the port; chooses the colours.
    void setClientText(int port);
    void setServerText(int port);

    CLed& getLed() { return *led; }
    QPushButton* getPropatyButton() const { return propatyButton; }
    std::string getText() const { return text; }
    int getIsClient() const { return isClient; }
    // The colour of the buttons and the background (the mode brush).
    QColor modeColour() const;

    static QColor amber() { return QColor(253, 140, 2); }
    static QColor yellow() { return QColor(255, 255, 0); }
    static QColor paleYellow() { return QColor(255, 255, 180); }

    // What the "propaty" button does.
    void onPropatyButton();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void applyColours();

    DialogBuilder builder;
    CLed* led = nullptr;
    QPushButton* propatyButton = nullptr;
    QLabel* textLabel = nullptr;
    std::string text;
    std::vector<CLogoDlgListener*> listeners;  // not owned; never removed
    int isClient = 0;
};
