#include "skype/XR_WINDOW.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/EventLoop.h"

namespace {

struct WindowRecord {
    std::string className;
    const char* title = nullptr;
    WindowProc proc = nullptr;
    WindowHandle owner = 0;
    unsigned style = 0;
    platform::EventLoop* loop = nullptr;  // the loop its timers run on
    std::map<unsigned, platform::EventLoop::TimerId> timers;
};

// Process-wide tables of the endpoint, as the window system keeps them.
std::map<std::string, XR_WINDOW::WindowClass> gClasses;
std::map<WindowHandle, WindowRecord> gWindows;
std::map<std::string, unsigned> gMessages;
WindowHandle gNextWindow = 0x10;
std::function<void(int)> gQuitHandler;
std::function<void(const char*, const char*)> gMessageBoxHook;

void stopTimers(WindowRecord& record) {
    if (record.loop != nullptr && platform::hasGuiLoop() && &platform::guiLoop() == record.loop) {
        for (const auto& timer : record.timers) {
            record.loop->removeTimer(timer.second);
        }
    }
    record.timers.clear();
}

}  // namespace

XR_WINDOW::XR_WINDOW(WindowHandle parent, const char* className, const char* title, WindowProc proc)
    : title(title), windowProc(proc), parent(parent) {
    std::strcpy(name, "XR_WINDOW");  // fixed text
    windowClass = WindowClass{};
    windowClass.style = kClassStyle;
    windowClass.windowProc = proc;
    windowClass.instance = instance;
    windowClass.cursor = kArrowCursor;
    windowClass.background = kGrayBrush;
    windowClass.className = className;
}

void XR_WINDOW::setInstance(ModuleHandle value) {
    instance = value;
    windowClass.instance = value;
}

int XR_WINDOW::registerClass() {
    const char* className = windowClass.className != nullptr ? windowClass.className : "";
    if (gClasses.count(className) != 0 || className[0] == '\0') {
        if (gMessageBoxHook) {
            gMessageBoxHook(kRegisterFailedText, className);
        } else {
            std::fprintf(stderr, "%s: %s\n", className, kRegisterFailedText);
        }
        return -1;
    }
    gClasses.emplace(className, windowClass);
    return 0;
}

WindowHandle XR_WINDOW::createWindow() {
    const char* className = windowClass.className != nullptr ? windowClass.className : "";
    auto cls = gClasses.find(className);
    if (cls == gClasses.end()) {
        window = 0;
        return 0;
    }
    const WindowHandle handle = gNextWindow++;
    WindowRecord record;
    record.className = className;
    record.title = title;
    record.proc = cls->second.windowProc;  // the registered class's procedure
    record.owner = parent;
    record.style = kWindowStyle;
    gWindows.emplace(handle, std::move(record));
    window = handle;
    sendMessage(handle, windowmsg::kCreate, 0, 0);
    return window;
}

unsigned XR_WINDOW::registerWindowMessage(const char* messageName) {
    const std::string key = messageName != nullptr ? messageName : "";
    auto it = gMessages.find(key);
    if (it != gMessages.end()) {
        return it->second;
    }
    const unsigned id = windowmsg::kFirstRegistered + static_cast<unsigned>(gMessages.size());
    gMessages.emplace(key, id);
    return id;
}

WindowResult XR_WINDOW::sendMessage(WindowHandle window, unsigned message, WindowParam first,
                                    WindowLParam second) {
    auto it = gWindows.find(window);
    if (it == gWindows.end() || it->second.proc == nullptr) {
        return 0;
    }
    WindowProc proc = it->second.proc;  // the record may go away during the call
    return proc(window, message, first, second);
}

int XR_WINDOW::setTimer(WindowHandle window, unsigned id, int periodMs) {
    auto it = gWindows.find(window);
    if (it == gWindows.end() || !platform::hasGuiLoop()) {
        return 0;
    }
    WindowRecord& record = it->second;
    platform::EventLoop& loop = platform::guiLoop();
    auto old = record.timers.find(id);
    if (old != record.timers.end() && record.loop == &loop) {
        loop.removeTimer(old->second);
    }
    record.loop = &loop;
    record.timers[id] =
        loop.addTimer(periodMs, [window, id] { sendMessage(window, windowmsg::kTimer, id, 0); });
    return 1;
}

int XR_WINDOW::destroyWindow(WindowHandle window) {
    auto it = gWindows.find(window);
    if (it == gWindows.end()) {
        return 0;
    }
    std::vector<WindowHandle> owned;
    for (const auto& entry : gWindows) {
        if (entry.second.owner == window) {
            owned.push_back(entry.first);
        }
    }
    for (WindowHandle child : owned) {
        destroyWindow(child);
    }
    it = gWindows.find(window);
    if (it == gWindows.end()) {
        return 1;
    }
    stopTimers(it->second);
    sendMessage(window, windowmsg::kDestroy, 0, 0);
    gWindows.erase(window);
    return 1;
}

bool XR_WINDOW::isWindow(WindowHandle window) {
    return gWindows.count(window) != 0;
}

bool XR_WINDOW::isWindowVisible(WindowHandle window) {
    (void)window;
    return false;  // the endpoint has nothing to show
}

unsigned XR_WINDOW::getWindowStyle(WindowHandle window) {
    auto it = gWindows.find(window);
    return it == gWindows.end() ? 0 : it->second.style;
}

WindowHandle XR_WINDOW::getOwner(WindowHandle window) {
    auto it = gWindows.find(window);
    return it == gWindows.end() ? 0 : it->second.owner;
}

WindowResult XR_WINDOW::defWindowProc(WindowHandle, unsigned, WindowParam, WindowLParam) {
    return 0;
}

void XR_WINDOW::postQuitMessage(int exitCode) {
    if (gQuitHandler) {
        gQuitHandler(exitCode);
    }
}

void XR_WINDOW::setQuitHandler(std::function<void(int)> handler) {
    gQuitHandler = std::move(handler);
}

void XR_WINDOW::setMessageBoxHook(std::function<void(const char*, const char*)> hook) {
    gMessageBoxHook = std::move(hook);
}
