#pragma once

// Start-up of the gateway: one copy per user, the command-line switches,
// traces to the terminal in debug mode, the program's directory made
// current before the settings exist, then the main dialog run modally, and
// the teardown in order (window, controller with the models, settings).
class CVantryOneApp {
public:
    // The whole program; returns the process's exit code.
    static int run(int argc, char** argv);

private:
    static int post(const char* word);
};
