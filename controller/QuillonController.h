#pragma once

#include <cstdint>

#include "controller/GateController.h"

class CQuillonForTcpComListener;

// The controller as the main dialog sees it: the windows' forwarding
// operations plus the wiring. Implemented by CQuillonForTcpCom and, in
// tests, by a controller double. No Qt here: the controller is core code.
class QuillonController : public GateController {
public:
    using MainWindowHandle = std::uintptr_t;

    // Appends a listener (not owned; no duplicate test; never removed).
    virtual void addListener(CQuillonForTcpComListener* listener) = 0;
    // Creates and wires the models; the link starts discovering the driver.
    virtual void init(MainWindowHandle window) = 0;
    // The main window is being destroyed: the windows it owns (the link's
    // hidden window) go with it, as the platform destroys owned windows.
    virtual void destroyOwnedWindows() = 0;
};
