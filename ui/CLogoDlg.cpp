#include "ui/CLogoDlg.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <cstdio>

#include "resources/ResourceIds.h"
#include "ui/HomePage.h"

namespace {
constexpr size_t kModeTextBytes = 64;
}

CLogoDlg::CLogoDlg(QWidget* parent) : QWidget(parent) {
    builder.setFactory(resources::kIdLed, [this](QWidget* owner) {
        led = new CLed(owner);
        return led;
    });
    builder.build(*this, resources::kDialogStatusBar, [](int) { openHomePage(); });
    propatyButton = builder.controlAs<QPushButton>(resources::kIdPropatyButton);
    textLabel = builder.controlAs<QLabel>(resources::kIdModeText);
    connect(propatyButton, &QPushButton::clicked, this, [this] { onPropatyButton(); });
    applyColours();
}

void CLogoDlg::addListener(CLogoDlgListener* listener) {
    listeners.push_back(listener);
}

void CLogoDlg::onPropatyButton() {
    for (CLogoDlgListener* listener : listeners) {
        listener->notifyPropatyButton();
    }
}

void CLogoDlg::setClientText(int port) {
    char buffer[kModeTextBytes];
    std::snprintf(buffer, sizeof buffer, "Client [%d]", port);
    text = buffer;
    textLabel->setText(QString::fromUtf8(buffer));
    isClient = 1;
    applyColours();
}

void CLogoDlg::setServerText(int port) {
    char buffer[kModeTextBytes];
    std::snprintf(buffer, sizeof buffer, "Server [%d]", port);
    text = buffer;
    textLabel->setText(QString::fromUtf8(buffer));
    isClient = 0;
    applyColours();
}

QColor CLogoDlg::modeColour() const {
    return isClient == 1 ? amber() : yellow();
}

void CLogoDlg::applyColours() {
    const QColor mode = modeColour();
    QPalette own = palette();
    own.setColor(QPalette::Window, mode);
    own.setColor(QPalette::Button, mode);
    setPalette(own);
    setAutoFillBackground(true);
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        QPalette p = child->palette();
        p.setColor(QPalette::Button, mode);
        p.setColor(QPalette::Window, child == led ? paleYellow() : mode);
        child->setPalette(p);
        child->setAutoFillBackground(child == led);
    }
    update();
}

void CLogoDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QPen(Qt::white, 1, Qt::SolidLine));
    const int w = width();
    const int h = height();
    painter.drawLine(0, 0, w - 1, 0);
    painter.drawLine(w - 1, 0, w - 1, h - 1);
    painter.drawLine(w - 1, h - 1, 0, h - 1);
    painter.drawLine(0, h - 1, 0, 0);
}
