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
// A line of standard input that memory runs out on (the record, the line or
// its words find no room) is consumed whole all the same, without needing
// memory, and cmd_read calls it unreadable: nothing of it may run, since
// what was kept of it is not what was sent.
//
// Example:
//   Command* command = nullptr;
//   switch (cmd_read(&command)) {                  // reads a line of stdin
//     case CommandRead::command: puts(cmd_word(command, 0)); cmd_free0(&command); break;
//     case CommandRead::unreadable: puts("Error: ..."); break;
//     case CommandRead::no_command: break;
//   }
#pragma once

#include <cstdint>
#include <memory>

#include "membuf/MemBuf.h"

struct Command {
  MemBuf* tokens;  // borrowed token list, owned by the Command
  bool holds_nul;  // the input line held a NUL byte: answer, don't run
};

// What reading a line of standard input gave.
enum class CommandRead {
  command,     // a Command, perhaps one holding a NUL byte
  no_command,  // a line without words (and no NUL byte), or the end of input
  unreadable,  // a line with bytes that memory ran out on: consumed, answer it as an error
};

// Reads the next line of standard input and parses it as cmd_new does.
// *out is set to null first, and to a new Command (free it with cmd_free0)
// only for CommandRead::command. A line holding any byte that cannot be
// read whole or split into words for want of memory is unreadable, even
// one of blanks only (what was dropped is not known); an empty line and the
// end of input never are.
[[nodiscard]] CommandRead cmd_read(Command** out) noexcept;
// Parses `text`, or, when null, the next line of standard input through
// cmd_read (split on blanks, with quotes and backslash escapes). Null for a
// line without words (and no NUL byte), for the end of input, and when
// memory runs out. Free with cmd_free0.
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
