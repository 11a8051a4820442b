// File: command/Command.h
//
// One parsed input line. A Command owns its token list, a borrowed MemBuf of
// MemBufToken records; token 0 is the command word, tokens 1, 2, ... the
// arguments. The texts live in the list's own storage. A Command holds at
// least one token, except one made from a line of standard input that held
// a NUL byte: that line cannot be taken at its word (the C strings would
// end early and quietly drop words), so `holds_nul` is set, the tokens are
// those before the NUL (perhaps none), and the command must be answered as
// an error, never run.
//
// Example:
//   CommandPtr command(cmd_new(nullptr));          // reads a line of stdin
//   if (command) puts(cmd_word(command.get(), 0));
#pragma once

#include <cstdint>
#include <memory>

#include "membuf/MemBuf.h"

struct Command {
  MemBuf* tokens;  // borrowed token list, owned by the Command
  bool holds_nul;  // the input line held a NUL byte: answer, don't run
};

// Parses `text`, or, when null, the next line of standard input (split on
// blanks, with quotes and backslash escapes). Null for a line without words
// (and no NUL byte), for the end of input, and when memory runs out. Free
// with cmd_free0.
[[nodiscard]] Command* cmd_new(const char* text) noexcept;
// Sets *holder to null; gives the token list back and frees the record.
void cmd_free0(Command** holder) noexcept;

// The number of tokens, the command word included.
inline int32_t cmd_count(const Command* command) noexcept { return command->tokens->length; }
// Token `index`'s text (index < cmd_count).
inline const char* cmd_word(const Command* command, int32_t index) noexcept {
  return mb_tk_text(mb_tokens(command->tokens)[index]);
}

struct CommandFree {
  void operator()(Command* command) const noexcept { cmd_free0(&command); }
};
using CommandPtr = std::unique_ptr<Command, CommandFree>;
