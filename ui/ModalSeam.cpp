#include "ui/ModalSeam.h"

#include <QAbstractButton>
#include <QDialog>

#include "platform/Trace.h"

namespace ui {

namespace {
ModalAnswerer gAnswerer;
constexpr const char* kYes = "はい";
constexpr const char* kNo = "いいえ";
}  // namespace

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
    // The buttons speak the language of the question.
    if (QAbstractButton* yes = box.button(QMessageBox::Yes)) {
        yes->setText(QString::fromUtf8(kYes));
    }
    if (QAbstractButton* no = box.button(QMessageBox::No)) {
        no->setText(QString::fromUtf8(kNo));
    }
    return runModal(box);
}

}  // namespace ui
