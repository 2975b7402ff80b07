#include "ui/HomePage.h"

#include <QProcess>
#include <QStringList>

#include "platform/Trace.h"

#ifndef QUILLON_HOME_PAGE
#define QUILLON_HOME_PAGE ""
#endif

const char* homePageAddress() {
    return QUILLON_HOME_PAGE;
}

void openHomePage() {
    const char* address = homePageAddress();
    if (address[0] == '\0') {
        platform::trace("openHomePage(): no home page configured\n");
        return;
    }
    const bool started = QProcess::startDetached(QStringLiteral("xdg-open"),
                                                 QStringList{QString::fromUtf8(address)});
    platform::trace("openHomePage(%s) started=%d\n", address, started ? 1 : 0);
}
