// The link's notification parser feeding the user model and the tunnel
// model, one line of the input per notification, through a recording
// transport (no driver, no sockets: Server mode, so no stream listens, and
// connect requests go to a closed loopback port). The GUI loop is ticked
// between lines so the streams' pumps run too. A line "~" switches the
// driver between taking and refusing commands, "^" attaches the link again.
//
// Properties: the user model's handles stay terminated within their fields,
// its selection and flags stay in range; every command the link sends is one
// terminated line that fits a copy-data block; no application slot holds more
// than one live stream (one peer at a time), and each belongs to the
// registered slot.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/DriverFrame.h"
#include "skype/XR_SKYPECOM.h"
#include "skype/XR_SKYPEMODEL.h"
#include "tunnel/XR_A2AMODEL.h"
#include "tunnel/XR_SKYPEAPPLICATION.h"
#include "tunnel/XR_SKYPESTREAM.h"

namespace {

constexpr const char* kApplication = "QuillonForFtp2000";
constexpr int kTickMs = XR_A2AMODEL::kPumpPeriodMs;

void checkUsers(const XR_SKYPEMODEL& users) {
    FUZZ_CHECK(strnlen(users.getCurrentUser(), FriendEntry::kHandleBytes) <
                   static_cast<size_t>(FriendEntry::kHandleBytes),
               "the current user is terminated within its field");
    const int count = users.getFriendCount();
    FUZZ_CHECK(count == 0 || (users.getSelectedIndex() >= 0 && users.getSelectedIndex() < count),
               "the selection names a contact");
    FUZZ_CHECK((count == 0) == (users.getSelectedUser() == nullptr),
               "a selected contact exactly when there are contacts");
    for (int i = 0; i < count; ++i) {
        const FriendEntry* entry = users.getFriend(i);
        FUZZ_CHECK(entry != nullptr, "every listed contact exists");
        FUZZ_CHECK(strnlen(entry->handle, FriendEntry::kHandleBytes) <
                       static_cast<size_t>(FriendEntry::kHandleBytes),
                   "a contact's handle is terminated within its field");
        FUZZ_CHECK(entry->onlineStatus == FriendEntry::kOffline ||
                       entry->onlineStatus == FriendEntry::kOnline,
                   "an online status is offline or online");
        for (int a = 0; a < FriendEntry::kApplicationCount; ++a) {
            FUZZ_CHECK(entry->connectable[a] == 0 || entry->connectable[a] == 1,
                       "a connectable flag is 0 or 1");
        }
    }
}

void checkCommands(const RecordingTransport& transport, size_t from) {
    for (size_t i = from; i < transport.commands.size(); ++i) {
        const std::string& command = transport.commands[i];
        FUZZ_CHECK(transport.byteCounts[i] == command.size() + 1,
                   "a command block is its text and one NUL");
        FUZZ_CHECK(transport.byteCounts[i] <= platform::driverframe::kMaxBlockBytes,
                   "a command fits one copy-data block");
        FUZZ_CHECK(
            command.find('\n') == std::string::npos && command.find('\r') == std::string::npos,
            "a command is one line");
    }
}

void checkStreams(XR_A2AMODEL& model) {
    for (int index = 0; index < XR_A2AMODEL::kApplicationCount; ++index) {
        XR_SKYPEAPPLICATION& application = model.getApplication(index);
        int live = 0;
        for (size_t slot = 0; slot < application.getSlotCount(); ++slot) {
            if (XR_SKYPESTREAM* stream = application.getStream(slot)) {
                ++live;
                FUZZ_CHECK(strnlen(stream->getPeerUser(), XR_SKYPESTREAM::kUserChars) <
                               XR_SKYPESTREAM::kUserChars,
                           "a stream's peer is terminated within its field");
            }
        }
        FUZZ_CHECK(live <= 1, "one live stream per application at a time");
        if (index != 0) {
            FUZZ_CHECK(application.getSlotCount() == 0, "an unnamed slot holds no stream");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ProcessSetUp& process = fuzz::ProcessSetUp::get();
    RecordingTransport transport;
    XR_SKYPECOM* link = XR_SKYPECOM::getInstance();
    link->setTransport(&transport);
    XR_SKYPEMODEL* users = XR_SKYPEMODEL::getInstance();
    XR_A2AMODEL* model = XR_A2AMODEL::getInstance();
    model->setApplicationName(0, kApplication);
    link->onAttachMessage(link->getAttachMessageId(), RecordingTransport::kDriverWindow, 0);
    // The usual start: contacts known, the application registered, so the
    // input reaches streams quickly.
    link->parseNotification("USERS bob, carol");
    link->parseNotification("CREATE APPLICATION QuillonForFtp2000");

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const std::string& line : fuzz::splitLines(text)) {
        const size_t before = transport.commands.size();
        if (line == "~") {
            // From now on the driver refuses (or takes again) every command;
            // a refused one ends the attachment.
            transport.result = transport.result == 0 ? 1 : 0;
        } else if (line == "^") {
            link->onAttachMessage(link->getAttachMessageId(), RecordingTransport::kDriverWindow,
                                  0);
        } else {
            link->parseNotification(line.c_str(), static_cast<int>(line.size() + 1));
        }
        process.clock.advance(kTickMs);
        process.loop.runOnce(0);
        checkUsers(*users);
        checkCommands(transport, before);
        checkStreams(*model);
    }

    model->closeAllStreams();
    XR_A2AMODEL::releaseInstance();
    XR_SKYPEMODEL::releaseInstance();
    XR_SKYPECOM::releaseInstance();
    return 0;
}
