#include "support/CQuillonPropaty.h"

#include <unistd.h>

#include <climits>

namespace {
CQuillonPropaty* gInstance = nullptr;
}

CQuillonPropaty::CQuillonPropaty()
    : startDirectory(currentDirectory()), auxIniPath(startDirectory + "/" + kAuxIniName) {
    gInstance = this;
}

CQuillonPropaty* CQuillonPropaty::getInstance() { return gInstance; }

std::string CQuillonPropaty::currentDirectory() {
    char buffer[PATH_MAX];
    if (::getcwd(buffer, sizeof buffer) == nullptr) {
        return ".";
    }
    std::string dir(buffer);
    if (dir.size() > kMaxPathChars) {
        dir.resize(kMaxPathChars);
    }
    return dir;
}
