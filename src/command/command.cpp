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

// Splits `text` into the record's token list.
CommandRead split(Command* command, const char* text) noexcept {
  command->tokens = mbb_tokenize(text, nullptr, kWordSeparators, nullptr, nullptr, nullptr, 0);
  if (!command->tokens) return CommandRead::unreadable;
  if (command->tokens->length < 1 && !command->holds_nul) return CommandRead::no_command;
  return CommandRead::command;
}

// What a line that was read with `dropped` bytes lost and `kept` stored is.
CommandRead cut_line(size_t dropped, int32_t kept) noexcept {
  // Only the NUL of an empty line found no room: there was nothing to say.
  const bool was_empty = kept == 0 && dropped == 1;
  return was_empty ? CommandRead::no_command : CommandRead::unreadable;
}

}  // namespace

CommandRead cmd_read(Command** out) noexcept {
  *out = nullptr;
  CommandPtr command(new_record());
  size_t dropped = 0;
  MemBufPtr line(command ? mbb_get_stdin_line(&dropped) : nullptr);
  // Without a record or a buffer the line is still unread: it must go, or
  // the next call would meet it again and it would never be answered.
  if (!line) return mb_skip_stdin_line() ? CommandRead::unreadable : CommandRead::no_command;
  if (dropped > 0) return cut_line(dropped, line->length);
  if (line->length <= 1) return CommandRead::no_command;  // the NUL alone

  const char* text = line->storage;
  // The stored line ends with its own NUL; any before it came from input.
  command->holds_nul = std::memchr(text, '\0', static_cast<size_t>(line->length) - 1) != nullptr;
  const CommandRead result = split(command.get(), text);
  if (result == CommandRead::command) *out = command.release();
  return result;
}

Command* cmd_new(const char* text) noexcept {
  if (!text) {
    Command* command = nullptr;
    (void)cmd_read(&command);
    return command;
  }
  CommandPtr command(new_record());
  if (!command || split(command.get(), text) != CommandRead::command) return nullptr;
  return command.release();
}

void cmd_free0(Command** holder) noexcept {
  Command* command = *holder;
  *holder = nullptr;
  if (!command) return;
  mb_free(command->tokens);
  free_record(command);
}
