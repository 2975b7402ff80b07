#pragma once

#include <string>

// "Ver.:" followed by the product version compiled into the program (CMake's
// project version); made once per process.
std::string getVersionText();

// The about box's line: "QuillonForFTP Ⅱ" and the version text, with every
// "," of the version replaced by "-" and every ";" by ".".
std::string formatAboutVersion(const std::string& versionText);
