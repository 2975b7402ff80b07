#pragma once

#include <cstdint>
#include <functional>

// The message endpoint: a window that is never shown and exists only as an
// address for messages. The driver link owns one, "SKYPEWINDOW"; its window
// procedure receives the attach message, the copy-data blocks and the
// rediscovery timer, all on the GUI thread.
//
// Windows live in a process-wide table, apart from the XR_WINDOW object that
// created them: destroying the object leaves the window (as the system's
// windows outlive their wrappers); destroyWindow, or destroying the owner
// window, ends it. Timers of a window run on platform::guiLoop() and die with
// the window. GUI thread only.

using WindowHandle = std::uintptr_t;  // 0: no window
using WindowParam = std::uintptr_t;   // a message's first parameter
using WindowLParam = std::intptr_t;   // a message's second parameter
using WindowResult = std::intptr_t;
using ModuleHandle = std::uintptr_t;
using WindowProc = WindowResult (*)(WindowHandle window, unsigned message, WindowParam first,
                                    WindowLParam second);

namespace windowmsg {
constexpr unsigned kCreate = 0x0001;  // the first message, while the window is being created
constexpr unsigned kDestroy = 0x0002;
constexpr unsigned kCopyData = 0x004A;  // first: the sender's window; second: a CopyDataBlock*
constexpr unsigned kTimer = 0x0113;     // first: the timer id
constexpr unsigned kFirstRegistered = 0xC000;  // ids of registerWindowMessage start here
}  // namespace windowmsg

// A copy-data block: tag (0 when the gateway sends), byte count (the text's
// length plus its terminating NUL) and the bytes.
struct CopyDataBlock {
    std::uintptr_t tag = 0;
    std::uint32_t byteCount = 0;
    const void* data = nullptr;
};

class XR_WINDOW {
public:
    static constexpr std::int32_t kUseDefault = INT32_MIN;  // CW_USEDEFAULT
    static constexpr unsigned kClassStyle = 0x0003;         // CS_HREDRAW | CS_VREDRAW
    static constexpr unsigned kWindowStyle = 0xA0000;  // WS_SYSMENU | WS_MINIMIZEBOX, not visible
    static constexpr int kArrowCursor = 32512;         // IDC_ARROW
    static constexpr int kGrayBrush = 2;               // GRAY_BRUSH
    static constexpr const char* kRegisterFailedText = "This program requires Windows NT!";

    // The window-class record: what registerClass registers.
    struct WindowClass {
        unsigned style = 0;
        WindowProc windowProc = nullptr;
        int classExtraBytes = 0;
        int windowExtraBytes = 0;
        ModuleHandle instance = 0;
        int icon = 0;
        int cursor = 0;
        int background = 0;
        const char* menuName = nullptr;
        const char* className = nullptr;
    };

    // className and title are not copied; the caller keeps them alive.
    XR_WINDOW(WindowHandle parent, const char* className, const char* title, WindowProc proc);
    // Does not destroy the window.
    ~XR_WINDOW() = default;

    void setInstance(ModuleHandle instance);
    // 0 on success; -1 when the class cannot be registered (its name is
    // taken): the failure is reported through the message-box hook.
    int registerClass();
    // Creates the hidden window with the registered class of this name and
    // returns its handle (0 when no such class exists). The class's window
    // procedure receives windowmsg::kCreate before this returns.
    WindowHandle createWindow();
    WindowHandle getHwnd() const { return window; }

    const char* getName() const { return name; }
    const WindowClass& getWindowClass() const { return windowClass; }

    // The endpoint's platform operations.
    // The same id for the same name, for the life of the process.
    static unsigned registerWindowMessage(const char* messageName);
    // Calls the window's procedure at once; 0 when there is no such window.
    static WindowResult sendMessage(WindowHandle window, unsigned message, WindowParam first,
                                    WindowLParam second);
    // Starts (or restarts) the window's timer `id`: windowmsg::kTimer every
    // periodMs on the GUI loop. Returns 1, or 0 without a window or a loop.
    static int setTimer(WindowHandle window, unsigned id, int periodMs);
    // Destroys the window and the windows it owns: their timers stop, their
    // procedures receive windowmsg::kDestroy. Returns 1 when it existed.
    static int destroyWindow(WindowHandle window);
    static bool isWindow(WindowHandle window);
    static bool isWindowVisible(WindowHandle window);
    static unsigned getWindowStyle(WindowHandle window);
    static WindowHandle getOwner(WindowHandle window);
    // The default processing of a message the procedure does not handle.
    static WindowResult defWindowProc(WindowHandle window, unsigned message, WindowParam first,
                                      WindowLParam second);
    // Ends the GUI thread's message loop through the quit handler the
    // application installed (none: nothing happens).
    static void postQuitMessage(int exitCode);
    static void setQuitHandler(std::function<void(int exitCode)> handler);
    // Where registerClass reports its failure; standard error by default
    // (the core shows no dialogs; the application may show one).
    static void setMessageBoxHook(std::function<void(const char* text, const char* caption)> hook);

private:
    char name[10];  // fixed text: class-name tag, never read
    const char* title;
    ModuleHandle instance = 0;
    WindowHandle window = 0;
    WindowProc windowProc;
    std::int32_t x = kUseDefault;
    std::int32_t y = kUseDefault;
    std::int32_t width = kUseDefault;
    std::int32_t height = kUseDefault;
    WindowClass windowClass;
    WindowHandle parent;
};
