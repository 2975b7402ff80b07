#include "host/QuillonHost.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/DriverSocket.h"
#include "platform/ProcessFlags.h"
#include "platform/Trace.h"
#include "skype/AttachStatus.h"
#include "skype/XR_SKYPEMODEL.h"

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
        case SKYPECONTROLAPI_NO_ATTACH:
            return "not attached";
        case SKYPECONTROLAPI_ATTACH_SUCCESS:
            return "attached";
        case SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION:
            return "pending authorization";
        case SKYPECONTROLAPI_ATTACH_REFUSED:
            return "refused";
        case SKYPECONTROLAPI_ATTACH_NOT_AVAILABLE:
            return "not available";
        case SKYPECONTROLAPI_ATTACH_API_AVAILABLE:
            return "available again";
        default:
            return "unknown";
    }
}

}  // namespace

QuillonHost::QuillonHost(CQuillonPropaty& settings, std::string contact, bool autoConnect)
    : settings(settings), contact(std::move(contact)), autoConnect(autoConnect) {
    controller.addListener(this);
}

QuillonHost::~QuillonHost() {
    stop();
}

bool QuillonHost::isClientMode() const {
    return const_cast<CQuillonPropaty&>(settings).getAppMode() == 1;
}

void QuillonHost::start() {
    controller.wire(settings.getApplicationName());
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
    controller.attach(0);
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
    controller.reportTraffic();
    controller.release();
    progress("stopped total-sent=%.0f total-received=%.0f", totalSent, totalReceived);
}

void QuillonHost::notifyLog(const char* line) {
    (void)line;  // the event log is switched off
}

void QuillonHost::notifySkypeComStatusChange() {
    const int status = controller.getAttachStatus();
    if (status != lastStatus) {
        progress("driver link: %s (status %d)", statusName(status), status);
        if (status == SKYPECONTROLAPI_NO_ATTACH) {
            // The text the gateway's status line shows, so that traces of the
            // headless and the windowed gateway read alike.
            platform::trace("host status: %s\n", kNotAttachedText);
        }
        lastStatus = status;
    }
    if (status == SKYPECONTROLAPI_NO_ATTACH) {
        // The controller drops the streams and forgets the contacts next;
        // both come back with the next attachment, and so does the gate.
        connectTried = false;
        announcedContact.clear();
    }
}

void QuillonHost::notifyCurrentUser(const char* handle) {
    progress("signed in as %s", handle);
}

void QuillonHost::notifyModelChanged() {}

void QuillonHost::notifyA2AModelChanged() {
    const int open = controller.hasAnyStream();
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
    const int connected = controller.hasConnectedStream(kApplicationIndex);
    if (connected != lastConnected) {
        if (lastConnected != -1 || connected == 1) {
            progress(connected == 1 ? "FTP connection open" : "FTP connection closed");
        }
        lastConnected = connected;
    }

    if (controller.getAttachStatus() != SKYPECONTROLAPI_ATTACH_SUCCESS ||
        controller.getContactCount() == 0) {
        return;
    }
    // Keep the chosen contact selected: a new contact list selects the first.
    const FriendEntry* selected = controller.getSelectedUser();
    if (!contact.empty() && (selected == nullptr || contact != selected->handle)) {
        if (controller.isContact(contact.c_str()) == 1) {
            controller.selectUser(contact.c_str());
            selected = controller.getSelectedUser();
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
    if (controller.hasAnyStream() == 1 || controller.isSelectedUserConnectable() != 1) {
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
    controller.connectSelectedUser();
}
