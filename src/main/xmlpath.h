// File: main/xmlpath.h
//
// The XMLPath and XMLDebug commands, and the "XMLPath" argument form: the
// locator's answer as one reply line. Main thread only.
#pragma once

#include <cstdint>

// Prints the library XML path, or "Error: Could not get iTunes Library
// path"; with `debug`, the "# " trace lines first.
void getXMLPath(uint8_t debug) noexcept;
