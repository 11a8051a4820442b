// File: tests/support/afc/afc_script.h
//
// Runs one script against the production file-service layer over the
// stand-in device (afc_standins.h): the fuzz harness's input, read front
// to back (fuzz_input.h). The script first sets the device: how its client
// opens, the file's size and up to eight rules for its answers. Then it
// drives the caller: reads of any length, reads through to the end in
// pieces of one size, seeks, writes, closes and opens on two files.
// Opens in another mode than 1 or 3 and seeks from neither the start nor
// the end must be refused (7).
//
// What must hold, whatever the device says (else the run aborts with a
// message on stderr):
//   - a read never reports more bytes than asked, and never writes past
//     the caller's buffer (the buffer is exactly as long as asked);
//   - bytes handed out are the file's bytes at the caller's position, so
//     read-ahead never loses, repeats or reorders bytes;
//   - an empty read at position p means the device gave an empty reply at
//     p, and a failed read at p carries the status the device gave for a
//     request at p: a failure reaches the caller, unchanged;
//   - a write lands at the caller's position, not the device's read-ahead
//     position;
//   - what the device checks itself (afc_standins.h);
//   - no call reaches a handle the device has closed (a fetcher left
//     running), the client is freed once, nothing leaks.
#pragma once

#include <cstddef>
#include <cstdint>

void afc_script_run(const uint8_t* data, size_t size);
