#include "tunnel/DataLinkExpectations.h"

void DataLinkExpectations::removeAt(size_t index) {
    for (size_t i = index + 1; i < count; ++i) {
        entries[i - 1] = entries[i];
    }
    --count;
}

void DataLinkExpectations::expect(int port, uint32_t address, int64_t nowMs) {
    for (size_t i = 0; i < count; ++i) {
        if (entries[i].port == port) {
            removeAt(i);
            break;
        }
    }
    if (count == kMaxExpectations) {
        removeAt(0);
    }
    entries[count++] = Entry{port, address, nowMs + kLifetimeMs};
}

int DataLinkExpectations::take(int port, int64_t nowMs, uint32_t& address) {
    size_t i = 0;
    while (i < count) {
        if (entries[i].expiresMs <= nowMs) {
            removeAt(i);
            continue;
        }
        if (entries[i].port == port) {
            address = entries[i].address;
            removeAt(i);
            return 1;
        }
        ++i;
    }
    return 0;
}
