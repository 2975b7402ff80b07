#pragma once

// The string table of the gateway (UTF-8).
namespace resources {

// The string with this number, or the empty text when there is none.
const char* loadString(int stringId);

}  // namespace resources
