#include "ui/CGatePanel.h"

#include <QLabel>
#include <QPushButton>
#include <cstdio>

#include "controller/GateController.h"
#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "skype/AttachStatus.h"
#include "support/CPropaty.h"
#include "ui/CPropatyDlg.h"
#include "ui/CSoundCue.h"
#include "ui/ModalSeam.h"

namespace {
constexpr size_t kMessageBytes = 100;
constexpr const char* kConnectDone = "接続操作を行いました";
constexpr const char* kNotConnectable = "現在選択中のユーザは接続可能状態ではありません";
constexpr const char* kDisconnectDone = "%sへのSKYPE STREAM切断操作を行いました";
constexpr const char* kNoUserSelected = "(未選択)";
constexpr const char* kCannotSwitch = "現在ユーザ切り替えはできません。";

const char* colourName(const QColor& c) {
    if (c == CGatePanel::green()) {
        return "green";
    }
    if (c == CGatePanel::red()) {
        return "red";
    }
    if (c == CGatePanel::blue()) {
        return "blue";
    }
    if (c == QColor(0, 0, 0)) {
        return "black";
    }
    if (c == QColor(255, 255, 255)) {
        return "white";
    }
    return "gray";
}
}  // namespace

CGatePanel::CGatePanel(int dialogId, CPropaty* settingsRef, GateController* controllerRef,
                       QWidget* parent)
    : QWidget(parent), settings(settingsRef), controller(controllerRef) {
    builder.build(*this, dialogId);
    gateButton = builder.controlAs<QPushButton>(resources::kIdGateButton);
    selectButton = builder.controlAs<QPushButton>(resources::kIdSelectButton);
    lampLocal = builder.controlAs<QLabel>(resources::kIdLampLocal);
    lampPeerLabel = builder.controlAs<QLabel>(resources::kIdLampPeer);
    userName = builder.controlAs<QLabel>(resources::kIdUserName);
    statusLine = builder.controlAs<QLabel>(resources::kIdStatusLine);
    connect(gateButton, &QPushButton::clicked, this, [this] { onBconnect(); });
    connect(selectButton, &QPushButton::clicked, this, [this] { onSelectButton(); });
    connect(&statusTimer, &QTimer::timeout, this, [this] { onTimer(kStatusTimer); });
    connect(&lampTimer, &QTimer::timeout, this, [this] { onTimer(kLampTimer); });
    connect(&autoConnectTimer, &QTimer::timeout, this, [this] { onTimer(kAutoConnectTimer); });

    QPalette own = palette();
    own.setColor(QPalette::Window, gray());
    own.setColor(QPalette::Button, gray());
    setPalette(own);
    setAutoFillBackground(true);
}

CGatePanel::~CGatePanel() {
    statusTimer.stop();
    lampTimer.stop();
    autoConnectTimer.stop();
}

void CGatePanel::initDialog() {
    statusBar = new CLogoDlg(this);
    statusBar->addListener(this);
    setModeText();
    statusBar->setGeometry(0, 0, width(), statusBar->height());
    statusBar->show();
    if (controller != nullptr) {
        messageLine.setAttachState(controller->getAttachStatus());
    }
    refreshColours();
    statusTimer.start(kStatusPeriodMs);
    lampTimer.start(kLampPeriodMs);
    autoConnectTimer.start(kAutoConnectPeriodMs);
}

void CGatePanel::onTimer(int timerId) {
    switch (timerId) {
        case kStatusTimer: {
            messageLine.tick();
            const QString text = QString::fromStdString(messageLine.getText());
            if (text != statusLine->text()) {
                statusLine->setText(text);
                platform::trace("UI status: %s\n", messageLine.getText().c_str());
                refreshColours();
            }
            break;
        }
        case kLampTimer:
            if (controller != nullptr) {
                updateLamps();
                checkFaults();
                refreshColours();
            }
            break;
        case kAutoConnectTimer:
            autoConnectTick();
            break;
        default:
            break;
    }
}

void CGatePanel::showMessage(const char* text) {
    messageLine.setTemporary(text);
}

void CGatePanel::openGate() {
    if (settings == nullptr || controller == nullptr) {
        return;
    }
    if (controller->isSelectedUserConnectable() == 1) {
        controller->connectSelectedUser();
        showMessage(kConnectDone);
    } else {
        showMessage(kNotConnectable);
    }
}

void CGatePanel::closeGate() {
    if (controller == nullptr) {
        return;
    }
    std::string name = controller->getSelectedUserName();
    if (name.empty()) {
        name = kNoUserSelected;
    }
    controller->disconnectAll();
    char buffer[kMessageBytes];
    std::snprintf(buffer, sizeof buffer, kDisconnectDone, name.c_str());
    showMessage(buffer);
}

void CGatePanel::selectStep() {
    if (selectButton->isEnabled()) {
        if (controller == nullptr) {
            return;
        }
        controller->selectNextUser();
        if (controller->isSelectedUserConnectable() == 1) {
            CSoundCue::getInstance()->playUserConnectable();
        } else {
            CSoundCue::getInstance()->playUserNotConnectable();
        }
    } else {
        showMessage(kCannotSwitch);
    }
}

void CGatePanel::showSelectedUser() {
    if (controller == nullptr) {
        return;
    }
    const std::string name = controller->getSelectedUserName();
    userName->setText(QString::fromStdString(name));
    userColour = 0;
    if (controller->getSelectedUserStatus() == 2) {
        userColour = controller->isSelectedUserConnectable() == 1 ? 2 : 1;
    }
    refreshColours();
    std::string shown = name + (userColour == 2 ? " green" : " blue");
    if (shown != tracedUser) {
        tracedUser = std::move(shown);
        platform::trace("UI user: %s\n", tracedUser.c_str());
    }
}

void CGatePanel::setGateOpen(int open) {
    messageLine.setGateOpen(open);
    const bool isOpen = open == 1;
    if (!isOpen) {
        messageLine.setFault(nullptr);  // a closed gate has nothing left to fail
    }
    gateButton->setText(isOpen ? QStringLiteral("close") : QStringLiteral("open"));
    selectButton->setEnabled(!isOpen);
    if (statusBar != nullptr) {
        statusBar->getPropatyButton()->setEnabled(!isOpen);
    }
}

void CGatePanel::setRates(double sent, double received) {
    messageLine.setRates(sent, received);
}

void CGatePanel::changeAttachStatus(int status) {
    platform::trace("%s::changeAttachStatus():notify from SkypeCom status chenge %d\n", traceName(),
                    status);
    messageLine.setAttachState(status);
    attachStatusChanged(status);
    if (statusBar == nullptr) {
        return;
    }
    CLed& led = statusBar->getLed();
    switch (status) {
        case SKYPECONTROLAPI_ATTACH_SUCCESS:
            led.setState(CLed::kGreen);
            break;
        case SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION:
            led.setState(CLed::kBlue);
            break;
        case SKYPECONTROLAPI_NO_ATTACH:
        case SKYPECONTROLAPI_ATTACH_REFUSED:
            led.setState(CLed::kRed);
            break;
        default:
            break;  // not available (4) and available again (32769) leave the lamp as it is
    }
    if (led.getState() != tracedLed) {
        tracedLed = led.getState();
        platform::trace("UI led: %s\n", CLed::nameOf(tracedLed));
    }
}

void CGatePanel::notifyPropatyButton() {
    CPropatyDlg dialog(settings, controller, this);
    if (ui::runModal(dialog) == QDialog::Accepted) {
        if (settings != nullptr) {
            CSoundCue::getInstance()->enabled = settings->getSoundMode();
        }
        setModeText();
    }
}

void CGatePanel::setLampTexts(const char* local, const char* peer) {
    lampLocal->setText(QString::fromUtf8(local));
    lampPeerLabel->setText(QString::fromUtf8(peer));
}

void CGatePanel::setLabelColours(QLabel* label, const QColor& text, const QColor& background) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Window, background);
    label->setPalette(p);
    label->setAutoFillBackground(true);
}

void CGatePanel::refreshColours() {
    const QColor white(255, 255, 255);
    const QColor black(0, 0, 0);
    setLabelColours(lampLocal, white, isLocalLampLit() ? green() : black);
    setLabelColours(lampPeerLabel, white, lampPeer ? green() : black);
    setLabelColours(userName, userColour == 2 ? green() : blue(), black);
    // A "!" after the first character marks a warning: white on red.
    const std::string status = statusLine->text().toStdString();
    const bool warning = status.find('!', 1) != std::string::npos;
    setLabelColours(statusLine, warning ? white : green(), warning ? red() : black);
    traceLamps();
}

void CGatePanel::traceLamps() {
    char buffer[kMessageBytes];
    std::snprintf(buffer, sizeof buffer, "UI lamps: local %s %s, peer %s %s\n",
                  lampLocal->text().toUtf8().constData(),
                  colourName(backgroundOf(resources::kIdLampLocal)),
                  lampPeerLabel->text().toUtf8().constData(),
                  colourName(backgroundOf(resources::kIdLampPeer)));
    if (tracedLamps != buffer) {
        tracedLamps = buffer;
        platform::trace("%s", buffer);
    }
}

QString CGatePanel::controlText(int controlId) const {
    QWidget* w = builder.control(controlId);
    if (auto* label = qobject_cast<QLabel*>(w)) {
        return label->text();
    }
    if (auto* button = qobject_cast<QPushButton*>(w)) {
        return button->text();
    }
    return QString();
}

bool CGatePanel::isControlEnabled(int controlId) const {
    QWidget* w = builder.control(controlId);
    return w != nullptr && w->isEnabled();
}

QColor CGatePanel::backgroundOf(int controlId) const {
    QWidget* w = builder.control(controlId);
    return w != nullptr ? w->palette().color(QPalette::Window) : QColor();
}

QColor CGatePanel::textColourOf(int controlId) const {
    QWidget* w = builder.control(controlId);
    return w != nullptr ? w->palette().color(QPalette::WindowText) : QColor();
}
