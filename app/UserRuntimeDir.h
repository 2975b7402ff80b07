#pragma once

#include <string>

// The user's private runtime directory: $XDG_RUNTIME_DIR when it names a
// directory of this user, otherwise /tmp/quillon-<uid>, created with mode
// 0700 and refused when it is not a real directory of this user that only
// the user may enter. Empty when neither can be had.
std::string userRuntimeDirectory();

// Makes dir (one level) with mode 0700 if it is missing and checks it as
// above; false when it is not a private directory of this user.
bool ensurePrivateDirectory(const std::string& dir);
