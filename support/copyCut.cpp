#include "support/copyCut.h"

#include <cstring>

void copyCut(char* to, size_t size, const char* from) {
    if (size == 0) {
        return;
    }
    const size_t length = from != nullptr ? strnlen(from, size - 1) : 0;
    if (length > 0) {
        std::memcpy(to, from, length);
    }
    to[length] = '\0';
}
