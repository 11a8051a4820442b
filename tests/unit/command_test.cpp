// The command record: parsing a given text, the null cases, ownership.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/Command.h"
#include "membuf/alloc.h"

namespace {

std::vector<std::string> words_of(const Command* command) {
  std::vector<std::string> words;
  words.reserve(static_cast<size_t>(cmd_count(command)));
  for (int32_t i = 0; i < cmd_count(command); ++i) words.emplace_back(cmd_word(command, i));
  return words;
}

struct AllocationsFailAfter {
  explicit AllocationsFailAfter(long successes) {
    membuf_internal::mb_fail_allocations_after(successes);
  }
  ~AllocationsFailAfter() { membuf_internal::mb_fail_allocations_after(-1); }
  AllocationsFailAfter(const AllocationsFailAfter&) = delete;
  AllocationsFailAfter& operator=(const AllocationsFailAfter&) = delete;
};

}  // namespace

TEST(CommandNew, SplitsAGivenTextOnBlanksWithQuotesAndEscapes) {
  CommandPtr command(cmd_new(R"(getFile "/a b/c" /tmp/x\ y)"));
  ASSERT_TRUE(command);
  EXPECT_EQ(words_of(command.get()), (std::vector<std::string>{"getFile", "/a b/c", "/tmp/x y"}));
}

TEST(CommandNew, TabsAndCarriageReturnsStayInsideWords) {
  CommandPtr command(cmd_new("status\r\tx y"));
  ASSERT_TRUE(command);
  EXPECT_EQ(words_of(command.get()), (std::vector<std::string>{"status\r\tx", "y"}));
}

TEST(CommandNew, ALineWithoutWordsGivesNoCommand) {
  EXPECT_EQ(cmd_new(""), nullptr);
  EXPECT_EQ(cmd_new("     "), nullptr);
}

TEST(CommandNew, AnEmptyQuotedWordIsStillAWord) {
  CommandPtr command(cmd_new("\"\""));
  ASSERT_TRUE(command);
  EXPECT_EQ(words_of(command.get()), (std::vector<std::string>{""}));
}

TEST(CommandNew, TextsOutliveTheLineTheyCameFrom) {
  std::string line = "getDB /tmp/db";
  CommandPtr command(cmd_new(line.c_str()));
  line.assign(line.size(), 'x');
  ASSERT_TRUE(command);
  EXPECT_EQ(words_of(command.get()), (std::vector<std::string>{"getDB", "/tmp/db"}));
}

TEST(CommandNew, ExhaustedMemoryGivesNoCommandAndTheNextLineWorks) {
  // Longer than any pooled buffer so far: splitting it must grow a buffer.
  const std::string huge(200000, 'x');
  {
    AllocationsFailAfter failing(0);
    EXPECT_EQ(cmd_new(huge.c_str()), nullptr);
  }
  CommandPtr command(cmd_new(huge.c_str()));
  ASSERT_TRUE(command);
  EXPECT_EQ(cmd_word(command.get(), 0), huge);
}

TEST(CommandFree, ClearsTheHolderAndAcceptsNull) {
  Command* command = cmd_new("pid");
  ASSERT_NE(command, nullptr);
  cmd_free0(&command);
  EXPECT_EQ(command, nullptr);
  cmd_free0(&command);
  EXPECT_EQ(command, nullptr);
}

TEST(CommandFree, RecyclesEverythingSoTheNextCommandAllocatesNothing) {
  (void)CommandPtr(cmd_new("getFile /some/longer/device/path /and/a/local/one"));
  const long before = membuf_internal::mb_allocation_count();
  (void)CommandPtr(cmd_new("getFile /some/longer/device/path /and/a/local/one"));
  EXPECT_EQ(membuf_internal::mb_allocation_count() - before, 0);
}

TEST(CommandNew, FailsCleanlyWhenEvenTheRecordCannotBeHad) {
  Command* first = cmd_new("hold the spare record");
  ASSERT_NE(first, nullptr);
  {
    AllocationsFailAfter failing(0);
    EXPECT_EQ(cmd_new("status"), nullptr);
  }
  cmd_free0(&first);
}
