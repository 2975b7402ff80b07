#include <gtest/gtest.h>

#include <cerrno>

#include <QPushButton>
#include <QTest>
#include <memory>

#include "FakeController.h"
#include "QtTestEnvironment.h"
#include "TempDirectory.h"
#include "platform/ProcessFlags.h"
#include "resources/ResourceIds.h"
#include "support/CPropaty.h"
#include "ui/CServerDlg.h"

using namespace resources;

namespace {

class ServerPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::setDebugMode(false);
        controller.contacts = {"alice", "bob"};
        panel = std::make_unique<CServerDlg>(&settings, &controller);
        panel->initDialog();
        panel->show();
    }
    void TearDown() override { platform::setDebugMode(false); }
    std::string message() { return panel->getMessageLine().getText(); }
    void clickGate() {
        QTest::mouseClick(qobject_cast<QPushButton*>(panel->control(kIdGateButton)),
                          Qt::LeftButton);
    }

    TempDirectory dir;
    TraceAndModalCapture capture;
    CPropaty settings;
    FakeController controller;
    std::unique_ptr<CServerDlg> panel;
};

TEST_F(ServerPanelTest, OpenButtonOpensOnlyInDebugMode) {
    clickGate();
    EXPECT_EQ(message(), "SERVERからの接続はできません");
    EXPECT_EQ(controller.count("connectSelectedUser"), 0);
    EXPECT_TRUE(capture.traced("CServerDlg::OnBconnect()\n"));

    platform::setDebugMode(true);
    clickGate();
    EXPECT_EQ(message(), "接続操作を行いました");
    EXPECT_EQ(controller.count("connectSelectedUser"), 1);
}

TEST_F(ServerPanelTest, OpenMessageOpensEvenOutsideDebugMode) {
    panel->openGate();  // what the private message 1226 does
    EXPECT_EQ(controller.count("connectSelectedUser"), 1);
}

TEST_F(ServerPanelTest, CloseClosesEveryStreamWithOrWithoutDebugMode) {
    for (bool debug : {false, true}) {
        platform::setDebugMode(debug);
        controller.calls.clear();
        panel->setGateOpen(1);
        clickGate();
        EXPECT_EQ(controller.count("disconnectAll"), 1) << "debug " << debug;
        EXPECT_EQ(message(), "aliceへのSKYPE STREAM切断操作を行いました");
    }
}

TEST_F(ServerPanelTest, LocalLampAlwaysReadsCAndIsGreenOnlyWhileConnected) {
    const QColor black(0, 0, 0);
    const struct {
        int attach, accepting, connected;
        QColor local;
    } rows[] = {{1, 1, 0, black}, {1, 0, 1, CGatePanel::green()}, {0, 1, 1, black}};
    for (const auto& row : rows) {
        controller.attachStatus = row.attach;
        controller.accepting = row.accepting;
        controller.connected = row.connected;
        panel->onTimer(CGatePanel::kLampTimer);
        EXPECT_EQ(panel->controlText(kIdLampLocal), "C") << "connected " << row.connected;
        EXPECT_EQ(panel->backgroundOf(kIdLampLocal), row.local)
            << "attach " << row.attach << " accepting " << row.accepting;
    }
}

TEST_F(ServerPanelTest, AutoConnectSettingsHaveNoEffect) {
    settings.setAutoConnect(1);
    settings.setAutoConnectUser("bob");
    for (int tick = 0; tick < 10; ++tick) {
        panel->onTimer(CGatePanel::kAutoConnectTimer);
    }
    EXPECT_TRUE(controller.calls.empty());
    panel->onSelectButton();
    EXPECT_EQ(controller.count("selectNextUser"), 1);
    EXPECT_NE(message(), "自動接続モードです。ユーザの切り替えはできません。");

    panel->setGateOpen(1);
    panel->onSelectButton();
    EXPECT_EQ(message(), "現在ユーザ切り替えはできません。");
    EXPECT_EQ(controller.count("selectNextUser"), 1);
}

TEST_F(ServerPanelTest, StatusBarReadsServerAndIsYellowWithAPaleYellowLamp) {
    CLogoDlg& bar = panel->getStatusBar();
    EXPECT_EQ(bar.getText(), "Server [21]");
    EXPECT_EQ(bar.modeColour(), CLogoDlg::yellow());
    EXPECT_EQ(bar.palette().color(QPalette::Window), CLogoDlg::yellow());
    EXPECT_EQ(bar.getPropatyButton()->palette().color(QPalette::Button), CLogoDlg::yellow());
    EXPECT_EQ(bar.getLed().palette().color(QPalette::Window), CLogoDlg::paleYellow());
    bar.setClientText(21);
    EXPECT_EQ(bar.palette().color(QPalette::Window), CLogoDlg::amber());
    EXPECT_EQ(bar.getPropatyButton()->palette().color(QPalette::Button), CLogoDlg::amber());
    EXPECT_EQ(bar.getLed().palette().color(QPalette::Window), CLogoDlg::paleYellow());
}

TEST_F(ServerPanelTest, AnFtpServerThatCannotBeReachedIsNamedUntilAConnectionGetsThrough) {
    const struct {
        const char* ini;
        int error;
        const char* text;
    } rows[] = {
        {"", ECONNREFUSED, "FTPサーバlocalhost:21に接続できません(接続拒否)!"},
        {"[SERVER]\nHOST=127.0.0.1\nPORT=2100\n", ETIMEDOUT,
         "FTPサーバ127.0.0.1:2100に接続できません(時間切れ)!"},
        {"[SERVER]\nHOST=ftp.invalid\n", EADDRNOTAVAIL,
         "FTPサーバftp.invalid:21に接続できません(アドレスがありません)!"},
    };
    for (const auto& row : rows) {
        dir.write("QuillonForFTP.ini", row.ini);
        settings.loadIni();
        controller.connected = 0;
        controller.anyStream = 1;
        panel->setGateOpen(1);
        controller.serverFailures = 1;
        controller.serverError = row.error;
        panel->onTimer(CGatePanel::kLampTimer);
        panel->onTimer(CGatePanel::kStatusTimer);
        EXPECT_EQ(message(), row.text) << row.ini;
        EXPECT_EQ(panel->backgroundOf(kIdStatusLine), CGatePanel::red()) << row.ini;
        panel->onTimer(CGatePanel::kLampTimer);
        panel->onTimer(CGatePanel::kStatusTimer);
        EXPECT_EQ(message(), row.text) << row.ini;  // it stays
        controller.connected = 1;
        panel->onTimer(CGatePanel::kLampTimer);
        panel->onTimer(CGatePanel::kStatusTimer);
        EXPECT_EQ(message(), "Gateは開いています") << row.ini;
    }
}

TEST_F(ServerPanelTest, TraceNamesTheServerPanel) {
    panel->changeAttachStatus(3);
    EXPECT_TRUE(
        capture.traced("CServerDlg::changeAttachStatus():notify from SkypeCom status chenge 3\n"));
    EXPECT_EQ(panel->getStatusBar().getLed().getState(), CLed::kRed);
}

}  // namespace
