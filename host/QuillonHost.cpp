#include "host/QuillonHost.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/DriverSocket.h"
#include "platform/ProcessFlags.h"
#include "platform/Trace.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/XR_EVENTLOG.h"
#include "tunnel/XR_A2AMODEL.h"

namespace {

constexpr const char* kNotAttachedText = "通信ドライバと未接続";

void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

void progress(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "quillon-host: %s\n", line);
    std::fflush(stderr);
}

const char* statusName(int status) {
    switch (status) {
        case 0:
            return "not attached";
        case 1:
            return "attached";
        case 2:
            return "pending authorization";
        case 3:
            return "refused";
        case 4:
            return "not available";
        case 0x8001:
            return "available again";
        default:
            return "unknown";
    }
}

}  // namespace

QuillonHost::QuillonHost(CQuillonPropaty& settings, std::string contact, bool autoConnect)
    : settings(settings), contact(std::move(contact)), autoConnect(autoConnect) {}

QuillonHost::~QuillonHost() {
    stop();
}

bool QuillonHost::isClientMode() const {
    return const_cast<CQuillonPropaty&>(settings).getAppMode() == 1;
}

void QuillonHost::start() {
    // The controller's order: the front end listens to the link first, then
    // the user model and the tunnel model register themselves.
    XR_EVENTLOG::getInstance();
    XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
    link->addListener(this);
    XR_SKYPEMODEL* users = XR_SKYPEMODEL::getInstance();
    users->addListener(this);
    XR_A2AMODEL* model = XR_A2AMODEL::getInstance();
    model->addListener(this);
    model->setApplicationName(kApplicationIndex, settings.getApplicationName());
    started = true;

    if (isClientMode()) {
        progress("Client mode: FTP clients connect to %s:%d while the gate is open%s",
                 platform::isLocalOnly() ? "127.0.0.1" : "0.0.0.0",
                 settings.getClientListenPort(kApplicationIndex),
                 autoConnect && !contact.empty() ? (", gate to " + contact).c_str() : "");
    } else {
        progress("Server mode: FTP server at %s:%d",
                 settings.getServerConnectHost(kApplicationIndex).c_str(),
                 settings.getServerConnectPort(kApplicationIndex));
    }
    progress("looking for the driver at %s", platform::driversocket::defaultPath().c_str());
    tickTimer = platform::guiLoop().addTimer(kTickPeriodMs, [this] { tick(); });
    link->attachWindow(0);
}

void QuillonHost::stop() {
    if (!started) {
        return;
    }
    started = false;
    if (tickTimer != 0) {
        platform::guiLoop().removeTimer(tickTimer);
        tickTimer = 0;
    }
    // Count what the streams moved since the last report.
    XR_A2AMODEL::getInstance()->trafficTick();
    XR_A2AMODEL::releaseInstance();
    XR_SKYPEMODEL::releaseInstance();
    if (XR_SKYPECOM* link = XR_SKYPECOM::getInstance(); link->getOwnWindow() != 0) {
        XR_WINDOW::destroyWindow(link->getOwnWindow());
    }
    XR_SKYPECOM::releaseInstance();
    XR_EVENTLOG::releaseInstance();
    progress("stopped total-sent=%.0f total-received=%.0f", totalSent, totalReceived);
}

void QuillonHost::notifyConnectStatsuChange(int status) {
    if (status != lastStatus) {
        progress("driver link: %s (status %d)", statusName(status), status);
        if (status == 0) {
            // The text the gateway's status line shows, so that traces of the
            // headless and the windowed gateway read alike.
            platform::trace("host status: %s\n", kNotAttachedText);
        }
        lastStatus = status;
    }
    if (status == 0) {
        // The streams cannot go on without the driver: drop them and forget
        // the contacts; both come back with the next attachment.
        XR_A2AMODEL::getInstance()->closeAllStreams();
        XR_SKYPEMODEL::getInstance()->reset();
        connectTried = false;
        announcedContact.clear();
    }
}

void QuillonHost::notifyCurrentUser(const char* text) {
    progress("signed in as %s", text);
}

void QuillonHost::notifyModelChanged() {}

void QuillonHost::notifyA2AModelChanged() {
    const int open = XR_A2AMODEL::getInstance()->hasAnyStream();
    if (open != lastStreamState) {
        progress(open == 1 ? "gate open" : "gate closed");
        lastStreamState = open;
    }
}

void QuillonHost::notifyA2ATransferRate(int index, double sent, double received) {
    if (index != kApplicationIndex) {
        return;
    }
    totalSent += sent;
    totalReceived += received;
    if (sent > 0 || received > 0) {
        progress("traffic sent=%.0f received=%.0f total-sent=%.0f total-received=%.0f", sent,
                 received, totalSent, totalReceived);
    }
}

void QuillonHost::tick() {
    XR_A2AMODEL* model = XR_A2AMODEL::getInstance();
    const int connected = model->hasConnectedStream(kApplicationIndex);
    if (connected != lastConnected) {
        if (lastConnected != -1 || connected == 1) {
            progress(connected == 1 ? "FTP connection open" : "FTP connection closed");
        }
        lastConnected = connected;
    }

    XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
    XR_SKYPEMODEL* users = XR_SKYPEMODEL::getInstance();
    if (link->getAttachStatus() != 1 || users->getFriendCount() == 0) {
        return;
    }
    // Keep the chosen contact selected: a new contact list selects the first.
    const FriendEntry* selected = users->getSelectedUser();
    if (!contact.empty() && (selected == nullptr || contact != selected->handle)) {
        if (users->isFriend(contact.c_str()) == 1) {
            users->selectUser(contact.c_str());
            selected = users->getSelectedUser();
        }
    }
    if (selected != nullptr && announcedContact != selected->handle) {
        announcedContact = selected->handle;
        progress("contact %s selected", selected->handle);
    }
    if (!isClientMode() || !autoConnect || selected == nullptr ||
        (!contact.empty() && contact != selected->handle)) {
        return;
    }
    if (model->hasAnyStream() == 1 || users->isSelectedUserConnectable() != 1) {
        ticksSinceConnect = 0;
        connectTried = false;
        return;
    }
    // Connectable and no gate: connect at once, then again every
    // kConnectRetryTicks while it stays so.
    if (connectTried && ++ticksSinceConnect < kConnectRetryTicks) {
        return;
    }
    progress("connecting to %s", selected->handle);
    connectTried = true;
    ticksSinceConnect = 0;
    model->connectSelectedUser();
}
