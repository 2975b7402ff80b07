#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <QRadioButton>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "../ui/QtTestEnvironment.h"
#include "../ui/TempDirectory.h"
#include "FakeMainController.h"
#include "app/CVantryOneDlg.h"
#include "resources/ResourceIds.h"
#include "support/CPropaty.h"
#include "ui/CAboutDlg.h"
#include "ui/CAppModeDlg.h"
#include "ui/CClientDlg.h"
#include "ui/CServerDlg.h"
#include "ui/CSoundCue.h"

namespace {

// Records the sounds played: frames per sound, once its device closes.
struct PlayedSounds {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<size_t> frames;

    bool waitForCount(size_t n) {
        std::unique_lock<std::mutex> g(lock);
        return changed.wait_for(g, std::chrono::seconds(10), [&] { return frames.size() >= n; });
    }
    size_t count() {
        std::lock_guard<std::mutex> g(lock);
        return frames.size();
    }
};

class RecordingDevice : public PcmDevice {
public:
    explicit RecordingDevice(std::shared_ptr<PlayedSounds> played) : played(std::move(played)) {}
    bool open(const PcmFormat&) override { return true; }
    bool write(const uint8_t*, size_t n) override {
        frames += n;
        return true;
    }
    int pendingMs() override { return 0; }
    void drop() override {}
    void close() override {
        std::lock_guard<std::mutex> g(played->lock);
        played->frames.push_back(frames);
        played->changed.notify_all();
    }

private:
    std::shared_ptr<PlayedSounds> played;
    size_t frames = 0;
};

constexpr size_t kConnectFrames = 285136 / 4;
constexpr size_t kDisconnectFrames = 202124 / 4;

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        CVantryOneDlg::resetGateWasOpenForTest();
        CSoundCue::releaseInstance();
        CSoundCue::setDeviceFactoryForTest(
            [p = played] { return std::make_unique<RecordingDevice>(p); });
        controller.fake.contacts = {"alice", "bob"};
    }
    void TearDown() override {
        dialog.reset();
        CSoundCue::releaseInstance();
        CSoundCue::setDeviceFactoryForTest({});
    }
    void start(int mode) {
        dir.write("QuillonForFTP.ini", "[SYSTEM]\nAPPMODE=" + std::to_string(mode) + "\n");
        dialog = std::make_unique<CVantryOneDlg>(settings, controller);
        dialog->setOpenAnnouncer([this](int product) {
            announced.push_back(product);
            return 1;
        });
        dialog->initDialog();
    }
    // Answers modal windows: message boxes with `answer`, the mode dialog by
    // choosing `mode` and OK.
    void answer(QMessageBox::StandardButton boxAnswer, int mode = -1) {
        ui::setModalAnswerer([this, boxAnswer, mode](QDialog& d) {
            if (auto* box = qobject_cast<QMessageBox*>(&d)) {
                messages.push_back(box->text().toStdString());
                return static_cast<int>(boxAnswer);
            }
            if (auto* modeDialog = qobject_cast<CAppModeDlg*>(&d)) {
                (mode == 1 ? modeDialog->clientButton() : modeDialog->serverButton())->click();
                modeDialog->accept();
                return modeDialog->result();
            }
            return 0;
        });
    }

    TempDirectory dir;
    TraceAndModalCapture capture;
    std::shared_ptr<PlayedSounds> played = std::make_shared<PlayedSounds>();
    CPropaty settings;
    FakeMainController controller;
    std::unique_ptr<CVantryOneDlg> dialog;
    std::vector<int> announced;
    std::vector<std::string> messages;
};

TEST_F(MainDialogTest, InitialisesTheModelsAfterThePanelAndRegistersFirst) {
    start(1);
    ASSERT_NE(dialog->getClientPanel(), nullptr);
    EXPECT_EQ(dialog->getServerPanel(), nullptr);
    ASSERT_EQ(controller.listeners.size(), 1u);
    EXPECT_EQ(controller.initWindow,
              reinterpret_cast<QuillonController::MainWindowHandle>(dialog.get()));
    EXPECT_EQ(dialog->windowTitle(), "QuillonForFTP Ⅱ");
    EXPECT_EQ(dialog->size(), dialog->getClientPanel()->size());
    EXPECT_EQ(dialog->windowMenuTexts(),
              (QStringList{"-", "C/S 動作選択", "-", "VantryForFTP Ⅱ のﾊﾞｰｼﾞｮﾝ情報(&A)..."}));
    EXPECT_TRUE(capture.traced("UI mode: client\n"));
}

TEST_F(MainDialogTest, ClientGateEdgesPlayTheCuesAndAnnounceOnce) {
    start(1);
    controller.streams(1);
    ASSERT_TRUE(played->waitForCount(1));
    controller.streams(1);  // the gate stays open: nothing more
    controller.streams(1);
    EXPECT_EQ(announced, std::vector<int>{1});
    EXPECT_EQ(capture.countTraces("UI gate: open"), 1);
    EXPECT_EQ(capture.countTraces("●<-broadcastMessage() to WindowOf ret=1"), 1);
    EXPECT_EQ(dialog->getPanel()->controlText(resources::kIdGateButton), "close");

    controller.streams(0);
    ASSERT_TRUE(played->waitForCount(2));
    controller.streams(0);
    EXPECT_EQ(dialog->getPanel()->controlText(resources::kIdGateButton), "open");
    EXPECT_EQ(capture.countTraces("UI gate: closed"), 1);
    EXPECT_EQ(played->count(), 2u);
    EXPECT_EQ(played->frames, (std::vector<size_t>{kConnectFrames, kDisconnectFrames}));
    EXPECT_EQ(announced.size(), 1u);
}

TEST_F(MainDialogTest, ServerGateOpeningPlaysTheCueButAnnouncesNothing) {
    start(0);
    controller.streams(1);
    ASSERT_TRUE(played->waitForCount(1));
    EXPECT_TRUE(announced.empty());
    EXPECT_EQ(capture.countTraces("●<-broadcastMessage() to WindowOf"), 0);
    EXPECT_EQ(played->frames, std::vector<size_t>{kConnectFrames});
}

TEST_F(MainDialogTest, OnlyChangesOfTheAttachStatusReachThePanel) {
    start(0);
    const std::string panelTrace = "CServerDlg::changeAttachStatus()";
    controller.status(0);  // lastAttachStatus starts at 0: not a change
    EXPECT_EQ(capture.countTraces(panelTrace), 0);
    EXPECT_EQ(dialog->getServerPanel()->getStatusBar().getLed().getState(), CLed::kGreen);
    EXPECT_TRUE(capture.traced("notify from SkypeCom status chenge 0\n"));
    controller.status(1);
    controller.status(1);  // a repeat
    EXPECT_EQ(capture.countTraces(panelTrace), 1);
    controller.status(0);
    EXPECT_EQ(capture.countTraces(panelTrace), 2);
    EXPECT_EQ(dialog->getServerPanel()->getStatusBar().getLed().getState(), CLed::kRed);
    EXPECT_EQ(dialog->getLastAttachStatus(), 0);
}

TEST_F(MainDialogTest, TransferRatesOfApplicationZeroOnlyReachThePanel) {
    start(1);
    controller.fake.anyStream = 1;
    dialog->notifyA2AModelChanged();
    dialog->notifyA2ATransferRate(1, 9000, 9000);
    dialog->getPanel()->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(dialog->getPanel()->getMessageLine().getText(), "Gateは開いています");
    dialog->notifyA2ATransferRate(0, 1500, 0);
    dialog->getPanel()->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(dialog->getPanel()->getMessageLine().getText(),
              "Gateは開いています S:1.5,R:0.0 [KB/S]");
}

TEST_F(MainDialogTest, ModeChangeReplacesAndResizesThePanelAndWritesTheFile) {
    start(0);
    const QSize serverSize = dialog->size();
    answer(QMessageBox::Ok, 1);
    dialog->onSystemCommand(CVantryOneDlg::kCommandMode | 0x3);  // low bits are ignored
    EXPECT_EQ(dialog->getServerPanel(), nullptr);
    ASSERT_NE(dialog->getClientPanel(), nullptr);
    EXPECT_EQ(dialog->size(), dialog->getClientPanel()->size());
    EXPECT_EQ(serverSize, dialog->size());  // the two layouts are equal
    EXPECT_EQ(dialog->getClientPanel()->getStatusBar().getText(), "Client [21]");
    EXPECT_NE(dir.read("QuillonForFTP.ini").find("APPMODE=1"), std::string::npos);
    EXPECT_TRUE(messages.empty());
}

TEST_F(MainDialogTest, ConfirmingTheModeWithoutAChangeKeepsThePanelAndStillWritesTheFile) {
    start(1);
    std::filesystem::remove(dir.path() / "QuillonForFTP.ini");
    CClientDlg* before = dialog->getClientPanel();
    answer(QMessageBox::Ok, 1);
    dialog->onSystemCommand(CVantryOneDlg::kCommandMode);
    EXPECT_EQ(dialog->getClientPanel(), before);
    const std::string ini = dir.read("QuillonForFTP.ini");
    for (const char* key :
         {"APPMODE=1", "ENABLEUSER=0", "SOUNDMODE=1", "AUTOCONNECT=0", "AUTOCONNECTUSER="}) {
        EXPECT_NE(ini.find(key), std::string::npos) << key << " in\n" << ini;
    }
}

TEST_F(MainDialogTest, CancellingTheModeDialogChangesNothing) {
    start(0);
    std::filesystem::remove(dir.path() / "QuillonForFTP.ini");
    CServerDlg* before = dialog->getServerPanel();
    ui::setModalAnswerer([](QDialog& d) {
        if (auto* modeDialog = qobject_cast<CAppModeDlg*>(&d)) {
            modeDialog->clientButton()->click();
            modeDialog->reject();
        }
        return d.result();
    });
    dialog->onSystemCommand(CVantryOneDlg::kCommandMode);
    EXPECT_EQ(dialog->getServerPanel(), before);
    EXPECT_EQ(settings.getAppMode(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "QuillonForFTP.ini"));
}

TEST_F(MainDialogTest, TheAboutCommandRunsTheAboutBox) {
    start(1);
    std::vector<std::string> shown;
    ui::setModalAnswerer([&shown](QDialog& d) {
        if (auto* about = qobject_cast<CAboutDlg*>(&d)) {
            shown.push_back(about->getVersionLine());
        }
        return 1;
    });
    dialog->onSystemCommand(CVantryOneDlg::kCommandAbout | 0xF);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind("QuillonForFTP Ⅱ Ver.:", 0), 0u) << shown[0];
    dialog->onSystemCommand(48);  // neither command: nothing
    EXPECT_EQ(shown.size(), 1u);
}

TEST_F(MainDialogTest, ModeChangeIsRefusedWhileAStreamExists) {
    start(0);
    controller.fake.anyStream = 1;
    answer(QMessageBox::Ok, 1);
    dialog->onSystemCommand(CVantryOneDlg::kCommandMode);
    EXPECT_EQ(messages, std::vector<std::string>{"接続中は変更できません."});
    EXPECT_NE(dialog->getServerPanel(), nullptr);
    EXPECT_EQ(settings.getAppMode(), 0);
}

TEST_F(MainDialogTest, AnUnwritableSettingsFileIsReportedAfterAModeChange) {
    start(0);
    std::filesystem::remove(dir.path() / "QuillonForFTP.ini");
    std::filesystem::create_directory(dir.path() / "QuillonForFTP.ini");
    answer(QMessageBox::Ok, 1);
    dialog->onSystemCommand(CVantryOneDlg::kCommandMode);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("書き込めませんでした"), std::string::npos);
    EXPECT_EQ(settings.getAppMode(), 1);  // in effect until the program ends
}

TEST_F(MainDialogTest, TheCloseQuestionComesOnlyWithAConnectedTcpSocket) {
    start(1);
    const struct {
        int anyStream, connected;
        QMessageBox::StandardButton answer;
        bool asked, closes;
    } rows[] = {{1, 0, QMessageBox::No, false, true},
                {1, 1, QMessageBox::No, true, false},
                {1, 1, QMessageBox::Yes, true, true}};
    for (const auto& row : rows) {
        dialog->show();
        messages.clear();
        controller.fake.anyStream = row.anyStream;
        controller.fake.connected = row.connected;
        answer(row.answer);
        dialog->close();
        EXPECT_EQ(!messages.empty(), row.asked) << "connected " << row.connected;
        if (row.asked) {
            EXPECT_EQ(messages[0], "接続中ですが終了しますか？");
        }
        EXPECT_EQ(!dialog->isVisible(), row.closes)
            << "connected " << row.connected << " answer " << (row.answer == QMessageBox::Yes);
    }
}

TEST_F(MainDialogTest, PrivateMessagesReachThePanelAnd1225ClosesWithoutAsking) {
    start(1);
    EXPECT_EQ(dialog->onPrivateMessage(1226), 1);
    EXPECT_EQ(controller.fake.count("connectSelectedUser"), 1);
    EXPECT_EQ(dialog->onPrivateMessage(1228), 1);
    EXPECT_EQ(controller.fake.count("selectNextUser"), 1);
    EXPECT_EQ(dialog->onPrivateMessage(1227), 1);
    EXPECT_EQ(controller.fake.count("disconnectAll"), 1);
    EXPECT_EQ(dialog->onPrivateMessage(1229), 0);

    controller.fake.connected = 1;
    answer(QMessageBox::No);
    EXPECT_EQ(dialog->onPrivateMessage(1225), 1);
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(MainDialogTest, DestroyingTheWindowDestroysThePanelAndTheOwnedWindows) {
    start(0);
    dialog->destroyWindow();
    EXPECT_EQ(dialog->getServerPanel(), nullptr);
    EXPECT_EQ(controller.fake.count("destroyOwnedWindows"), 1);
    dialog->destroyWindow();
    EXPECT_EQ(controller.fake.count("destroyOwnedWindows"), 1);
}

TEST_F(MainDialogTest, TheCloseQuestionAsksWithJapaneseButtons) {
    std::vector<std::string> buttons;
    ui::setModalAnswerer([&](QDialog& d) {
        if (auto* box = qobject_cast<QMessageBox*>(&d)) {
            for (QAbstractButton* b : box->buttons()) {
                buttons.push_back(b->text().toStdString());
            }
        }
        return static_cast<int>(QMessageBox::No);
    });
    start(1);
    controller.fake.connected = 1;
    dialog->close();
    std::sort(buttons.begin(), buttons.end());
    EXPECT_EQ(buttons, (std::vector<std::string>{"いいえ", "はい"}));
    EXPECT_TRUE(dialog->isVisible());
    ui::setModalAnswerer({});
}

TEST_F(MainDialogTest, ANonNumericSettingIsReportedOnceAtStartNamingFileKeyAndValueUsed) {
    std::vector<std::string> warnings;
    dir.write("QuillonForFTP.ini", "\xEF\xBB\xBF[SYSTEM]\nAPPMODE=1\nSOUNDMODE=loud\n");
    dialog = std::make_unique<CVantryOneDlg>(settings, controller);
    dialog->setWarningPresenter(
        [&](const QString& text) { warnings.push_back(text.toStdString()); });
    dialog->initDialog();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "設定ファイル " + settings.getIniPath() +
                               " の [SYSTEM] SOUNDMODE=loud は数値ではありません。0 を使います。");
    EXPECT_NE(dialog->getClientPanel(), nullptr);  // the mode came through the mark
    // Without a presenter it is a message box.
    answer(QMessageBox::Ok);
    dialog.reset();
    CPropaty again;
    CVantryOneDlg second(again, controller);
    second.initDialog();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], warnings[0]);
    second.destroyWindow();
    ui::setModalAnswerer({});
}

TEST_F(MainDialogTest, TheWindowReturnsWhereItWasAndTwoSettingsDoNotShareAPlace) {
    start(0);
    const QPoint moved = dialog->pos() + QPoint(37, 23);
    dialog->move(moved);
    dialog->destroyWindow();
    EXPECT_NE(dir.read("QuillonForFTP.window").find("[WINDOW]"), std::string::npos);
    dialog.reset();
    CPropaty again;
    CVantryOneDlg second(again, controller);
    second.initDialog();
    EXPECT_EQ(second.pos(), moved);
    second.destroyWindow();
}

TEST_F(MainDialogTest, TheWindowMenuOpensFromTheKeyboard) {
    start(0);
    for (const auto& key : {std::make_pair(Qt::Key_F10, Qt::ShiftModifier),
                            std::make_pair(Qt::Key_Menu, Qt::NoModifier)}) {
        dialog->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
        QStringList shown;
        QTimer::singleShot(0, [&shown] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* a : menu->actions()) {
                    if (!a->isSeparator()) {
                        shown << a->text();
                    }
                }
                menu->close();
            }
        });
        QTest::keyClick(dialog.get(), key.first, key.second);
        EXPECT_EQ(shown, (QStringList{QString::fromUtf8("C/S 動作選択"),
                                      QString::fromUtf8("VantryForFTP Ⅱ のﾊﾞｰｼﾞｮﾝ情報(&A)...")}))
            << key.first;
    }
}

}  // namespace
