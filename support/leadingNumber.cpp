#include "support/leadingNumber.h"

int64_t leadingNumber(std::string_view text, int64_t ceiling) {
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        const int digit = c - '0';
        if (value > (ceiling - digit) / 10) {
            return ceiling;  // checked before the step, so it cannot overflow
        }
        value = value * 10 + digit;
    }
    return value;
}
