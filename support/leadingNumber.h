#pragma once

#include <climits>
#include <cstdint>
#include <string_view>

// The one reader of a decimal number at the start of a text, for the
// parsers of driver notifications, FTP control lines and settings values.
//
// Reads the decimal digits text starts with: no white space is skipped and
// no sign is read (callers that accept those strip them first). 0 when text
// does not start with a digit. A value above `ceiling` reads as `ceiling`,
// so any number of digits is safe; the default holds the result in an int.
// ceiling is not negative.
int64_t leadingNumber(std::string_view text, int64_t ceiling = INT_MAX);
