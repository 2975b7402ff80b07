#pragma once

namespace platform {

// Measurement lines for the benchmark: one line per finished transfer or
// connection with the counters its owner kept (pump ticks, relay periods).
// Off unless the environment variable QUILLON_COUNTERS names a file when the
// first line is asked for; the lines are then appended to that file. Costs
// nothing on the hot path: owners count in plain integers and write a line
// only when a connection ends.
//
// Safe from any thread; one call writes its line whole.
class CounterLog {
public:
    static constexpr const char* kEnvironmentVariable = "QUILLON_COUNTERS";
    static constexpr int kLineBytes = 512;  // a longer line is cut here

    // Whether lines are being written.
    static bool enabled();
    // Appends one printf-style line (a line end is added).
    static void write(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

}  // namespace platform
