#include "ui/CMsg.h"

#include <cstdio>

#include "skype/AttachStatus.h"

namespace {
constexpr const char* kNotAttached = "通信ドライバと未接続";
constexpr const char* kPending = "通信ドライバと認証中";
constexpr const char* kRefused = "通信ドライバと切断中";
constexpr const char* kGateClosed = "Gateは閉じています";
constexpr const char* kGateOpen = "Gateは開いています";

// Cuts to the 100-byte field, never inside a UTF-8 character.
std::string cut(std::string value) {
    if (value.size() > CMsg::kMaxTextBytes) {
        size_t end = CMsg::kMaxTextBytes;
        while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) {
            --end;
        }
        value.resize(end);
    }
    return value;
}
}  // namespace

void CMsg::setTemporary(const char* value) {
    message = cut(value != nullptr ? value : "");
    text = message;
    messageTicks = kMessageTicks;
}

void CMsg::setFault(const char* value) {
    fault = cut(value != nullptr ? value : "");
}

void CMsg::tick() {
    if (messageTicks > 0) {
        text = message;
        --messageTicks;
        return;
    }
    switch (attachState) {
        case SKYPECONTROLAPI_NO_ATTACH:
            text = kNotAttached;
            return;
        case SKYPECONTROLAPI_ATTACH_PENDING_AUTHORIZATION:
            text = kPending;
            return;
        case SKYPECONTROLAPI_ATTACH_REFUSED:
            text = kRefused;
            return;
        case SKYPECONTROLAPI_ATTACH_SUCCESS:
            break;
        default:
            return;  // other states keep the line as it is
    }
    if (gateOpen == 0) {
        text = kGateClosed;
        return;
    }
    if (!fault.empty()) {
        text = fault;
        return;
    }
    const double sentKb = sendRate / kBytesPerKilobyte;
    const double receivedKb = receiveRate / kBytesPerKilobyte;
    if (sentKb > 0 || receivedKb > 0) {
        char buffer[kMaxTextBytes + 1];
        std::snprintf(buffer, sizeof buffer, "%s S:%.1f,R:%.1f [KB/S]", kGateOpen, sentKb,
                      receivedKb);
        text = buffer;
        return;
    }
    text = kGateOpen;
}
