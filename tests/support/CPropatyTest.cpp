#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <cstdlib>
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

TEST_F(CPropatyTest, AByteOrderMarkDoesNotHideTheFirstSection) {
    writeIni("\xEF\xBB\xBF[SYSTEM]\r\nAPPMODE=1\r\n[CLIENT]\r\nAUTOCONNECT=1\r\n");
    CPropaty p;
    p.loadIni();
    EXPECT_EQ(p.getAppMode(), 1);
    EXPECT_EQ(p.getAutoConnect(), 1);
    EXPECT_TRUE(p.getLoadWarnings().empty());
    ASSERT_EQ(p.saveIni(), 1);
    const std::string saved = readIni();
    EXPECT_EQ(saved.rfind("\xEF\xBB\xBF[SYSTEM]\r\nAPPMODE=1\r\n", 0), 0u) << saved;
    EXPECT_EQ(saved.find("\xEF\xBB\xBF", 3), std::string::npos) << saved;
}

TEST_F(CPropatyTest, NonNumericValuesAreReportedWithTheValueUsed) {
    const struct {
        const char* ini;
        const char* section;
        const char* key;
        const char* value;
        int used;
    } rows[] = {
        {"[SYSTEM]\nAPPMODE=client\n", "SYSTEM", "APPMODE", "client", 0},
        {"[SYSTEM]\nAPPMODE=1x\n", "SYSTEM", "APPMODE", "1x", 1},
        {"[SYSTEM]\nSOUNDMODE=\n", "SYSTEM", "SOUNDMODE", "", 0},
        {"[SYSTEM]\nENABLEUSER=yes\n", "SYSTEM", "ENABLEUSER", "yes", 0},
        {"[CLIENT]\nAUTOCONNECT=on\n", "CLIENT", "AUTOCONNECT", "on", 0},
        {"[CLIENT]\nLISTENPORT=ftp\n", "CLIENT", "LISTENPORT", "ftp", 0},
        {"[SERVER]\nPORT=2 1\n", "SERVER", "PORT", "2 1", 2},
    };
    for (const auto& row : rows) {
        writeIni(row.ini);
        CPropaty p;
        p.loadIni();
        ASSERT_EQ(p.getLoadWarnings().size(), 1u) << row.ini;
        const CPropaty::LoadWarning& w = p.getLoadWarnings()[0];
        EXPECT_EQ(w.section, row.section) << row.ini;
        EXPECT_EQ(w.key, row.key) << row.ini;
        EXPECT_EQ(w.value, row.value) << row.ini;
        EXPECT_EQ(w.used, row.used) << row.ini;
    }
    // Numbers, signed or padded, are not reported; a second load starts afresh.
    writeIni("[SYSTEM]\nAPPMODE= 1 \nSOUNDMODE=-0\n[CLIENT]\nLISTENPORT=+2121\n");
    CPropaty p;
    p.loadIni();
    p.loadIni();
    EXPECT_TRUE(p.getLoadWarnings().empty());
    EXPECT_EQ(p.getAppMode(), 1);
}

TEST_F(CPropatyTest, AnInstalledCopyKeepsItsSettingsInTheUsersConfigFolder) {
    const fs::path config = dir / "config";
    const fs::path program = dir / "program";
    fs::create_directories(program);
    const char* oldConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string savedConfig = oldConfig != nullptr ? oldConfig : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const std::string user = (config / "quillonftp" / "QuillonForFTP.ini").string();
    EXPECT_EQ(CPropaty::userIniPath(), user);

    // A writable program directory (portable use) and one holding the file
    // keep the file beside the program; a bare name uses the user's folder.
    EXPECT_EQ(CPropaty::chooseIniPath(program.string()), (program / "QuillonForFTP.ini").string());
    EXPECT_EQ(CPropaty::chooseIniPath(""), user);
    if (::geteuid() != 0) {  // root writes everywhere
        fs::permissions(program, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(CPropaty::chooseIniPath(program.string()), user);
        fs::permissions(program, fs::perms::owner_all);
    }
    std::ofstream(program / "QuillonForFTP.ini") << "[SYSTEM]\nAPPMODE=1\n";
    EXPECT_EQ(CPropaty::chooseIniPath(program.string()), (program / "QuillonForFTP.ini").string());

    // The user's folder is made on the first save, and read back from there.
    CPropaty p;
    p.setIniPath(user);
    p.loadIni();
    EXPECT_EQ(p.getAppMode(), 0);
    p.setAppMode(1);
    ASSERT_EQ(p.saveIni(), 1);
    CPropaty q;
    q.setIniPath(user);
    q.loadIni();
    EXPECT_EQ(q.getAppMode(), 1);
    EXPECT_EQ(fs::status(config / "quillonftp").permissions() & fs::perms::all, fs::perms::owner_all);

    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", dir.c_str(), 1);
    EXPECT_EQ(CPropaty::userIniPath(),
              (dir / ".config" / "quillonftp" / "QuillonForFTP.ini").string());
    ::setenv("HOME", savedHome.c_str(), 1);
    if (oldConfig != nullptr) {
        ::setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
    }
}

}  // namespace
