#include "ui/HomePage.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <string>
#include <utility>

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

std::function<bool(const std::string&)> gOpener;

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
    // Without a home page the links open the documentation: the copy
    // installed beside the program (whatever the prefix), the one of the
    // configured prefix, or the source tree's for a program run from its
    // build tree.
    const std::string besideProgram =
        QCoreApplication::instance() != nullptr
            ? QCoreApplication::applicationDirPath().toStdString() + "/../share/doc/quillonftp"
            : std::string();
    for (const std::string& directory :
         {besideProgram, std::string(QUILLON_DOC_DIR), std::string(QUILLON_SOURCE_DIR)}) {
        const std::string readme = directory + "/" + kReadme;
        if (!directory.empty() && readable(readme)) {
            return readme;
        }
    }
    return std::string();
}

void setLinkOpenerForTest(std::function<bool(const std::string& target)> opener) {
    gOpener = std::move(opener);
}

void openHomePage() {
    const std::string target = linkTarget();
    if (target.empty()) {
        platform::trace("openHomePage(): neither a home page nor the documentation\n");
        return;
    }
    const bool started =
        gOpener ? gOpener(target)
                : QProcess::startDetached(QStringLiteral("xdg-open"),
                                          QStringList{QString::fromStdString(target)});
    platform::trace("openHomePage(%s) started=%d\n", target.c_str(), started ? 1 : 0);
}
