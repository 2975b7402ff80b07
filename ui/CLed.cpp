#include "ui/CLed.h"

#include <QPainter>

CLed::CLed(QWidget* parent) : QLabel(parent) {}

void CLed::setState(int value) {
    state = value;
    update();
}

QColor CLed::colourOf(int value) {
    switch (value) {
        case kBlue:
            return QColor(0, 0, 255);
        case kRed:
            return QColor(255, 0, 0);
        case kYellow:
            return QColor(255, 255, 0);
        default:
            return QColor(0, 255, 0);
    }
}

const char* CLed::nameOf(int value) {
    switch (value) {
        case kBlue:
            return "blue";
        case kRed:
            return "red";
        case kYellow:
            return "yellow";
        default:
            return "green";
    }
}

void CLed::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(Qt::black));
    const QRectF outer = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    // The corner "ellipses" are 6 by 6: radius 3.
    constexpr qreal kRadius = kCornerPixels / 2.0;
    painter.setBrush(QColor(255, 255, 255));
    painter.drawRoundedRect(outer, kRadius, kRadius);
    painter.setBrush(colourOf(state));
    painter.drawRoundedRect(
        outer.adjusted(kInsetPixels, kInsetPixels, -kInsetPixels, -kInsetPixels), kRadius, kRadius);
}
