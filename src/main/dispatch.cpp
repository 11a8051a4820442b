// The command table and do_command: which typed word runs which handler.
// The handlers live with their jobs (connection.cpp, retrieval.cpp,
// xmlpath.cpp); the few one-line ones that belong to no job are here.
#include <unistd.h>

#include <iterator>
#include <string_view>

#include "main/connection.h"
#include "main/console.h"
#include "main/dispatch.h"
#include "main/retrieval.h"
#include "main/xmlpath.h"

namespace {

int pid(DeviceLink*, Command*) noexcept {
  ui_eprintf("%i\n", static_cast<int>(getpid()));
  return 0;
}

int quit(DeviceLink* link, Command* command) noexcept {
  (void)disconnect(link, command);
  end_process(0);
}

int xml_path(DeviceLink*, Command*) noexcept {
  getXMLPath(0);
  return 0;
}

int xml_debug(DeviceLink*, Command*) noexcept {
  getXMLPath(1);
  return 0;
}

using Handler = int (*)(DeviceLink*, Command*) noexcept;

struct CommandEntry {
  std::string_view word;
  bool needs_connection;
  Handler handler;
};

// Searched in this order; the first equal word runs.
constexpr CommandEntry kCommands[] = {
    {"getDB", true, getDB},
    {"getLibrary", true, getLibrary},
    {"getFile", true, getFile},
    {"disconnect", false, disconnect},
    {"connect", false, connect},
    {"pid", false, pid},
    {"status", false, status},
    {"quit", false, quit},
    {"XMLPath", false, xml_path},
    {"XMLDebug", false, xml_debug},
    {"statusDebug", false, status_debug},
    {"devices", false, devices},
};

}  // namespace

int do_command(DeviceLink* link, Command* command) noexcept {
  retire_lost_link(link);
  link->err_text->length = 0;
  if (command->holds_nul) {
    ui_eprintf("Error: Command line holds a NUL byte\n");
    return -1;
  }
  const char* word = cmd_word(command, 0);
  const std::string_view typed(word);
  for (const CommandEntry& entry : kCommands) {
    if (entry.word != typed) continue;
    if (entry.needs_connection && !mdv_is_connected(link)) {
      ui_eprintf("Error: Not connected\n");
      return -1;
    }
    const int result = entry.handler(link, command);
    retire_lost_link(link);
    return result;
  }
  ui_eprintf("Error: Unknown command \"%s\"\n", word);
  return -1;
}

int do_next_line(DeviceLink* link) noexcept {
  Command* read = nullptr;
  switch (cmd_read(&read)) {
    case CommandRead::command: {
      CommandPtr command(read);
      return do_command(link, command.get());
    }
    case CommandRead::unreadable: ui_eprintf("%s\n", kUnreadableLineReply); return -1;
    case CommandRead::no_command: break;
  }
  return 0;
}

const char* command_word(size_t index) noexcept {
  return index < std::size(kCommands) ? kCommands[index].word.data() : nullptr;
}
