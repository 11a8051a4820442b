// Start-up and the command loop: the whole program but its entry point.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "localfile/unfinished.h"
#include "main/console.h"
#include "main/dispatch.h"
#include "main/loop.h"
#include "main/retrieval.h"
#include "main/xmlpath.h"

#ifndef AFCLINK_VERSION
#define AFCLINK_VERSION "unknown"
#endif

namespace {

// The text of `afclink --help`.
const char* const kUsageText =
    "Usage: afclink [XMLPath | --help | --version]\n"
    "\n"
    "Reads one command per line on standard input and answers each with one\n"
    "line on standard output. Commands:\n"
    "  connect                 start connecting to the phone (poll status)\n"
    "  connect UDID            connect to that phone only, and wait for it\n"
    "  status                  connected, connecting or disconnected\n"
    "  statusDebug             why: usbmuxd, the phone, the last attempt, what to do\n"
    "  devices                 the phones attached (# UDID NAME), then their count\n"
    "  disconnect              stop wanting a connection\n"
    "  getLibrary DEST         fetch the music library of a phone of iOS 5 or later\n"
    "                          (one SQLite file) into DEST\n"
    "  getDB DEST              fetch the music database of a phone before iOS 5 into DEST\n"
    "  getFile SRC DEST        copy the phone's file SRC into DEST\n"
    "  pid                     the process id\n"
    "  XMLPath, XMLDebug       the iTunes library XML file's path\n"
    "  quit                    answer ok and exit\n"
    "\n"
    "Started as `afclink XMLPath` it prints the library path and exits.\n"
    "See man afclink for every reply and what a real phone does.\n";

}  // namespace

void run_afclink(int argc, char** argv) noexcept {
  if (argc == 2 && std::strcmp(argv[1], "XMLPath") == 0) {
    getXMLPath(0);
    end_process(0);
  }
  // Asked for by a person at a terminal, never by the parent, which passes
  // no arguments of these names: answered without reading input.
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    ui_printf("afclink %s\n", AFCLINK_VERSION);
    end_process(0);
  }
  if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
    ui_printf("%s", kUsageText);
    end_process(0);
  }
  // A write to a connection that the phone or the parent has closed must be
  // an error result, never the end of the process: the TLS layer inside the
  // device library writes to its sockets with plain write().
  std::signal(SIGPIPE, SIG_IGN);
  // A parent that quits or a logout must not leave a half-made copy behind.
  remove_unfinished_on_signals();
  DeviceLink* link = mdv_new(nullptr, nullptr, nullptr);
  if (!link) end_process(1);
  for (;;) {
    (void)do_next_line(link);
    // The line reader cannot tell the end of input from an empty line, so
    // the stream's own flags decide: a final line without a newline has been
    // answered above, and nothing more will come.
    if (std::feof(stdin) || std::ferror(stdin)) end_process(0);
  }
}
