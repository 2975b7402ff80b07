#pragma once

#include <string>

// The status line model of a panel: turns the driver attachment, the gate
// state, the transfer rates and short-lived messages into one line of text.
// The panel calls tick() every kTickPeriodMs and shows getText().
//
// GUI thread only.
class CMsg {
public:
    static constexpr int kTickPeriodMs = 500;
    static constexpr int kMessageTicks = 6;              // a message shows for 6 ticks (3 s)
    static constexpr double kBytesPerKilobyte = 1000.0;  // rates in KB/S of 1000 bytes
    static constexpr size_t kMaxTextBytes = 99;          // texts are composed in 100 bytes

    CMsg() = default;
    virtual ~CMsg() = default;

    // Shows text at once and keeps it for kMessageTicks ticks; nullptr is the
    // empty text.
    void setTemporary(const char* text);
    // Recomputes the line.
    void tick();
    std::string getText() const { return text; }

    // A failure of the open gate (a listener that cannot be opened, an FTP
    // server that cannot be reached): while it is set and the gate is open,
    // it replaces the regular line; an empty text (or nullptr) clears it.
    void setFault(const char* text);
    const std::string& getFault() const { return fault; }

    void setAttachState(int state) { attachState = state; }
    int getAttachState() const { return attachState; }
    void setGateOpen(int open) { gateOpen = open; }
    void setRates(double sent, double received) {
        sendRate = sent;
        receiveRate = received;
    }

private:
    std::string text;
    std::string message;
    int messageTicks = 0;
    std::string fault;
    int attachState = 0;
    int gateOpen = 0;
    double sendRate = 0.0;
    double receiveRate = 0.0;
};
