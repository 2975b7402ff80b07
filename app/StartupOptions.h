#pragma once

#include <string>

// What the command line asks for. Every argument after the program name is
// compared as a whole and with case: "-D583" (debug mode: traces on the
// terminal), "-NOLOCALONLY" (the Client's listener accepts other machines),
// and "--post WORD" (send a private message to the running copy and end).
// Anything else is ignored.
struct StartupOptions {
    bool debugMode = false;
    bool noLocalOnly = false;
    bool post = false;
    std::string postWord;  // empty when --post came last

    static StartupOptions parse(int argc, const char* const* argv);
};

// The program's directory from its path (argv[0]): the part before the last
// '/', or the empty text when the path holds none.
std::string programDirectoryOf(const char* programPath);
