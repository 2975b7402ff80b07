#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "driver/DriverConfig.h"

namespace fs = std::filesystem;

namespace {

class XmppConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qxcfg-XXXXXX";
        dir = ::mkdtemp(pattern);
        write("ca.pem", "-----BEGIN CERTIFICATE-----\n", 0600);
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string& name, const std::string& text, mode_t mode) {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
    }

    std::string dir;
};

TEST_F(XmppConfigTest, ReadsAnXmppAccountBesideALocalOne) {
    write("pw", "s3cret;with=odd chars\nsecond line\n", 0600);
    const char* text =
        "[alice]\n"
        "socket = alice.sock\n"
        "jid = Alice@A.test\n"
        "password_file = pw\n"
        "server = 198.18.1.1\n"
        "port = 5223\n"
        "cafile = ca.pem\n"
        "contacts = bob@b.test, Carol@B.test, bob@b.test\n"
        "status = AWAY\n"
        "[local]\n"
        "socket = local.sock\n"
        "contacts = other\n";
    DriverConfig config;
    std::string error;
    ASSERT_TRUE(config.parse(text, dir, error)) << error;
    ASSERT_EQ(config.accounts.size(), 2u);
    const DriverAccountConfig& alice = config.accounts[0];
    EXPECT_TRUE(alice.xmpp.enabled);
    EXPECT_EQ(alice.settings.handle, "alice@a.test");
    EXPECT_EQ(alice.xmpp.jid, "alice@a.test");
    EXPECT_EQ(alice.xmpp.password, "s3cret;with=odd chars");
    EXPECT_EQ(alice.xmpp.server, "198.18.1.1");
    EXPECT_EQ(alice.xmpp.port, 5223);
    EXPECT_EQ(alice.xmpp.cafile, dir + "/ca.pem");
    EXPECT_EQ(alice.xmpp.contacts, (std::vector<std::string>{"bob@b.test", "carol@b.test"}));
    EXPECT_TRUE(alice.settings.contacts.empty()) << "XMPP contacts come from the roster";
    EXPECT_EQ(alice.settings.status, "AWAY");
    EXPECT_EQ(alice.socketPath, dir + "/alice.sock");
    const DriverAccountConfig& local = config.accounts[1];
    EXPECT_FALSE(local.xmpp.enabled);
    EXPECT_EQ(local.settings.handle, "local");
    EXPECT_EQ(local.settings.contacts, (std::vector<std::string>{"other"}));
}

struct BadXmppRow {
    const char* keys;       // lines after "[alice]\nsocket = a.sock\n"
    const char* errorPart;  // must appear in the error
};

TEST_F(XmppConfigTest, ConfigErrorsNameTheSectionAndTheKeyButNeverThePassword) {
    write("open.pw", "hunter2\n", 0644);
    write("empty.pw", "\n", 0600);
    const BadXmppRow rows[] = {
        {"jid = alice\npassword = hunter2\n", "section [alice], key jid:"},
        {"jid = alice@\npassword = hunter2\n", "section [alice], key jid:"},
        {"jid = a@b@c\npassword = hunter2\n", "section [alice], key jid:"},
        {"jid = alice@a.test/res\npassword = hunter2\n", "section [alice], key jid:"},
        {"jid = alice@a.test\n", "section [alice], key password: missing"},
        {"jid = alice@a.test\npassword =\n", "section [alice], key password: missing"},
        {"jid = alice@a.test\npassword = hunter2\npassword_file = open.pw\n",
         "section [alice], key password: give password or password_file"},
        {"jid = alice@a.test\npassword_file = open.pw\n",
         "section [alice], key password_file: " },
        {"jid = alice@a.test\npassword_file = missing.pw\n",
         "section [alice], key password_file: cannot read"},
        {"jid = alice@a.test\npassword_file = empty.pw\n",
         "section [alice], key password_file: "},
        {"jid = alice@a.test\npassword = hunter2\nport = 70000\n", "section [alice], key port:"},
        {"jid = alice@a.test\npassword = hunter2\nport = 52x\n", "section [alice], key port:"},
        {"jid = alice@a.test\npassword = hunter2\ncafile = nowhere.pem\n",
         "section [alice], key cafile: cannot read"},
        {"jid = alice@a.test\npassword = hunter2\ncontacts = bob\n",
         "section [alice], key contacts:"},
        {"jid = alice@a.test\npassword = hunter2\ncontacts = alice@a.test\n",
         "section [alice], key contacts:"},
    };
    for (const BadXmppRow& row : rows) {
        const std::string text = std::string("[alice]\nsocket = a.sock\n") + row.keys;
        DriverConfig config;
        std::string error;
        EXPECT_FALSE(config.parse(text, dir, error)) << "row: " << row.keys;
        EXPECT_NE(error.find(row.errorPart), std::string::npos)
            << "row: " << row.keys << "error: " << error;
        EXPECT_EQ(error.find("hunter2"), std::string::npos) << "row: " << row.keys;
    }
}

TEST_F(XmppConfigTest, APasswordFileOthersCanReadIsRefused) {
    for (mode_t mode : {0640, 0604, 0660}) {
        write("pw", "hunter2\n", mode);
        DriverConfig config;
        std::string error;
        EXPECT_FALSE(config.parse("[a]\nsocket=a.sock\njid=a@x.test\npassword_file=pw\n", dir,
                                  error))
            << std::oct << mode;
        EXPECT_NE(error.find("owner only"), std::string::npos) << error;
    }
    write("pw", "hunter2\n", 0400);
    DriverConfig config;
    std::string error;
    ASSERT_TRUE(config.parse("[a]\nsocket=a.sock\njid=a@x.test\npassword_file=pw\n", dir, error))
        << error;
    EXPECT_EQ(config.accounts[0].xmpp.password, "hunter2");
}

TEST_F(XmppConfigTest, TheSameJidTwiceAndTooManyAccountsAreRefused) {
    DriverConfig config;
    std::string error;
    EXPECT_FALSE(config.parse("[a]\nsocket=a.sock\njid=x@y.test\npassword=p\n"
                              "[b]\nsocket=b.sock\njid=X@y.test\npassword=p\n",
                              dir, error));
    EXPECT_NE(error.find("section [b], key jid: x@y.test is defined twice"), std::string::npos)
        << error;
    std::string text = "[a]\nsocket=a.sock\njid=x@y.test\npassword=p\n";
    for (size_t i = 0; i < DriverConfig::kMaxAccountsWithXmpp; ++i) {
        text += "[l" + std::to_string(i) + "]\nsocket=l" + std::to_string(i) + ".sock\n";
    }
    EXPECT_FALSE(config.parse(text, dir, error));
    EXPECT_NE(error.find("at most 16 accounts"), std::string::npos) << error;
}

TEST_F(XmppConfigTest, LoadNamesTheFile) {
    write("driver.ini", "[alice]\nsocket = a.sock\njid = nope\npassword = p\n", 0600);
    DriverConfig config;
    std::string error;
    EXPECT_FALSE(config.load(dir + "/driver.ini", error));
    EXPECT_EQ(error.rfind(dir + "/driver.ini: section [alice], key jid:", 0), 0u) << error;
}

}  // namespace
