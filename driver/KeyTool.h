#pragma once

#include <cstdio>
#include <string>

// The two key commands of quillon-driver, run by the user beside a driver:
//   --fingerprint FILE SECTION        prints the account's fingerprint (making
//                                     the identity first if it has none yet)
//   --trust FILE SECTION CONTACT      pins the key CONTACT offered and was
//                                     refused; a running driver takes it at its
//                                     next check
// Each returns the program's exit code: 0 done, 1 failed (a message on err).
class KeyTool {
public:
    static int printFingerprint(const std::string& configPath, const std::string& section,
                                FILE* out, FILE* err);
    static int trust(const std::string& configPath, const std::string& section,
                     const std::string& contact, FILE* out, FILE* err);
    // The command a log line tells the user to run, without the contact.
    static std::string trustCommand(const std::string& configPath, const std::string& section);
};
