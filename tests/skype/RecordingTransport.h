#pragma once

// The one transport for tests (and fuzz targets) of everything that talks
// through the link: it records every command line with its byte count and
// answers each with `result`, and counts discovery requests. Install it with
// XR_SKYPECOM::setTransport, then make the link attached with attachLink()
// and feed notifications with XR_SKYPECOM::parseNotification.
//
// A command sent before any driver window is known (target 0) is recorded
// too, so a test sees what the link tried, but it always fails: nothing
// takes a block sent to no window.

#include <string>
#include <vector>

#include "skype/SkypeTransport.h"
#include "skype/XR_SKYPECOM.h"

class RecordingTransport : public SkypeTransport {
public:
    static constexpr WindowHandle kDriverWindow = 0x5150;

    int broadcastDiscover(WindowHandle ownWindow, unsigned discoverMessage) override {
        (void)ownWindow;
        (void)discoverMessage;
        ++discovers;
        return discoverResult;
    }

    WindowResult sendCopyData(WindowHandle target, WindowHandle sender,
                              const CopyDataBlock& block) override {
        (void)sender;
        commands.emplace_back(static_cast<const char*>(block.data));
        byteCounts.push_back(block.byteCount);
        return target == 0 ? 0 : result;
    }

    // Whether `command` is among the recorded commands.
    bool hasSent(const std::string& command) const {
        for (const std::string& c : commands) {
            if (c == command) {
                return true;
            }
        }
        return false;
    }

    // Makes the link attached (status 1) to kDriverWindow.
    static void attachLink(XR_SKYPECOM* link) {
        link->onAttachMessage(link->getAttachMessageId(), kDriverWindow, 0);
    }

    std::vector<std::string> commands;
    std::vector<unsigned> byteCounts;
    WindowResult result = 1;
    int discovers = 0;
    int discoverResult = 1;
};
