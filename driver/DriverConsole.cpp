#include "driver/DriverConsole.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/DriverSocket.h"

namespace df = platform::driverframe;

DriverConsole::DriverConsole(int inputFd, FILE* output, FILE* errors)
    : inputFd(inputFd), output(output), errors(errors) {}

DriverConsole::~DriverConsole() {
    if (fd >= 0) {
        ::close(fd);
    }
}

int DriverConsole::run(const std::string& socketPath) {
    fd = platform::driversocket::connectTo(socketPath);
    if (fd < 0) {
        std::fprintf(errors, "quillon-driver: cannot reach %s: %s\n", socketPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const std::string discover = df::encodeDiscover();
    if (!platform::driversocket::writeAll(fd, discover.data(), discover.size(), 1000)) {
        std::fprintf(errors, "quillon-driver: cannot write to %s\n", socketPath.c_str());
        return 1;
    }
    loop.addReadWatch(fd, [this] { onSocket(); });
    const int inputWatch = loop.addReadWatch(inputFd, [this] { onInput(); });
    quietSinceMs = loop.clock().nowMs();
    while (!done) {
        loop.runOnce(kIdleWaitMs);
        if (inputEnded && inputWatch != 0) {
            loop.removeWatch(inputWatch);
        }
        if (!done && inputEnded && outstanding == 0 &&
            loop.clock().nowMs() - quietSinceMs >= kLingerMs) {
            finish(0);
        }
    }
    return exitCode;
}

void DriverConsole::finish(int code) {
    exitCode = code;
    done = true;
}

void DriverConsole::onSocket() {
    char buffer[64 * 1024];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        std::fprintf(errors, "quillon-driver: the driver closed the connection\n");
        finish(0);
        return;
    }
    quietSinceMs = loop.clock().nowMs();
    size_t used = 0;
    while (used < static_cast<size_t>(got)) {
        used += reader.push(buffer + used, static_cast<size_t>(got) - used);
        df::Frame frame;
        const auto result = reader.next(frame);
        if (result == platform::DriverFrameReader::Result::kError) {
            std::fprintf(errors, "quillon-driver: protocol error: %s\n",
                         reader.errorText().c_str());
            finish(1);
            return;
        }
        if (result != platform::DriverFrameReader::Result::kFrame) {
            continue;
        }
        if (frame.type == df::kAttach) {
            std::fprintf(output, "ATTACH %d\n", frame.word());
        } else if (frame.type == df::kResult) {
            outstanding = outstanding > 0 ? outstanding - 1 : 0;
            if (frame.word() == 0) {
                std::fprintf(errors, "quillon-driver: command not taken (not attached)\n");
            }
        } else if (frame.type == df::kCopyData) {
            std::string_view text = frame.block();
            const size_t nul = text.find('\0');
            if (nul != std::string_view::npos) {
                text = text.substr(0, nul);
            }
            std::fprintf(output, "-> %.*s\n", static_cast<int>(text.size()), text.data());
        }
        std::fflush(output);
    }
}

void DriverConsole::onInput() {
    char buffer[4096];
    const ssize_t got = ::read(inputFd, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        if (!inputBuffer.empty()) {
            sendLine(std::move(inputBuffer));
            inputBuffer.clear();
        }
        inputEnded = true;
        quietSinceMs = loop.clock().nowMs();
        return;
    }
    for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] == '\n') {
            sendLine(std::move(inputBuffer));
            inputBuffer.clear();
        } else if (inputBuffer.size() < df::kMaxBlockBytes) {
            inputBuffer.push_back(buffer[i]);
        }
    }
}

void DriverConsole::sendLine(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        return;
    }
    if (line.size() + 1 > df::kMaxBlockBytes) {
        std::fprintf(errors, "quillon-driver: line of %zu bytes is too long; not sent\n",
                     line.size());
        return;
    }
    const std::string frame = df::encodeText(line);
    if (!platform::driversocket::writeAll(fd, frame.data(), frame.size(), 1000)) {
        std::fprintf(errors, "quillon-driver: cannot send to the driver\n");
        finish(1);
        return;
    }
    ++outstanding;
}
