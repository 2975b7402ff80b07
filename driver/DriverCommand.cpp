#include "driver/DriverCommand.h"

#include <climits>
#include <cstdint>
#include <vector>

#include "support/leadingNumber.h"

namespace {

using Kind = DriverCommand::Kind;

DriverCommand fail(int code, std::string text) {
    DriverCommand command;
    command.kind = Kind::kError;
    command.errorCode = code;
    command.errorText = std::move(text);
    return command;
}

// The next blank-separated word of rest; rest moves past it and its blank.
std::string_view takeWord(std::string_view& rest) {
    const size_t blank = rest.find(' ');
    std::string_view word = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return word;
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// "<handle>:<id>" with a valid handle and a decimal id from 1 to INT_MAX.
bool parseStreamKey(std::string_view key, std::string& user, int& id) {
    const size_t colon = key.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view handle = key.substr(0, colon);
    const std::string_view digits = key.substr(colon + 1);
    if (!isValidHandle(handle) || digits.empty() || digits.size() > 10) {
        return false;
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    const int64_t value = leadingNumber(digits, int64_t{INT_MAX} + 1);
    if (value < 1 || value > INT_MAX) {
        return false;
    }
    user.assign(handle);
    id = static_cast<int>(value);
    return true;
}

DriverCommand parseGet(std::string_view rest) {
    const std::string_view what = takeWord(rest);
    DriverCommand command;
    if (what == "CURRENTUSERHANDLE" && rest.empty()) {
        command.kind = Kind::kGetCurrentUserHandle;
        return command;
    }
    if (what == "USERSTATUS" && rest.empty()) {
        command.kind = Kind::kGetUserStatus;
        return command;
    }
    if (what == "USER") {
        const std::string_view handle = takeWord(rest);
        if (!isValidHandle(handle)) {
            return fail(DriverCommand::kBadUserHandle, "Invalid user handle");
        }
        const std::string_view property = takeWord(rest);
        if ((property != "ONLINESTATUS" && property != "BUDDYSTATUS") || !rest.empty()) {
            return fail(DriverCommand::kBadGetTarget, "GET: invalid WHAT");
        }
        command.kind = Kind::kGetUser;
        command.user.assign(handle);
        command.property.assign(property);
        return command;
    }
    if (what == "APPLICATION") {
        const std::string_view name = takeWord(rest);
        const std::string_view property = takeWord(rest);
        if (!isValidApplicationName(name) || property != "CONNECTABLE" || !rest.empty()) {
            return fail(DriverCommand::kBadGetTarget, "GET: invalid WHAT");
        }
        command.kind = Kind::kGetConnectable;
        command.application.assign(name);
        return command;
    }
    return fail(DriverCommand::kBadGetTarget, "GET: invalid WHAT");
}

DriverCommand parseApplicationName(std::string_view rest, Kind kind, const char* verb) {
    const std::string_view name = takeWord(rest);
    if (!isValidApplicationName(name) || !rest.empty()) {
        return fail(DriverCommand::kBadApplicationName,
                    std::string(verb) + " APPLICATION: invalid application name");
    }
    DriverCommand command;
    command.kind = kind;
    command.application.assign(name);
    return command;
}

DriverCommand parseAlter(std::string_view rest) {
    if (takeWord(rest) != "APPLICATION") {
        return fail(DriverCommand::kUnknownCommand, "Unknown command");
    }
    const std::string_view name = takeWord(rest);
    if (!isValidApplicationName(name)) {
        return fail(DriverCommand::kBadApplicationName,
                    "ALTER APPLICATION: invalid application name");
    }
    DriverCommand command;
    command.application.assign(name);
    const std::string_view action = takeWord(rest);
    if (action == "CONNECT") {
        const std::string_view user = takeWord(rest);
        if (!isValidHandle(user) || !rest.empty()) {
            return fail(DriverCommand::kBadConnectUser, "ALTER APPLICATION CONNECT: invalid user");
        }
        command.kind = Kind::kConnect;
        command.user.assign(user);
        return command;
    }
    if (action == "DISCONNECT" || action == "READ") {
        const bool disconnect = action == "DISCONNECT";
        const std::string_view key = takeWord(rest);
        if (!parseStreamKey(key, command.user, command.streamId) || !rest.empty()) {
            return disconnect ? fail(DriverCommand::kBadDisconnectStream,
                                     "ALTER APPLICATION DISCONNECT: invalid stream")
                              : fail(DriverCommand::kBadReadStream,
                                     "ALTER APPLICATION READ: invalid stream");
        }
        command.kind = disconnect ? Kind::kDisconnect : Kind::kRead;
        return command;
    }
    if (action == "WRITE") {
        const size_t blank = rest.find(' ');
        const std::string_view key = rest.substr(0, blank);
        if (!parseStreamKey(key, command.user, command.streamId)) {
            return fail(DriverCommand::kBadWriteStream, "ALTER APPLICATION WRITE: invalid stream");
        }
        const std::string_view data =
            blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
        if (data.empty() || data.size() > DriverCommand::kMaxWriteBytes) {
            return fail(DriverCommand::kBadWriteData,
                        "ALTER APPLICATION WRITE: no data or more than 65535 bytes");
        }
        command.kind = Kind::kWrite;
        command.text.assign(data);
        return command;
    }
    return fail(DriverCommand::kUnknownAction, "ALTER APPLICATION: unknown action");
}

}  // namespace

std::string DriverCommand::errorReply() const {
    return "ERROR " + std::to_string(errorCode) + " " + errorText;
}

bool isValidHandle(std::string_view handle) {
    if (handle.empty() || handle.size() > DriverCommand::kMaxHandleBytes) {
        return false;
    }
    for (char c : handle) {
        if (isControl(c) || c == ' ' || c == ',' || c == ':') {
            return false;
        }
    }
    return true;
}

bool isValidApplicationName(std::string_view name) {
    if (name.empty() || name.size() > DriverCommand::kMaxApplicationNameBytes) {
        return false;
    }
    for (char c : name) {
        if (isControl(c) || c == ' ') {
            return false;
        }
    }
    return true;
}

DriverCommand parseCommand(std::string_view line) {
    std::string_view rest = line;
    const std::string_view verb = takeWord(rest);
    if (verb == "PING" && rest.empty()) {
        DriverCommand command;
        command.kind = Kind::kPing;
        return command;
    }
    if (verb == "SEARCH" && rest == "FRIENDS") {
        DriverCommand command;
        command.kind = Kind::kSearchFriends;
        return command;
    }
    if (verb == "GET") {
        return parseGet(rest);
    }
    if (verb == "CREATE" || verb == "DELETE") {
        if (takeWord(rest) != "APPLICATION") {
            return fail(DriverCommand::kUnknownCommand, "Unknown command");
        }
        return verb == "CREATE" ? parseApplicationName(rest, Kind::kCreateApplication, "CREATE")
                                : parseApplicationName(rest, Kind::kDeleteApplication, "DELETE");
    }
    if (verb == "ALTER") {
        return parseAlter(rest);
    }
    return fail(DriverCommand::kUnknownCommand, "Unknown command");
}
