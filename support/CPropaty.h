#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/CQuillonPropaty.h"

// This product's settings: the user's choices kept in QuillonForFTP.ini in
// the start directory, and the product's fixed parameters.
class CPropaty : public CQuillonPropaty {
public:
    static constexpr const char* kIniName = "QuillonForFTP.ini";
    static constexpr const char* kApplicationName = "QuillonForFtp2000";
    static constexpr const char* kServerHost = "localhost";
    static constexpr int kTunnelPort = 21;
    static constexpr size_t kMaxUserBytes = 260;

    CPropaty();
    ~CPropaty() override = default;

    int getEnableUser() override { return enableUser; }
    void setEnableUser(int value) override { enableUser = value; }
    int isApplicationEnabled(int) override { return 1; }
    int getClientPort(int) override { return kTunnelPort; }
    int getAppMode() override { return appMode; }
    void setAppMode(int value) override { appMode = value; }
    const char* getServerHost(int) override { return kServerHost; }
    int getServerPort(int) override { return kTunnelPort; }
    int getAutoConnect() override { return autoConnect; }
    void setAutoConnect(int value) override { autoConnect = value; }
    std::string getAutoConnectUser() override { return autoConnectUser; }
    void setAutoConnectUser(const char* user) override;
    void setSoundMode(int value) override { soundMode = value; }
    int getSoundMode() override { return soundMode; }
    int isMultiPeerAllowed() override { return 0; }
    const char* getApplicationName() override { return kApplicationName; }

    int getClientListenPort(int type) override;
    std::string getServerConnectHost(int type) override;
    int getServerConnectPort(int type) override;

    // Reads the five keys (and the local overrides); missing ones give the
    // defaults. Touches nothing but this object.
    void loadIni();
    // Writes the five keys, keeping everything else in the file. Returns 1 on
    // success, 0 when the file could not be written (the values then stay in
    // memory only).
    int saveIni();

    const std::string& getIniPath() const { return iniPath; }
    // Moves the settings file (before loadIni); start-up uses it for an
    // installed copy, whose own directory holds no settings file.
    void setIniPath(std::string path) { iniPath = std::move(path); }

    // Where the settings file is for a program in `programDirectory`
    // (empty: the program was started by its bare name): the program's
    // directory when it holds the file, or when it is writable and known;
    // otherwise $XDG_CONFIG_HOME/quillonftp (default ~/.config/quillonftp).
    static std::string chooseIniPath(const std::string& programDirectory);
    // $XDG_CONFIG_HOME/quillonftp/QuillonForFTP.ini (or under ~/.config).
    static std::string userIniPath();
    // Creates the per-user settings folder (and its parents) when the
    // settings file lives there and the folder is missing.
    void makeIniDirectory() const;

    // A numeric key of the last loadIni whose value is not a number.
    struct LoadWarning {
        std::string section;
        std::string key;
        std::string value;  // as written in the file
        int used = 0;       // what the program uses instead
    };
    const std::vector<LoadWarning>& getLoadWarnings() const { return loadWarnings; }

private:
    std::string iniPath;
    std::vector<LoadWarning> loadWarnings;
    int appMode = 0;
    int soundMode = 1;
    int enableUser = 0;
    int autoConnect = 0;
    std::string autoConnectUser;

    // 0 / empty: not overridden.
    int listenPortOverride = 0;
    std::string serverHostOverride;
    int serverPortOverride = 0;
};
