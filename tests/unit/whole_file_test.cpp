// read_whole_file: the size cap refuses a file as a whole, at the byte.
#include <gtest/gtest.h>

#include "locator_support.h"
#include "platform/whole_file.h"

namespace {

using locator_test::TempDir;

TEST(ReadWholeFile, FileAtTheCapIsReadAndOneByteMoreIsRefusedNotCut) {
  TempDir dir;
  constexpr std::size_t kCap = 10000;  // past one 8 KiB chunk, so the check spans reads
  NSData bytes(kCap);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  locator_test::write_bytes(dir / "at", bytes);
  EXPECT_EQ(read_whole_file(dir / "at", kCap), bytes);

  bytes.push_back(1);
  locator_test::write_bytes(dir / "over", bytes);
  EXPECT_EQ(read_whole_file(dir / "over", kCap), std::nullopt);
  EXPECT_EQ(read_whole_file(dir / "over", kCap + 1), bytes);

  EXPECT_EQ(read_whole_file(dir / "missing"), std::nullopt);
}

}  // namespace
