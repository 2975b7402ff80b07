#pragma once

#include <string>

// The settings interface every part of the system programs against. It also
// records the process's start directory and registers the most recently
// constructed object as the process-wide instance (getInstance).
//
// GUI thread only, except the fixed parameters, which never change after
// construction.
class CQuillonPropaty {
public:
    static constexpr size_t kMaxPathChars = 260;
    static constexpr const char* kAuxIniName = "QuillonForTcp.ini";

    CQuillonPropaty();

    // In the order the settings' callers were built against.
    virtual int getEnableUser() = 0;
    virtual void setEnableUser(int value) = 0;
    virtual int isApplicationEnabled(int type) = 0;
    virtual int getClientPort(int type) = 0;
    virtual int getAppMode() = 0;
    virtual void setAppMode(int value) = 0;
    virtual const char* getServerHost(int type) = 0;
    virtual int getServerPort(int type) = 0;
    virtual int getAutoConnect() = 0;
    virtual void setAutoConnect(int value) = 0;
    virtual std::string getAutoConnectUser() = 0;
    virtual void setAutoConnectUser(const char* user) = 0;
    virtual void setSoundMode(int value) = 0;
    virtual int getSoundMode() = 0;
    virtual int isMultiPeerAllowed() = 0;
    virtual ~CQuillonPropaty() = default;
    virtual const char* getApplicationName() = 0;

    // Where this machine's TCP side really listens and connects. A normal
    // Linux user cannot listen on port 21, so the settings file may move the
    // Client's listener and the Server's target; the tunnel port written into
    // packets stays getClientPort / getServerPort, so peers interoperate.
    virtual int getClientListenPort(int type) = 0;
    virtual std::string getServerConnectHost(int type) = 0;
    virtual int getServerConnectPort(int type) = 0;

    static CQuillonPropaty* getInstance();

    const std::string& getStartDirectory() const { return startDirectory; }
    const std::string& getAuxIniPath() const { return auxIniPath; }

protected:
    // The current directory, cut to kMaxPathChars characters.
    static std::string currentDirectory();

private:
    std::string startDirectory;
    std::string auxIniPath;
};
