#pragma once

#include <cstddef>

// The tokenizer of every parser of driver notifications and FTP commands.
//
// Skips leading white space (space, tab, LF, VT, FF, CR), then copies
// characters into token until one ends it and writes a terminating NUL:
//  - the end of the text: returns nullptr (the token is still written, so a
//    last token runs to the end of the text);
//  - a white-space character: returns the position after it;
//  - delimiter, when one is given (non-zero): returns the position after it;
//    other punctuation then stays inside the token;
//  - without a delimiter, any ASCII punctuation character (printable, neither
//    letter, digit nor space): returns the position after it.
// A token may be empty; bytes of 0x80 and above are ordinary characters.
// token holds tokenSize bytes: a longer token is cut to tokenSize - 1
// characters, and scanning goes on to its real end, so the position returned
// is the same as with a buffer large enough.
const char* nextToken(const char* text, char* token, size_t tokenSize, char delimiter = 0);

constexpr size_t kTokenSize = 256;       // the parsers' usual token buffer
constexpr size_t kLongTokenSize = 1024;  // for tokens that carry lists
