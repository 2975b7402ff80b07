// quillon-host: the gateway without a window. One account, one mode, from a
// settings file; runs the models on the poll loop until SIGINT or SIGTERM.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/QuillonHost.h"
#include "platform/PollEventLoop.h"
#include "platform/ProcessFlags.h"
#include "platform/Trace.h"
#include "skype/XR_WINDOW.h"
#include "support/CPropaty.h"

namespace {

platform::PollEventLoop* gLoop = nullptr;

void onSignal(int) {
    if (gLoop != nullptr) {
        gLoop->stop();
    }
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: quillon-host [-D583] [-NOLOCALONLY] [--settings PATH] [--driver SOCKET]\n"
                 "                    [--connect USER]\n"
                 "  -D583            traces to standard output (else they go to /dev/null)\n"
                 "  -NOLOCALONLY     the Client's control port listens on every interface\n"
                 "  --settings PATH  the directory holding %s, or that file itself\n"
                 "                   (default: the program's directory)\n"
                 "  --driver SOCKET  the driver account's socket (default: $QUILLON_DRIVER or the\n"
                 "                   per-user default)\n"
                 "  --connect USER   the contact to select; in Client mode also open the gate to\n"
                 "                   it automatically (default: [CLIENT] AUTOCONNECTUSER, with\n"
                 "                   AUTOCONNECT=1 for the automatic gate)\n"
                 "Settings read: [SYSTEM] APPMODE (1 Client, 0 Server), ENABLEUSER; [CLIENT]\n"
                 "AUTOCONNECT, AUTOCONNECTUSER, LISTENPORT; [SERVER] HOST, PORT.\n"
                 "Progress lines go to standard error; SIGINT or SIGTERM stops it.\n",
                 CPropaty::kIniName);
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the settings' directory current, as start-up does with the program's
// directory: the settings object reads QuillonForFTP.ini from there.
bool enterSettingsDirectory(const std::string& path, const char* program) {
    std::string directory;
    struct stat info {};
    if (path.empty()) {
        directory = directoryOf(program);
    } else if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        directory = path;
    } else {
        const size_t slash = path.rfind('/');
        const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
        if (file != CPropaty::kIniName) {
            std::fprintf(stderr, "quillon-host: the settings file must be named %s: %s\n",
                         CPropaty::kIniName, path.c_str());
            return false;
        }
        directory = directoryOf(path);
    }
    if (::chdir(directory.c_str()) != 0) {
        std::fprintf(stderr, "quillon-host: cannot enter %s: %s\n", directory.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool debug = false;
    bool localOnly = true;
    std::string settingsPath;
    std::string driverPath;
    std::string contact;
    bool contactGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-D583") {
            debug = true;
        } else if (arg == "-NOLOCALONLY") {
            localOnly = false;
        } else if (arg == "--settings" && hasValue) {
            settingsPath = argv[++i];
        } else if (arg == "--driver" && hasValue) {
            driverPath = argv[++i];
        } else if (arg == "--connect" && hasValue) {
            contact = argv[++i];
            contactGiven = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "quillon-host: unknown or incomplete option: %s\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }

    platform::setDebugMode(debug);
    platform::setLocalOnly(localOnly);
    if (!debug && std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    if (debug) {
        platform::trace("********** Start VantryOne DEBUG MODE  *******\n");
    }
    if (!enterSettingsDirectory(settingsPath, argv[0])) {
        return 2;
    }
    if (!driverPath.empty()) {
        ::setenv("QUILLON_DRIVER", driverPath.c_str(), 1);
    }

    platform::PollEventLoop loop;
    gLoop = &loop;
    platform::setGuiLoop(&loop);
    XR_WINDOW::setQuitHandler([&loop](int) { loop.stop(); });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        CPropaty settings;
        settings.loadIni();
        if (!contactGiven) {
            contact = settings.getAutoConnectUser();
        }
        const bool autoConnect = contactGiven || settings.getAutoConnect() == 1;
        QuillonHost host(settings, contact, autoConnect);
        host.start();
        loop.run();
        host.stop();
    }
    platform::setGuiLoop(nullptr);
    gLoop = nullptr;
    return status;
}
