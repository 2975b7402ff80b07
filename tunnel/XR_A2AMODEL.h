#pragma once

// How a front end wires the tunnel model (the controller does it for both
// front ends, controller/CQuillonForTcpCom.cpp):
//  1. platform::setGuiLoop(&loop) before anything else: the model's two
//     timers (kPumpPeriodMs, kTrafficPeriodMs) are created on that loop, and
//     all callbacks (timers, the link's notifications) run on its thread.
//  2. Register the front end with the link first (XR_SKYPECOM::addListener),
//     then create the user model (XR_SKYPEMODEL::getInstance) and this model
//     (XR_A2AMODEL::getInstance), which register themselves with the link in
//     that order.
//  3. addListener(front end) for notifyA2AModelChanged / notifyA2ATransferRate;
//     setApplicationName(0, settings.getApplicationName()).
//  4. Attach the link. On status 1 the model registers its applications by
//     itself; on status 0 the front end calls closeAllStreams() (and the user
//     model's reset()).
//  5. Gate open / close: connectSelectedUser() / disconnectAll(); windows ask
//     hasAnyStream() and the has...Stream(index) queries.
//  6. At shutdown: XR_A2AMODEL::releaseInstance() before the user model, the
//     link and the event log.
//  7. A Qt front end installs its own EventLoop (timers on the Qt thread) as
//     the GUI loop in step 1; the model never runs a loop of its own.

#include "platform/EventLoop.h"
#include "skype/XR_SKYPECOMUSER.h"
#include "tunnel/XR_A2AMODELLISTENER.h"
#include "tunnel/XR_SKYPEAPPLICATION.h"
#include "tunnel/XR_SKYPEAPPLICATIONLISTENER.h"

#include <vector>

// The tunnel model: owns the five application slots, registers them with the
// driver when the link attaches, routes every application line of the link
// to the one slot it names, pumps all streams every 20 ms and reports their
// traffic every 1000 ms, and passes stream changes and traffic on to its
// listeners.
//
// GUI thread only; no locks.
class XR_A2AMODEL : public XR_SKYPECOMUSER, public XR_SKYPEAPPLICATIONLISTENER {
public:
    static constexpr int kApplicationCount = 5;
    static constexpr int kPumpPeriodMs = 20;
    static constexpr int kTrafficPeriodMs = 1000;
    static constexpr size_t kNameChars = 100;

    static XR_A2AMODEL* getInstance();
    static void releaseInstance();

    void addListener(XR_A2AMODELLISTENER* listener) { listeners.push_back(listener); }
    void setApplicationName(int index, const char* applicationName);
    void createA2AApplication();
    void connectSelectedUser();
    void disconnectAll();
    void closeAllStreams();
    int hasAnyStream();
    int hasAcceptingStream(int index);
    int hasConnectedStream(int index);
    int hasPeerConnectedStream(int index);

    // XR_SKYPECOMUSER
    void notifyConnectStatsuChange(int status) override;
    void notifyA2Adata(const char* line) override;

    // XR_SKYPEAPPLICATIONLISTENER
    void notifyStreamChange() override;
    void notifyTraffic(int index, double sent, double received) override;

    // The timer procedures; public so that a test can tick them by hand.
    void pumpTick();
    void trafficTick();

    // Slot `index` (0..4), for the front end's and the tests' queries.
    XR_SKYPEAPPLICATION& getApplication(int index) { return applications[index]; }

private:
    XR_A2AMODEL();
    ~XR_A2AMODEL() override;
    XR_A2AMODEL(const XR_A2AMODEL&) = delete;
    XR_A2AMODEL& operator=(const XR_A2AMODEL&) = delete;

    XR_SKYPEAPPLICATION* findApplication(const char* applicationName);

    char name[12];  // fixed text: class-name tag, never read
    platform::EventLoop::TimerId pumpTimer = 0;
    platform::EventLoop::TimerId trafficTimer = 0;
    std::vector<XR_A2AMODELLISTENER*> listeners;  // not owned; never removed
    XR_SKYPEAPPLICATION applications[kApplicationCount];
};
