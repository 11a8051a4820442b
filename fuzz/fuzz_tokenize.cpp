// libFuzzer target for the tokenizer. The first two bytes choose the flags,
// the character sets and the comment markers; the third may arm an
// allocation failure; the rest is the text. Every word must lie inside the
// list's storage, NUL-terminated, and keeping offsets then converting them
// must give the same list as converting at once.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "membuf/MemBuf.h"
#include "membuf/alloc.h"

namespace {

using Tokens = std::vector<std::pair<uint8_t, std::string>>;

bool IsWord(uint8_t kind) { return kind == 0 || kind == '"' || kind == '\''; }

void Check(bool condition) {
  if (!condition) std::abort();
}

Tokens ReadChecked(const MemBuf* list) {
  Check(list->element_size == 1);
  Check(list->capacity % list->block_size == 0);
  Check(list->length >= 0);
  Check(static_cast<size_t>(list->length) * sizeof(MemBufToken) <=
        static_cast<size_t>(list->capacity));
  Tokens tokens;
  const char* begin = list->storage;
  const char* end = begin + list->capacity;
  for (int32_t i = 0; i < list->length; ++i) {
    const MemBufToken& token = mb_tokens(list)[i];
    if (!IsWord(token.kind)) {
      tokens.emplace_back(token.kind, std::string());
      continue;
    }
    const char* text = mb_tk_text(token);
    Check(text >= begin + list->length * sizeof(MemBufToken) && text < end);
    Check(std::memchr(text, '\0', static_cast<size_t>(end - text)) != nullptr);
    Check(token.kind != 0 || text[0] != '\0');  // a plain word is never empty
    tokens.emplace_back(token.kind, text);
  }
  return tokens;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t options = data[0];
  const uint8_t markers = data[1];
  const uint8_t failure = data[2];
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);

  const int32_t flags = options & (MB_TK_KEEP_BACKSLASHES | MB_TK_KEEP_OFFSETS);
  static const char* const kSingles[] = {nullptr, "", "=;", "=;\"# "};
  static const char* const kSeparators[] = {nullptr, " ", " \t\n", "\n=\\"};
  static const char* const kLineMarkers[] = {nullptr, "", "#", "//"};
  static const char* const kStartMarkers[] = {nullptr, "", "/*", "#"};
  static const char* const kEndMarkers[] = {nullptr, "", "*/", "\n"};
  const char* singles = kSingles[(options >> 2) & 3];
  const char* separators = kSeparators[(options >> 4) & 3];
  const char* line = kLineMarkers[markers & 3];
  const char* start = kStartMarkers[(markers >> 2) & 3];
  const char* end = kEndMarkers[(markers >> 4) & 3];

  MemBufPtr list(mb_new(0, 0));
  if (!list) return 0;
  if (failure & 0x80) membuf_internal::mb_fail_allocations_after(failure & 0x7f);
  const int result =
      mb_tokenize(list.get(), text.c_str(), singles, separators, line, start, end, flags);
  membuf_internal::mb_fail_allocations_after(-1);
  if (result != 0) {
    Check(result == MB_ENOMEM && (failure & 0x80) != 0);
    Check(list->length >= 0 && list->capacity % list->block_size == 0);
    return 0;
  }
  if (flags & MB_TK_KEEP_OFFSETS) (void)mb_tk_convert_to_pointers(list.get());
  const Tokens tokens = ReadChecked(list.get());

  MemBufPtr direct(mbb_tokenize(text.c_str(), singles, separators, line, start, end,
                                flags & ~MB_TK_KEEP_OFFSETS));
  Check(direct != nullptr);
  Check(ReadChecked(direct.get()) == tokens);
  return 0;
}
