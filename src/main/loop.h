// File: main/loop.h
//
// The whole program but its entry point: start-up and the command loop,
// reading one command per line on standard input until `quit` or the end
// of input. main.cpp only calls it.
#pragma once

// With the single argument "XMLPath", the library path and exit 0; with
// "--version" or "--help", that text and exit 0; otherwise the device link
// and the command loop, until `quit` or the end of input (exit 0). Exits 1,
// writing nothing, when the device link cannot be made. Never returns.
[[noreturn]] void run_afclink(int argc, char** argv) noexcept;
