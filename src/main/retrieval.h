// File: main/retrieval.h
//
// The copy commands (getFile, getDB, getLibrary) and the copies behind the
// first two; the library's copy is src/library's. Main thread only, like
// every copy; each command answers with one reply line through
// main/console.h. Where the bytes go locally is src/localfile's.
#pragma once

#include <cstdint>

#include "command/Command.h"
#include "device/device.h"
#include "main/console.h"

// ---- Retrieval ------------------------------------------------------------

// Copies a device file byte for byte: 0, or -1 with the reason in err_text.
int get_file(DeviceLink* link, const char* device_path, const char* local_path) noexcept;
// Copies a header unchanged, then inflates the zlib stream behind it: 0;
// -1, or the zlib code (-2, -3, -4), with the reason in err_text (none for
// a header length over 8192).
int get_compressed_file(DeviceLink* link, const char* device_path, const char* local_path,
                        int32_t header_length) noexcept;
// The getFile, getDB and getLibrary commands: write their one reply line.
int getFile(DeviceLink* link, Command* command) noexcept;
int getDB(DeviceLink* link, Command* command) noexcept;
int getLibrary(DeviceLink* link, Command* command) noexcept;

// Writes the reply line of a failed copy: "Error: " and the link's error
// text ("unknown" when nothing was said).
void reply_error(DeviceLink* link) noexcept;
