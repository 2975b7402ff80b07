#include "support/nextToken.h"

namespace {

bool isTokenSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isAsciiPunct(unsigned char c) {
    const bool printable = c > 0x20 && c < 0x7f;
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return printable && !alnum;
}

}  // namespace

const char* nextToken(const char* text, char* token, size_t tokenSize, char delimiter) {
    size_t length = 0;
    auto put = [&](char c) {
        if (length + 1 < tokenSize) {
            token[length++] = c;
        }
    };
    auto finish = [&]() {
        if (tokenSize > 0) {
            token[length] = '\0';
        }
    };

    if (text == nullptr) {
        finish();
        return nullptr;
    }
    const char* p = text;
    while (*p != '\0' && isTokenSpace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    for (; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool ends = isTokenSpace(c) || (delimiter != '\0' ? *p == delimiter : isAsciiPunct(c));
        if (ends) {
            finish();
            return p + 1;
        }
        put(*p);
    }
    finish();
    return nullptr;
}
