#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tunnel/XR_SKYPEAPPLICATIONLISTENER.h"
#include "tunnel/XR_SKYPESTREAM.h"

// One registration of an application name with the driver's
// application-to-application service, with the streams the driver opened
// between this application and peers that run the same name. It registers
// the name, connects to a peer, follows the driver's notifications about the
// application (CONNECTABLE, CONNECTING, STREAMS, SENDING, RECEIVED,
// DATAGRAM), creates one XR_SKYPESTREAM per accepted stream and destroys it
// when the stream goes, reads arrived data and routes the replies to its
// streams, pumps them every 20 ms, and reports stream changes and traffic to
// its listeners.
//
// A slot without a name never registers, never polls, never holds a stream
// and reports no traffic. GUI thread only; no locks.
class XR_SKYPEAPPLICATION {
public:
    static constexpr size_t kApplicationChars = 100;
    static constexpr size_t kCommandChars = 1024;
    static constexpr size_t kUserChars = 100;
    static constexpr int kConnectablePollTicks = 300;  // one query every 301 pump ticks

    enum State { kNotRegistered = 0, kRegistered = 1, kStreamCreated = 2 };

    XR_SKYPEAPPLICATION();
    ~XR_SKYPEAPPLICATION();
    XR_SKYPEAPPLICATION(const XR_SKYPEAPPLICATION&) = delete;
    XR_SKYPEAPPLICATION& operator=(const XR_SKYPEAPPLICATION&) = delete;

    // Set by the model: the slot number and the name (cut to 99 characters).
    void setIndex(int value) { index = value; }
    void setApplicationName(const char* applicationName);
    const char* getApplicationName() const { return applicationName; }

    void createApplication();
    // 1 when `line` is the driver's reply to this slot's CREATE command.
    int replyCreateApplication(const char* line);
    // `rest`: the text after the application name of an ALTER APPLICATION line.
    void replyAlterApplication(const char* rest);
    // `rest`: the text after the application name of an APPLICATION line.
    void application(const char* rest);
    void connect(const char* user);
    int hasStream(const char* user);
    void disconnectStreams();
    void closeAllStreams();
    void onTimer();
    void reportTraffic();
    int isControlAccepting();
    int isControlConnected();
    int isPeerControlConnected();
    void addListener(XR_SKYPEAPPLICATIONLISTENER* listener) { listeners.push_back(listener); }

    XR_SKYPESTREAM* createStream(const char* user, int id);
    void notifyStreamChange();

    int getState() const { return state; }
    // Slots of the stream table, empty ones included (the single-stream rule
    // counts them).
    size_t getSlotCount() const { return streams.size(); }
    // The stream in `slot`, or nullptr for an empty or missing slot.
    XR_SKYPESTREAM* getStream(size_t slot) const;
    // The display name of slot `index` in the event lines ("ＦＴＰ", "設定１", ...).
    static const char* displayName(int index);

private:
    struct StreamEntry {
        char user[kUserChars];
        int id;
        int byteCount;
    };

    void onStreams(const char* rest, const char* list);
    void onSending(const char* rest, const char* list);
    void onReceived(const char* rest, const char* list);
    void onDatagram(const char* rest, const char* text);
    // closeTcp, the event line with `verb`, destruction; the slot stays.
    void dropStream(size_t slot, const char* verb);

    char name[20];  // fixed text: class-name tag, never read
    int index = 0;
    char applicationName[kApplicationChars] = {};
    char createCommand[kCommandChars] = {};
    char connectUser[kUserChars] = {};
    char connectCommand[kCommandChars] = {};
    int state = kNotRegistered;
    int connectableTicks = 0;
    std::vector<std::unique_ptr<XR_SKYPESTREAM>> streams;  // a slot may be empty
    // Streams already refused ("user:id") that the driver still lists: each
    // STREAMS notification repeats the whole list, and a refused stream is
    // asked to close only once. Entries no longer listed are forgotten, so
    // this holds at most the streams of one list (bounded by
    // kMaxRefusedRemembered; beyond it the oldest are forgotten).
    static constexpr size_t kMaxRefusedRemembered = 1024;
    std::vector<std::string> refused;
    std::vector<XR_SKYPEAPPLICATIONLISTENER*> listeners;   // not owned; never removed
};
