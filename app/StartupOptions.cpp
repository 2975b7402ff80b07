#include "app/StartupOptions.h"

#include <cstring>

StartupOptions StartupOptions::parse(int argc, const char* const* argv) {
    StartupOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-D583") == 0) {
            options.debugMode = true;
        } else if (std::strcmp(argv[i], "-NOLOCALONLY") == 0) {
            options.noLocalOnly = true;
        } else if (std::strcmp(argv[i], "--post") == 0) {
            options.post = true;
            options.postWord = i + 1 < argc ? argv[++i] : "";
        }
    }
    return options;
}

std::string programDirectoryOf(const char* programPath) {
    if (programPath == nullptr) {
        return std::string();
    }
    const char* slash = std::strrchr(programPath, '/');
    return slash == nullptr ? std::string() : std::string(programPath, slash);
}
