#pragma once

#include <cstddef>

// The one bounded text copy of the models: copies from into the buffer `to`
// of `size` bytes, cut to size - 1 bytes and always NUL-terminated. At most
// size - 1 bytes of from are read, so from need not be terminated within
// them. A null from copies as the empty text; size 0 writes nothing.
//
// Fixed-size text fields (user handles, host names, application names) are
// filled this way: a longer text is cut, never overruns the field.
void copyCut(char* to, size_t size, const char* from);
