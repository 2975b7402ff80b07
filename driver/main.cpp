// quillon-driver: the communication driver that gateways attach to.
//
//   quillon-driver --config FILE     host the accounts of FILE
//   quillon-driver --console SOCKET  talk to one account's socket by hand
//   quillon-driver --fingerprint FILE SECTION       print an account's fingerprint
//   quillon-driver --trust FILE SECTION CONTACT     trust a contact's new key

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "driver/DriverConfig.h"
#include "driver/DriverConsole.h"
#include "driver/DriverServer.h"
#include "driver/KeyTool.h"
#include "driver/EndToEndSealFactory.h"
#include "driver/SealedBlocks.h"
#include "driver/XmppLink.h"
#include "platform/PollEventLoop.h"

namespace {

constexpr int kIdleWaitMs = 1000;  // longest wait of one loop turn

platform::PollEventLoop* gLoop = nullptr;
volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gReload = 0;

void onStopSignal(int) {
    gStop = 1;
    if (gLoop != nullptr) {
        gLoop->stop();  // wakes the loop's poll
    }
}

void onReloadSignal(int) {
    gReload = 1;
}

void installHandler(int signalNumber, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: quillon-driver --config FILE\n"
                 "       quillon-driver --console SOCKET\n"
                 "       quillon-driver --fingerprint FILE SECTION\n"
                 "       quillon-driver --trust FILE SECTION CONTACT\n"
                 "\n"
                 "--config FILE     host every account of FILE (one [handle] section each,\n"
                 "                  keys socket, contacts, status, authorize, authorizedelay;\n"
                 "                  an XMPP account adds jid, password or password_file,\n"
                 "                  server, port, cafile; identity, trust for sealed streams;\n"
                 "                  contacts = jid#fingerprint to require a contact's key);\n"
                 "                  SIGHUP re-reads FILE, SIGINT/SIGTERM stop the driver\n"
                 "--console SOCKET  attach to an account's socket, send each input line as a\n"
                 "                  command, print \"ATTACH n\" and \"-> reply\" lines\n"
                 "--fingerprint FILE SECTION\n"
                 "                  print the fingerprint of the account's identity key (made\n"
                 "                  now if the account has none), to compare with a contact's\n"
                 "--trust FILE SECTION CONTACT\n"
                 "                  trust the new identity key CONTACT offered and was refused\n");
}

using Links = std::map<std::string, std::unique_ptr<XmppLink>>;

// Starts the XMPP link of every XMPP account the hub has and no link serves
// yet, and ends the links of accounts the hub no longer has.
void syncLinks(Links& links, const DriverConfig& config, platform::EventLoop& loop,
               DriverHub& hub, StreamSealFactory& seals) {
    for (auto it = links.begin(); it != links.end();) {
        it = hub.hasAccount(it->first) ? std::next(it) : links.erase(it);
    }
    for (const DriverAccountConfig& account : config.accounts) {
        const std::string& jid = account.xmpp.jid;
        if (!account.xmpp.enabled || links.count(jid) != 0 || !hub.hasAccount(jid)) {
            continue;
        }
        auto log = [jid](const std::string& line) {
            std::fprintf(stderr, "quillon-driver: %s: %s\n", jid.c_str(), line.c_str());
        };
        auto link = std::make_unique<XmppLink>(loop, hub, seals, account, log);
        link->start();
        links.emplace(jid, std::move(link));
    }
}

int runDriver(const std::string& path) {
    DriverConfig config;
    std::string error;
    if (!config.load(path, error)) {
        std::fprintf(stderr, "quillon-driver: %s\n", error.c_str());
        return 1;
    }
    platform::PollEventLoop loop;
    gLoop = &loop;
    int code = 0;
    {
        DriverServer server(loop);
        // Streams between drivers are sealed end to end; there is no way
        // to turn that off.
        EndToEndSealFactory seals(
            [](const std::string& line) { std::fprintf(stderr, "quillon-driver: %s\n", line.c_str()); });
        Links links;
        for (const DriverAccountConfig& account : config.accounts) {
            if (!server.addAccount(account, error) ||
                (account.xmpp.enabled &&
                 !seals.addAccount(account, KeyTool::trustCommand(path, account.section), error))) {
                std::fprintf(stderr, "quillon-driver: %s\n", error.c_str());
                code = 1;
                break;
            }
        }
        if (code == 0) {
            syncLinks(links, config, loop, server.getHub(), seals);
            if (!links.empty() && !SealedBlocks::sealsPayloads()) {
                std::fprintf(stderr,
                             "quillon-driver: TEST BUILD: stream payloads travel UNSEALED through "
                             "the XMPP servers\n");
            }
            installHandler(SIGINT, onStopSignal);
            installHandler(SIGTERM, onStopSignal);
            installHandler(SIGHUP, onReloadSignal);
            while (gStop == 0) {
                loop.runOnce(kIdleWaitMs);
                if (gReload != 0) {
                    gReload = 0;
                    DriverConfig changed;
                    if (changed.load(path, error)) {
                        server.reload(changed);
                        for (const DriverAccountConfig& account : changed.accounts) {
                            if (account.xmpp.enabled &&
                                !seals.addAccount(account,
                                                  KeyTool::trustCommand(path, account.section),
                                                  error)) {
                                std::fprintf(stderr, "quillon-driver: reload: %s\n",
                                             error.c_str());
                            }
                        }
                        syncLinks(links, changed, loop, server.getHub(), seals);
                    } else {
                        std::fprintf(stderr, "quillon-driver: reload: %s\n", error.c_str());
                    }
                }
            }
            std::fprintf(stderr, "quillon-driver: stopping\n");
        }
        server.shutdown();
        links.clear();
    }
    gLoop = nullptr;
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    if (argc == 3 && std::strcmp(argv[1], "--config") == 0) {
        return runDriver(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "--console") == 0) {
        DriverConsole console(STDIN_FILENO, stdout, stderr);
        return console.run(argv[2]);
    }
    if (argc == 4 && std::strcmp(argv[1], "--fingerprint") == 0) {
        return KeyTool::printFingerprint(argv[2], argv[3], stdout, stderr);
    }
    if (argc == 5 && std::strcmp(argv[1], "--trust") == 0) {
        return KeyTool::trust(argv[2], argv[3], argv[4], stdout, stderr);
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    usage(stderr);
    return 2;
}
