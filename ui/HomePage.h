#pragma once

// Opens the configured web page (the links of the status bar and the about
// box) with the desktop's default handler, xdg-open. The address is compiled
// in from the CMake cache variable QUILLON_HOME_PAGE; without one the links
// open nothing.
void openHomePage();
const char* homePageAddress();
