#include "app/CVantryOneApp.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/CVantryOneDlg.h"
#include "app/ControlChannel.h"
#include "app/QtEventLoop.h"
#include "app/SingleInstance.h"
#include "app/StartupOptions.h"
#include "app/UserRuntimeDir.h"
#include "controller/CQuillonCom.h"
#include "platform/EventLoop.h"
#include "platform/ProcessFlags.h"
#include "platform/Trace.h"
#include "resources/ResourceIds.h"
#include "resources/StringTable.h"
#include "skype/XR_WINDOW.h"
#include "support/CPropaty.h"
#include "tcp/XR_SOCKETTCP.h"
#include "ui/ModalSeam.h"

namespace {

constexpr const char* kTitle = "QuillonForFTP Ⅱ";
constexpr const char* kAlreadyRunning = "     既に起動されています.     ";
constexpr const char* kAlreadyRunningCaption = "２重起動";
constexpr const char* kStartLine = "********** Start VantryOne DEBUG MODE  *******\n";

// Signals end the program the way the private close message does; the
// handler only writes to this pipe.
int gSignalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &c, 1);
}

void installSignalPipe() {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

// A platform without a display still runs the gateway: offscreen.
void chooseOffscreenWithoutDisplay() {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr && std::getenv("DISPLAY") == nullptr &&
        std::getenv("WAYLAND_DISPLAY") == nullptr) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
}

bool canShowDialogs() {
    const QString platform = QGuiApplication::platformName();
    return platform != QStringLiteral("offscreen") && platform != QStringLiteral("minimal");
}

// The socket layer works when a socket can be made.
bool socketLayerWorks() {
    XR_SOCKETTCP::startWinsock();
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return false;
    }
    ::close(s);
    return true;
}

// Without a socket layer the gateway can do nothing: the user is told, and
// the program stops.
bool ensureSocketLayer() {
    if (socketLayerWorks()) {
        return true;
    }
    const char* text = resources::loadString(resources::kStringSocketInitFailed);
    std::fprintf(stderr, "quillonftp: %s\n", text);
    if (canShowDialogs()) {
        ui::messageBox(nullptr, QString::fromUtf8(text), QString::fromUtf8(kTitle));
    }
    return false;
}

// One copy per user: false when another copy runs (the user is told) or the
// lock cannot be had. instance holds the lock until the process ends.
bool acquireSingleInstance(SingleInstance& instance, const std::string& runtime) {
    switch (instance.acquire(runtime, SingleInstance::mutexName())) {
        case SingleInstance::kFailed:
            return false;
        case SingleInstance::kAlreadyRunning:
            std::fprintf(stderr, "quillonftp: %s\n", kAlreadyRunning);
            if (canShowDialogs()) {
                ui::messageBox(nullptr, QString::fromUtf8(kAlreadyRunning),
                               QString::fromUtf8(kAlreadyRunningCaption));
            }
            return false;
        case SingleInstance::kAcquired:
            break;
    }
    return true;
}

// Traces go to the terminal in debug mode and are discarded otherwise.
void routeTraces(bool debugMode) {
    if (!debugMode) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr) {
            std::fprintf(stderr, "quillonftp: cannot discard the traces\n");
        }
        [[maybe_unused]] FILE* in = std::freopen("/dev/null", "r", stdin);
    }
    std::fputs(kStartLine, stdout);
    std::fflush(stdout);
}

// The settings file is looked for in the program's own directory, so that
// directory becomes the current one. Returns it (empty when argv[0] names
// none).
std::string enterProgramDirectory(int argc, char** argv) {
    const std::string directory = programDirectoryOf(argc > 0 ? argv[0] : nullptr);
    if (!directory.empty() && ::chdir(directory.c_str()) != 0) {
        platform::trace("CurrentDir: cannot change to %s\n", directory.c_str());
    }
    platform::trace("CurrentDir=%s\n", directory.c_str());
    return directory;
}

// What the models ask to show the user goes to standard error, and to a
// message box where one can be seen.
void installMessageBoxHook() {
    XR_WINDOW::setMessageBoxHook([](const char* text, const char* caption) {
        std::fprintf(stderr, "quillonftp: %s\n", text);
        if (canShowDialogs()) {
            ui::messageBox(nullptr, QString::fromUtf8(text), QString::fromUtf8(caption));
        }
    });
}

// Private messages from other programs reach the dialog through the control
// socket. Returns the watch on it; nullptr when there is no control socket
// (the gateway runs on without one).
std::unique_ptr<QSocketNotifier> watchControlChannel(ControlChannel& channel, CVantryOneDlg& dialog,
                                                     const std::string& controlDirectory) {
    if (!channel.open(controlDirectory)) {
        std::fprintf(stderr, "quillonftp: no control socket in %s\n", controlDirectory.c_str());
        return nullptr;
    }
    auto notifier = std::make_unique<QSocketNotifier>(channel.getFd(), QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &dialog, [&channel, &dialog] {
        const int message = channel.readMessage();
        if (message != 0) {
            platform::trace("UI private message: %d\n", message);
            dialog.onPrivateMessage(message);
        }
    });
    return notifier;
}

// A signal closes the dialog the way the private close message does.
// Returns the watch on the signal pipe; nullptr when there is no pipe.
std::unique_ptr<QSocketNotifier> watchSignalPipe(CVantryOneDlg& dialog) {
    if (gSignalPipe[0] < 0) {
        return nullptr;
    }
    auto notifier = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, &dialog, [&dialog] {
        char buffer[16];
        while (::read(gSignalPipe[0], buffer, sizeof buffer) > 0) {
        }
        dialog.onPrivateMessage(CVantryOneDlg::kMessageClose);
    });
    return notifier;
}

// The main dialog, run modally until it closes. Everything it uses is a
// local here, so the teardown runs in reverse order of declaration: the
// watches, the dialog, then the controller releases the models, then the
// settings go.
void runMainDialog(const std::string& directory, const std::string& runtime) {
    CPropaty settings;
    // An installed copy (a program directory without a settings file that
    // the user cannot write, or a start by bare name) keeps its settings in
    // the user's configuration folder.
    settings.setIniPath(CPropaty::chooseIniPath(directory));
    platform::trace("Settings=%s\n", settings.getIniPath().c_str());
    CQuillonCom controller;
    CVantryOneDlg dialog(settings, controller);
    dialog.setWarningPresenter([&dialog](const QString& text) {
        std::fprintf(stderr, "quillonftp: %s\n", text.toUtf8().constData());
        if (canShowDialogs()) {
            ui::messageBox(&dialog, text, QString::fromUtf8(kTitle));
        }
    });

    const std::string controlDirectory = ControlChannel::directoryIn(runtime);
    ControlChannel channel;
    std::unique_ptr<QSocketNotifier> channelNotifier =
        watchControlChannel(channel, dialog, controlDirectory);
    dialog.setOpenAnnouncer([controlDirectory](int productCode) {
        return ControlChannel::broadcastOpen(controlDirectory, productCode);
    });
    std::unique_ptr<QSocketNotifier> signalNotifier = watchSignalPipe(dialog);

    dialog.initDialog();
    dialog.exec();
    dialog.destroyWindow();
    channelNotifier.reset();
    signalNotifier.reset();
}

}  // namespace

int CVantryOneApp::post(const char* word) {
    const int message = ControlChannel::messageOfWord(word);
    if (message == 0) {
        std::fprintf(stderr, "usage: quillonftp --post close|open|close-gate|select\n");
        return 2;
    }
    const std::string runtime = userRuntimeDirectory();
    const std::string directory = ControlChannel::directoryIn(runtime);
    if (runtime.empty() || ControlChannel::post(directory, message) != 1) {
        std::fprintf(stderr, "quillonftp: no running gateway listens at %s/%s\n", directory.c_str(),
                     ControlChannel::kSocketName);
        return 1;
    }
    return 0;
}

int CVantryOneApp::run(int argc, char** argv) {
    const StartupOptions options = StartupOptions::parse(argc, argv);
    if (options.post) {
        return post(options.postWord.c_str());
    }

    // Before anything can be seen from outside (the control socket): a
    // signal from then on always ends the program through the close path.
    installSignalPipe();
    chooseOffscreenWithoutDisplay();
    QApplication application(argc, argv);
    if (!ensureSocketLayer()) {
        return 1;
    }

    const std::string runtime = userRuntimeDirectory();
    SingleInstance instance;
    if (!acquireSingleInstance(instance, runtime)) {
        return 1;
    }

    platform::setDebugMode(options.debugMode);
    platform::setLocalOnly(!options.noLocalOnly);
    routeTraces(options.debugMode);
    const std::string directory = enterProgramDirectory(argc, argv);
    installMessageBoxHook();

    QtEventLoop loop;
    platform::setGuiLoop(&loop);
    runMainDialog(directory, runtime);
    platform::setGuiLoop(nullptr);
    std::fflush(stdout);
    return 0;
}
