#include "driver/XmppText.h"

#include <strophe.h>

#include <algorithm>
#include <cctype>

namespace xmpptext {

namespace {
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c; break;
        }
    }
    return out;
}

std::string base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool unbase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    bytes.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
            } else if (pad > 0 || (v[k] = valueOf(c)) < 0) {
                return false;
            }
        }
        const unsigned value = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        bytes += static_cast<char>((value >> 16) & 0xff);
        if (pad < 2) bytes += static_cast<char>((value >> 8) & 0xff);
        if (pad < 1) bytes += static_cast<char>(value & 0xff);
    }
    return true;
}

std::string percentEncoded(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

bool percentDecoded(std::string_view text, std::string& name) {
    name.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            name += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        const int hi = hexValue(text[i + 1]);
        const int lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        name += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

std::string bareOf(std::string_view jid) {
    std::string bare(jid.substr(0, jid.find('/')));
    for (char& c : bare) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return bare;
}

std::string capsVer(const std::string& category, const std::string& type,
                    const std::string& name, std::vector<std::string> features) {
    std::sort(features.begin(), features.end());
    features.erase(std::unique(features.begin(), features.end()), features.end());
    std::string text = category + "/" + type + "//" + name + "<";
    for (const std::string& feature : features) {
        text += feature + "<";
    }
    unsigned char digest[20];
    xmpp_sha1_digest(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return base64(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

}  // namespace xmpptext
