#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QDialog;

// Every modal window of the gateway (its dialogs and message boxes) is run
// through here, so that tests can answer them without a user: a test installs
// an answerer that inspects the dialog, sets its controls and returns the
// result the dialog's exec() would have returned.
//
// GUI thread only.
namespace ui {

using ModalAnswerer = std::function<int(QDialog& dialog)>;

// Installs the answerer; an empty function restores the real modal run.
void setModalAnswerer(ModalAnswerer answerer);

// Runs the dialog modally (or lets the answerer answer it).
int runModal(QDialog& dialog);

// A message box with the given text, caption and buttons; returns the button
// the user chose (QMessageBox::StandardButton).
int messageBox(QWidget* parent, const QString& text, const QString& caption,
               QMessageBox::StandardButtons buttons = QMessageBox::Ok);

}  // namespace ui
