#include "tunnel/XR_A2AMODEL.h"

#include <cstdio>
#include <cstring>

#include "platform/Trace.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/CQuillonPropaty.h"
#include "support/nextToken.h"

namespace {
XR_A2AMODEL* gInstance = nullptr;
}

XR_A2AMODEL* XR_A2AMODEL::getInstance() {
    if (gInstance == nullptr) {
        gInstance = new XR_A2AMODEL();
    }
    return gInstance;
}

void XR_A2AMODEL::releaseInstance() {
    delete gInstance;
    gInstance = nullptr;
}

XR_A2AMODEL::XR_A2AMODEL() {
    std::snprintf(name, sizeof name, "%s", "XR_A2AMODEL");  // fixed text
    XR_SKYPECOM::getInstance()->addListener(this);
    for (auto& application : applications) {
        application.addListener(this);
    }
    if (platform::hasGuiLoop()) {
        platform::EventLoop& loop = platform::guiLoop();
        pumpTimer = loop.addTimer(kPumpPeriodMs, [] { XR_A2AMODEL::getInstance()->pumpTick(); });
        trafficTimer =
            loop.addTimer(kTrafficPeriodMs, [] { XR_A2AMODEL::getInstance()->trafficTick(); });
    }
}

XR_A2AMODEL::~XR_A2AMODEL() {
    if (platform::hasGuiLoop()) {
        if (pumpTimer != 0) {
            platform::guiLoop().removeTimer(pumpTimer);
        }
        if (trafficTimer != 0) {
            platform::guiLoop().removeTimer(trafficTimer);
        }
    }
    listeners.clear();
    // The applications go with the model, each destroying its streams and
    // their TCP managers.
}

void XR_A2AMODEL::setApplicationName(int index, const char* applicationName) {
    if (index < 0 || index >= kApplicationCount) {
        return;
    }
    applications[index].setApplicationName(applicationName);
    applications[index].setIndex(index);
}

void XR_A2AMODEL::createA2AApplication() {
    platform::trace("XR_A2AMODEL::createA2AApplication()\n");
    for (auto& application : applications) {
        application.createApplication();
    }
}

void XR_A2AMODEL::pumpTick() {
    for (auto& application : applications) {
        application.onTimer();
    }
}

void XR_A2AMODEL::trafficTick() {
    for (auto& application : applications) {
        application.reportTraffic();
    }
}

void XR_A2AMODEL::notifyConnectStatsuChange(int status) {
    platform::trace("XR_A2AMODEL::notifyConnectStatsuChange(%d)\n", status);
    // Every status 1 registers again: the driver may have been restarted.
    if (status == SKYPECONTROLAPI_ATTACH_SUCCESS) {
        createA2AApplication();
    }
}

XR_SKYPEAPPLICATION* XR_A2AMODEL::findApplication(const char* applicationName) {
    for (auto& application : applications) {
        const char* own = application.getApplicationName();
        if (own[0] != '\0' && std::strncmp(own, applicationName, kNameChars) == 0) {
            return &application;
        }
    }
    return nullptr;
}

void XR_A2AMODEL::notifyA2Adata(const char* line) {
    char first[kTokenSize];
    char second[kTokenSize] = {};
    char third[kTokenSize] = {};
    const char* afterFirst = nextToken(line, first, sizeof first);

    if (std::strcmp(first, "CREATE") == 0) {
        for (auto& application : applications) {
            if (application.replyCreateApplication(line) == 1) {
                break;
            }
        }
        return;
    }
    if (std::strcmp(first, "DELETE") == 0) {
        return;  // no application deletes, so none claims the line
    }
    const char* afterSecond =
        afterFirst != nullptr ? nextToken(afterFirst, second, sizeof second) : nullptr;
    if (std::strcmp(first, "ALTER") == 0 && std::strcmp(second, "APPLICATION") == 0) {
        const char* rest =
            afterSecond != nullptr ? nextToken(afterSecond, third, sizeof third) : nullptr;
        if (XR_SKYPEAPPLICATION* application = findApplication(third)) {
            application->replyAlterApplication(rest != nullptr ? rest : "");
        }
        return;
    }
    if (std::strcmp(first, "APPLICATION") == 0) {
        if (XR_SKYPEAPPLICATION* application = findApplication(second)) {
            application->application(afterSecond != nullptr ? afterSecond : "");
        }
        return;
    }
    platform::trace("XR_A2AMODEL::notifyA2Adata():未サポート書式：%s\n", line);
}

void XR_A2AMODEL::connectSelectedUser() {
    const FriendEntry* selected = XR_SKYPEMODEL::getInstance()->getSelectedUser();
    if (selected == nullptr) {
        return;
    }
    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    for (int index = 0; index < kApplicationCount; ++index) {
        if (settings != nullptr && settings->isApplicationEnabled(index) == 1 &&
            applications[index].hasStream(selected->handle) == 0) {
            applications[index].connect(selected->handle);
        }
    }
}

void XR_A2AMODEL::disconnectAll() {
    for (auto& application : applications) {
        application.disconnectStreams();
    }
}

void XR_A2AMODEL::closeAllStreams() {
    for (auto& application : applications) {
        application.closeAllStreams();
    }
}

int XR_A2AMODEL::hasAnyStream() {
    for (auto& application : applications) {
        if (application.getSlotCount() > 0) {
            return 1;
        }
    }
    return 0;
}

int XR_A2AMODEL::hasAcceptingStream(int index) {
    return index >= 0 && index < kApplicationCount ? applications[index].isControlAccepting() : 0;
}

int XR_A2AMODEL::hasConnectedStream(int index) {
    return index >= 0 && index < kApplicationCount ? applications[index].isControlConnected() : 0;
}

int XR_A2AMODEL::hasPeerConnectedStream(int index) {
    return index >= 0 && index < kApplicationCount ? applications[index].isPeerControlConnected()
                                                   : 0;
}

void XR_A2AMODEL::notifyStreamChange() {
    for (XR_A2AMODELLISTENER* listener : listeners) {
        listener->notifyA2AModelChanged();
    }
}

void XR_A2AMODEL::notifyTraffic(int index, double sent, double received) {
    for (XR_A2AMODELLISTENER* listener : listeners) {
        listener->notifyA2ATransferRate(index, sent, received);
    }
}
