#pragma once

// A client of the driver's socket driven by a test, one frame at a time, on
// the test's own thread: it writes frames and reads what the driver sent,
// while the test turns the driver's loop by hand.

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/DriverFrame.h"
#include "platform/DriverSocket.h"

class ScriptedClient {
public:
    ScriptedClient() = default;
    ~ScriptedClient() { close(); }
    ScriptedClient(const ScriptedClient&) = delete;
    ScriptedClient& operator=(const ScriptedClient&) = delete;

    bool connect(const std::string& path) {
        fd = platform::driversocket::connectTo(path);
        return fd >= 0;
    }
    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    bool isOpen() const { return fd >= 0; }

    void sendRaw(const std::string& bytes) {
        platform::driversocket::writeAll(fd, bytes.data(), bytes.size(), 1000);
    }
    void discover() { sendRaw(platform::driverframe::encodeDiscover()); }
    void sendLine(const std::string& text) { sendRaw(platform::driverframe::encodeText(text)); }

    // Reads everything the socket holds now. Returns false once the driver
    // closed the connection.
    bool poll() {
        char buffer[65536];
        while (fd >= 0) {
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0) {
                closedByDriver = true;
                return false;
            }
            if (got < 0) {
                return true;
            }
            size_t used = 0;
            while (used < static_cast<size_t>(got)) {
                used += reader.push(buffer + used, static_cast<size_t>(got) - used);
                platform::driverframe::Frame frame;
                if (reader.next(frame) != platform::DriverFrameReader::Result::kFrame) {
                    continue;
                }
                if (frame.type == platform::driverframe::kAttach) {
                    attaches.push_back(frame.word());
                } else if (frame.type == platform::driverframe::kResult) {
                    results.push_back(frame.word());
                } else if (frame.type == platform::driverframe::kCopyData) {
                    std::string text(frame.block());
                    if (!text.empty() && text.back() == '\0') {
                        text.pop_back();
                    }
                    texts.push_back(text);
                }
            }
        }
        return fd >= 0;
    }

    // The texts received since the last call.
    std::vector<std::string> take() {
        poll();
        std::vector<std::string> out;
        out.swap(texts);
        return out;
    }

    int fd = -1;
    bool closedByDriver = false;
    platform::DriverFrameReader reader;
    std::vector<int> attaches;
    std::vector<int> results;
    std::vector<std::string> texts;
};
