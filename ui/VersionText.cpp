#include "ui/VersionText.h"

#ifndef QUILLON_VERSION
#define QUILLON_VERSION ""
#endif

namespace {
constexpr const char* kProductTitle = "QuillonForFTP Ⅱ";
}

std::string getVersionText() {
    static const std::string text = [] {
        const std::string version = QUILLON_VERSION;
        return version.empty() ? std::string() : "Ver.:" + version;
    }();
    return text;
}

std::string formatAboutVersion(const std::string& versionText) {
    std::string v = versionText;
    for (char& c : v) {
        if (c == ',') {
            c = '-';
        } else if (c == ';') {
            c = '.';
        }
    }
    return std::string(kProductTitle) + " " + v;
}
