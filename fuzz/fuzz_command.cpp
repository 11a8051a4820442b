// Fuzzes the command loop: each input line is parsed by cmd_new and run by
// do_command while not connected. "quit" (ends the process) and "connect"
// (starts the device thread) are skipped; everything else must answer one
// line without crashing, whatever bytes the line holds.
#include <cstdio>
#include <cstring>
#include <string>

#include "command/Command.h"
#include "main/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static DeviceLink* link = [] {
    (void)std::freopen("/dev/null", "w", stdout);
    return mdv_new(nullptr, connect_callback, nullptr);
  }();
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    std::string line = input.substr(start, end - start);
    start = end + 1;
    CommandPtr command(cmd_new(line.c_str()));
    if (!command) continue;
    const char* word = cmd_word(command.get(), 0);
    if (std::strcmp(word, "quit") == 0 || std::strcmp(word, "connect") == 0) continue;
    (void)do_command(link, command.get());
  }
  return 0;
}
