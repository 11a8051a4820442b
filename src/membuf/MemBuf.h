// File: membuf/MemBuf.h
//
// MemBuf is the one container of afclink: a growable array of fixed-size
// elements in a single heap block. Every input line, every command's token
// list and the device link's error text live in one. Two process-wide pools
// recycle borrowed buffers, so the command loop stops allocating once the
// first command has passed.
//
// Invariants (stated once; every operation keeps them):
//   - `capacity` is a whole number of `block_size` blocks, 0 while `storage`
//     is null; `block_size` is never 0.
//   - `length` counts elements, not bytes, and length * element size never
//     exceeds `capacity` (element size 0 counts as 1). For every buffer but a
//     token list that product is the number of bytes in use.
//   - Bytes past the used ones are undefined unless mb_make_room0 zeroed them.
//     Text usually has a NUL right behind it; whether that NUL is counted in
//     `length` depends on the operation that wrote it. Setting `length` to 0
//     empties a buffer but leaves its old bytes in place: test `length`
//     before reading `storage` as a string.
//   - A pointer into `storage` is valid only until the next operation that
//     can grow the buffer.
//   - Room is never given back: no operation shrinks a buffer.
//   - A buffer is owned (mb_new, mbn_*), borrowed (mb_borrow, mbb_*; flag
//     bit 0 set) or pooled. A pooled buffer is never touched by its former
//     holder; mb_free0 clears the holder's pointer to make that easy.
//   - The pools have no lock: one thread at a time borrows and returns (in
//     afclink, the main thread).
//
// Memory runs out: room-making gives -10 and leaves the buffer as it was;
// operations that return a pointer give null.
//
// Example:
//   MemBufPtr line(mbb_get_stdin_line());
//   MemBufPtr words(mbb_tokenize(line->storage, nullptr, " ", nullptr,
//                                nullptr, nullptr, 0));
//   for (int32_t i = 0; words && i < words->length; ++i)
//     puts(mb_tk_text(mb_tokens(words.get())[i]));
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>

struct MemBuf;
using MemBufReleaseFn = void (*)(MemBuf*);

// Flag bit 0: borrowed from a pool; mb_free puts it back instead of freeing.
constexpr uint32_t MB_FLAG_BORROWED = 1;
// An error from room-making: memory ran out.
constexpr int MB_ENOMEM = -10;

struct MemBuf {
  MemBuf* pool_next;           // next buffer in the holding pool; null otherwise
  uint8_t tag;                 // non-zero: returns to the tagged pool
  int32_t capacity;            // bytes at storage, whole blocks
  int32_t block_size;          // allocation granule in bytes (128 by default)
  int32_t length;              // elements in use
  uint32_t spare1;             // cleared on borrow
  int32_t limit;               // greatest length add/insert may reach; 0: none
  int32_t element_size;        // bytes per element; 0 counts as 1
  char* storage;               // the block, or null
  uint32_t spare2;             // cleared on return
  MemBufReleaseFn on_release;  // run once on return or release, then cleared
  uint32_t flags;              // MB_FLAG_BORROWED
  uint32_t spare3;             // cleared on borrow
  void* owned_block;           // freed on return or release
};

// ---- Life cycle -----------------------------------------------------------

// A new owned buffer with room for `initial_size` bytes (0: no storage yet),
// in blocks of `block_size` bytes (0: 128). Null when memory runs out; nothing
// is then left allocated. The caller frees it with mb_free.
[[nodiscard]] MemBuf* mb_new(int32_t initial_size, int32_t block_size) noexcept;

// A buffer from the untagged pool, else the tagged pool, else a new one;
// emptied (length, limit, spares 0, element size 1) but keeping its storage.
// Null only when no buffer can be had. Give it back with mb_free.
[[nodiscard]] MemBuf* mb_borrow() noexcept;

// Returns a borrowed buffer to its pool, destroys any other; null is ignored.
void mb_free(MemBuf* buffer) noexcept;
// Sets *holder to null, then mb_free on the value it held.
void mb_free0(MemBuf** holder) noexcept;
// The same as mb_free.
void mb_return(MemBuf* buffer) noexcept;
// Runs on_release, frees owned_block and storage; the record stays usable.
void mb_free_data(MemBuf* buffer) noexcept;
// Does nothing; kept as a hook for consistency checks.
void mb_check(MemBuf* buffer) noexcept;

// ---- Room -----------------------------------------------------------------

// Makes capacity at least `bytes`, growing exactly to whole blocks.
// 0, or -10 with the buffer unchanged.
[[nodiscard]] int mb_make_room(MemBuf* buffer, int32_t bytes) noexcept;
// As mb_make_room, then zero-fills everything gained (old to new capacity).
[[nodiscard]] int mb_make_room0(MemBuf* buffer, int32_t bytes) noexcept;

// ---- Adding ---------------------------------------------------------------

// Appends `count` elements from `source` (zeroes when null), cut to `limit`.
// The address of the first added element, or null with the buffer unchanged
// (count <= 0, no room below the limit, memory exhausted).
void* mb_add(MemBuf* buffer, const void* source, int32_t count) noexcept;
// Appends one pointer value; only on buffers whose element size is a pointer's.
void* mb_addp(MemBuf* buffer, const void* value) noexcept;
// Inserts `count` elements at `position` (0..length); elements pushed past
// `limit` drop off the end. The address of the first inserted element, or
// null with the buffer unchanged.
void* mb_insert(MemBuf* buffer, const void* source, int32_t position, int32_t count) noexcept;
// Appends a string with its NUL counted, first uncounting a trailing NUL so
// that successive appends build one string. The stored copy, or null (not a
// character buffer, null string, memory exhausted).
char* mb_append_string(MemBuf* buffer, const char* text) noexcept;
// As mb_append_string, but the NUL stays uncounted behind the text.
char* mb_append_string_nt(MemBuf* buffer, const char* text) noexcept;

// ---- Tokenizing and line input --------------------------------------------

// One token of a split text. `kind` is 0 for a plain word, the quote
// character for a quoted word, the character itself for a one-character
// token. `text` is a byte offset into the list's storage while tokenizing,
// a pointer to the NUL-terminated word afterwards (never read for
// one-character tokens).
struct MemBufToken {
  uint8_t kind;
  uintptr_t text;
};

// Tokenizer flags.
constexpr int32_t MB_TK_KEEP_BACKSLASHES = 1;  // store escaping backslashes
constexpr int32_t MB_TK_KEEP_OFFSETS = 2;      // leave text references as offsets

// The token records at the front of a token list.
inline MemBufToken* mb_tokens(const MemBuf* list) noexcept {
  return reinterpret_cast<MemBufToken*>(list->storage);
}
// A converted token's text.
inline char* mb_tk_text(const MemBufToken& token) noexcept {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): text is an address or an offset by design
  return reinterpret_cast<char*>(token.text);
}

// Splits `text` into `buffer` (whatever it held is given up). Character sets
// and markers may be null; a null or empty marker is off. 0, or -10 when
// memory runs out (the list is then not usable). Reports no syntax errors.
[[nodiscard]] int mb_tokenize(MemBuf* buffer, const char* text, const char* single_chars,
                              const char* separators, const char* line_comment,
                              const char* block_comment_start, const char* block_comment_end,
                              int32_t flags) noexcept;
// As mb_tokenize into a borrowed buffer; null when memory runs out.
[[nodiscard]] MemBuf* mbb_tokenize(const char* text, const char* single_chars,
                                   const char* separators, const char* line_comment,
                                   const char* block_comment_start, const char* block_comment_end,
                                   int32_t flags) noexcept;
// Turns the offsets of word tokens into pointers. Run once, after the last
// change to the list. Always 0.
int mb_tk_convert_to_pointers(MemBuf* list) noexcept;

// Reads one line of standard input (without its newline) into `buffer`,
// NUL counted in `length`. End of input is not reported: it looks like an
// empty line (length 1). The stream is locked for the whole line, and the
// whole line is consumed even when bytes find no room (the limit reached,
// memory exhausted): from the first such byte on, nothing more is stored.
// The number of bytes dropped, the NUL included; 0 when the buffer holds the
// line whole. A line with bytes dropped is not the line that was sent: never
// act on it. (Only the NUL dropped, length 0: the line was empty.)
[[nodiscard]] size_t mb_get_stdin_line(MemBuf* buffer) noexcept;
// As mb_get_stdin_line into a borrowed buffer, the bytes dropped in
// *dropped when it is not null; null when no buffer can be had, and the line
// is then left unread.
[[nodiscard]] MemBuf* mbb_get_stdin_line(size_t* dropped = nullptr) noexcept;
// Consumes the rest of the current line of standard input, its newline
// included, storing nothing and allocating nothing: for a reader that has no
// room for the line. True when the line held any byte; false for an empty
// line and at the end of input.
[[nodiscard]] bool mb_skip_stdin_line() noexcept;

// ---- Formatted append -----------------------------------------------------
// All work on character buffers only (element size 0 or 1) and return the
// start of the formatted text in storage (behind any separator), or null with
// no text added. After success a NUL sits uncounted behind the text.

char* mb_vprintf(MemBuf* buffer, const char* format, va_list args) noexcept
    __attribute__((format(printf, 2, 0)));
char* mb_vprintf_sep(MemBuf* buffer, const char* separator, const char* format,
                     va_list args) noexcept __attribute__((format(printf, 3, 0)));
// Separator of one blank whenever the buffer is not empty.
char* mb_vprintf_space(MemBuf* buffer, const char* format, va_list args) noexcept
    __attribute__((format(printf, 2, 0)));
char* mb_printf(MemBuf* buffer, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
// Empties the buffer first, so the text replaces the content.
char* mb_printf0(MemBuf* buffer, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
char* mb_printf_sep(MemBuf* buffer, const char* separator, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));
// Separator of one blank unless the buffer is empty or ends in white space
// (newline, carriage return, blank, tab).
char* mb_printf_space(MemBuf* buffer, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));
// Formats into a borrowed buffer (give it back with mb_free); null on failure.
[[nodiscard]] MemBuf* mbb_printf(const char* format, ...) noexcept
    __attribute__((format(printf, 1, 2)));
// Formats into a new owned buffer (free it with mb_free); null on failure.
[[nodiscard]] MemBuf* mbn_printf(const char* format, ...) noexcept
    __attribute__((format(printf, 1, 2)));
// Inserts the formatted text (without a NUL) at `position` through mb_insert.
char* mb_insert_vprintf(MemBuf* buffer, int32_t position, const char* format, va_list args) noexcept
    __attribute__((format(printf, 3, 0)));
char* mb_insert_printf(MemBuf* buffer, int32_t position, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// ---- String tables --------------------------------------------------------
// Turn a character buffer of NUL-terminated strings into a table of entries
// (pointers, or byte offsets from the start of storage) in front of the
// strings; element size becomes the pointer size and length the string
// count. 0, -1 when the buffer does not hold characters, or -10 (buffer
// unchanged) when memory runs out.

[[nodiscard]] int mb_add_string_table(MemBuf* buffer, int pointers) noexcept;
[[nodiscard]] int mb_add_string_offsets(MemBuf* buffer) noexcept;
[[nodiscard]] int mb_add_string_pointers(MemBuf* buffer) noexcept;
[[nodiscard]] int mb_index_strings(MemBuf* buffer) noexcept;

// ---- Owners ---------------------------------------------------------------

struct MemBufFree {
  void operator()(MemBuf* buffer) const noexcept { mb_free(buffer); }
};
// Owns a buffer, owned or borrowed alike: the deleter is mb_free.
using MemBufPtr = std::unique_ptr<MemBuf, MemBufFree>;

// ---- Internals (tests reach them) -----------------------------------------

namespace membuf_internal {
extern MemBuf* _mb_pool;         // untagged pool, last returned first
extern MemBuf* _mb_tagged_pool;  // tagged pool
void _mb_return(MemBuf* buffer) noexcept;
void _mb_destroy(MemBuf** holder) noexcept;
[[nodiscard]] int make_room(MemBuf* buffer, int32_t bytes, bool exact) noexcept;
[[nodiscard]] int _extend(MemBuf* buffer, int32_t bytes, bool exact) noexcept;
// 1 if `text` begins with `prefix`, else 0.
int streq(const char* text, const char* prefix) noexcept;
char* _mb_vprintf(MemBuf* buffer, const char* separator, const char* format, va_list args) noexcept
    __attribute__((format(printf, 3, 0)));
}  // namespace membuf_internal
