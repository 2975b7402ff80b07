#include <gtest/gtest.h>

#include <QCheckBox>
#include <cerrno>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "FakeController.h"
#include "QtTestEnvironment.h"
#include "TempDirectory.h"
#include "resources/ResourceIds.h"
#include "support/CPropaty.h"
#include "ui/CClientDlg.h"
#include "ui/CPropatyDlg.h"
#include "ui/CSoundCue.h"

using namespace resources;

namespace {

const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);

class ClientPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        controller.contacts = {"alice", "bob", "carol"};
        settings.setAppMode(1);
        panel = std::make_unique<CClientDlg>(&settings, &controller);
        panel->initDialog();
        panel->show();
    }
    std::string message() { return panel->getMessageLine().getText(); }
    void clickControl(int id) {
        auto* button = qobject_cast<QPushButton*>(panel->control(id));
        ASSERT_NE(button, nullptr);
        QTest::mouseClick(button, Qt::LeftButton);
    }

    TempDirectory dir;
    TraceAndModalCapture capture;
    CPropaty settings;
    FakeController controller;
    std::unique_ptr<CClientDlg> panel;
};

TEST_F(ClientPanelTest, SelectWithAutoConnectOnOnlyRefuses) {
    settings.setAutoConnect(1);
    settings.setAutoConnectUser("bob");
    panel->onSelectButton();
    EXPECT_EQ(message(), "自動接続モードです。ユーザの切り替えはできません。");
    EXPECT_EQ(controller.count("selectNextUser"), 0);
    EXPECT_EQ(controller.selected, 0);
    EXPECT_TRUE(capture.traced("CQuillonForTcpDlg::OnBconnect()\n"));
}

TEST_F(ClientPanelTest, SelectMessageWhileTheGateIsOpenIsRefusedAndTheSelectionStays) {
    panel->setGateOpen(1);
    EXPECT_EQ(panel->controlText(kIdGateButton), "close");
    EXPECT_FALSE(panel->isControlEnabled(kIdSelectButton));
    EXPECT_FALSE(panel->getStatusBar().getPropatyButton()->isEnabled());

    panel->onSelectButton();  // what the private message 1228 does
    EXPECT_EQ(message(), "現在ユーザ切り替えはできません。");
    EXPECT_EQ(controller.count("selectNextUser"), 0);

    panel->setGateOpen(0);
    EXPECT_EQ(panel->controlText(kIdGateButton), "open");
    EXPECT_TRUE(panel->isControlEnabled(kIdSelectButton));
    EXPECT_TRUE(panel->getStatusBar().getPropatyButton()->isEnabled());
    panel->onSelectButton();
    EXPECT_EQ(controller.count("selectNextUser"), 1);
    EXPECT_EQ(controller.selected, 1);
}

TEST_F(ClientPanelTest, OpenWithAContactThatIsNotConnectableOpensNothing) {
    controller.connectable = 0;
    clickControl(kIdGateButton);
    EXPECT_EQ(message(), "現在選択中のユーザは接続可能状態ではありません");
    EXPECT_EQ(controller.count("connectSelectedUser"), 0);

    controller.connectable = 1;
    clickControl(kIdGateButton);
    EXPECT_EQ(message(), "接続操作を行いました");
    EXPECT_EQ(controller.count("connectSelectedUser"), 1);
}

TEST_F(ClientPanelTest, CloseDisconnectsAndNamesTheContact) {
    controller.selected = 1;
    panel->setGateOpen(1);
    clickControl(kIdGateButton);
    EXPECT_EQ(controller.count("disconnectAll"), 1);
    EXPECT_EQ(message(), "bobへのSKYPE STREAM切断操作を行いました");
}

struct LampRow {
    int attach, accepting, connected, peer;
    const char* localText;
    QColor local, peerColour;
};

TEST_F(ClientPanelTest, LampsFollowTheStreamsOnlyWhileAttached) {
    const QColor g = CGatePanel::green();
    const LampRow rows[] = {
        {1, 0, 0, 0, "L", kBlack, kBlack},  // no stream
        {1, 1, 0, 0, "L", g, kBlack},       // the listener waits for the FTP client
        {1, 1, 1, 0, "C", g, kBlack},       // the FTP client is connected
        {1, 0, 1, 1, "C", g, g},           {1, 0, 0, 1, "L", kBlack, g},
        {0, 1, 1, 1, "L", kBlack, kBlack},  // not attached: all off
        {2, 1, 1, 1, "L", kBlack, kBlack}, {32769, 1, 1, 1, "L", kBlack, kBlack},
    };
    for (const LampRow& row : rows) {
        controller.attachStatus = row.attach;
        controller.accepting = row.accepting;
        controller.connected = row.connected;
        controller.peerConnected = row.peer;
        panel->onTimer(CGatePanel::kLampTimer);
        const std::string where =
            "attach " + std::to_string(row.attach) + " accepting " + std::to_string(row.accepting) +
            " connected " + std::to_string(row.connected) + " peer " + std::to_string(row.peer);
        EXPECT_EQ(panel->controlText(kIdLampLocal).toStdString(), row.localText) << where;
        EXPECT_EQ(panel->controlText(kIdLampPeer), "P") << where;
        EXPECT_EQ(panel->backgroundOf(kIdLampLocal), row.local) << where;
        EXPECT_EQ(panel->backgroundOf(kIdLampPeer), row.peerColour) << where;
        EXPECT_EQ(panel->textColourOf(kIdLampLocal), kWhite) << where;
    }
    EXPECT_GT(capture.countTraces("UI lamps: local C green, peer P green"), 0);
}

TEST_F(ClientPanelTest, TheLedFollowsAttachStatusesButFourAnd32769LeaveIt) {
    CLed& led = panel->getStatusBar().getLed();
    EXPECT_EQ(led.getState(), CLed::kGreen);  // a new status bar shows green
    const struct {
        int status;
        int led;
    } rows[] = {{2, CLed::kBlue},    {4, CLed::kBlue},  {32769, CLed::kBlue},
                {1, CLed::kGreen},   {4, CLed::kGreen}, {0, CLed::kRed},
                {32769, CLed::kRed}, {3, CLed::kRed},   {1, CLed::kGreen}};
    for (const auto& row : rows) {
        panel->changeAttachStatus(row.status);
        EXPECT_EQ(led.getState(), row.led) << "status " << row.status;
        EXPECT_EQ(panel->getMessageLine().getAttachState(), row.status) << "status " << row.status;
    }
    EXPECT_TRUE(
        capture.traced("CClientDlg::changeAttachStatus():notify from SkypeCom status chenge 4\n"));
    EXPECT_TRUE(capture.traced("UI led: blue\n"));
}

TEST_F(ClientPanelTest, StatusLineIsWhiteOnRedOnlyWithAnExclamationAfterTheFirstCharacter) {
    const struct {
        const char* text;
        bool warning;
    } rows[] = {{"Gateは開いています", false},
                {"!先頭だけ", false},
                {"接続!失敗", true},
                {"ab!", true},
                {"", false}};
    for (const auto& row : rows) {
        panel->getMessageLine().setTemporary(row.text);
        panel->onTimer(CGatePanel::kStatusTimer);
        EXPECT_EQ(panel->controlText(kIdStatusLine).toStdString(), row.text) << row.text;
        EXPECT_EQ(panel->backgroundOf(kIdStatusLine), row.warning ? CGatePanel::red() : kBlack)
            << row.text;
        EXPECT_EQ(panel->textColourOf(kIdStatusLine), row.warning ? kWhite : CGatePanel::green())
            << row.text;
    }
}

TEST_F(ClientPanelTest, StatusTimerShowsTheMessageLineAndTracesChanges) {
    controller.attachStatus = 0;
    panel->changeAttachStatus(0);
    panel->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(panel->controlText(kIdStatusLine), "通信ドライバと未接続");
    panel->changeAttachStatus(1);
    panel->setGateOpen(1);
    panel->setRates(1500, 0);
    panel->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(panel->controlText(kIdStatusLine), "Gateは開いています S:1.5,R:0.0 [KB/S]");
    EXPECT_TRUE(capture.traced("UI status: 通信ドライバと未接続\n"));
    EXPECT_EQ(capture.countTraces("UI status: Gateは開いています S:1.5"), 1);
    panel->onTimer(CGatePanel::kStatusTimer);  // unchanged: no new trace
    EXPECT_EQ(capture.countTraces("UI status: Gateは開いています S:1.5"), 1);
}

TEST_F(ClientPanelTest, AutoConnectConnectsAtOnceThenEvery601TicksWhileConnectable) {
    settings.setAutoConnect(1);
    settings.setAutoConnectUser("carol");
    panel->onTimer(CGatePanel::kAutoConnectTimer);
    EXPECT_EQ(controller.selected, 2);
    EXPECT_EQ(controller.count("connectSelectedUser"), 1);
    EXPECT_EQ(message(), "STREAM接続操作を行いました(自動)");

    for (int tick = 0; tick < CClientDlg::kAutoConnectRepeatTicks; ++tick) {
        panel->onTimer(CGatePanel::kAutoConnectTimer);
    }
    EXPECT_EQ(controller.count("connectSelectedUser"), 1);
    controller.connectable = 0;  // the countdown stands still meanwhile
    for (int tick = 0; tick < 50; ++tick) {
        panel->onTimer(CGatePanel::kAutoConnectTimer);
    }
    EXPECT_EQ(controller.count("connectSelectedUser"), 1);
    controller.connectable = 1;
    panel->onTimer(CGatePanel::kAutoConnectTimer);
    EXPECT_EQ(controller.count("connectSelectedUser"), 2);
}

TEST_F(ClientPanelTest, AutoConnectDoesNothingWhileDetachedOffOrWithoutAContact) {
    const struct {
        int attach, autoConnect;
        const char* user;
    } rows[] = {{0, 1, "bob"}, {2, 1, "bob"}, {1, 0, "bob"}, {1, 1, ""}};
    for (const auto& row : rows) {
        controller.calls.clear();
        controller.attachStatus = row.attach;
        settings.setAutoConnect(row.autoConnect);
        settings.setAutoConnectUser(row.user);
        panel->onTimer(CGatePanel::kAutoConnectTimer);
        EXPECT_TRUE(controller.calls.empty())
            << "attach " << row.attach << " auto " << row.autoConnect << " user " << row.user;
    }
}

TEST_F(ClientPanelTest, SelectedContactIsGreenOnlyWhenOnlineAndConnectable) {
    const struct {
        int status, connectable, colour;
        QColor text;
    } rows[] = {{2, 1, 2, CGatePanel::green()},
                {2, 0, 1, CGatePanel::blue()},
                {1, 1, 0, CGatePanel::blue()}};
    for (const auto& row : rows) {
        controller.selectedStatus = row.status;
        controller.connectable = row.connectable;
        panel->showSelectedUser();
        EXPECT_EQ(panel->controlText(kIdUserName), "alice");
        EXPECT_EQ(panel->getUserColour(), row.colour) << "status " << row.status;
        EXPECT_EQ(panel->textColourOf(kIdUserName), row.text) << "status " << row.status;
        EXPECT_EQ(panel->backgroundOf(kIdUserName), kBlack);
    }
}

TEST_F(ClientPanelTest, PropatyButtonRunsTheSettingsDialogAndAppliesTheSoundSwitch) {
    CSoundCue::releaseInstance();
    CSoundCue::setDeviceFactoryForTest([] { return nullptr; });  // silent
    int runs = 0;
    ui::setModalAnswerer([&runs](QDialog& d) {
        auto* dialog = qobject_cast<CPropatyDlg*>(&d);
        if (dialog == nullptr) {
            return 0;
        }
        ++runs;
        dialog->soundCheck()->setChecked(false);
        dialog->accept();
        return dialog->result();
    });
    panel->getStatusBar().getPropatyButton()->click();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(settings.getSoundMode(), 0);
    EXPECT_EQ(CSoundCue::getInstance()->enabled, 0);
    EXPECT_EQ(panel->getStatusBar().getText(), "Client [21]");
    CSoundCue::releaseInstance();
    CSoundCue::setDeviceFactoryForTest({});
}

TEST_F(ClientPanelTest, ALostAttachmentRestartsTheCountdownSoTheNextOneConnectsAtOnce) {
    settings.setAutoConnect(1);
    settings.setAutoConnectUser("bob");
    panel->onTimer(CGatePanel::kAutoConnectTimer);
    ASSERT_EQ(controller.count("connectSelectedUser"), 1);
    for (int tick = 0; tick < 100; ++tick) {
        panel->onTimer(CGatePanel::kAutoConnectTimer);
    }
    ASSERT_GT(panel->getAutoConnectCountdown(), 0);
    // Lost, seen by the timer: re-attached, the first tick connects.
    controller.attachStatus = 0;
    panel->onTimer(CGatePanel::kAutoConnectTimer);
    controller.attachStatus = 1;
    panel->onTimer(CGatePanel::kAutoConnectTimer);
    EXPECT_EQ(controller.count("connectSelectedUser"), 2);
    // Lost and back between two ticks: the status change alone restarts it.
    panel->changeAttachStatus(0);
    panel->changeAttachStatus(1);
    panel->onTimer(CGatePanel::kAutoConnectTimer);
    EXPECT_EQ(controller.count("connectSelectedUser"), 3);
    // While attached the repetition stays at kAutoConnectRetryMs.
    for (int tick = 0; tick < 100; ++tick) {
        panel->onTimer(CGatePanel::kAutoConnectTimer);
    }
    EXPECT_EQ(controller.count("connectSelectedUser"), 3);
}

TEST_F(ClientPanelTest, AListenerThatCannotOpenIsShownRetriedAndClearedWhenItListens) {
    const struct {
        int error;
        const char* text;
    } rows[] = {
        {EADDRINUSE, "ポート2121で待ち受けできません(使用中)!"},
        {EACCES, "ポート2121で待ち受けできません(権限がありません)!"},
        {EMFILE, "ポート2121で待ち受けできません(エラー24)!"},
    };
    for (const auto& row : rows) {
        controller.calls.clear();
        controller.retryOpens = false;
        controller.listenError = row.error;
        controller.listenPort = 2121;
        controller.anyStream = 1;
        panel->setGateOpen(1);
        panel->onTimer(CGatePanel::kLampTimer);
        panel->onTimer(CGatePanel::kStatusTimer);
        EXPECT_EQ(message(), row.text) << row.error;
        EXPECT_EQ(panel->controlText(kIdStatusLine).toStdString(), row.text) << row.error;
        EXPECT_EQ(panel->backgroundOf(kIdStatusLine), CGatePanel::red()) << row.error;
        EXPECT_EQ(panel->controlText(kIdLampLocal), "L") << row.error;
        EXPECT_EQ(panel->backgroundOf(kIdLampLocal), kBlack) << row.error;
        // Tried again every kListenRetryTicks lamp ticks while it fails.
        for (int tick = 1; tick < CClientDlg::kListenRetryTicks * 2; ++tick) {
            panel->onTimer(CGatePanel::kLampTimer);
        }
        EXPECT_EQ(controller.count("retryListen"), 2) << row.error;
        EXPECT_EQ(message(), row.text) << row.error;
        // The port frees: the next retry listens and the usual line returns.
        controller.retryOpens = true;
        controller.accepting = 1;
        for (int tick = 0; tick < CClientDlg::kListenRetryTicks; ++tick) {
            panel->onTimer(CGatePanel::kLampTimer);
        }
        panel->onTimer(CGatePanel::kStatusTimer);
        EXPECT_EQ(message(), "Gateは開いています") << row.error;
        EXPECT_EQ(panel->backgroundOf(kIdLampLocal), CGatePanel::green()) << row.error;
        EXPECT_EQ(panel->backgroundOf(kIdStatusLine), kBlack) << row.error;
        controller.accepting = 0;
    }
    EXPECT_TRUE(capture.traced("UI listen: port 2121 open now\n"));
}

TEST_F(ClientPanelTest, APeerThatCannotReachItsFtpServerIsShownUntilItsSideConnects) {
    controller.anyStream = 1;
    panel->setGateOpen(1);
    controller.peerFailures = 1;
    panel->onTimer(CGatePanel::kLampTimer);
    panel->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(message(), "相手側でFTPサーバに接続できませんでした!");
    EXPECT_EQ(panel->backgroundOf(kIdStatusLine), CGatePanel::red());
    panel->onTimer(CGatePanel::kLampTimer);  // no new failure: it stays
    panel->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(message(), "相手側でFTPサーバに接続できませんでした!");
    controller.peerConnected = 1;
    panel->onTimer(CGatePanel::kLampTimer);
    panel->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(message(), "Gateは開いています");
    // A closed gate forgets it too.
    controller.peerConnected = 0;
    controller.peerFailures = 1;
    panel->onTimer(CGatePanel::kLampTimer);
    panel->setGateOpen(0);
    panel->onTimer(CGatePanel::kStatusTimer);
    EXPECT_EQ(message(), "Gateは閉じています");
}

TEST_F(ClientPanelTest, StatusBarShowsThePortTheClientReallyListensOn) {
    dir.write("QuillonForFTP.ini", "[CLIENT]\nLISTENPORT=2121\n");
    CPropaty moved;
    moved.loadIni();
    CClientDlg other(&moved, &controller);
    other.initDialog();
    EXPECT_EQ(other.getStatusBar().getText(), "Client [2121]");
}

TEST_F(ClientPanelTest, StatusBarReadsClientAndIsAmber) {
    EXPECT_EQ(panel->getStatusBar().getText(), "Client [21]");
    EXPECT_EQ(panel->getStatusBar().modeColour(), CLogoDlg::amber());
    EXPECT_EQ(panel->getStatusBar().width(), panel->width());
}

}  // namespace
