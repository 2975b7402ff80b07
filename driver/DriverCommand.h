#pragma once

#include <string>
#include <string_view>

// One command line a client sent to the driver, taken apart. Parsing needs no
// socket and no state, so a fuzzer can call parseCommand on any bytes.
//
// Words are separated by single blanks and compared exactly (upper case). A
// line that does not fit one of the shapes below is kError with the ERROR
// code and text the driver answers.
struct DriverCommand {
    enum class Kind {
        kError,
        kPing,                  // PING
        kSearchFriends,         // SEARCH FRIENDS
        kGetCurrentUserHandle,  // GET CURRENTUSERHANDLE
        kGetUserStatus,         // GET USERSTATUS
        kGetUser,               // GET USER <handle> <property>
        kGetConnectable,        // GET APPLICATION <name> CONNECTABLE
        kCreateApplication,     // CREATE APPLICATION <name>
        kDeleteApplication,     // DELETE APPLICATION <name>
        kConnect,               // ALTER APPLICATION <name> CONNECT <handle>
        kDisconnect,            // ALTER APPLICATION <name> DISCONNECT <handle>:<id>
        kWrite,                 // ALTER APPLICATION <name> WRITE <handle>:<id> <text>
        kRead,                  // ALTER APPLICATION <name> READ <handle>:<id>
    };

    // The error codes of the driver's ERROR replies.
    static constexpr int kUnknownCommand = 2;
    static constexpr int kBadGetTarget = 7;
    static constexpr int kBadUserHandle = 8;
    static constexpr int kBadApplicationName = 540;
    static constexpr int kDuplicateApplication = 541;
    static constexpr int kUnknownApplication = 542;
    static constexpr int kUnknownAction = 543;
    static constexpr int kBadConnectUser = 547;
    static constexpr int kBadDisconnectStream = 548;
    static constexpr int kBadWriteStream = 549;
    static constexpr int kBadReadStream = 550;
    static constexpr int kBadWriteData = 551;
    static constexpr int kWriteBufferFull = 552;

    // Limits of names and of one WRITE's text.
    static constexpr size_t kMaxHandleBytes = 49;
    static constexpr size_t kMaxApplicationNameBytes = 99;
    static constexpr size_t kMaxWriteBytes = 65535;

    Kind kind = Kind::kError;
    std::string application;
    std::string user;      // GET USER, CONNECT and the peer of a stream key
    std::string property;  // GET USER
    int streamId = 0;      // stream key
    std::string text;      // WRITE data
    int errorCode = kUnknownCommand;
    std::string errorText;

    // "ERROR <code> <text>"
    std::string errorReply() const;
};

DriverCommand parseCommand(std::string_view line);

// A handle as the driver accepts it: 1 to kMaxHandleBytes bytes, none of them
// a control character, a blank, ',' or ':' (they separate the lists and the
// stream keys of the protocol).
bool isValidHandle(std::string_view handle);
// An application name: 1 to kMaxApplicationNameBytes bytes, no control
// character and no blank.
bool isValidApplicationName(std::string_view name);
