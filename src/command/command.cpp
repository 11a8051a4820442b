#include "command/Command.h"

#include "membuf/alloc.h"

namespace {
constexpr const char* kWordSeparators = " ";
}

Command* cmd_new(const char* text) noexcept {
  auto* command = static_cast<Command*>(membuf_internal::mb_calloc(1, sizeof(Command)));
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
  }
  command->tokens = mbb_tokenize(text, nullptr, kWordSeparators, nullptr,
                                 nullptr, nullptr, 0);
  line.reset();
  if (!command->tokens || command->tokens->length < 1) cmd_free0(&command);
  return command;
}

void cmd_free0(Command** holder) noexcept {
  Command* command = *holder;
  *holder = nullptr;
  if (!command) return;
  mb_free(command->tokens);
  membuf_internal::mb_dealloc(command);
}
