#include "command/Command.h"

#include "membuf/alloc.h"

#include <cstring>

namespace {
constexpr const char* kWordSeparators = " ";

// One freed record is kept for the next line, so that the command loop,
// like the buffer pools, allocates nothing once the first command has
// passed. Only the main thread makes and frees commands.
Command* spare_record = nullptr;

Command* new_record() noexcept {
  Command* command = spare_record;
  spare_record = nullptr;
  if (!command) return static_cast<Command*>(membuf_internal::mb_calloc(1, sizeof(Command)));
  std::memset(command, 0, sizeof *command);
  return command;
}

void free_record(Command* command) noexcept {
  if (spare_record)
    membuf_internal::mb_dealloc(command);
  else
    spare_record = command;
}
}  // namespace

Command* cmd_new(const char* text) noexcept {
  Command* command = new_record();
  if (!command) return nullptr;

  MemBufPtr line;
  if (!text) {
    line.reset(mbb_get_stdin_line());
    // A line whose NUL could not even be stored has no words to offer.
    if (!line || !line->storage) {
      cmd_free0(&command);
      return nullptr;
    }
    text = line->storage;
    // The stored line ends with its own NUL; any before it came from input.
    command->holds_nul =
        line->length > 1 && std::memchr(text, '\0', static_cast<size_t>(line->length) - 1);
  }
  command->tokens = mbb_tokenize(text, nullptr, kWordSeparators, nullptr, nullptr, nullptr, 0);
  line.reset();
  if (!command->tokens || (command->tokens->length < 1 && !command->holds_nul)) cmd_free0(&command);
  return command;
}

void cmd_free0(Command** holder) noexcept {
  Command* command = *holder;
  *holder = nullptr;
  if (!command) return;
  mb_free(command->tokens);
  free_record(command);
}
