// Tokenizer and line input.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "membuf/MemBuf.h"
#include "membuf_sanity.h"
#include "stdin_from.h"

namespace {

using Token = std::pair<int, std::string>;  // kind, text ("" for one-character)
using Tokens = std::vector<Token>;
constexpr uintptr_t kArea = 32 * sizeof(MemBufToken);

bool IsWord(uint8_t kind) { return kind == 0 || kind == '"' || kind == '\''; }

Tokens Read(const MemBuf* list) {
  Tokens tokens;
  for (int32_t i = 0; i < list->length; ++i) {
    const MemBufToken& token = mb_tokens(list)[i];
    tokens.emplace_back(token.kind, IsWord(token.kind) ? mb_tk_text(token) : "");
  }
  return tokens;
}

// The command reader's settings: one blank separates, nothing else is on.
Tokens Command(const char* text, int32_t flags = 0) {
  MemBufPtr list(mbb_tokenize(text, nullptr, " ", nullptr, nullptr, nullptr, flags));
  if (!list) return {{-1, "no list"}};
  ExpectSaneMemBuf(list.get());
  return Read(list.get());
}

Tokens Config(const char* text) {
  MemBufPtr list(mbb_tokenize(text, "=;", " \t\n", "#", "/*", "*/", 0));
  return list ? Read(list.get()) : Tokens{{-1, "no list"}};
}

std::string Words(int count, const char* tail = "") {
  std::string text;
  for (int i = 0; i < count; ++i) text += (i ? " w" : "w") + std::to_string(i);
  return text + tail;
}

}  // namespace

TEST(Tokenize, CommandLineExamples) {
  const std::vector<std::pair<const char*, Tokens>> rows = {
      {"getDB /tmp/db", {{0, "getDB"}, {0, "/tmp/db"}}},
      {"  status  ", {{0, "status"}}},
      {"", {}},
      {"   ", {}},
      {"getFile \"/a b/d\" /tmp/x", {{0, "getFile"}, {'"', "/a b/d"}, {0, "/tmp/x"}}},
      {"getFile /a\\ b/d /tmp/x", {{0, "getFile"}, {0, "/a b/d"}, {0, "/tmp/x"}}},
      {"getFile '/it\"s' x", {{0, "getFile"}, {'\'', "/it\"s"}, {0, "x"}}},
      {"a\"b\"d", {{0, "a"}, {'"', "b"}, {0, "d"}}},
      {"\"\"", {{'"', ""}}},
      {"say \"open end", {{0, "say"}, {'"', "open end"}}},
      {"x \\\"y", {{0, "x"}, {0, "\"y"}}},
      {"a\\\\b", {{0, "a\\b"}}},
      {"getDB\t/tmp/db", {{0, "getDB\t/tmp/db"}}},
      {"status\r", {{0, "status\r"}}},
      {"\"a\\\"b\"", {{'"', "a\"b"}}},
  };
  for (const auto& [text, tokens] : rows) EXPECT_EQ(Command(text), tokens) << "«" << text << "»";
  EXPECT_EQ(Command("\"a\\\"b\"", MB_TK_KEEP_BACKSLASHES), (Tokens{{'"', "a\\\"b"}}));
}

TEST(Tokenize, OneCharacterTokensAndCommentExamples) {
  EXPECT_EQ(Config("key = value # note\nnext"),
            (Tokens{{0, "key"}, {'=', ""}, {0, "value"}, {0, "next"}}));
  EXPECT_EQ(Config("a=b;d"), (Tokens{{0, "a"}, {'=', ""}, {0, "b"}, {';', ""}, {0, "d"}}));
  EXPECT_EQ(Config("a/*x*/b"), (Tokens{{0, "ab"}}));
  EXPECT_EQ(Config("a#x\nb"), (Tokens{{0, "ab"}}));
  // Inside quotes, markers, separators and one-character tokens are text.
  EXPECT_EQ(Config("\"a #b=c /*\" d"), (Tokens{{'"', "a #b=c /*"}, {0, "d"}}));
}

TEST(Tokenize, CommentsTakePrecedenceOverAPendingEscape) {
  auto split = [](const char* text, const char* end, int32_t flags) {
    MemBufPtr list(mbb_tokenize(text, nullptr, " ", "#", "/*", end, flags));
    return Read(list.get());
  };
  EXPECT_EQ(split("a\\#x\nb", "*/", 0), (Tokens{{0, "ab"}}));
  EXPECT_EQ(split("a\\#x\nb", "*/", MB_TK_KEEP_BACKSLASHES), (Tokens{{0, "a\\b"}}));
  // Without an end marker, a start marker is only dropped.
  EXPECT_EQ(split("a/*b c", nullptr, 0), (Tokens{{0, "ab"}, {0, "c"}}));
  EXPECT_EQ(split("a/*b c", "", 0), (Tokens{{0, "ab"}, {0, "c"}}));
}

TEST(Tokenize, ByteInBothSetsIsAOneCharacterToken) {
  MemBufPtr list(mbb_tokenize("a=b", "=", " =", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(Read(list.get()), (Tokens{{0, "a"}, {'=', ""}, {0, "b"}}));
  EXPECT_EQ(mb_tokens(list.get())[1].text, 0u) << "a one-character token is never converted";
}

TEST(Tokenize, BackslashRules) {
  EXPECT_EQ(Command("a\\ b", MB_TK_KEEP_BACKSLASHES), (Tokens{{0, "a\\ b"}}));
  for (const int32_t flags : {0, MB_TK_KEEP_BACKSLASHES}) {
    EXPECT_EQ(Command("a\\\nb", flags), (Tokens{{0, "ab"}}));
  }
  EXPECT_EQ(Command("ab\\"), (Tokens{{0, "ab"}}));
  EXPECT_EQ(Command("ab\\", MB_TK_KEEP_BACKSLASHES), (Tokens{{0, "ab\\"}}));
  EXPECT_EQ(Command("ab \\"), (Tokens{{0, "ab"}}));
  EXPECT_EQ(Command("ab \\", MB_TK_KEEP_BACKSLASHES), (Tokens{{0, "ab"}, {0, "\\"}}));
  EXPECT_EQ(Command("\"ab\\", MB_TK_KEEP_BACKSLASHES), (Tokens{{'"', "ab\\"}}));
}

TEST(Tokenize, PlainCommandLinesSplitExactlyAsTheFullScanDoes) {
  // A line-comment marker that never occurs keeps every rule of the full
  // scan in play without changing its result, so the two must agree on
  // tokens, length and capacity for every text, whichever path splits it.
  const char* pieces[] = {"status", " ",  "  ", "getDB", "/tmp/x", "\"a b\"", "'q'",
                          "a\\ b",  "\t", "\r", "x",     "",       "\\",      "\"open"};
  unsigned seed = 12345;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int count = static_cast<int>((seed = seed * 1103515245 + 12345) >> 16) % 40;
    for (int i = 0; i < count; ++i)
      text += pieces[((seed = seed * 1103515245 + 12345) >> 16) % (sizeof pieces / sizeof *pieces)];
    MemBufPtr plain(mb_new(0, 0)), full(mb_new(0, 0));
    ASSERT_EQ(mb_tokenize(plain.get(), text.c_str(), nullptr, " ", nullptr, nullptr, nullptr, 0),
              0);
    ASSERT_EQ(mb_tokenize(full.get(), text.c_str(), nullptr, " ", "\x01", nullptr, nullptr, 0), 0);
    ExpectSaneMemBuf(plain.get());
    EXPECT_EQ(Read(plain.get()), Read(full.get())) << text;
    EXPECT_EQ(plain->capacity, full->capacity) << text;
  }
}

TEST(TokenizeStorage, TextsFollowTheTokenAreaAsOffsetsOrPointers) {
  MemBufPtr list(
      mbb_tokenize("getDB /tmp/db", nullptr, " ", nullptr, nullptr, nullptr, MB_TK_KEEP_OFFSETS));
  ASSERT_EQ(list->length, 2);
  EXPECT_EQ(mb_tokens(list.get())[0].text, kArea);
  EXPECT_EQ(mb_tokens(list.get())[1].text, kArea + 6);
  EXPECT_EQ(std::string(list->storage + kArea, 14), std::string("getDB\0/tmp/db\0", 14));
  EXPECT_EQ(list->element_size, 1);

  MemBufPtr converted(mbb_tokenize("getDB /tmp/db", nullptr, " ", nullptr, nullptr, nullptr, 0));
  const auto base = reinterpret_cast<uintptr_t>(converted->storage);
  EXPECT_EQ(mb_tokens(converted.get())[0].text, base + kArea);
  EXPECT_EQ(mb_tokens(converted.get())[1].text, base + kArea + 6);
}

TEST(TokenizeStorage, ConvertingKeptOffsetsGivesTheSameList) {
  const char* text = "x=\"q u\" 'r' #c\n y;z/*k*/w \\\"";
  MemBufPtr direct(mbb_tokenize(text, "=;", " \n", "#", "/*", "*/", 0));
  MemBufPtr offsets(mbb_tokenize(text, "=;", " \n", "#", "/*", "*/", MB_TK_KEEP_OFFSETS));
  ASSERT_EQ(mb_tk_convert_to_pointers(offsets.get()), 0);
  EXPECT_EQ(Read(offsets.get()), Read(direct.get()));
  EXPECT_EQ(Read(direct.get()).size(), 8u);
}

TEST(TokenizeGrowth, ThirtyThreeWordsGrowTheAreaOnceAndKeepEveryText) {
  const std::string text = Words(33);
  for (const int32_t flags : {0, MB_TK_KEEP_OFFSETS}) {
    MemBufPtr list(mbb_tokenize(text.c_str(), nullptr, " ", nullptr, nullptr, nullptr, flags));
    ASSERT_EQ(list->length, 33);
    ExpectSaneMemBuf(list.get());
    const uintptr_t base = flags ? 0 : reinterpret_cast<uintptr_t>(list->storage);
    EXPECT_EQ(mb_tokens(list.get())[0].text, base + 2 * kArea);
    if (flags) {
      ASSERT_EQ(mb_tk_convert_to_pointers(list.get()), 0);
    }
    for (int i = 0; i < 33; ++i) {
      EXPECT_STREQ(mb_tk_text(mb_tokens(list.get())[i]), ("w" + std::to_string(i)).c_str());
    }
  }
}

TEST(TokenizeGrowth, AreaGrowsAtTheFirstByteAfterThe32ndTokenBegan) {
  auto first_offset = [](const std::string& text) {
    MemBufPtr list(
        mbb_tokenize(text.c_str(), nullptr, " ", nullptr, nullptr, nullptr, MB_TK_KEEP_OFFSETS));
    EXPECT_EQ(list->length, 32);
    return mb_tokens(list.get())[0].text;
  };
  std::string letters;
  for (int i = 0; i < 32; ++i) letters += i ? " a" : "a";
  EXPECT_EQ(first_offset(letters), kArea);
  EXPECT_EQ(first_offset(letters + " "), 2 * kArea);
  EXPECT_EQ(first_offset(letters + "b"), 2 * kArea);
}

TEST(TokenizeGrowth, RecycledBufferGivesUpWhatItHeld) {
  MemBufPtr list(mb_new(2000, 0));
  list->element_size = 8;
  list->length = 100;
  ASSERT_EQ(mb_tokenize(list.get(), "a b", nullptr, " ", nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(list->element_size, 1);
  EXPECT_EQ(Read(list.get()), (Tokens{{0, "a"}, {0, "b"}}));
}

TEST(TokenizeOutOfMemory, ReservingGrowingAndStoringFailWithMinusTen) {
  const std::string long_word(128, 'a');  // its NUL is the first byte past the reservation
  const std::vector<std::pair<std::string, long>> cases = {
      {"a", 0}, {Words(33), 1}, {long_word, 1}};
  for (const auto& [text, successes] : cases) {
    SCOPED_TRACE(text);
    MemBufPtr list(mb_new(0, 0));
    FailAllocationsAfter fail(successes);
    EXPECT_EQ(mb_tokenize(list.get(), text.c_str(), nullptr, " ", nullptr, nullptr, nullptr, 0),
              MB_ENOMEM);
    ExpectSaneMemBuf(list.get());
  }
}

using TokenizePool = IsolatedPools;

TEST_F(TokenizePool, FailedListGoesBackToThePool) {
  mb_free(mb_borrow());  // a pooled buffer without storage
  MemBuf* pooled = membuf_internal::_mb_pool;
  FailAllocationsAfter fail(0);
  EXPECT_EQ(mbb_tokenize("a b", nullptr, " ", nullptr, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(membuf_internal::_mb_pool, pooled);
}

namespace {
std::string Line(const MemBuf* line) {
  return std::string(line->storage, static_cast<size_t>(line->length));
}
}  // namespace

TEST(StdinLine, ReadsLinesWithoutTheNewlineAndCountsTheNul) {
  StdinFrom input(std::string("getDB /tmp/db\nstatus\r\n\na\0b\nlast", 31));
  MemBufPtr line(mbb_get_stdin_line());
  ASSERT_TRUE(line);
  EXPECT_EQ(line->flags & MB_FLAG_BORROWED, MB_FLAG_BORROWED);
  const std::vector<std::string> expected = {std::string("getDB /tmp/db\0", 14),
                                             std::string("status\r\0", 8),
                                             std::string("\0", 1),
                                             std::string("a\0b\0", 4),
                                             std::string("last\0", 5),
                                             std::string("\0", 1),
                                             std::string("\0", 1)};
  EXPECT_EQ(Line(line.get()), expected[0]);
  for (size_t i = 1; i < expected.size(); ++i) {
    EXPECT_EQ(mb_get_stdin_line(line.get()), 0u) << "line " << i;
    EXPECT_EQ(Line(line.get()), expected[i]) << "line " << i;
    ExpectSaneMemBuf(line.get());
  }
}

// Reading grows the buffer exactly as adding the bytes one by one would.
TEST(StdinLine, LongLinesGrowLikeAddingByteByByte) {
  for (const int32_t size : {0, 127, 128, 300, 1100, 5000, 40000}) {
    for (const int32_t block : {0, 100}) {
      SCOPED_TRACE(testing::Message() << size << " bytes, block " << block);
      std::string text(static_cast<size_t>(size), 'x');
      for (int32_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
      MemBufPtr reference(mb_new(block ? 250 : 0, block));
      for (const char c : text) ASSERT_NE(mb_add(reference.get(), &c, 1), nullptr);
      ASSERT_NE(mb_add(reference.get(), "", 1), nullptr);

      MemBufPtr line(mb_new(block ? 250 : 0, block));
      line->element_size = 4;
      StdinFrom input(text + "\nnext\n");
      EXPECT_EQ(mb_get_stdin_line(line.get()), 0u);
      EXPECT_EQ(line->element_size, 1);
      EXPECT_EQ(line->capacity, reference->capacity);
      EXPECT_EQ(Line(line.get()), Line(reference.get()));
      ExpectSaneMemBuf(line.get());
    }
  }
}

TEST(StdinLine, BytesThatFindNoRoomAreDroppedCountedAndTheLineIsConsumed) {
  StdinFrom input("abcdefgh\nnext\n\nskipped\n");
  MemBufPtr limited(mb_new(0, 0));
  limited->limit = 5;
  EXPECT_EQ(mb_get_stdin_line(limited.get()), 4u);  // f, g, h and the NUL
  EXPECT_EQ(Line(limited.get()), "abcde");
  MemBufPtr starved(mb_new(0, 0));
  {
    FailAllocationsAfter fail(0);
    EXPECT_EQ(mb_get_stdin_line(starved.get()), 5u);
    EXPECT_EQ(starved->length, 0);
    EXPECT_EQ(mb_get_stdin_line(starved.get()), 1u);  // an empty line: its NUL alone
    EXPECT_TRUE(mb_skip_stdin_line());
    EXPECT_FALSE(mb_skip_stdin_line());  // the end of input
  }
  EXPECT_EQ(mb_get_stdin_line(starved.get()), 0u);
  EXPECT_EQ(Line(starved.get()), std::string("\0", 1));
}
