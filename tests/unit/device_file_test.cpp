// The device file layer on the fake: modes, messages, close-once.
#include <gtest/gtest.h>

#include <string>

#include "FakeMobileDevice.h"
#include "PhoneAndLink.h"
#include "device/device.h"
#include "membuf/alloc.h"

namespace {

using fakemd::Call;

class DeviceFileTest : public PhoneAndLink {
 protected:
  void SetUp() override {
    attach_link(true);
    fakemd::put_file(phone, "/a", "0123456789");
  }
};

TEST_F(DeviceFileTest, ModeCharactersMapToFrameworkModes) {
  DeviceFilePtr read(mdv_file_open(link, "/a", 'r'));
  DeviceFilePtr write(mdv_file_open(link, "/b", 'w'));
  ASSERT_TRUE(read && write);
  auto opens = fakemd::log_of(Call::FileRefOpen);
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_EQ(opens[0].value, 1u);
  EXPECT_EQ(opens[0].text, "/a");
  EXPECT_EQ(opens[1].value, 3u);
  EXPECT_STREQ(read->file_path, "/a");
  EXPECT_EQ(read->link, link);
  EXPECT_NE(read->file_ref, 0u);
}

TEST_F(DeviceFileTest, OtherModeFailsSilentlyWithoutAFrameworkCall) {
  for (char mode : {'a', 'R', '\0', '+'}) EXPECT_EQ(mdv_file_open(link, "/a", mode), nullptr);
  EXPECT_EQ(fakemd::call_count(Call::FileRefOpen), 0);
  EXPECT_EQ(link->err_text->length, 0);
}

TEST_F(DeviceFileTest, FailedOpensNameThePathTheDirectionAndTheStatus) {
  EXPECT_EQ(mdv_file_open(link, "/missing", 'r'), nullptr);
  fakemd::fail(Call::FileRefOpen, 10);
  EXPECT_EQ(mdv_file_open(link, "/ro", 'w'), nullptr);
  EXPECT_EQ(errors(),
            "Could not open file /missing to read. Code 8 "
            "Could not open file /ro to write. Code 10");
}

TEST_F(DeviceFileTest, ZeroReferenceWithZeroStatusFailsWithCodeZero) {
  fakemd::set_open_without_reference(phone, true);
  EXPECT_EQ(mdv_file_open(link, "/a", 'r'), nullptr);
  EXPECT_EQ(errors(), "Could not open file /a to read. Code 0");
}

TEST_F(DeviceFileTest, RecordOrPathCopyNotAllocatedClosesTheOpenedReference) {
  ASSERT_EQ(mb_make_room(link->err_text, 4096), 0);  // the messages need none
  for (long allowed : {0L, 1L}) {
    link->err_text->length = 0;
    membuf_internal::mb_fail_allocations_after(allowed);
    DeviceFile* file = mdv_file_open(link, "/a", 'r');
    membuf_internal::mb_fail_allocations_after(-1);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(errors(), "Could not allocate memory for file /a.");
    auto closes = fakemd::log_of(Call::FileRefClose);
    ASSERT_FALSE(closes.empty());
    EXPECT_EQ(closes.back().value, fakemd::log_of(Call::FileRefOpen).back().amount);
    EXPECT_EQ(fakemd::open_files(), 0);
  }
}

TEST_F(DeviceFileTest, ReadsOnceAndReturnsWhatTheFrameworkGave) {
  DeviceFilePtr file(mdv_file_open(link, "/a", 'r'));
  fakemd::set_max_read(phone, 4);
  char piece[16];
  EXPECT_EQ(mdv_file_read(file.get(), piece, sizeof piece), 4);
  EXPECT_EQ(std::string(piece, 4), "0123");
  fakemd::set_max_read(phone, 0);
  EXPECT_EQ(mdv_file_read(file.get(), piece, sizeof piece), 6);
  EXPECT_EQ(mdv_file_read(file.get(), piece, sizeof piece), 0);
  EXPECT_EQ(fakemd::call_count(Call::FileRefRead), 3);
  EXPECT_EQ(link->err_text->length, 0);
}

TEST_F(DeviceFileTest, FailedReadNamesTheRequestedCount) {
  DeviceFilePtr file(mdv_file_open(link, "/a", 'r'));
  fakemd::fail_read_after(phone, 3, 4);
  char piece[8192];
  EXPECT_EQ(mdv_file_read(file.get(), piece, sizeof piece), 3);
  EXPECT_EQ(mdv_file_read(file.get(), piece, sizeof piece), -1);
  EXPECT_EQ(errors(), "Could not read 8192 bytes from file /a. Code 4");
  // A negative count is refused without a framework call, never read as
  // the end of the file; so is a negative write, never sent as 4 GiB.
  link->err_text->length = 0;
  const auto calls = static_cast<long>(fakemd::log().size());
  EXPECT_EQ(mdv_file_read(file.get(), piece, -5), -1);
  EXPECT_EQ(mdv_file_write(file.get(), piece, -5), -1);
  EXPECT_EQ(errors(),
            "Could not read -5 bytes from file /a. Code 7 "
            "Could not write -5 bytes to file /a. Code 7");
  EXPECT_EQ(static_cast<long>(fakemd::log().size()), calls);
}

// The device is asked where the file ends before an empty reply counts as
// its end; a link that cannot answer that is a lost one.
TEST_F(DeviceFileTest, EmptyReplyIsTheEndOnlyWhereTheDeviceSaysTheFileEnds) {
  DeviceFilePtr file(mdv_file_open(link, "/a", 'r'));
  char piece[8192];
  fakemd::fail_read_after(phone, 4, 0);
  EXPECT_EQ(mdv_file_read(file.get(), piece, sizeof piece), 4);
  fakemd::fail(Call::FileRefSeek, 30);
  EXPECT_EQ(mdv_file_read(file.get(), piece, sizeof piece), -1);
  EXPECT_EQ(errors(), "Could not read 8192 bytes from file /a. Code 30");
  EXPECT_EQ(link->lost.load(), 1);
}

TEST_F(DeviceFileTest, WriteReturnsTheCountOrFailsWithAMessage) {
  DeviceFilePtr file(mdv_file_open(link, "/new", 'w'));
  EXPECT_EQ(mdv_file_write(file.get(), "hello", 5), 5);
  EXPECT_EQ(fakemd::file_contents(phone, "/new"), "hello");
  fakemd::fail(Call::FileRefWrite, 18);
  EXPECT_EQ(mdv_file_write(file.get(), "hello", 5), -1);
  EXPECT_EQ(errors(), "Could not write 5 bytes to file /new. Code 18");
}

TEST_F(DeviceFileTest, SeekPassesA64BitPositionAndNamesItOnFailure) {
  DeviceFilePtr file(mdv_file_open(link, "/a", 'r'));
  EXPECT_EQ(mdv_file_seek(file.get(), 6), 0);
  char piece[4];
  EXPECT_EQ(mdv_file_read(file.get(), piece, 4), 4);
  EXPECT_EQ(std::string(piece, 4), "6789");
  fakemd::fail(Call::FileRefSeek, 7);
  EXPECT_EQ(mdv_file_seek(file.get(), 5000000000LL), -1);
  EXPECT_EQ(fakemd::log_of(Call::FileRefSeek).back().amount, 5000000000ULL);
  EXPECT_EQ(errors(), "Could not seek to position 5000000000 in file /a. Code 7");
}

TEST_F(DeviceFileTest, ClosedFileIsNotClosedAgainByFree) {
  DeviceFile* file = mdv_file_open(link, "/a", 'r');
  const uint64_t ref = file->file_ref;
  EXPECT_EQ(mdv_file_close(file), 0);
  EXPECT_EQ(file->file_ref, 0u);
  mdv_file_free0(&file);
  EXPECT_EQ(file, nullptr);
  auto closes = fakemd::log_of(Call::FileRefClose);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].value, ref);
  EXPECT_EQ(link->err_text->length, 0);
}

TEST_F(DeviceFileTest, FailedCloseKeepsTheReferenceAndFreeTriesOnceMore) {
  DeviceFile* file = mdv_file_open(link, "/a", 'r');
  const uint64_t ref = file->file_ref;
  fakemd::fail(Call::FileRefClose, 30);
  EXPECT_EQ(mdv_file_close(file), -1);
  EXPECT_EQ(file->file_ref, ref);
  mdv_file_free0(&file);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(fakemd::call_count(Call::FileRefClose), 2);
  EXPECT_EQ(errors(), "Could not close file /a. Code 30 Could not close file /a. Code 30");
}

TEST_F(DeviceFileTest, CloseOfAFileNotOpenPassesReferenceZero) {
  DeviceFilePtr file(mdv_file_open(link, "/a", 'r'));
  ASSERT_EQ(mdv_file_close(file.get()), 0);
  EXPECT_EQ(mdv_file_close(file.get()), -1);
  EXPECT_EQ(fakemd::log_of(Call::FileRefClose).back().value, 0u);
  EXPECT_EQ(errors(), "Could not close file /a. Code 7");
}

TEST_F(DeviceFileTest, FreeOfNullDoesNothing) {
  DeviceFile* none = nullptr;
  mdv_file_free0(&none);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(fakemd::call_count(Call::FileRefClose), 0);
}

TEST_F(DeviceFileTest, MessagesAreSeparatedByExactlyOneBlank) {
  mdv_add_err(link, "first %d", 1);
  EXPECT_EQ(errors(), "first 1");
  mdv_add_err(link, "second %s", "two");
  EXPECT_EQ(errors(), "first 1 second two");
  link->err_text->length = 0;
  mdv_add_err(link, "%lld", 1LL << 40);
  EXPECT_EQ(errors(), "1099511627776");
}

}  // namespace
