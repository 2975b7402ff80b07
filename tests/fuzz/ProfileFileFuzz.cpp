// The profile-file reader on arbitrary bytes: parse, look keys up, set keys,
// and check that a set key reads back and the text round-trips.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/ProfileFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ProfileFile file(text);
    if (file.text() != text) {
        std::abort();  // parsing alone must keep every byte
    }
    for (const char* key : {"APPMODE", "ENABLEUSER", "SOUNDMODE"}) {
        if (auto value = file.lookup("SYSTEM", key)) {
            (void)profile::parseLeadingInt(*value);
        }
    }
    (void)file.lookup("CLIENT", "AUTOCONNECTUSER");
    file.set("CLIENT", "AUTOCONNECTUSER", "bob");
    file.set("SYSTEM", "APPMODE", "1");
    const ProfileFile again(file.text());
    if (again.lookup("client", "autoconnectuser").value_or("") != "bob" ||
        again.lookup("system", "appmode").value_or("") != "1") {
        std::abort();  // a written key must read back
    }
    return 0;
}
