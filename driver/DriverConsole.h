#pragma once

#include <cstdio>
#include <string>

#include "platform/DriverFrame.h"
#include "platform/PollEventLoop.h"

// quillon-driver --console SOCKET: attaches to an account's socket as a
// gateway would, sends each line of its input as one command and prints what
// the driver says, one line each: "ATTACH <code>" for an attach message (the
// code as the driver sends it, 0 = success) and "-> <text>" for every reply
// and notification. Commands the driver did not take (result 0) are reported
// on standard error. Ends when the driver closes the connection, or shortly
// after the input ends once every command has its result.
class DriverConsole {
public:
    static constexpr int kLingerMs = 1000;   // quiet time after the input ends, for late replies
    static constexpr int kIdleWaitMs = 100;  // longest wait of one loop turn

    DriverConsole(int inputFd, FILE* output, FILE* errors);
    ~DriverConsole();
    DriverConsole(const DriverConsole&) = delete;
    DriverConsole& operator=(const DriverConsole&) = delete;

    // Returns the process exit code: 0 after a normal end, 1 when the socket
    // could not be reached or the driver broke the protocol.
    int run(const std::string& socketPath);

private:
    void onSocket();
    void onInput();
    void sendLine(std::string line);
    void finish(int code);

    int inputFd;
    FILE* output;
    FILE* errors;
    int fd = -1;
    platform::PollEventLoop loop;
    platform::DriverFrameReader reader;
    std::string inputBuffer;  // a partial line; at most one block
    bool inputEnded = false;
    int outstanding = 0;  // commands without a result yet
    int64_t quietSinceMs = 0;
    int exitCode = 0;
    bool done = false;
};
