// Start-up and the command loop: the whole program but its entry point.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "main/commands.h"

void run_afclink(int argc, char** argv) noexcept {
  if (argc == 2 && std::strcmp(argv[1], "XMLPath") == 0) {
    getXMLPath(0);
    end_process(0);
  }
  // A write to a connection that the phone or the parent has closed must be
  // an error result, never the end of the process: the TLS layer inside the
  // device library writes to its sockets with plain write().
  std::signal(SIGPIPE, SIG_IGN);
  // A parent that quits or a logout must not leave a half-made copy behind.
  remove_unfinished_on_signals();
  DeviceLink* link = mdv_new(nullptr, connect_callback, nullptr);
  if (!link) end_process(1);
  for (;;) {
    Command* command = cmd_new(nullptr);
    if (command) {
      (void)do_command(link, command);
      cmd_free0(&command);
    }
    // The line reader cannot tell the end of input from an empty line, so
    // the stream's own flags decide: a final line without a newline has been
    // answered above, and nothing more will come.
    if (std::feof(stdin) || std::ferror(stdin)) end_process(0);
  }
}
