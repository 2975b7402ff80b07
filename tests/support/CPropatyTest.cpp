#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/CPropaty.h"

namespace fs = std::filesystem;

namespace {

// Each test runs in a fresh directory, because the settings file lives in
// the current directory of the process.
class CPropatyTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldDir = fs::current_path();
        dir = fs::temp_directory_path() /
              ("quillon-settings-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(oldDir);
        fs::remove_all(dir);
    }
    void writeIni(const std::string& text) {
        std::ofstream(dir / "QuillonForFTP.ini", std::ios::binary) << text;
    }
    std::string readIni() {
        std::ifstream in(dir / "QuillonForFTP.ini", std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    fs::path oldDir;
    fs::path dir;
};

TEST_F(CPropatyTest, DefaultsWithoutAFileAndTheFixedParameters) {
    CPropaty p;
    p.loadIni();
    EXPECT_EQ(CQuillonPropaty::getInstance(), &p);
    EXPECT_EQ(p.getAppMode(), 0);
    EXPECT_EQ(p.getSoundMode(), 1);
    EXPECT_EQ(p.getEnableUser(), 0);
    EXPECT_EQ(p.getAutoConnect(), 0);
    EXPECT_EQ(p.getAutoConnectUser(), "");
    for (int type = 0; type < 5; ++type) {
        EXPECT_EQ(p.getClientPort(type), 21);
        EXPECT_EQ(p.getServerPort(type), 21);
        EXPECT_STREQ(p.getServerHost(type), "localhost");
        EXPECT_EQ(p.isApplicationEnabled(type), 1);
        EXPECT_EQ(p.getClientListenPort(type), 21);
        EXPECT_EQ(p.getServerConnectHost(type), "localhost");
        EXPECT_EQ(p.getServerConnectPort(type), 21);
    }
    EXPECT_EQ(p.isMultiPeerAllowed(), 0);
    EXPECT_STREQ(p.getApplicationName(), "QuillonForFtp2000");
    EXPECT_EQ(p.getIniPath(), (dir / "QuillonForFTP.ini").string());
    EXPECT_EQ(p.getAuxIniPath(), (dir / "QuillonForTcp.ini").string());
    EXPECT_FALSE(fs::exists(dir / "QuillonForFTP.ini"));  // reading creates nothing
}

TEST_F(CPropatyTest, HandEditedFileIsReadAndWrittenBackWithNothingElseChanged) {
    const std::string user300(300, 'u');
    const std::string before =
        "; written by hand\r\n"
        "[OtherProgram]\r\n"
        "; its comment\r\n"
        "Key=Value\r\n"
        "\r\n"
        "[system]\r\n"
        "AppMode=client\r\n"
        "enableuser=1\r\n"
        "SoundMode = 0 ; off\r\n"
        "\r\n"
        "[Client]\r\n"
        "autoconnect=1\r\n"
        "AutoConnectUser=" + user300 + "\r\n"
        "ListenPort=2121\r\n";
    writeIni(before);

    CPropaty p;
    p.loadIni();
    EXPECT_EQ(p.getAppMode(), 0);  // not a decimal number
    EXPECT_EQ(p.getEnableUser(), 1);
    EXPECT_EQ(p.getSoundMode(), 0);
    EXPECT_EQ(p.getAutoConnect(), 1);
    EXPECT_EQ(p.getAutoConnectUser(), std::string(260, 'u'));
    EXPECT_EQ(p.getClientListenPort(0), 2121);
    EXPECT_EQ(p.getClientPort(0), 21);  // the tunnel port never moves

    p.setAppMode(1);
    ASSERT_EQ(p.saveIni(), 1);
    const std::string after =
        "; written by hand\r\n"
        "[OtherProgram]\r\n"
        "; its comment\r\n"
        "Key=Value\r\n"
        "\r\n"
        "[system]\r\n"
        "APPMODE=1\r\n"
        "ENABLEUSER=1\r\n"
        "SOUNDMODE=0\r\n"
        "\r\n"
        "[Client]\r\n"
        "AUTOCONNECT=1\r\n"
        "AUTOCONNECTUSER=" + std::string(260, 'u') + "\r\n"
        "ListenPort=2121\r\n";
    EXPECT_EQ(readIni(), after);
}

TEST_F(CPropatyTest, OnlyAClientSectionLeavesTheRestAtDefaults) {
    writeIni("[CLIENT]\nAUTOCONNECTUSER=bob\n");
    CPropaty p;
    p.loadIni();
    EXPECT_EQ(p.getAppMode(), 0);
    EXPECT_EQ(p.getSoundMode(), 1);
    EXPECT_EQ(p.getEnableUser(), 0);
    EXPECT_EQ(p.getAutoConnect(), 0);
    EXPECT_EQ(p.getAutoConnectUser(), "bob");
}

TEST_F(CPropatyTest, SaveWithoutAChangeWritesAllFiveKeysAndCreatesTheFile) {
    CPropaty p;
    p.loadIni();
    ASSERT_EQ(p.saveIni(), 1);
    EXPECT_EQ(readIni(),
              "[SYSTEM]\nAPPMODE=0\nENABLEUSER=0\nSOUNDMODE=1\n"
              "[CLIENT]\nAUTOCONNECT=0\nAUTOCONNECTUSER=\n");
    ASSERT_EQ(p.saveIni(), 1);
    EXPECT_EQ(readIni(),
              "[SYSTEM]\nAPPMODE=0\nENABLEUSER=0\nSOUNDMODE=1\n"
              "[CLIENT]\nAUTOCONNECT=0\nAUTOCONNECTUSER=\n");
}

TEST_F(CPropatyTest, ServerOverridesAndBadOverridesFallBack) {
    writeIni("[server]\nhost=127.0.0.1\nport=2100\n[CLIENT]\nLISTENPORT=70000\n");
    CPropaty p;
    p.loadIni();
    EXPECT_EQ(p.getServerConnectHost(0), "127.0.0.1");
    EXPECT_EQ(p.getServerConnectPort(3), 2100);
    EXPECT_STREQ(p.getServerHost(0), "localhost");
    EXPECT_EQ(p.getServerPort(0), 21);
    EXPECT_EQ(p.getClientListenPort(0), 21);  // 70000 is no port
}

TEST_F(CPropatyTest, SaveReportsAFileThatCannotBeWrittenAndKeepsTheValues) {
    CPropaty p;
    p.loadIni();
    p.setAppMode(1);
    fs::current_path(oldDir);
    fs::remove_all(dir);  // the settings directory is gone
    EXPECT_EQ(p.saveIni(), 0);
    EXPECT_EQ(p.getAppMode(), 1);
    fs::create_directories(dir);
}

TEST_F(CPropatyTest, NullUserStoresEmptyText) {
    CPropaty p;
    p.setAutoConnectUser("x");
    p.setAutoConnectUser(nullptr);
    EXPECT_EQ(p.getAutoConnectUser(), "");
}

}  // namespace
