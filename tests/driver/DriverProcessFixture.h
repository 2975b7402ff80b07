#pragma once

// quillon-driver as a child process, and its console, for the tests that
// use the real program. Waiting here is for another process to start or to
// answer (bounded by real time), never for a timer of the code under test.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef QUILLON_DRIVER_BINARY
#error "QUILLON_DRIVER_BINARY must name the quillon-driver program"
#endif

namespace driverprocess {

constexpr int kStartTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 5000;
constexpr int kPollStepMs = 10;

inline int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A fresh directory under /tmp, removed with the object.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/qdp-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string path;
};

}  // namespace driverprocess

class DriverProcess {
public:
    DriverProcess(std::string directory, const std::string& configText)
        : dir(std::move(directory)), configPath(dir + "/driver.ini"), logPath(dir + "/driver.log") {
        writeConfig(configText);
    }
    ~DriverProcess() { stop(SIGKILL); }

    void writeConfig(const std::string& text) const {
        std::ofstream(configPath, std::ios::trunc) << text;
    }

    // Starts the driver and waits until it serves every named socket (or
    // has exited). Returns whether it is serving.
    bool start(const std::vector<std::string>& sockets) {
        std::ofstream(logPath, std::ios::trunc).close();  // only this run's lines count
        pid = ::fork();
        if (pid == 0) {
            const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(log, STDERR_FILENO);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::execl(QUILLON_DRIVER_BINARY, QUILLON_DRIVER_BINARY, "--config", configPath.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const int64_t deadline = driverprocess::nowMs() + driverprocess::kStartTimeoutMs;
        while (driverprocess::nowMs() < deadline) {
            bool all = true;
            const std::string log = driverprocess::readFile(logPath);
            for (const std::string& socket : sockets) {
                all = all && log.find("serving " + socket) != std::string::npos;
            }
            if (all) {
                return true;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                exitStatus = status;
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(driverprocess::kPollStepMs));
        }
        return false;
    }

    // Sends the signal and waits for the end; returns the exit code (or 128 +
    // the signal that ended it).
    int stop(int signalNumber = SIGTERM) {
        if (pid > 0) {
            ::kill(pid, signalNumber);
            int status = 0;
            ::waitpid(pid, &status, 0);
            exitStatus = status;
            pid = -1;
        }
        return WIFEXITED(exitStatus) ? WEXITSTATUS(exitStatus) : 128 + WTERMSIG(exitStatus);
    }

    void signal(int signalNumber) const {
        if (pid > 0) {
            ::kill(pid, signalNumber);
        }
    }

    // Waits until the log holds the text.
    bool waitForLog(const std::string& text) const {
        const int64_t deadline = driverprocess::nowMs() + driverprocess::kReplyTimeoutMs;
        while (driverprocess::nowMs() < deadline) {
            if (log().find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(driverprocess::kPollStepMs));
        }
        return false;
    }

    std::string log() const { return driverprocess::readFile(logPath); }

    std::string dir;
    std::string configPath;
    std::string logPath;
    pid_t pid = -1;
    int exitStatus = 0;
};

// quillon-driver --console SOCKET with its input and output on pipes.
class ConsoleProcess {
public:
    ~ConsoleProcess() {
        closeInput();
        wait();
        if (out >= 0) {
            ::close(out);
        }
    }

    void start(const std::string& socket, const std::string& errorPath = "/dev/null") {
        ::signal(SIGPIPE, SIG_IGN);  // a console that ended must not end the test
        int in[2];
        int outPipe[2];
        if (::pipe(in) != 0 || ::pipe(outPipe) != 0) {
            return;
        }
        pid = ::fork();
        if (pid == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(outPipe[1], STDOUT_FILENO);
            const int err = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            ::dup2(err, STDERR_FILENO);
            ::close(in[1]);
            ::close(outPipe[0]);
            ::execl(QUILLON_DRIVER_BINARY, QUILLON_DRIVER_BINARY, "--console", socket.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(outPipe[1]);
        input = in[1];
        out = outPipe[0];
    }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        [[maybe_unused]] ssize_t n = ::write(input, text.data(), text.size());
    }

    void closeInput() {
        if (input >= 0) {
            ::close(input);
            input = -1;
        }
    }

    // The next output line, or nothing when none comes in time or the
    // console ended.
    std::optional<std::string> nextLine(int timeoutMs = driverprocess::kReplyTimeoutMs) {
        const int64_t deadline = driverprocess::nowMs() + timeoutMs;
        while (true) {
            const size_t newline = buffer.find('\n');
            if (newline != std::string::npos) {
                std::string line = buffer.substr(0, newline);
                buffer.erase(0, newline + 1);
                seen.push_back(line);
                return line;
            }
            const int64_t left = deadline - driverprocess::nowMs();
            if (left <= 0 || out < 0) {
                return std::nullopt;
            }
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
                continue;
            }
            char chunk[4096];
            const ssize_t got = ::read(out, chunk, sizeof chunk);
            if (got <= 0) {
                return std::nullopt;
            }
            buffer.append(chunk, static_cast<size_t>(got));
        }
    }

    // Reads lines until one equals `line`; false when it does not come.
    bool expect(const std::string& line) {
        while (auto next = nextLine()) {
            if (*next == line) {
                return true;
            }
        }
        return false;
    }

    int wait() {
        if (pid > 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            pid = -1;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return code;
    }

    std::string transcript() const {
        std::string all;
        for (const std::string& line : seen) {
            all += line + "\n";
        }
        return all;
    }

    pid_t pid = -1;
    int input = -1;
    int out = -1;
    int code = -1;
    std::string buffer;
    std::vector<std::string> seen;
};
