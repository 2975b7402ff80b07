#include "ui/HomePage.h"

#include <unistd.h>

#include <QProcess>
#include <QStringList>
#include <string>

#include "platform/Trace.h"

#ifndef QUILLON_HOME_PAGE
#define QUILLON_HOME_PAGE ""
#endif
#ifndef QUILLON_DOC_DIR
#define QUILLON_DOC_DIR ""
#endif
#ifndef QUILLON_SOURCE_DIR
#define QUILLON_SOURCE_DIR ""
#endif

namespace {
constexpr const char* kReadme = "README.md";

bool readable(const std::string& path) {
    return !path.empty() && ::access(path.c_str(), R_OK) == 0;
}
}  // namespace

const char* homePageAddress() {
    return QUILLON_HOME_PAGE;
}

std::string linkTarget() {
    if (homePageAddress()[0] != '\0') {
        return homePageAddress();
    }
    // Without a home page the links open the documentation: the installed
    // copy, or the source tree's for a program run from its build tree.
    for (const char* directory : {QUILLON_DOC_DIR, QUILLON_SOURCE_DIR}) {
        const std::string readme = std::string(directory) + "/" + kReadme;
        if (directory[0] != '\0' && readable(readme)) {
            return readme;
        }
    }
    return std::string();
}

void openHomePage() {
    const std::string target = linkTarget();
    if (target.empty()) {
        platform::trace("openHomePage(): neither a home page nor the documentation\n");
        return;
    }
    const bool started = QProcess::startDetached(QStringLiteral("xdg-open"),
                                                 QStringList{QString::fromStdString(target)});
    platform::trace("openHomePage(%s) started=%d\n", target.c_str(), started ? 1 : 0);
}
