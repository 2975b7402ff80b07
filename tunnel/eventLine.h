#pragma once

#include <functional>

// The tunnel engine's user-relevant event lines: each is formatted into a
// text of at most 99 characters (longer ones are cut) and handed to the
// event log. The log is switched off in this system, so a test that wants to
// see the lines installs an observer; it is called with every line before the
// log gets it. GUI thread only.
void writeEventLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

using EventLineObserver = std::function<void(int level, const char* line)>;
// An empty function removes the observer.
void setEventLineObserver(EventLineObserver observer);

inline constexpr int kEventLevelLost = 0;  // lost data
inline constexpr int kEventLevel = 2;      // connection steps
