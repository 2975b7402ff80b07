#pragma once

#include <mutex>
#include <vector>

#include "support/XR_EVENTLOGLISTENER.h"

// The sink of the system's user-relevant event lines (connections opened and
// closed, streams accepted or refused, the driver attachment lost). Callers
// format each line into at most kMaxLineChars characters and hand it over at
// level 2 (0 for lost data). The log is switched off: nothing sets enabled,
// so every write returns 0 at once, writes no file and calls no listener.
//
// One per process (getInstance / releaseInstance); GUI thread only.
class XR_EVENTLOG {
public:
    enum Level { kError = 0, kWarning = 1, kEvent = 2, kDebug = 3 };
    static constexpr int kMaxLineChars = 99;
    static constexpr int kMaxLevel = kDebug;

    static XR_EVENTLOG* getInstance();
    static void releaseInstance();

    void addListener(XR_EVENTLOGLISTENER* listener);
    int write(int level, const char* text);

    bool isEnabled() const { return enabled != 0; }
    size_t listenerCount() const { return listeners.size(); }

private:
    XR_EVENTLOG();
    ~XR_EVENTLOG();

    char name[12];  // fixed text: class-name tag, never read
    std::mutex lock;  // would guard a file write; the switched-off log never takes it
    std::vector<XR_EVENTLOGLISTENER*> listeners;  // not owned; never removed
    int maxLevel = kMaxLevel;
    int enabled = 0;  // the master switch; off for the life of the process
};
