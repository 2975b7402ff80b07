#include "tunnel/XR_SKYPEAPPLICATION.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Trace.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_SKYPEMODEL.h"
#include "support/CQuillonPropaty.h"
#include "support/copyCut.h"
#include "support/leadingNumber.h"
#include "support/nextToken.h"
#include "tunnel/eventLine.h"

namespace {

constexpr int kSlotCount = 5;
const char* const kDisplayNames[kSlotCount] = {"ＦＴＰ", "設定１", "設定２", "設定３", "設定４"};

constexpr char kConnectable[] = "CONNECTABLE";
constexpr char kConnecting[] = "CONNECTING";
constexpr char kStreams[] = "STREAMS";
constexpr char kSending[] = "SENDING";
constexpr char kReceived[] = "RECEIVED";
constexpr char kDatagram[] = "DATAGRAM";
constexpr char kRead[] = "READ";

constexpr char kLineConnected[] = "で接続";
constexpr char kLineClosed[] = "を切断";
constexpr char kLineRefused[] = "を切断(拒否）";  // fixed text
constexpr char kLineCancelled[] = "をキャンセル";

// The event line of one step of a stream's life: opened, closed, refused or
// cancelled (outcome is one of the kLine texts above).
void writeStreamLine(const char* slotName, const char* user, int id, const char* outcome) {
    writeEventLine(kEventLevel,
                   "%s用 Skype STREAM は %s と　ID=%d %s",  // fixed text
                   slotName, user, id, outcome);
}

bool startsWith(const char* text, const char* keyword) {
    return std::strncmp(text, keyword, std::strlen(keyword)) == 0;
}

// The text `skip` characters into `text` (a keyword's length plus the one
// character after it, normally a blank, which is not examined); empty when
// the text ends before that.
const char* after(const char* text, size_t skip) {
    const size_t length = strnlen(text, skip);
    return length < skip ? "" : text + skip;
}

int sendCommand(const char* command) {
    return XR_SKYPECOM::getInstance()->sendCommand(command);
}

}  // namespace

XR_SKYPEAPPLICATION::XR_SKYPEAPPLICATION() {
    copyCut(name, sizeof name, "XR_SKYPEAPPLICATION");  // fixed text
}

XR_SKYPEAPPLICATION::~XR_SKYPEAPPLICATION() = default;

const char* XR_SKYPEAPPLICATION::displayName(int slot) {
    return slot >= 0 && slot < kSlotCount ? kDisplayNames[slot] : "";
}

void XR_SKYPEAPPLICATION::setApplicationName(const char* value) {
    copyCut(applicationName, sizeof applicationName, value);
}

XR_SKYPESTREAM* XR_SKYPEAPPLICATION::getStream(size_t slot) const {
    return slot < streams.size() ? streams[slot].get() : nullptr;
}

// --- registration and replies -------------------------------------------------

void XR_SKYPEAPPLICATION::createApplication() {
    platform::trace("XR_A2AMODEL::createApplication() appname=%s\n", applicationName);
    if (applicationName[0] == '\0') {
        return;
    }
    std::snprintf(createCommand, sizeof createCommand, "CREATE APPLICATION %s", applicationName);
    sendCommand(createCommand);
}

int XR_SKYPEAPPLICATION::replyCreateApplication(const char* line) {
    platform::trace("XR_SKYPEAPPLICATION::replyCreateApplication(%s)\n", line);
    if (createCommand[0] == '\0' || std::strncmp(line, createCommand, kCommandChars) != 0) {
        return 0;
    }
    platform::trace("CREATE REPLY OK \n");  // fixed text
    state = kRegistered;
    char command[kCommandChars];
    std::snprintf(command, sizeof command, "GET APPLICATION %s CONNECTABLE", applicationName);
    sendCommand(command);
    return 1;
}

void XR_SKYPEAPPLICATION::replyAlterApplication(const char* rest) {
    char expected[kCommandChars];
    const int length = std::snprintf(expected, sizeof expected, "CONNECT %s", connectUser);
    if (std::strncmp(rest, expected, static_cast<size_t>(length)) == 0) {
        platform::trace("CONNECT REPLY OK\n");
        return;
    }
    if (startsWith(rest, kRead)) {
        const char* reply = after(rest, sizeof kRead);
        for (auto& stream : streams) {
            if (stream != nullptr) {
                stream->repRead(reply);
            }
        }
    }
    // Replies to WRITE, DISCONNECT and the like need nothing.
}

// --- notifications ------------------------------------------------------------

void XR_SKYPEAPPLICATION::application(const char* rest) {
    if (applicationName[0] == '\0') {
        return;  // an unnamed slot takes no notification
    }
    if (startsWith(rest, kConnectable)) {
        platform::trace("APPLICATION xxxx CONNECTABLE メッセージを受信しました\n");
        XR_SKYPEMODEL::getInstance()->setConnectable(index, after(rest, sizeof kConnectable));
    } else if (startsWith(rest, kConnecting)) {
        platform::trace("APPLICATION appname CONNECTING メッセージを受信しました\n");
    } else if (startsWith(rest, kStreams)) {
        onStreams(rest, after(rest, sizeof kStreams));
    } else if (startsWith(rest, kSending)) {
        onSending(rest, after(rest, sizeof kSending));
    } else if (startsWith(rest, kReceived)) {
        onReceived(rest, after(rest, sizeof kReceived));
    } else if (startsWith(rest, kDatagram)) {
        onDatagram(rest, after(rest, sizeof kDatagram));
    } else {
        platform::trace("書式エラー：ここにはこないはず\n");
    }
}

void XR_SKYPEAPPLICATION::onStreams(const char* rest, const char* list) {
    char scratch[kTokenSize];
    if (nextToken(list, scratch, sizeof scratch) == nullptr) {
        // Empty list: every stream is gone, and so are the slots.
        for (size_t slot = 0; slot < streams.size(); ++slot) {
            if (streams[slot] != nullptr) {
                dropStream(slot, kLineClosed);
            }
        }
        streams.clear();
        refused.clear();
        state = kRegistered;
        notifyStreamChange();
        platform::trace("!!STREAM ALL DISCONNECT DETECT!\n");
        return;
    }

    std::vector<StreamEntry> entries;
    const char* position = list;
    while (position != nullptr) {
        char userText[kTokenSize];
        char idText[kTokenSize];
        const char* afterUser = nextToken(position, userText, sizeof userText, ':');
        if (afterUser == nullptr) {
            platform::trace("XR_SKYPEAPPLICATION::application(%s)書式エラーユーザ名なし\n", rest);
            return;  // the whole notification is abandoned, nothing changed
        }
        position = nextToken(afterUser, idText, sizeof idText, ',');
        StreamEntry entry{};
        copyCut(entry.user, sizeof entry.user, userText);
        entry.id = static_cast<int>(leadingNumber(idText));
        platform::trace("CONNECT USERID=%s, ID=%d\n", entry.user, entry.id);
        entries.push_back(entry);
    }

    for (auto& stream : streams) {
        if (stream != nullptr) {
            stream->setSeen(0);
        }
    }

    CQuillonPropaty* settings = CQuillonPropaty::getInstance();
    std::vector<std::string> stillRefused;
    for (const StreamEntry& entry : entries) {
        bool known = false;
        for (auto& stream : streams) {
            if (stream != nullptr && stream->getStreamId() == entry.id &&
                std::strncmp(stream->getPeerUser(), entry.user, kUserChars) == 0) {
                stream->setSeen(1);
                known = true;
                break;
            }
        }
        if (known) {
            continue;
        }
        char key[kUserChars + 16];
        std::snprintf(key, sizeof key, "%s:%d", entry.user, entry.id);
        if (std::find(refused.begin(), refused.end(), key) != refused.end()) {
            stillRefused.emplace_back(key);
            continue;  // asked to close already; the driver has not caught up
        }
        // A Client serves its own user's FTP client: only the contact it is
        // set to talk to may carry that client's session (with ENABLEUSER a
        // Server may accept any contact, a Client still only the selected one).
        const bool clientMode = settings != nullptr && settings->getAppMode() != 0;
        const bool contactOk = clientMode
                                   ? XR_SKYPEMODEL::getInstance()->isSelectedUser(entry.user) == 1
                                   : XR_SKYPEMODEL::getInstance()->isAcceptable(entry.user) == 1;
        const bool acceptable =
            contactOk && settings != nullptr && settings->isApplicationEnabled(index) == 1;
        // Several streams only for a Server that allows several peers;
        // otherwise only while the table has no slot at all (an emptied slot
        // still counts).
        const bool several = settings != nullptr && settings->isMultiPeerAllowed() == 1 &&
                             settings->getAppMode() == 0;
        if (acceptable && (several || streams.empty())) {
            createStream(entry.user, entry.id);
            notifyStreamChange();
            continue;
        }
        char command[kCommandChars];
        XR_SKYPESTREAM::formatDisconnectCommand(command, sizeof command, applicationName,
                                                entry.user, entry.id);
        sendCommand(command);
        writeStreamLine(displayName(index), entry.user, entry.id, kLineRefused);
        stillRefused.emplace_back(key);
    }
    if (stillRefused.size() > kMaxRefusedRemembered) {
        stillRefused.erase(stillRefused.begin(),
                           stillRefused.end() - static_cast<long>(kMaxRefusedRemembered));
    }
    refused = std::move(stillRefused);

    bool dropped = false;
    for (size_t slot = 0; slot < streams.size(); ++slot) {
        if (streams[slot] != nullptr && streams[slot]->getSeen() == 0) {
            dropStream(slot, kLineClosed);
            dropped = true;
        }
    }
    if (dropped) {
        notifyStreamChange();
    }
}

void XR_SKYPEAPPLICATION::onSending(const char* rest, const char* list) {
    char scratch[kTokenSize];
    if (nextToken(list, scratch, sizeof scratch) == nullptr) {
        // The driver has sent everything this application wrote.
        for (auto& stream : streams) {
            if (stream != nullptr) {
                stream->resumeWriting();
            }
        }
        platform::trace("!!STREAM SENDING ALL CLEAR DETECT!\n");
        return;
    }
    const char* position = list;
    while (position != nullptr) {
        char userText[kTokenSize];
        char idText[kTokenSize];
        char countText[kTokenSize];
        const char* afterUser = nextToken(position, userText, sizeof userText, ':');
        if (afterUser == nullptr) {
            platform::trace("XR_SKYPEAPPLICATION::application(%s)書式エラーユーザ名なし\n", rest);
            return;
        }
        const char* afterId = nextToken(afterUser, idText, sizeof idText, '=');
        if (afterId == nullptr) {
            platform::trace("XR_SKYPEAPPLICATION::application(%s)書式エラー IDなし\n", rest);
            return;
        }
        position = nextToken(afterId, countText, sizeof countText, ' ');
        const int id = static_cast<int>(leadingNumber(idText));
        for (auto& stream : streams) {
            if (stream != nullptr && stream->getStreamId() == id &&
                std::strncmp(stream->getPeerUser(), userText, kUserChars - 1) == 0) {
                platform::trace("XR_SKYPESTREAM::repSending(%d)\n",
                                static_cast<int>(leadingNumber(countText)));
            }
        }
    }
}

void XR_SKYPEAPPLICATION::onReceived(const char* rest, const char* list) {
    char scratch[kTokenSize];
    if (nextToken(list, scratch, sizeof scratch) == nullptr) {
        platform::trace("XR_SKYPEAPPLICATION::application() RECEIVE SEQ COMLETE!\n");  // fixed text
        return;
    }
    char firstUser[kUserChars] = {};
    int firstId = 0;
    bool first = true;
    const char* position = list;
    while (position != nullptr) {
        char userText[kTokenSize];
        char idText[kTokenSize];
        char countText[kTokenSize];
        const char* afterUser = nextToken(position, userText, sizeof userText, ':');
        if (afterUser == nullptr) {
            platform::trace("書式エラー:APPLICATION RECEIVED %s\n", rest);
            return;
        }
        const char* afterId = nextToken(afterUser, idText, sizeof idText, '=');
        if (afterId == nullptr) {
            platform::trace("書式エラー\n");
            return;
        }
        position = nextToken(afterId, countText, sizeof countText);
        if (first) {
            copyCut(firstUser, sizeof firstUser, userText);
            firstId = static_cast<int>(leadingNumber(idText));
            first = false;
        }
    }
    // One read per notification; the driver tells again while more wait.
    char command[kCommandChars];
    std::snprintf(command, sizeof command, "ALTER APPLICATION %s READ %s:%d", applicationName,
                  firstUser, firstId);
    sendCommand(command);
}

void XR_SKYPEAPPLICATION::onDatagram(const char* rest, const char* text) {
    char userText[kTokenSize];
    char idText[kTokenSize];
    char dataText[kTokenSize];
    const char* position = nextToken(text, userText, sizeof userText, ':');
    if (position != nullptr) {
        position = nextToken(position, idText, sizeof idText, '=');
    }
    if (position != nullptr) {
        position = nextToken(position, dataText, sizeof dataText);
    }
    if (position == nullptr) {
        platform::trace("書式エラー:APPLICATION DATAGRAM %s\n", rest);
    }
}

// --- streams ------------------------------------------------------------------

XR_SKYPESTREAM* XR_SKYPEAPPLICATION::createStream(const char* user, int id) {
    platform::trace("XR_SKYPEAPPLICATION::createStream(%s, %d)", user, id);
    auto stream = std::make_unique<XR_SKYPESTREAM>(user, id, applicationName, index);
    XR_SKYPESTREAM* created = stream.get();
    bool placed = false;
    for (auto& slot : streams) {
        if (slot == nullptr) {
            slot = std::move(stream);
            placed = true;
            break;
        }
    }
    if (!placed) {
        streams.push_back(std::move(stream));
    }
    state = kStreamCreated;
    writeStreamLine(displayName(index), user, id, kLineConnected);
    return created;
}

void XR_SKYPEAPPLICATION::dropStream(size_t slot, const char* verb) {
    XR_SKYPESTREAM& stream = *streams[slot];
    stream.closeTcp();
    writeStreamLine(displayName(index), stream.getPeerUser(), stream.getStreamId(), verb);
    streams[slot].reset();
}

void XR_SKYPEAPPLICATION::notifyStreamChange() {
    for (XR_SKYPEAPPLICATIONLISTENER* listener : listeners) {
        listener->notifyStreamChange();
    }
}

void XR_SKYPEAPPLICATION::connect(const char* user) {
    if (applicationName[0] == '\0') {
        return;  // an unnamed slot would send a malformed command
    }
    copyCut(connectUser, sizeof connectUser, user);
    std::snprintf(connectCommand, sizeof connectCommand, "ALTER APPLICATION %s CONNECT %s",
                  applicationName, connectUser);
    sendCommand(connectCommand);
}

int XR_SKYPEAPPLICATION::hasStream(const char* user) {
    for (auto& stream : streams) {
        if (stream != nullptr && std::strncmp(stream->getPeerUser(), user, kUserChars - 1) == 0) {
            return 1;
        }
    }
    return 0;
}

void XR_SKYPEAPPLICATION::disconnectStreams() {
    for (auto& stream : streams) {
        if (stream != nullptr) {
            char command[kCommandChars];
            XR_SKYPESTREAM::formatDisconnectCommand(command, sizeof command, applicationName,
                                                    stream->getPeerUser(), stream->getStreamId());
            sendCommand(command);
        }
    }
}

void XR_SKYPEAPPLICATION::closeAllStreams() {
    state = kNotRegistered;
    connectableTicks = 0;
    for (size_t slot = 0; slot < streams.size(); ++slot) {
        if (streams[slot] != nullptr) {
            dropStream(slot, kLineCancelled);
        }
    }
    streams.clear();
    refused.clear();
    notifyStreamChange();
}

// --- timers and queries -------------------------------------------------------

void XR_SKYPEAPPLICATION::onTimer() {
    for (auto& stream : streams) {
        if (stream != nullptr) {
            stream->intervalTimer();
        }
    }
    if (connectableTicks < kConnectablePollTicks) {
        ++connectableTicks;
        return;
    }
    connectableTicks = 0;
    if (state != kNotRegistered) {
        char command[kCommandChars];
        std::snprintf(command, sizeof command, "GET APPLICATION %s CONNECTABLE", applicationName);
        sendCommand(command);
    }
}

void XR_SKYPEAPPLICATION::reportTraffic() {
    if (applicationName[0] == '\0') {
        return;
    }
    double sent = 0;
    double received = 0;
    for (auto& stream : streams) {
        if (stream != nullptr) {
            sent += static_cast<unsigned>(stream->getBytesSent());
            stream->setBytesSent(0);
            received += static_cast<unsigned>(stream->getBytesReceived());
            stream->setBytesReceived(0);
        }
    }
    for (XR_SKYPEAPPLICATIONLISTENER* listener : listeners) {
        listener->notifyTraffic(index, sent, received);
    }
}

int XR_SKYPEAPPLICATION::isControlAccepting() {
    for (auto& stream : streams) {
        if (stream != nullptr && stream->isControlAccepting() == 1) {
            return 1;
        }
    }
    return 0;
}

int XR_SKYPEAPPLICATION::isControlConnected() {
    for (auto& stream : streams) {
        if (stream != nullptr && stream->isControlConnected() == 1) {
            return 1;
        }
    }
    return 0;
}

int XR_SKYPEAPPLICATION::isPeerControlConnected() {
    for (auto& stream : streams) {
        if (stream != nullptr && stream->isPeerControlConnected() == 1) {
            return 1;
        }
    }
    return 0;
}
