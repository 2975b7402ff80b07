#pragma once

#include <string>

// The status-line texts for failures of the open gate. Each ends in "!",
// which the panels show white on red.
namespace ui {

// The Client's listener could not be opened on `port` (errno `error`).
std::string listenFailureText(int port, int error);
// The Server could not reach its FTP server at host:port (errno `error`).
std::string serverConnectFailureText(const std::string& host, int port, int error);
// The peer answered that it could not reach its FTP server.
const char* peerConnectFailureText();

}  // namespace ui
