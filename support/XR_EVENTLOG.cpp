#include "support/XR_EVENTLOG.h"

#include <cstring>

namespace {
XR_EVENTLOG* gInstance = nullptr;
}

XR_EVENTLOG* XR_EVENTLOG::getInstance() {
    if (gInstance == nullptr) {
        gInstance = new XR_EVENTLOG();
    }
    return gInstance;
}

void XR_EVENTLOG::releaseInstance() {
    delete gInstance;
    gInstance = nullptr;
}

XR_EVENTLOG::XR_EVENTLOG() { std::strcpy(name, "XR_EVENTLOG"); }  // fixed text

XR_EVENTLOG::~XR_EVENTLOG() {
    listeners.clear();
    write(kEvent, "END QuillonForTcp -log close-");
}

void XR_EVENTLOG::addListener(XR_EVENTLOGLISTENER* listener) { listeners.push_back(listener); }

int XR_EVENTLOG::write(int level, const char* text) {
    (void)text;
    // The switch is off for the life of the process, so the line is dropped
    // before the lock would be taken; the result is 0 either way.
    if (enabled == 0 || level > maxLevel) {
        return 0;
    }
    return 0;
}
