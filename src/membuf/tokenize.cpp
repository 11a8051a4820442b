// File: membuf/tokenize.cpp
//
// Splitting a text into a token list, and reading a line of standard input.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "membuf/MemBuf.h"

namespace {

constexpr int32_t kSlotsPerGrowth = 32;
constexpr int32_t kRecordBytes = static_cast<int32_t>(sizeof(MemBufToken));
constexpr int32_t kAreaGrowthBytes = kSlotsPerGrowth * kRecordBytes;

// Membership of a NUL-terminated character set, looked up in one step. Bits,
// not bytes: the set is built for every line, so it must be cheap to clear.
class CharSet {
 public:
  explicit CharSet(const char* members) noexcept {
    if (members == nullptr) return;
    for (; *members != '\0'; ++members) {
      const auto c = static_cast<unsigned char>(*members);
      words_[c >> 6] |= uint64_t{1} << (c & 63);
    }
  }
  bool has(unsigned char c) const noexcept { return (words_[c >> 6] >> (c & 63)) & 1; }

 private:
  std::array<uint64_t, 4> words_{};
};

size_t marker_length(const char* marker) noexcept {
  return marker == nullptr ? 0 : std::strlen(marker);
}

// One run of the tokenizer over one text. Word texts are recorded as
// offsets while the scan runs, because growing the buffer may move it.
class Tokenizer {
 public:
  Tokenizer(MemBuf* list, int32_t flags) noexcept
      : list_(list), keep_backslashes_((flags & MB_TK_KEEP_BACKSLASHES) != 0) {}

  // False when memory ran out.
  bool run(const char* text, const CharSet& single_chars,
           const CharSet& separators, const char* line_comment,
           const char* block_start, const char* block_end) noexcept {
    const size_t line_length = marker_length(line_comment);
    const size_t start_length = marker_length(block_start);
    const size_t end_length = marker_length(block_end);
    using membuf_internal::streq;

    size_t i = 0;
    while (text[i] != '\0') {
      if (!make_slot()) return false;
      const auto c = static_cast<unsigned char>(text[i]);
      if (in_line_comment_) {
        // The newline ends the comment and belongs to it.
        if (c == '\n') in_line_comment_ = false;
        ++i;
        continue;
      }
      if (in_block_comment_ && end_length > 0) {
        if (streq(text + i, block_end)) {
          in_block_comment_ = false;
          i += end_length;
        } else {
          ++i;
        }
        continue;
      }
      if (!in_quote_ && line_length > 0 && streq(text + i, line_comment)) {
        in_line_comment_ = true;
        i += line_length;
        continue;
      }
      if (!in_quote_ && start_length > 0 && streq(text + i, block_start)) {
        in_block_comment_ = true;
        i += start_length;
        continue;
      }
      ++i;
      if (!handle(c, single_chars, separators)) return false;
    }
    return finish();
  }

 private:
  // Rules for one byte outside comments, in order of precedence.
  bool handle(unsigned char c, const CharSet& single_chars,
              const CharSet& separators) noexcept {
    if (escape_) {
      escape_ = false;
      if (c == '\n') return true;  // a backslash newline pair vanishes
      if (!in_word_ && !in_quote_) start_word();
      if (keep_backslashes_ && !store('\\')) return false;
      return store(c);
    }
    if (c == '\\') {
      escape_ = true;
      return true;
    }
    if (c == '"' || c == '\'') {
      if (in_quote_) {
        if (c != quote_) return store(c);
        in_quote_ = false;
        return store('\0');
      }
      if (!close_word()) return false;
      quote_ = c;
      in_quote_ = true;
      start_token(c, static_cast<uintptr_t>(list_->length));
      return true;
    }
    if (in_quote_) return store(c);
    if (single_chars.has(c)) {
      if (!close_word()) return false;
      start_token(c, 0);
      return true;
    }
    if (separators.has(c)) return close_word();
    if (!in_word_) start_word();
    return store(c);
  }

  bool finish() noexcept {
    if (escape_ && keep_backslashes_) {
      if (!in_word_ && !in_quote_) {
        if (!make_slot()) return false;
        start_word();
      }
      if (!store('\\')) return false;
    }
    if ((in_word_ || in_quote_) && !store('\0')) return false;
    list_->length = count_;
    return true;
  }

  // Grows the token area by 32 records when every slot is taken; the texts
  // behind it move up, and so do the offsets that lead to them.
  bool make_slot() noexcept {
    if (count_ < slots_) return true;
    const int32_t area_end = slots_ * kRecordBytes;
    if (mb_insert(list_, nullptr, area_end, kAreaGrowthBytes) == nullptr) {
      return false;
    }
    MemBufToken* tokens = mb_tokens(list_);
    for (int32_t t = 0; t < count_; ++t) tokens[t].text += kAreaGrowthBytes;
    slots_ += kSlotsPerGrowth;
    return true;
  }

  void start_token(unsigned char kind, uintptr_t reference) noexcept {
    MemBufToken& token = mb_tokens(list_)[count_++];
    token.kind = kind;
    token.text = reference;
  }

  void start_word() noexcept {
    in_word_ = true;
    start_token(0, static_cast<uintptr_t>(list_->length));
  }

  bool close_word() noexcept {
    if (!in_word_) return true;
    in_word_ = false;
    return store('\0');
  }

  bool store(unsigned char c) noexcept {
    // The exact reservation up front leaves room for nearly every byte; only
    // a byte that needs growth (or meets a limit) takes the general path.
    if (list_->limit == 0 && list_->length < list_->capacity) {
      list_->storage[list_->length++] = static_cast<char>(c);
      return true;
    }
    return mb_add(list_, &c, 1) != nullptr;
  }

  MemBuf* list_;
  bool keep_backslashes_;
  int32_t count_ = 0;
  int32_t slots_ = kSlotsPerGrowth;
  bool in_word_ = false;
  bool in_quote_ = false;
  bool escape_ = false;
  bool in_line_comment_ = false;
  bool in_block_comment_ = false;
  unsigned char quote_ = 0;
};

// Room for one more byte exactly as mb_add would make it for a single byte:
// false when the limit is reached or memory ran out (the byte is dropped).
bool room_for_byte(MemBuf* buffer) noexcept {
  if (buffer->limit != 0 && buffer->length >= buffer->limit) return false;
  if (buffer->length < buffer->capacity) return true;
  return membuf_internal::make_room(buffer, buffer->length + 1, false) == 0;
}

bool is_off(const char* marker) noexcept { return marker == nullptr || *marker == '\0'; }

// The common case of a command line, in one pass: no one-character tokens,
// no comments, no quotes or backslashes in the text, fewer than 32 words,
// and everything within the room already reserved. The rules then reduce to
// "separators end words", and the result is the one the full scan gives.
// False (nothing promised about the buffer's bytes) when the text needs the
// full scan.
bool split_plain_words(MemBuf* buffer, const char* text, const CharSet& separators) noexcept {
  if (buffer->limit != 0) return false;
  char* const storage = buffer->storage;
  char* out = storage + buffer->length;
  const char* const room_end = storage + buffer->capacity;
  MemBufToken* tokens = mb_tokens(buffer);
  int32_t count = 0;
  bool in_word = false;
  for (const char* at = text; *at != '\0'; ++at) {
    const auto c = static_cast<unsigned char>(*at);
    if (c == '"' || c == '\'' || c == '\\') return false;
    if (separators.has(c)) {
      if (in_word) {
        if (out == room_end) return false;
        *out++ = '\0';
        in_word = false;
      }
      continue;
    }
    if (!in_word) {
      // A 32nd word would meet the token area's growth rule.
      if (count == kSlotsPerGrowth - 1) return false;
      tokens[count].kind = 0;
      tokens[count].text = static_cast<uintptr_t>(out - storage);
      ++count;
      in_word = true;
    }
    if (out == room_end) return false;
    *out++ = static_cast<char>(c);
  }
  if (in_word) {
    if (out == room_end) return false;
    *out = '\0';
  }
  buffer->length = count;
  return true;
}

}  // namespace

int mb_tokenize(MemBuf* buffer, const char* text, const char* single_chars,
                const char* separators, const char* line_comment,
                const char* block_comment_start,
                const char* block_comment_end, int32_t flags) noexcept {
  if (text == nullptr) text = "";
  // One exact reservation: the token area and at most every byte of the text.
  const int64_t needed = static_cast<int64_t>(kAreaGrowthBytes) + std::strlen(text);
  buffer->element_size = 1;
  buffer->length = 0;
  if (needed > std::numeric_limits<int32_t>::max() ||
      mb_make_room(buffer, static_cast<int32_t>(needed)) != 0) {
    return MB_ENOMEM;
  }
  buffer->length = kAreaGrowthBytes;

  const bool simple = (single_chars == nullptr || *single_chars == '\0') &&
                      is_off(line_comment) && is_off(block_comment_start);
  const CharSet separator_set(separators);
  if (simple && split_plain_words(buffer, text, separator_set)) {
    if ((flags & MB_TK_KEEP_OFFSETS) == 0) (void)mb_tk_convert_to_pointers(buffer);
    return 0;
  }
  buffer->length = kAreaGrowthBytes;

  Tokenizer tokenizer(buffer, flags);
  if (!tokenizer.run(text, CharSet(single_chars), separator_set,
                     line_comment, block_comment_start, block_comment_end)) {
    buffer->length = 0;  // not a usable list, but a sound buffer
    return MB_ENOMEM;
  }
  if ((flags & MB_TK_KEEP_OFFSETS) == 0) (void)mb_tk_convert_to_pointers(buffer);
  return 0;
}

MemBuf* mbb_tokenize(const char* text, const char* single_chars,
                     const char* separators, const char* line_comment,
                     const char* block_comment_start,
                     const char* block_comment_end, int32_t flags) noexcept {
  MemBuf* list = mb_borrow();
  if (list == nullptr) return nullptr;
  if (mb_tokenize(list, text, single_chars, separators, line_comment,
                  block_comment_start, block_comment_end, flags) < 0) {
    mb_free0(&list);
  }
  return list;
}

int mb_tk_convert_to_pointers(MemBuf* list) noexcept {
  const auto base = reinterpret_cast<uintptr_t>(list->storage);
  MemBufToken* tokens = mb_tokens(list);
  for (int32_t t = 0; t < list->length; ++t) {
    const uint8_t kind = tokens[t].kind;
    if (kind == 0 || kind == '"' || kind == '\'') tokens[t].text += base;
  }
  return 0;
}

void mb_get_stdin_line(MemBuf* buffer) noexcept {
  buffer->length = 0;
  buffer->element_size = 1;
  FILE* in = stdin;
  flockfile(in);
  // Bytes go straight into the free room in runs; the buffer grows only when
  // it is full, by the same steps as adding them one by one would take.
  bool line_ended = false;
  while (!line_ended) {
    if (!room_for_byte(buffer)) {
      // No room for this byte: it is read and dropped, as a failed add
      // would drop it, and the next byte tries again.
      const int c = getc_unlocked(in);
      line_ended = c == EOF || c == '\n';
      continue;
    }
    int32_t end = buffer->capacity;
    if (buffer->limit != 0 && buffer->limit < end) end = buffer->limit;
    char* write = buffer->storage + buffer->length;
    char* const stop = buffer->storage + end;
    while (write < stop) {
#ifdef __GLIBC__
      // What stdio already holds is copied in one piece up to the newline,
      // the way getc_unlocked itself takes bytes from that buffer.
      const size_t held = static_cast<size_t>(in->_IO_read_end - in->_IO_read_ptr);
      if (held > 0) {
        const size_t span = std::min(held, static_cast<size_t>(stop - write));
        const auto* newline =
            static_cast<const char*>(std::memchr(in->_IO_read_ptr, '\n', span));
        const size_t take = newline ? static_cast<size_t>(newline - in->_IO_read_ptr) : span;
        std::memcpy(write, in->_IO_read_ptr, take);
        write += take;
        in->_IO_read_ptr += take + (newline ? 1 : 0);
        if (newline) {
          line_ended = true;
          break;
        }
        continue;
      }
#endif
      const int c = getc_unlocked(in);  // refills stdio's buffer
      if (c == EOF || c == '\n') {
        line_ended = true;
        break;
      }
      *write++ = static_cast<char>(c);
    }
    buffer->length = static_cast<int32_t>(write - buffer->storage);
  }
  funlockfile(in);
  if (room_for_byte(buffer)) buffer->storage[buffer->length++] = '\0';
}

MemBuf* mbb_get_stdin_line() noexcept {
  MemBuf* line = mb_borrow();
  if (line != nullptr) mb_get_stdin_line(line);
  return line;
}
