#pragma once

#include "skype/XR_WINDOW.h"

// What the link needs of the way to the messaging client: the discover
// broadcast and the synchronous send of one copy-data block. The answers come
// back as messages to the link's window (the attach message, copy-data
// blocks), delivered on the GUI thread.
//
// DriverTransport is the real one (the driver's Unix socket). Tests put their
// own in its place with XR_SKYPECOM::setTransport.
class SkypeTransport {
public:
    virtual ~SkypeTransport() = default;

    // Asks the client to answer ownWindow with the attach message. Returns
    // the result of the post: non-zero when the request went out.
    virtual int broadcastDiscover(WindowHandle ownWindow, unsigned discoverMessage) = 0;

    // Sends the block to the client's window `target`, from `sender`, and
    // waits for the client's result: non-zero when it took the block; 0 when
    // it did not, when target is 0 or unknown, or when the send failed.
    virtual WindowResult sendCopyData(WindowHandle target, WindowHandle sender,
                                      const CopyDataBlock& block) = 0;
};
