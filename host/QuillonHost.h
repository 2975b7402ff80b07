#pragma once

#include <string>

#include "controller/CQuillonForTcpCom.h"
#include "controller/CQuillonForTcpComListener.h"
#include "platform/EventLoop.h"
#include "support/CQuillonPropaty.h"

// The headless front end over the controller, as the window is: the
// controller wires the link, the user model and the tunnel model for one
// account and releases them; the host keeps the gate to the chosen contact
// open (Client mode, automatic connection) and reports progress as single
// lines on standard error.
//
// GUI thread only (the poll loop's thread).
class QuillonHost : public CQuillonForTcpComListener {
public:
    static constexpr int kTickPeriodMs = 100;       // automatic-connection check
    static constexpr int kConnectRetryTicks = 100;  // 10 s between connect attempts
    static constexpr int kApplicationIndex = 0;

    // contact: the peer to select (and, with autoConnect in Client mode, to
    // connect to once it is connectable); empty: the first contact.
    QuillonHost(CQuillonPropaty& settings, std::string contact, bool autoConnect);
    ~QuillonHost() override;
    QuillonHost(const QuillonHost&) = delete;
    QuillonHost& operator=(const QuillonHost&) = delete;

    // Creates the models, names application 0 and starts discovery.
    void start();
    // Releases the models in the controller's order (tunnel model, user
    // model, the link's window, link, event log) and prints the traffic
    // totals.
    void stop();

    // CQuillonForTcpComListener
    void notifyLog(const char* line) override;
    void notifySkypeComStatusChange() override;
    void notifyModelChanged() override;
    void notifyA2AModelChanged() override;
    void notifyA2ATransferRate(int index, double sent, double received) override;
    void notifyCurrentUser(const char* handle) override;

    double getTotalSent() const { return totalSent; }
    double getTotalReceived() const { return totalReceived; }

private:
    void tick();
    bool isClientMode() const;

    CQuillonPropaty& settings;
    std::string contact;
    bool autoConnect;
    CQuillonForTcpCom controller;
    platform::EventLoop::TimerId tickTimer = 0;
    int lastStatus = -1;
    int lastStreamState = -1;
    int lastConnected = -1;
    int ticksSinceConnect = 0;
    bool connectTried = false;
    bool started = false;
    std::string announcedContact;
    double totalSent = 0;
    double totalReceived = 0;
};
