#pragma once

#include <functional>
#include <string_view>

namespace platform {

// Traces: printf-style diagnostic lines for the debug console. They go to
// standard output, which start-up points at /dev/null unless "-D583" is
// given. Safe from any thread; one call writes its text whole.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Tests capture traces here instead of standard output; an empty function
// restores standard output. Not for use while other threads trace.
using TraceSink = std::function<void(std::string_view line)>;
void setTraceSink(TraceSink sink);

}  // namespace platform
