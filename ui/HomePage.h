#pragma once

#include <functional>
#include <string>

// Opens the configured web page (the links of the status bar and the about
// box) with the desktop's default handler, xdg-open. The address is compiled
// in from the CMake cache variable QUILLON_HOME_PAGE; without one the links
// open the README of the installed documentation (or of the source tree,
// for a program run where it was built).
void openHomePage();
const char* homePageAddress();
// What openHomePage opens: the address or the README's path; empty only
// when neither a home page nor a readable README exists.
std::string linkTarget();
// Replaces xdg-open (tests record what would be opened); an empty function
// restores it.
void setLinkOpenerForTest(std::function<bool(const std::string& target)> opener);
