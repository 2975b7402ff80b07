#include "app/CVantryOneDlg.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QShortcut>
#include <functional>

#include "controller/QuillonController.h"
#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "support/CPropaty.h"
#include "support/ProfileFile.h"
#include "ui/CAboutDlg.h"
#include "ui/CAppModeDlg.h"
#include "ui/CClientDlg.h"
#include "ui/CServerDlg.h"
#include "ui/CSoundCue.h"
#include "ui/ModalSeam.h"
#include "ui/ProgramIcon.h"

namespace {
constexpr const char* kTitle = "QuillonForFTP Ⅱ";
constexpr const char* kCannotChangeMode = "接続中は変更できません.";
constexpr const char* kAskClose = "接続中ですが終了しますか？";
constexpr const char* kCannotWrite =
    "設定ファイル %1 に書き込めませんでした。\n変更はプログラムの終了まで有効です。";
constexpr int kSystemCommandMask = ~0xF;
constexpr const char* kSettingsWarning =
    "設定ファイル %1 の [%2] %3=%4 は数値ではありません。%5 を使います。";
constexpr const char* kPositionFileName = "QuillonForFTP.window";
constexpr const char* kPositionSection = "WINDOW";
// A window without a remembered position opens one of kCascadeSteps
// window heights (and kCascadeGapPixels) below the centre, chosen by its
// settings path, so that two gateways started side by side do not cover
// each other.
constexpr int kCascadeSteps = 4;
constexpr int kCascadeGapPixels = 8;

// The gate state the previous notifyA2AModelChanged saw; one per process.
int gGateWasOpen = 0;
}  // namespace

CVantryOneDlg::CVantryOneDlg(CPropaty& settingsRef, QuillonController& controllerRef,
                             QWidget* parent)
    : QDialog(parent), settings(settingsRef), controller(controllerRef), icon(programIcon()) {
    builder.build(*this, resources::kDialogMain);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setContextMenuPolicy(Qt::DefaultContextMenu);
    // The window menu from the keyboard: Shift+F10 and the Menu key.
    for (const QKeySequence& key : {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
        auto* shortcut = new QShortcut(key, this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] { openWindowMenuFromKeyboard(); });
    }
}

CVantryOneDlg::~CVantryOneDlg() {
    destroyWindow();
}

int CVantryOneDlg::getGateWasOpen() {
    return gGateWasOpen;
}

void CVantryOneDlg::resetGateWasOpenForTest() {
    gGateWasOpen = 0;
}

bool CVantryOneDlg::isClientMode() const {
    return settings.getAppMode() == 1;
}

CGatePanel* CVantryOneDlg::getPanel() const {
    if (isClientMode()) {
        return clientPanel.get();
    }
    return serverPanel.get();
}

void CVantryOneDlg::initDialog() {
    setWindowIcon(icon);
    auto centre = [this] {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            move(screen->availableGeometry().center() - rect().center());
        }
    };
    centre();
    setWindowTitle(QString::fromUtf8(kTitle));
    settings.loadIni();
    createPanel();
    controller.addListener(this);
    controller.init(reinterpret_cast<QuillonController::MainWindowHandle>(this));
    centre();
    CSoundCue* cue = CSoundCue::getInstance();
    cue->setWindow(this);
    cue->enabled = settings.getSoundMode();
    centre();
    placeWindow();
    show();
    windowShown = true;
    platform::trace("UI window: %d,%d\n", pos().x(), pos().y());
    presentLoadWarnings();
}

QString CVantryOneDlg::settingsWarningText(const QString& iniPath, const QString& section,
                                           const QString& key, const QString& value, int used) {
    return QString::fromUtf8(kSettingsWarning)
        .arg(iniPath, section, key, value, QString::number(used));
}

void CVantryOneDlg::presentLoadWarnings() {
    for (const CPropaty::LoadWarning& w : settings.getLoadWarnings()) {
        const QString text = settingsWarningText(
            QString::fromStdString(settings.getIniPath()), QString::fromStdString(w.section),
            QString::fromStdString(w.key), QString::fromStdString(w.value), w.used);
        platform::trace("UI settings: %s\n", text.toUtf8().constData());
        if (presentWarning) {
            presentWarning(text);
        } else {
            ui::messageBox(this, text, QString::fromUtf8(kTitle));
        }
    }
}

QString CVantryOneDlg::positionPath() const {
    const std::string& ini = settings.getIniPath();
    const size_t slash = ini.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : ini.substr(0, slash);
    return QString::fromStdString(directory + "/" + kPositionFileName);
}

void CVantryOneDlg::placeWindow() {
    ProfileFile file;
    if (file.load(positionPath().toStdString())) {
        const auto left = file.lookup(kPositionSection, "LEFT");
        const auto top = file.lookup(kPositionSection, "TOP");
        if (left && top && profile::isInt(*left) && profile::isInt(*top)) {
            const QPoint at(profile::parseLeadingInt(*left), profile::parseLeadingInt(*top));
            // Only where the title bar can still be reached.
            if (QScreen* screen = QGuiApplication::screenAt(at + QPoint(width() / 2, 0))) {
                if (screen->availableGeometry().contains(at + QPoint(width() / 2, 0))) {
                    move(at);
                    return;
                }
            }
        }
    }
    const int step =
        static_cast<int>(std::hash<std::string>{}(settings.getIniPath()) % kCascadeSteps);
    const int frameHeight = frameGeometry().height() > height() ? frameGeometry().height()
                                                                  : height() + 2 * kCascadeGapPixels;
    // Centred on the steps: from one and a half windows above to one and a
    // half below the centre.
    move(pos() + QPoint(0, (2 * step - (kCascadeSteps - 1)) * (frameHeight + kCascadeGapPixels) / 2));
}

void CVantryOneDlg::savePosition() {
    if (!windowShown) {
        return;  // the position of a window never shown is nobody's choice
    }
    ProfileFile file;
    const std::string path = positionPath().toStdString();
    settings.makeIniDirectory();
    file.load(path);
    file.set(kPositionSection, "LEFT", std::to_string(pos().x()));
    file.set(kPositionSection, "TOP", std::to_string(pos().y()));
    if (!file.save(path)) {
        platform::trace("CVantryOneDlg: cannot write %s\n", path.c_str());
    }
}

void CVantryOneDlg::createPanel() {
    CGatePanel* panel = nullptr;
    if (isClientMode()) {
        clientPanel = std::make_unique<CClientDlg>(&settings, &controller, this);
        panel = clientPanel.get();
    } else {
        serverPanel = std::make_unique<CServerDlg>(&settings, &controller, this);
        panel = serverPanel.get();
    }
    panel->initDialog();
    panel->move(0, 0);
    panel->show();
    // The window's client area is exactly the panel.
    setFixedSize(panel->size());
    platform::trace("UI mode: %s\n", isClientMode() ? "client" : "server");
}

void CVantryOneDlg::destroyPanel() {
    if (clientPanel) {
        clientPanel.reset();
    }
    if (serverPanel) {
        serverPanel->close();
        serverPanel.reset();
    }
}

void CVantryOneDlg::destroyWindow() {
    if (windowDestroyed) {
        return;
    }
    windowDestroyed = true;
    savePosition();
    hide();
    destroyPanel();
    controller.destroyOwnedWindows();
    CSoundCue::releaseInstance();
}

QStringList CVantryOneDlg::windowMenuTexts() const {
    QStringList texts;
    for (int id : {resources::kStringModeItem, resources::kStringAboutItem}) {
        const char* text = resources::loadString(id);
        if (text[0] != '\0') {
            texts << QStringLiteral("-") << QString::fromUtf8(text);
        }
    }
    return texts;
}

void CVantryOneDlg::contextMenuEvent(QContextMenuEvent* event) {
    showWindowMenu(event->globalPos());
}

void CVantryOneDlg::openWindowMenuFromKeyboard() {
    showWindowMenu(mapToGlobal(QPoint(0, 0)));
}

void CVantryOneDlg::showWindowMenu(const QPoint& globalPos) {
    QMenu menu(this);
    const struct {
        int stringId;
        int command;
    } items[] = {{resources::kStringModeItem, kCommandMode},
                 {resources::kStringAboutItem, kCommandAbout}};
    for (const auto& item : items) {
        const char* text = resources::loadString(item.stringId);
        if (text[0] == '\0') {
            continue;  // an item without a text is left out with its separator
        }
        menu.addSeparator();
        const int command = item.command;
        menu.addAction(QString::fromUtf8(text), this,
                       [this, command] { onSystemCommand(command); });
    }
    platform::trace("UI window menu\n");
    menu.exec(globalPos);
}

void CVantryOneDlg::onSystemCommand(int command) {
    switch (command & kSystemCommandMask) {
        case kCommandAbout: {
            CAboutDlg about(this);
            ui::runModal(about);
            break;
        }
        case kCommandMode:
            changeMode();
            break;
        default:
            break;
    }
}

void CVantryOneDlg::changeMode() {
    if (controller.hasAnyStream() == 1) {
        ui::messageBox(this, QString::fromUtf8(kCannotChangeMode), QString::fromUtf8(kTitle));
        return;
    }
    CAppModeDlg dialog(settings.getAppMode(), this);
    if (ui::runModal(dialog) != QDialog::Accepted) {
        return;
    }
    const int before = settings.getAppMode();
    settings.setAppMode(dialog.getMode());
    if (settings.getAppMode() != before) {
        destroyPanel();
        createPanel();
    }
    if (settings.saveIni() == 0) {
        platform::trace("CVantryOneDlg: cannot write %s\n", settings.getIniPath().c_str());
        ui::messageBox(
            this,
            QString::fromUtf8(kCannotWrite).arg(QString::fromStdString(settings.getIniPath())),
            QString::fromUtf8(kTitle));
    }
}

int CVantryOneDlg::onPrivateMessage(int message) {
    CGatePanel* panel = getPanel();
    switch (message) {
        case kMessageClose:
            closeWithoutAsking = 1;
            close();
            return 1;
        case kMessageOpenGate:
            if (panel != nullptr) {
                panel->openGate();
            }
            return 1;
        case kMessageCloseGate:
            if (panel != nullptr) {
                panel->closeGate();
            }
            return 1;
        case kMessageSelect:
            if (panel != nullptr) {
                panel->onSelectButton();
            }
            return 1;
        default:
            return 0;
    }
}

void CVantryOneDlg::reject() {
    close();
}  // Escape closes the way the close box does

void CVantryOneDlg::closeEvent(QCloseEvent* event) {
    if (closeWithoutAsking == 0 && controller.hasConnectedStream(0) == 1) {
        const int answer =
            ui::messageBox(this, QString::fromUtf8(kAskClose), QString::fromUtf8(kTitle),
                           QMessageBox::Yes | QMessageBox::No);
        if (answer == QMessageBox::No) {
            event->ignore();
            return;
        }
    }
    event->accept();
    done(QDialog::Rejected);
}

void CVantryOneDlg::notifyLog(const char*) {}

void CVantryOneDlg::notifySkypeComStatusChange() {
    const int status = controller.getAttachStatus();
    CGatePanel* panel = getPanel();
    if (status != lastAttachStatus && panel != nullptr) {
        panel->changeAttachStatus(status);
    }
    lastAttachStatus = status;
    platform::trace("notify from SkypeCom status chenge %d\n", status);
}

void CVantryOneDlg::notifyModelChanged() {
    if (CGatePanel* panel = getPanel()) {
        panel->showSelectedUser();
    }
}

void CVantryOneDlg::notifyA2AModelChanged() {
    const int open = controller.hasAnyStream();
    if (gGateWasOpen == 0 && open == 1) {
        gGateWasOpen = 1;
        platform::trace("UI gate: open\n");
        CSoundCue::getInstance()->playConnect();
        if (isClientMode()) {
            const int ret = announceOpen ? announceOpen(kProductCode) : 0;
            platform::trace("●<-broadcastMessage() to WindowOf ret=%d\n", ret);
        }
    }
    if (gGateWasOpen == 1 && open == 0) {
        gGateWasOpen = 0;
        platform::trace("UI gate: closed\n");
        CSoundCue::getInstance()->playDisconnect();
    }
    if (CGatePanel* panel = getPanel()) {
        panel->setGateOpen(open);
    }
}

void CVantryOneDlg::notifyA2ATransferRate(int index, double sent, double received) {
    if (index != 0) {
        return;
    }
    if (CGatePanel* panel = getPanel()) {
        panel->setRates(sent, received);
    }
}
