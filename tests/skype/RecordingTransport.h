#pragma once

// A transport for tests of everything that talks through the link: it
// records every command line and answers each with `result`, and counts
// discovery requests. Install it with XR_SKYPECOM::setTransport, then make
// the link attached with attachLink() and feed notifications with
// XR_SKYPECOM::parseNotification.

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
        sent.emplace_back(static_cast<const char*>(block.data));
        byteCounts.push_back(block.byteCount);
        return target == 0 ? 0 : result;  // nothing takes a block sent to no window
    }

    // Makes the link attached (status 1) to kDriverWindow.
    static void attachLink(XR_SKYPECOM* link) {
        link->onAttachMessage(link->getAttachMessageId(), kDriverWindow, 0);
    }

    std::vector<std::string> sent;
    std::vector<unsigned> byteCounts;
    WindowResult result = 1;
    int discovers = 0;
    int discoverResult = 1;
};
