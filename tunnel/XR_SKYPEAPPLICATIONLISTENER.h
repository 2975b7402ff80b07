#pragma once

// What an application tells its owner (the tunnel model). GUI thread only.
class XR_SKYPEAPPLICATIONLISTENER {
public:
    virtual ~XR_SKYPEAPPLICATIONLISTENER() = default;
    // A stream was created or destroyed, or all streams were dropped.
    virtual void notifyStreamChange() = 0;
    // Once a second for a named application: payload bytes its streams sent
    // and received since the last report.
    virtual void notifyTraffic(int index, double sent, double received) = 0;
};
