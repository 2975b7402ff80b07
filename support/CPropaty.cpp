#include "support/CPropaty.h"

#include <unistd.h>

#include "support/ProfileFile.h"

namespace {
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;

bool isPort(int value) { return value >= kMinPort && value <= kMaxPort; }
}  // namespace

CPropaty::CPropaty() : iniPath(currentDirectory() + "/" + kIniName) {}

void CPropaty::setAutoConnectUser(const char* user) {
    autoConnectUser = user != nullptr ? user : "";
    if (autoConnectUser.size() > kMaxUserBytes) {
        autoConnectUser.resize(kMaxUserBytes);
    }
}

int CPropaty::getClientListenPort(int type) {
    return listenPortOverride != 0 ? listenPortOverride : getClientPort(type);
}

std::string CPropaty::getServerConnectHost(int type) {
    return serverHostOverride.empty() ? std::string(getServerHost(type)) : serverHostOverride;
}

int CPropaty::getServerConnectPort(int type) {
    return serverPortOverride != 0 ? serverPortOverride : getServerPort(type);
}

void CPropaty::loadIni() {
    ProfileFile file;
    file.load(iniPath);
    auto readInt = [&](const char* section, const char* key, int defaultValue) {
        const auto value = file.lookup(section, key);
        return value ? profile::parseLeadingInt(*value) : defaultValue;
    };
    setAppMode(readInt("SYSTEM", "APPMODE", 0));
    setEnableUser(readInt("SYSTEM", "ENABLEUSER", 0));
    setSoundMode(readInt("SYSTEM", "SOUNDMODE", 1));
    setAutoConnect(readInt("CLIENT", "AUTOCONNECT", 0));
    setAutoConnectUser(file.lookup("CLIENT", "AUTOCONNECTUSER").value_or("").c_str());

    // The local overrides; a value that is not a port leaves the original.
    const int listenPort = readInt("CLIENT", "LISTENPORT", 0);
    listenPortOverride = isPort(listenPort) ? listenPort : 0;
    serverHostOverride = file.lookup("SERVER", "HOST").value_or("");
    if (serverHostOverride.size() > kMaxPathChars) {
        serverHostOverride.resize(kMaxPathChars);
    }
    const int serverPort = readInt("SERVER", "PORT", 0);
    serverPortOverride = isPort(serverPort) ? serverPort : 0;
}

int CPropaty::saveIni() {
    // One read and one write of the file for all five keys; each key's line
    // is rewritten in place, everything else stays as it was.
    ProfileFile file;
    if (!file.load(iniPath) && ::access(iniPath.c_str(), F_OK) == 0) {
        return 0;  // there but unreadable: never replace what we cannot read
    }
    file.set("SYSTEM", "APPMODE", std::to_string(getAppMode()));
    file.set("SYSTEM", "ENABLEUSER", std::to_string(getEnableUser()));
    file.set("SYSTEM", "SOUNDMODE", std::to_string(getSoundMode()));
    file.set("CLIENT", "AUTOCONNECT", std::to_string(getAutoConnect()));
    file.set("CLIENT", "AUTOCONNECTUSER", getAutoConnectUser());
    return file.save(iniPath) ? 1 : 0;
}
