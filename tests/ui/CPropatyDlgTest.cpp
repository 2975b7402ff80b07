#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QTest>

#include "FakeController.h"
#include "QtTestEnvironment.h"
#include "TempDirectory.h"
#include "support/CPropaty.h"
#include "ui/CPropatyDlg.h"

namespace {

class PropatyDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        controller.contacts = {"alice", "bob", "carol"};
        ui::setModalAnswerer([this](QDialog& dialog) {
            auto* box = qobject_cast<QMessageBox*>(&dialog);
            messages.push_back(box != nullptr ? box->text().toStdString() : "(dialog)");
            return static_cast<int>(QMessageBox::Ok);
        });
    }

    TempDirectory dir;
    TraceAndModalCapture capture;
    CPropaty settings;
    FakeController controller;
    std::vector<std::string> messages;
};

TEST_F(PropatyDialogTest, ControlsAreDisabledByMode) {
    for (int mode : {0, 1}) {
        settings.setAppMode(mode);
        CPropatyDlg dialog(&settings, &controller);
        EXPECT_EQ(dialog.enableUserCheck()->isEnabled(), mode == 0) << "mode " << mode;
        EXPECT_EQ(dialog.autoConnectCheck()->isEnabled(), mode == 1) << "mode " << mode;
        EXPECT_EQ(dialog.userCombo()->isEnabled(), mode == 1) << "mode " << mode;
        EXPECT_TRUE(dialog.soundCheck()->isEnabled());
    }
}

TEST_F(PropatyDialogTest, ShowsTheSettingsAndListsTheContactsInOrder) {
    settings.setAppMode(1);
    settings.setSoundMode(1);
    settings.setAutoConnect(1);
    settings.setAutoConnectUser("bob");
    CPropatyDlg dialog(&settings, &controller);
    QComboBox* combo = dialog.userCombo();
    ASSERT_EQ(combo->count(), 3);
    EXPECT_EQ(combo->itemText(0), "alice");
    EXPECT_EQ(combo->itemText(2), "carol");
    EXPECT_EQ(combo->currentIndex(), 1);
    EXPECT_EQ(combo->currentText(), "bob");
    EXPECT_TRUE(dialog.soundCheck()->isChecked());
    EXPECT_TRUE(dialog.autoConnectCheck()->isChecked());
    EXPECT_FALSE(dialog.enableUserCheck()->isChecked());
}

TEST_F(PropatyDialogTest, APrefixMarksTheListEntryButTheStoredHandleIsShownAsItIs) {
    settings.setAppMode(1);
    const struct {
        const char* stored;
        int index;
    } rows[] = {{"BO", 1}, {"carol", 2}, {"alice", 0}, {"zed", -1}};
    for (const auto& row : rows) {
        settings.setAutoConnectUser(row.stored);
        CPropatyDlg dialog(&settings, &controller);
        EXPECT_EQ(dialog.userCombo()->currentIndex(), row.index) << row.stored;
        EXPECT_EQ(dialog.userCombo()->currentText().toStdString(), row.stored);
        dialog.accept();
        EXPECT_EQ(settings.getAutoConnectUser(), row.stored);
    }
}

TEST_F(PropatyDialogTest, WithAnEmptyContactListTheBoxHoldsOnlyTheConfiguredContact) {
    controller.contacts.clear();
    for (const char* user : {"dave", ""}) {
        settings.setAutoConnectUser(user);
        CPropatyDlg dialog(&settings, &controller);
        EXPECT_EQ(dialog.userCombo()->count(), user[0] != '\0' ? 1 : 0) << user;
        EXPECT_EQ(dialog.userCombo()->currentText().toStdString(), user);
    }
}

TEST_F(PropatyDialogTest, AutoConnectWithoutAContactIsRefusedAndTheDialogStaysOpen) {
    settings.setAppMode(1);
    CPropatyDlg dialog(&settings, &controller);
    dialog.autoConnectCheck()->setChecked(true);
    dialog.userCombo()->setEditText("");
    dialog.accept();
    EXPECT_EQ(messages, std::vector<std::string>{"自動接続先のユーザIDが設定されていません。"});
    EXPECT_EQ(dialog.result(), 0);
    EXPECT_EQ(settings.getAutoConnect(), 0);
    EXPECT_EQ(dir.read("QuillonForFTP.ini"), "");  // nothing written
}

TEST_F(PropatyDialogTest, ATypedHandleNotInTheListIsSavedWithAllFiveKeys) {
    settings.setAppMode(1);
    CPropatyDlg dialog(&settings, &controller);
    dialog.autoConnectCheck()->setChecked(true);
    dialog.soundCheck()->setChecked(false);
    dialog.userCombo()->setEditText("zoe.typed");
    dialog.accept();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(settings.getAutoConnectUser(), "zoe.typed");
    EXPECT_EQ(settings.getAutoConnect(), 1);
    EXPECT_EQ(settings.getSoundMode(), 0);
    const std::string ini = dir.read("QuillonForFTP.ini");
    for (const char* line : {"APPMODE=1", "ENABLEUSER=0", "SOUNDMODE=0", "AUTOCONNECT=1",
                             "AUTOCONNECTUSER=zoe.typed"}) {
        EXPECT_NE(ini.find(line), std::string::npos) << line << " in\n" << ini;
    }
}

TEST_F(PropatyDialogTest, OkWithoutAChangeStillWritesTheFile) {
    CPropatyDlg dialog(&settings, &controller);
    dialog.accept();
    EXPECT_NE(dir.read("QuillonForFTP.ini").find("SOUNDMODE=1"), std::string::npos);
}

TEST_F(PropatyDialogTest, AFileThatCannotBeWrittenIsReported) {
    // A directory in the settings file's place cannot be written, not even
    // by root.
    std::filesystem::create_directory(dir.path() / "QuillonForFTP.ini");
    CPropatyDlg dialog(&settings, &controller);
    dialog.accept();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("書き込めませんでした"), std::string::npos) << messages[0];
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(PropatyDialogTest, CancelChangesNothing) {
    settings.setAppMode(1);
    CPropatyDlg dialog(&settings, &controller);
    dialog.autoConnectCheck()->setChecked(true);
    dialog.reject();
    EXPECT_EQ(settings.getAutoConnect(), 0);
    EXPECT_EQ(dir.read("QuillonForFTP.ini"), "");
}

}  // namespace
