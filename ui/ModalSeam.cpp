#include "ui/ModalSeam.h"

#include <QDialog>

#include "platform/Trace.h"

namespace ui {

namespace {
ModalAnswerer gAnswerer;
}

void setModalAnswerer(ModalAnswerer answerer) {
    gAnswerer = std::move(answerer);
}

int runModal(QDialog& dialog) {
    if (gAnswerer) {
        return gAnswerer(dialog);
    }
    return dialog.exec();
}

int messageBox(QWidget* parent, const QString& text, const QString& caption,
               QMessageBox::StandardButtons buttons) {
    platform::trace("UI message: %s\n", text.toUtf8().constData());
    QMessageBox box(QMessageBox::NoIcon, caption, text, buttons, parent);
    return runModal(box);
}

}  // namespace ui
