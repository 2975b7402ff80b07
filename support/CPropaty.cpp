#include "support/CPropaty.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support/ProfileFile.h"

namespace {
constexpr int kMinPort = 1;
constexpr int kMaxPort = 65535;

constexpr const char* kUserConfigFolder = "quillonftp";
constexpr mode_t kConfigDirectoryMode = 0700;  // the user's own settings

bool isPort(int value) { return value >= kMinPort && value <= kMaxPort; }

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Creates every missing directory of path's parent.
void makeParentDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string directory = path.substr(0, slash);
        if (::mkdir(directory.c_str(), kConfigDirectoryMode) != 0 && errno != EEXIST) {
            return;
        }
    }
}
}  // namespace

void CPropaty::makeIniDirectory() const {
    // Only the per-user folder: a program directory that has gone stays gone.
    if (iniPath == userIniPath()) {
        makeParentDirectories(iniPath);
    }
}

std::string CPropaty::userIniPath() {
    std::string base;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] == '/' ? home : "") + "/.config";
    }
    return base + "/" + kUserConfigFolder + "/" + kIniName;
}

std::string CPropaty::chooseIniPath(const std::string& programDirectory) {
    if (!programDirectory.empty()) {
        const std::string beside = programDirectory + "/" + kIniName;
        // A portable copy (and every test) keeps its file beside the program.
        if (fileExists(beside) || ::access(programDirectory.c_str(), W_OK) == 0) {
            return beside;
        }
    }
    return userIniPath();
}

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
    loadWarnings.clear();
    auto readInt = [&](const char* section, const char* key, int defaultValue) {
        const auto value = file.lookup(section, key);
        if (!value) {
            return defaultValue;
        }
        const int used = profile::parseLeadingInt(*value);
        if (!profile::isInt(*value)) {
            // Said once, so that a typing error never changes the mode silently.
            loadWarnings.push_back(LoadWarning{section, key, *value, used});
        }
        return used;
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
    makeIniDirectory();  // the per-user folder is made on the first save
    file.set("SYSTEM", "APPMODE", std::to_string(getAppMode()));
    file.set("SYSTEM", "ENABLEUSER", std::to_string(getEnableUser()));
    file.set("SYSTEM", "SOUNDMODE", std::to_string(getSoundMode()));
    file.set("CLIENT", "AUTOCONNECT", std::to_string(getAutoConnect()));
    file.set("CLIENT", "AUTOCONNECTUSER", getAutoConnectUser());
    return file.save(iniPath) ? 1 : 0;
}
