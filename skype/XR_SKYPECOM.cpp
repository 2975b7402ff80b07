#include "skype/XR_SKYPECOM.h"

#include <algorithm>
#include <cstring>

#include "platform/Trace.h"
#include "skype/DriverTransport.h"
#include "support/XR_EVENTLOG.h"

namespace {

XR_SKYPECOM* gInstance = nullptr;
// The rediscovery timer is started by the first message the window procedure
// receives; it dies with the window, so a window created later starts its own.
bool gTimerStarted = false;
// The module of this process, handed to the hidden window.
constexpr ModuleHandle kProcessModule = 1;

struct Keyword {
    const char* word;
    int action;
};
enum Action { kA2A, kIgnore, kCurrentUser, kUserStatus, kUsers, kUser, kIgnoreQuietly };
// The first match wins: USERSTATUS and USERS must come before USER.
constexpr Keyword kKeywords[] = {
    {"CREATE", kA2A},
    {"DELETE", kA2A},
    {"ALTER", kA2A},
    {"APPLICATION", kA2A},
    {"CONNSTATUS", kIgnore},
    {"CURRENTUSERHANDLE", kCurrentUser},
    {"USERSTATUS", kUserStatus},
    {"USERS", kUsers},
    {"USER", kUser},
    {"CALL", kIgnoreQuietly},
};

}  // namespace

XR_SKYPECOM* XR_SKYPECOM::getInstance() {
    if (gInstance == nullptr) {
        gInstance = new XR_SKYPECOM();
    }
    return gInstance;
}

void XR_SKYPECOM::releaseInstance() {
    delete gInstance;
    gInstance = nullptr;
}

XR_SKYPECOM::XR_SKYPECOM() {
    std::strcpy(name, "XR_SKYPECOM");  // fixed text
    sendTrace[0] = '\0';
    receiveTrace[0] = '\0';
    attachMessage = XR_WINDOW::registerWindowMessage("SkypeControlAPIAttach");
    platform::trace("RegisterWindowMessage(Get SkypeControlAPIAttach Message):message=%x\n",
                    attachMessage);
    discoverMessage = XR_WINDOW::registerWindowMessage("SkypeControlAPIDiscover");
    platform::trace("RegisterWindowMessage(Get SkypeControlAPIDiscover):message=%x\n",
                    discoverMessage);
}

// The window itself stays (it belongs to its owner); only the object that
// made it goes.
XR_SKYPECOM::~XR_SKYPECOM() {
    window.reset();
    listeners.clear();
}

void XR_SKYPECOM::setTransport(SkypeTransport* replacement) {
    transport = replacement;
}

SkypeTransport& XR_SKYPECOM::getTransport() {
    if (transport != nullptr) {
        return *transport;
    }
    if (!driverTransport) {
        driverTransport = std::make_unique<DriverTransport>();
    }
    return *driverTransport;
}

void XR_SKYPECOM::setEventLineObserver(std::function<void(int, const char*)> observer) {
    eventObserver = std::move(observer);
}

void XR_SKYPECOM::writeEvent(int level, const char* text) {
    if (eventObserver) {
        eventObserver(level, text);
    }
    XR_EVENTLOG::getInstance()->write(level, text);
}

void XR_SKYPECOM::attachWindow(WindowHandle parent) {
    parentWindow = parent;
    window = std::make_unique<XR_WINDOW>(parent, kWindowClassName, nullptr, &skypeWndProc);
    window->setInstance(kProcessModule);
    window->registerClass();  // a failure is reported there and does not stop the link
    ownWindow = window->createWindow();
    platform::trace("Message to skype(0):skypeControlAPIDiscover\n");
    broadcastMessage();
}

void XR_SKYPECOM::addListener(XR_SKYPECOMUSER* listener) {
    listeners.push_back(listener);
}

void XR_SKYPECOM::broadcastMessage() {
    if (skypeWindow != 0) {
        return;
    }
    const int ret = getTransport().broadcastDiscover(ownWindow, discoverMessage);
    platform::trace("●<-broadcastMessage() to skype ret=%d\n", ret);
}

void XR_SKYPECOM::notifyStatus() {
    // By index: a listener may register another one while it is called.
    for (size_t i = 0; i < listeners.size(); ++i) {
        if (listeners[i] != nullptr) {
            listeners[i]->notifyConnectStatsuChange(attachStatus);
        }
    }
}

int XR_SKYPECOM::sendCommand(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    const size_t length = std::strlen(text);
    CopyDataBlock block;
    block.tag = 0;
    block.byteCount = static_cast<uint32_t>(length + 1);
    block.data = text;
    const size_t shown = std::min(length, static_cast<size_t>(kTraceCopyBytes));
    std::memcpy(sendTrace, text, shown);
    sendTrace[shown] = '\0';
    platform::trace("<-(%u): %.*s\n", static_cast<unsigned>(block.tag),
                    static_cast<int>(block.byteCount), sendTrace);
    const WindowResult result = getTransport().sendCopyData(skypeWindow, ownWindow, block);
    if (result != 0) {
        return static_cast<int>(result);
    }
    platform::trace("Message to skype failure!!! ret=%d\n", static_cast<int>(result));
    platform::trace("XR_SKYPECOM::sendCommand() attach status -> SKYPECONTROLAPI_NO_ATTACH\n");
    skypeWindow = 0;
    attachStatus = SKYPECONTROLAPI_NO_ATTACH;
    writeEvent(XR_EVENTLOG::kEvent, kSendFailedEventLine);
    notifyStatus();
    return 0;
}

WindowResult XR_SKYPECOM::skypeWndProc(WindowHandle hwnd, unsigned message, WindowParam first,
                                       WindowLParam second) {
    if (!gTimerStarted) {
        gTimerStarted = true;
        XR_WINDOW::setTimer(hwnd, kRediscoveryTimerId, kRediscoveryPeriodMs);
    }
    switch (message) {
        case windowmsg::kDestroy:
            platform::trace("XR_SKYPECOM::skypeWndProc() WM_DESTROY MESSAGE\n");
            gTimerStarted = false;
            XR_WINDOW::postQuitMessage(0);
            return 0;
        case windowmsg::kCopyData:
            return getInstance()->onCopyData(static_cast<WindowHandle>(first),
                                             reinterpret_cast<const CopyDataBlock*>(second));
        case windowmsg::kTimer:
            getInstance()->broadcastMessage();
            return 0;
        default: {
            const int handled = getInstance()->onAttachMessage(message, first, second);
            if (handled == 0) {
                return XR_WINDOW::defWindowProc(hwnd, message, first, second);
            }
            return handled;
        }
    }
}

int XR_SKYPECOM::onAttachMessage(unsigned message, WindowParam first, WindowLParam second) {
    if (message != attachMessage) {
        return 0;
    }
    switch (second) {
        case 0:
            platform::trace("CTLAPI->:SKYPECONTROLAPI_ATTACH_SUCCESS, SkypeHandle=%x\n",
                            static_cast<unsigned>(first));
            attachStatus = SKYPECONTROLAPI_ATTACH_SUCCESS;
            skypeWindow = static_cast<WindowHandle>(first);
            break;
        case 1:
            if (attachStatus != SKYPECONTROLAPI_ATTACH_SUCCESS) {
                attachStatus = SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION;
            }
            platform::trace("CTLAPI->:SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION\n");
            break;
        case 2:
            platform::trace("CTLAPI->:SKYPECONTROLAPI_ATTACH_REFUSE\n");
            attachStatus = SKYPECONTROLAPI_ATTACH_REFUSED;
            break;
        case 3:
            platform::trace("CTLAPI->:SKYPECONTROLAPI_ATTCH_NOT_AVAILABLE\n");  // fixed text
            attachStatus = SKYPECONTROLAPI_ATTACH_NOT_AVAILABLE;
            break;
        case 0x8001:
            attachStatus = SKYPECONTROLAPI_ATTACH_API_AVAILABLE;
            platform::trace("CTLAPI->:SKYPECONTROLAPI_ATTCH_API_AVAILABLE\n");  // fixed text
            break;
        default:
            break;
    }
    notifyStatus();
    platform::trace("**MSG OWARI\n");  // fixed text
    return 1;
}

int XR_SKYPECOM::onCopyData(WindowHandle sender, const CopyDataBlock* block) {
    if (sender != skypeWindow || skypeWindow == 0 || block == nullptr) {
        return 0;
    }
    const size_t shown = std::min<size_t>(block->byteCount, kTraceCopyBytes);
    if (shown > 0 && block->data != nullptr) {
        std::memcpy(receiveTrace, block->data, shown);
    }
    receiveTrace[shown] = '\0';
    platform::trace("->(%u): %.*s\n", static_cast<unsigned>(block->tag),
                    static_cast<int>(block->byteCount), receiveTrace);
    if (block->byteCount != 0 && block->data != nullptr) {
        parseNotification(static_cast<const char*>(block->data),
                          static_cast<int>(block->byteCount));
    }
    return 1;
}

void XR_SKYPECOM::parseNotification(const char* line) {
    if (line != nullptr) {
        parseNotification(line, static_cast<int>(std::strlen(line) + 1));
    }
}

void XR_SKYPECOM::parseNotification(const char* text, int length) {
    if (text == nullptr || length <= 0) {
        return;
    }
    for (const Keyword& keyword : kKeywords) {
        const size_t size = std::strlen(keyword.word);
        if (std::strncmp(text, keyword.word, size) != 0) {
            continue;
        }
        // The text after the keyword starts one character after it; a line
        // that ends at the keyword gives an empty text.
        const char* rest = text[size] == '\0' ? text + size : text + size + 1;
        for (size_t i = 0; i < listeners.size(); ++i) {
            XR_SKYPECOMUSER* listener = listeners[i];
            if (listener == nullptr) {
                continue;
            }
            switch (keyword.action) {
                case kA2A:
                    listener->notifyA2Adata(text);
                    break;
                case kCurrentUser:
                    listener->notifyCurrentUser(rest);
                    break;
                case kUserStatus:
                    listener->notifyCurrentUserOnlineStatus(rest);
                    break;
                case kUsers:
                    listener->notifyUsers(rest);
                    break;
                case kUser:
                    listener->notifyUser(rest);
                    break;
                default:
                    break;
            }
        }
        return;
    }
    platform::trace("未サポートの書式\n");
}
