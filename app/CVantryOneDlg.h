#pragma once

#include <QDialog>
#include <QIcon>
#include <functional>
#include <memory>

#include "controller/CQuillonForTcpComListener.h"
#include "ui/DialogBuilder.h"

class CPropaty;
class CClientDlg;
class CServerDlg;
class CGatePanel;
class QuillonController;

// The program's only top-level window (dialog 102, "QuillonForFTP Ⅱ"). It
// hosts the panel of the mode and sizes itself to it, passes the
// controller's notifications to that panel, plays the gate cues and
// announces an opening gate in Client mode, and carries the mode item and the
// about item in its window menu (the context menu of the window).
//
// The settings and the controller are not owned: start-up constructs them
// before the dialog (settings first) and destroys them after it (controller
// first). GUI thread only.
class CVantryOneDlg : public QDialog, public CQuillonForTcpComListener {
    Q_OBJECT
public:
    // The private messages other programs send through the control socket.
    static constexpr int kFirstPrivateMessage = 1024;
    static constexpr int kMessageClose = kFirstPrivateMessage + 201;      // 1225
    static constexpr int kMessageOpenGate = kFirstPrivateMessage + 202;   // 1226
    static constexpr int kMessageCloseGate = kFirstPrivateMessage + 203;  // 1227
    static constexpr int kMessageSelect = kFirstPrivateMessage + 204;     // 1228
    // Window menu commands (the low four bits are ignored, as for the system menu).
    static constexpr int kCommandAbout = 16;
    static constexpr int kCommandMode = 32;
    static constexpr int kProductCode = 1;  // first parameter of "QUILLONOPEN"

    // Posts "QUILLONOPEN" to every listener of the user's control directory;
    // returns the post's result.
    using OpenAnnouncer = std::function<int(int productCode)>;

    CVantryOneDlg(CPropaty& settings, QuillonController& controller, QWidget* parent = nullptr);
    ~CVantryOneDlg() override;

    void setOpenAnnouncer(OpenAnnouncer announcer) { announceOpen = std::move(announcer); }

    // Shows a warning about the settings file once at start (a numeric key
    // whose value is not a number). Default: a message box.
    using WarningPresenter = std::function<void(const QString& text)>;
    void setWarningPresenter(WarningPresenter presenter) { presentWarning = std::move(presenter); }
    // The text of one such warning: file, key, value and the value used.
    static QString settingsWarningText(const QString& iniPath, const QString& section,
                                       const QString& key, const QString& value, int used);

    // The file beside the settings that keeps the window's position.
    QString positionPath() const;

    // The dialog's initialisation: caption, settings file, the panel of the
    // mode, the models, the sound cues.
    void initDialog();
    // The window is destroyed: the panel, the link's hidden window and the
    // sound cue object go. Called once after the modal run (and by the
    // destructor when it was not).
    void destroyWindow();

    // A window menu command (kCommandAbout, kCommandMode).
    void onSystemCommand(int command);
    // A private message 1225 to 1228; returns 1 when handled, 0 otherwise.
    int onPrivateMessage(int message);

    // CQuillonForTcpComListener
    void notifyLog(const char* line) override;
    void notifySkypeComStatusChange() override;
    void notifyModelChanged() override;
    void notifyA2AModelChanged() override;
    void notifyA2ATransferRate(int index, double sent, double received) override;

    // Observers.
    CGatePanel* getPanel() const;
    CClientDlg* getClientPanel() const { return clientPanel.get(); }
    CServerDlg* getServerPanel() const { return serverPanel.get(); }
    int getLastAttachStatus() const { return lastAttachStatus; }
    static int getGateWasOpen();
    static void resetGateWasOpenForTest();
    // The texts of the window menu, in order (separators as "-").
    QStringList windowMenuTexts() const;

    void reject() override;
    // Opens the window menu at the window's top left corner (Shift+F10 and
    // the Menu key, as a context menu from the keyboard).
    void openWindowMenuFromKeyboard();

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    bool isClientMode() const;
    void createPanel();
    void destroyPanel();
    void changeMode();
    void showWindowMenu(const QPoint& globalPos);
    // Puts the window where it was last (when that is on a screen), else
    // centred with an offset of its own, so two gateways do not open on top
    // of each other.
    void placeWindow();
    void savePosition();
    void presentLoadWarnings();

    CPropaty& settings;
    QuillonController& controller;
    DialogBuilder builder;
    QIcon icon;
    std::unique_ptr<CClientDlg> clientPanel;
    std::unique_ptr<CServerDlg> serverPanel;
    int lastAttachStatus = 0;
    int closeWithoutAsking = 0;
    bool windowDestroyed = false;
    bool windowShown = false;  // initDialog showed it: its position is worth keeping
    OpenAnnouncer announceOpen;
    WarningPresenter presentWarning;
};
