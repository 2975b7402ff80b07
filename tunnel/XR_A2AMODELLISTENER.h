#pragma once

// What the tunnel model tells the front end (the controller). GUI thread only.
class XR_A2AMODELLISTENER {
public:
    virtual ~XR_A2AMODELLISTENER() = default;
    // An application's set of streams changed.
    virtual void notifyA2AModelChanged() = 0;
    // Payload bytes that application `index`'s streams sent and received
    // during the last 1000 ms period.
    virtual void notifyA2ATransferRate(int index, double sent, double received) = 0;
};
