#pragma once

#include <string>

// The per-user control socket of the running gateway: a Unix datagram socket
// "quillonftp.sock" in the control directory (<runtime>/quillon-control).
// Other programs post the private messages 1225 to 1228 to it as the decimal
// text of the number ("1226"); `quillonftp --post open` is one such program.
// The same directory is where "QUILLONOPEN" goes: a datagram
// "QUILLONOPEN <product> 0" to every socket in it (other programs may listen
// there); the gateway ignores what it receives of it.
//
// GUI thread only (the fd is watched by the GUI loop).
class ControlChannel {
public:
    static constexpr const char* kDirectoryName = "quillon-control";
    static constexpr const char* kSocketName = "quillonftp.sock";
    static constexpr size_t kMaxDatagramBytes = 64;  // longer datagrams are refused
    static constexpr int kFirstMessage = 1225;
    static constexpr int kLastMessage = 1228;

    ControlChannel() = default;
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    static std::string directoryIn(const std::string& runtimeDirectory);

    // Binds the control socket in directory (created if missing). The caller
    // holds the single-instance lock, so a socket file left by a copy that
    // died is replaced. false on failure.
    bool open(const std::string& directory);
    int getFd() const { return fd; }
    const std::string& getPath() const { return path; }

    // Reads one waiting datagram: the private message it carries, or 0 for
    // anything else (announcements, malformed text, nothing waiting).
    int readMessage();

    // Sends message to the gateway whose control directory this is. Returns
    // 1 when it was delivered, 0 when no gateway listens there.
    static int post(const std::string& directory, int message);
    // The message number of a --post word (close, open, close-gate,
    // select), or 0.
    static int messageOfWord(const std::string& word);
    // "QUILLONOPEN <productCode> 0" to every socket of the directory;
    // returns 1 when the directory could be read (the post happened), else 0.
    static int broadcastOpen(const std::string& directory, int productCode);

private:
    int fd = -1;
    std::string path;
};
