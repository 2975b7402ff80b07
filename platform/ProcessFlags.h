#pragma once

namespace platform {

// The two process-wide switches of start-up: "-D583" sets debug mode,
// "-NOLOCALONLY" clears localOnly. Set on the GUI thread before any model or
// worker exists; read from any thread afterwards.
bool isDebugMode();
void setDebugMode(bool on);
bool isLocalOnly();
void setLocalOnly(bool on);

}  // namespace platform
