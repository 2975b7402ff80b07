#pragma once

// Receives each finished log line (without CR LF) in registration order.
class XR_EVENTLOGLISTENER {
public:
    virtual ~XR_EVENTLOGLISTENER() = default;
    virtual void notifyLog(const char* line) = 0;
};
