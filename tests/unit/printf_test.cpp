// Formatted append, formatted insert and string tables.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "membuf/MemBuf.h"
#include "membuf_sanity.h"

namespace {

__attribute__((format(printf, 2, 3))) char* VSpace(MemBuf* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = mb_vprintf_space(buffer, format, args);
  va_end(args);
  return text;
}

__attribute__((format(printf, 2, 3))) char* VPlain(MemBuf* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* text = mb_vprintf(buffer, format, args);
  va_end(args);
  return text;
}

MemBufPtr Text(const char* text) {
  MemBufPtr buffer(mb_new(0, 0));
  EXPECT_NE(mb_append_string_nt(buffer.get(), text), nullptr);
  return buffer;
}

// The counted bytes, and the NUL that must sit uncounted behind them.
std::string Counted(const MemBuf* buffer) {
  EXPECT_EQ(buffer->storage[buffer->length], '\0') << "no NUL behind the text";
  return std::string(buffer->storage, static_cast<size_t>(buffer->length));
}

}  // namespace

TEST(MemBufPrintf, SpaceVariantsDifferAfterWhiteSpace) {
  MemBufPtr spaced(mb_new(0, 0));
  ASSERT_NE(VSpace(spaced.get(), "%s", "x"), nullptr);
  ASSERT_NE(VSpace(spaced.get(), "%s", "y"), nullptr);
  EXPECT_EQ(Counted(spaced.get()), "x y");
  MemBufPtr plain(mb_new(0, 0));
  ASSERT_NE(VPlain(plain.get(), "x"), nullptr);
  ASSERT_NE(VPlain(plain.get(), "y"), nullptr);
  EXPECT_EQ(Counted(plain.get()), "xy");

  MemBufPtr line = Text("a\n");
  ASSERT_NE(mb_printf_space(line.get(), "b"), nullptr);
  EXPECT_EQ(Counted(line.get()), "a\nb");
  for (const char* ending : {"a\r", "a ", "a\t"}) {
    MemBufPtr buffer = Text(ending);
    ASSERT_NE(mb_printf_space(buffer.get(), "b"), nullptr);
    EXPECT_EQ(Counted(buffer.get()), std::string(ending) + "b");
  }
  MemBufPtr word = Text("a");
  ASSERT_NE(mb_printf_space(word.get(), "b"), nullptr);
  EXPECT_EQ(Counted(word.get()), "a b");
  ASSERT_NE(VSpace(line.get(), "c\n"), nullptr);
  ASSERT_NE(VSpace(line.get(), "d"), nullptr);
  EXPECT_EQ(Counted(line.get()), "a\nb c\n d");
}

TEST(MemBufPrintf, EmptiedBufferTakesTheNextTextAtTheFrontWithoutBlank) {
  MemBufPtr errors(mb_new(0, 0));
  ASSERT_NE(VSpace(errors.get(), "first failure"), nullptr);
  errors->length = 0;
  EXPECT_EQ(VSpace(errors.get(), "second"), errors->storage);
  EXPECT_EQ(Counted(errors.get()), "second");
  EXPECT_STREQ(errors->storage, "second");
}

TEST(MemBufPrintf, LongTextIsFormattedAgainAfterGrowing) {
  MemBufPtr buffer(mb_new(0, 0));
  char* text = mb_printf(buffer.get(), "abc%295sxy", "!");  // 10-byte format, 300 bytes
  ASSERT_EQ(text, buffer->storage);
  EXPECT_EQ(buffer->capacity, 384);
  EXPECT_EQ(Counted(buffer.get()), "abc" + std::string(294, ' ') + "!xy");
  // The second pass must read the arguments afresh.
  const std::string a(200, 'a'), b(200, 'b');
  ASSERT_NE(mb_printf_sep(buffer.get(), ",", "%s|%d|%s", a.c_str(), 42, b.c_str()), nullptr);
  EXPECT_EQ(Counted(buffer.get()).substr(300), "," + a + "|42|" + b);
  ExpectSaneMemBuf(buffer.get());
}

TEST(MemBufPrintf, TextThatExactlyFitsNeedsNoGrowth) {
  MemBufPtr fits(mb_new(0, 0));
  ASSERT_NE(mb_printf(fits.get(), "%127s", "x"), nullptr);
  EXPECT_EQ(fits->capacity, 128);
  EXPECT_EQ(fits->length, 127);
  MemBufPtr over(mb_new(0, 0));
  ASSERT_NE(mb_printf(over.get(), "%128s", "x"), nullptr);
  EXPECT_EQ(over->capacity, 256);
}

TEST(MemBufPrintf, ResultPointsBehindTheSeparator) {
  MemBufPtr buffer = Text("a");
  EXPECT_EQ(mb_printf_sep(buffer.get(), ", ", "%d", 7), buffer->storage + 3);
  EXPECT_EQ(mb_printf_sep(buffer.get(), ", ", "%s", ""), buffer->storage + 6);
  EXPECT_EQ(Counted(buffer.get()), "a, 7, ");
  MemBufPtr empty(mb_new(0, 0));
  EXPECT_EQ(mb_printf_sep(empty.get(), ", ", "b"), empty->storage);
  EXPECT_EQ(Counted(empty.get()), "b");
}

TEST(MemBufPrintf, Printf0ReplacesTheContent) {
  MemBufPtr buffer = Text("old content");
  ASSERT_NE(mb_printf0(buffer.get(), "%s", "new"), nullptr);
  EXPECT_EQ(Counted(buffer.get()), "new");
}

TEST(MemBufPrintf, BorrowedAndNewBuffersHoldTheText) {
  MemBufPtr borrowed(mbb_printf("%d-%s", 5, "x"));
  ASSERT_TRUE(borrowed);
  EXPECT_EQ(borrowed->flags & MB_FLAG_BORROWED, MB_FLAG_BORROWED);
  EXPECT_EQ(Counted(borrowed.get()), "5-x");
  MemBufPtr owned(mbn_printf("%d-%s", 6, "y"));
  ASSERT_TRUE(owned);
  EXPECT_EQ(owned->flags & MB_FLAG_BORROWED, 0u);
  EXPECT_EQ(Counted(owned.get()), "6-y");
}

TEST(MemBufPrintf, NonCharacterBuffersAreLeftAlone) {
  MemBufPtr buffer = Text("abcdefgh");
  buffer->element_size = 4;
  buffer->length = 2;
  EXPECT_EQ(mb_printf(buffer.get(), "x"), nullptr);
  EXPECT_EQ(mb_printf0(buffer.get(), "x"), nullptr);
  EXPECT_EQ(mb_printf_space(buffer.get(), "x"), nullptr);
  EXPECT_EQ(VSpace(buffer.get(), "x"), nullptr);
  EXPECT_EQ(mb_insert_printf(buffer.get(), 0, "x"), nullptr);
  EXPECT_EQ(mb_add_string_offsets(buffer.get()), -1);
  EXPECT_EQ(buffer->length, 2);
  EXPECT_EQ(buffer->element_size, 4);
  EXPECT_EQ(std::string(buffer->storage, 8), "abcdefgh");
}

TEST(MemBufPrintf, FormatterErrorAddsNothingNotEvenTheSeparator) {
  MemBufPtr buffer = Text("abc");
  const wchar_t unencodable[] = {0x100, 0};  // no C-locale multibyte form
  EXPECT_EQ(mb_printf_sep(buffer.get(), "--", "%ls", unencodable), nullptr);
  EXPECT_EQ(Counted(buffer.get()), "abc");
}

TEST(MemBufInsertPrintf, TextGoesInWithoutNul) {
  MemBufPtr buffer(mb_new(0, 0));
  ASSERT_NE(mb_add(buffer.get(), "ab", 3), nullptr);
  EXPECT_EQ(mb_insert_printf(buffer.get(), 1, "%s", "xy"), buffer->storage + 1);
  EXPECT_EQ(std::string(buffer->storage, static_cast<size_t>(buffer->length)),
            std::string("axyb\0", 5));
  EXPECT_EQ(mb_insert_printf(buffer.get(), 9, "z"), nullptr);
  EXPECT_EQ(buffer->length, 5);
}

TEST(MemBufStringTable, OffsetAndPointerEntriesLeadToTheStrings) {
  constexpr int32_t E = sizeof(void*);
  for (const int pointers : {0, 1}) {
    SCOPED_TRACE(pointers);
    MemBufPtr buffer(mb_new(0, 0));
    ASSERT_NE(mb_add(buffer.get(), "pq\0r\0s", 6), nullptr);
    ASSERT_EQ(mb_add_string_table(buffer.get(), pointers), 0);
    ExpectSaneMemBuf(buffer.get());
    EXPECT_EQ(buffer->length, 2);
    EXPECT_EQ(buffer->element_size, E);
    auto* entries = reinterpret_cast<uintptr_t*>(buffer->storage);
    const uintptr_t base = pointers ? reinterpret_cast<uintptr_t>(buffer->storage) : 0;
    const size_t table = 2 * sizeof(void*);  // the two entries
    EXPECT_EQ(entries[0], base + table);
    EXPECT_EQ(entries[1], base + table + 3);
    EXPECT_EQ(std::string(buffer->storage + table, 6), std::string("pq\0r\0s", 6));
  }
  MemBufPtr indexed(mb_new(0, 0));
  ASSERT_NE(mb_add(indexed.get(), "one\0two\0", 8), nullptr);
  ASSERT_EQ(mb_index_strings(indexed.get()), 0);
  EXPECT_STREQ(reinterpret_cast<char**>(indexed->storage)[1], "two");
  MemBufPtr offsets(mb_new(0, 0));
  ASSERT_NE(mb_add(offsets.get(), "one\0", 4), nullptr);
  ASSERT_EQ(mb_add_string_offsets(offsets.get()), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t*>(offsets->storage)[0], uintptr_t{E});
}

TEST(MemBufStringTable, NoCompleteStringGivesAnEmptyTable) {
  for (const char* content : {"abc", ""}) {
    MemBufPtr buffer(mb_new(0, 0));
    (void)mb_add(buffer.get(), content, static_cast<int32_t>(std::strlen(content)));
    ASSERT_EQ(mb_add_string_pointers(buffer.get()), 0);
    EXPECT_EQ(buffer->length, 0);
    EXPECT_EQ(buffer->element_size, static_cast<int32_t>(sizeof(void*)));
  }
}

using MemBufPrintfOutOfMemory = IsolatedPools;

TEST_F(MemBufPrintfOutOfMemory, NothingIsAddedWhenRoomCannotBeMade) {
  MemBufPtr empty(mb_new(0, 0));
  MemBufPtr holding = Text("abc");
  const std::string long_text(300, 'z');
  MemBufPtr table(mb_new(0, 0));
  std::string strings;
  for (int i = 0; i < 64; ++i) strings += std::string("a\0", 2);  // fills its block
  ASSERT_NE(mb_add(table.get(), strings.data(), 128), nullptr);
  char* table_storage = table->storage;
  FailAllocationsAfter fail(0);
  EXPECT_EQ(mb_printf(empty.get(), "x"), nullptr);
  EXPECT_EQ(empty->storage, nullptr);
  // The separator already copied in is taken out again.
  EXPECT_EQ(mb_printf_space(holding.get(), "%s", long_text.c_str()), nullptr);
  EXPECT_EQ(Counted(holding.get()), "abc");
  EXPECT_EQ(mbb_printf("x"), nullptr);
  EXPECT_EQ(mbn_printf("x"), nullptr);
  EXPECT_EQ(mb_insert_printf(holding.get(), 0, "x"), nullptr);
  EXPECT_EQ(Counted(holding.get()), "abc");
  EXPECT_EQ(mb_add_string_offsets(table.get()), MB_ENOMEM);
  EXPECT_EQ(table->element_size, 1);
  EXPECT_EQ(table->length, 128);
  EXPECT_EQ(table->storage, table_storage);
  EXPECT_EQ(std::string(table->storage, 128), strings);
}

TEST(MemBufPrintfOutOfMemoryNew, NewBufferWithoutRoomIsNotHandedOut) {
  FailAllocationsAfter fail(1);  // the record, not its storage
  EXPECT_EQ(mbn_printf("x"), nullptr);
}
