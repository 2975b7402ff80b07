#include "ui/FaultText.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace {
constexpr const char* kPeerServerUnreachable = "相手側でFTPサーバに接続できませんでした!";

// A short Japanese reason for the errors a user meets; others by number.
std::string reasonOf(int error) {
    switch (error) {
        case EADDRINUSE:
            return "使用中";
        case EACCES:
        case EPERM:
            return "権限がありません";
        case EADDRNOTAVAIL:
            return "アドレスがありません";
        case ECONNREFUSED:
            return "接続拒否";
        case ETIMEDOUT:
            return "時間切れ";
        case EHOSTUNREACH:
        case ENETUNREACH:
            return "到達できません";
        default: {
            char buffer[32];
            std::snprintf(buffer, sizeof buffer, "エラー%d", error);
            return buffer;
        }
    }
}
}  // namespace

namespace ui {

// The status line cuts long texts on a character boundary, so these are
// composed whole.
std::string listenFailureText(int port, int error) {
    return "ポート" + std::to_string(port) + "で待ち受けできません(" + reasonOf(error) + ")!";
}

std::string serverConnectFailureText(const std::string& host, int port, int error) {
    return "FTPサーバ" + host + ":" + std::to_string(port) + "に接続できません(" +
           reasonOf(error) + ")!";
}

const char* peerConnectFailureText() {
    return kPeerServerUnreachable;
}

}  // namespace ui
