// File: membuf/tokenize.cpp
//
// Splitting a text into a token list, and reading a line of standard input.
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

// Appends one byte by mb_add's rule (the byte is dropped when the limit is
// reached or memory ran out: false). The room already reserved takes nearly
// every byte, so that case skips the general path.
bool append_byte(MemBuf* buffer, unsigned char c) noexcept {
  if (buffer->limit == 0 && buffer->length < buffer->capacity) {
    buffer->storage[buffer->length++] = static_cast<char>(c);
    return true;
  }
  return mb_add(buffer, &c, 1) != nullptr;
}

// One run of the tokenizer over one text. Word texts are recorded as
// offsets while the scan runs, because growing the buffer may move it.
class Tokenizer {
 public:
  Tokenizer(MemBuf* list, int32_t flags) noexcept
      : list_(list), keep_backslashes_((flags & MB_TK_KEEP_BACKSLASHES) != 0) {}

  // False when memory ran out.
  bool run(const char* text, const CharSet& single_chars, const CharSet& separators,
           const char* line_comment, const char* block_start, const char* block_end) noexcept {
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
  bool handle(unsigned char c, const CharSet& single_chars, const CharSet& separators) noexcept {
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

  bool store(unsigned char c) noexcept { return append_byte(list_, c); }

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

}  // namespace

int mb_tokenize(MemBuf* buffer, const char* text, const char* single_chars, const char* separators,
                const char* line_comment, const char* block_comment_start,
                const char* block_comment_end, int32_t flags) noexcept {
  if (text == nullptr) text = "";
  // One exact reservation: the token area and at most every byte of the text.
  const size_t needed = static_cast<size_t>(kAreaGrowthBytes) + std::strlen(text);
  buffer->element_size = 1;
  buffer->length = 0;
  if (needed > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ||
      mb_make_room(buffer, static_cast<int32_t>(needed)) != 0) {
    return MB_ENOMEM;
  }
  buffer->length = kAreaGrowthBytes;

  Tokenizer tokenizer(buffer, flags);
  if (!tokenizer.run(text, CharSet(single_chars), CharSet(separators), line_comment,
                     block_comment_start, block_comment_end)) {
    buffer->length = 0;  // not a usable list, but a sound buffer
    return MB_ENOMEM;
  }
  if ((flags & MB_TK_KEEP_OFFSETS) == 0) (void)mb_tk_convert_to_pointers(buffer);
  return 0;
}

MemBuf* mbb_tokenize(const char* text, const char* single_chars, const char* separators,
                     const char* line_comment, const char* block_comment_start,
                     const char* block_comment_end, int32_t flags) noexcept {
  MemBuf* list = mb_borrow();
  if (list == nullptr) return nullptr;
  if (mb_tokenize(list, text, single_chars, separators, line_comment, block_comment_start,
                  block_comment_end, flags) < 0) {
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

size_t mb_get_stdin_line(MemBuf* buffer) noexcept {
  buffer->length = 0;
  buffer->element_size = 1;
  FILE* in = stdin;
  size_t dropped = 0;
  // Locked once for the line, so each byte is an inline read of stdio's
  // buffer. After the first byte that finds no room the rest is only
  // counted: storing later bytes would put a hole in the middle of the line.
  flockfile(in);
  for (int c = getc_unlocked(in); c != EOF && c != '\n'; c = getc_unlocked(in)) {
    if (dropped > 0 || !append_byte(buffer, static_cast<unsigned char>(c))) ++dropped;
  }
  funlockfile(in);
  if (!append_byte(buffer, '\0')) ++dropped;
  return dropped;
}

MemBuf* mbb_get_stdin_line(size_t* dropped) noexcept {
  MemBuf* line = mb_borrow();
  const size_t lost = line != nullptr ? mb_get_stdin_line(line) : 0;
  if (dropped != nullptr) *dropped = lost;
  return line;
}

bool mb_skip_stdin_line() noexcept {
  FILE* in = stdin;
  bool held_bytes = false;
  flockfile(in);
  for (int c = getc_unlocked(in); c != EOF && c != '\n'; c = getc_unlocked(in)) held_bytes = true;
  funlockfile(in);
  return held_bytes;
}
