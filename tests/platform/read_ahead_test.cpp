// The production layer's read-ahead over the stand-in device: what the
// caller reads when the device's replies come short, empty, failed, from a
// file that grows, or over a link cut at a piece boundary; and the fuzz
// harness's regression seeds, replayed with its checks.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "afc_script.h"
#include "afc_standins.h"
#include "platform/MobileDevice.h"

namespace {

using namespace afc_standins;

constexpr uint64_t kMiB = 1u << 20;
constexpr uint32_t kCallerPiece = 8192;  // what a copy asks for at a time
// Long enough for a few whole pieces and the shrinking last ones.
constexpr uint64_t kLongFile = 9 * kMiB + uint64_t{300} * 1024;

// Where a read through a file stopped, and the count of each read.
struct Outcome {
  uint64_t pos = 0;
  int32_t status = 0;
  std::vector<uint32_t> counts;
};

class ReadAhead : public ::testing::Test {
 protected:
  void TearDown() override { Close(); }

  void Open() {
    ASSERT_EQ(AFCConnectionOpen(kServiceHandle, 0, &connection_), 0);
    ASSERT_EQ(AFCFileRefOpen(connection_, "/f", 1, &ref_), 0);
    ASSERT_NE(ref_, 0u);
  }
  void Close() {
    if (ref_) (void)AFCFileRefClose(connection_, ref_);
    ref_ = 0;
    if (connection_) (void)AFCConnectionClose(connection_);
    connection_ = nullptr;
  }

  // Reads as a copy does, to an empty read or a failure, checking that
  // every byte is the file's byte at its position.
  Outcome ReadThrough() {
    Outcome out;
    std::vector<char> buffer(kCallerPiece);
    for (int i = 0; i < 8192; ++i) {
      uint32_t length = kCallerPiece;
      out.status = AFCFileRefRead(connection_, ref_, buffer.data(), &length);
      if (out.status != 0 || length == 0) return out;
      if (std::memcmp(buffer.data(), pattern() + out.pos, length) != 0) {
        ADD_FAILURE() << "bytes out of place at " << out.pos;
        return out;
      }
      out.pos += length;
      out.counts.push_back(length);
    }
    ADD_FAILURE() << "the read never ended";
    return out;
  }

  // Where the device's requests start when a file of `size` bytes is read
  // through undisturbed: the piece boundaries, and the end probe.
  std::vector<uint64_t> RequestStarts(uint64_t size) {
    reset(size);
    Open();
    const Outcome clean = ReadThrough();
    EXPECT_EQ(clean.pos, size);
    Close();
    std::vector<uint64_t> starts;
    for (const Request& r : requests()) starts.push_back(r.pos);
    return starts;
  }

  AFCConnectionRef connection_ = nullptr;
  uint64_t ref_ = 0;
};

TEST_F(ReadAhead, ShortReplyIsServedAsItCameAndTheReadGoesOn) {
  reset(10 * kMiB);
  add_rule({On::ReadShort, false, 1, 4 * kMiB});  // 37 bytes
  Open();
  const Outcome out = ReadThrough();
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.pos, 10 * kMiB);
  // Not topped up: the read at the short reply gets its 37 bytes alone.
  ASSERT_GT(out.counts.size(), 4 * kMiB / kCallerPiece);
  EXPECT_EQ(out.counts[4 * kMiB / kCallerPiece], 37u);
}

TEST_F(ReadAhead, EmptyReplyBeforeTheKnownEndIsAnEmptyReadAndTheEndIsStillTold) {
  reset(10 * kMiB);
  add_rule({On::ReadShort, false, 0, 4 * kMiB});
  Open();
  const Outcome out = ReadThrough();
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.pos, 4 * kMiB);
  // What the caller does at an apparent end: where am I, where is the end.
  uint64_t at = 0;
  ASSERT_EQ(AFCFileRefTell(connection_, ref_, &at), 0);
  EXPECT_EQ(at, 4 * kMiB);
  ASSERT_EQ(AFCFileRefSeek(connection_, ref_, 0, 2), 0);
  ASSERT_EQ(AFCFileRefTell(connection_, ref_, &at), 0);
  EXPECT_EQ(at, 10 * kMiB);
}

TEST_F(ReadAhead, FailureOfTheLastPieceReachesTheReadAtItsStart) {
  const std::vector<uint64_t> starts = RequestStarts(kLongFile);
  ASSERT_GE(starts.size(), 3u);
  const uint64_t last = starts[starts.size() - 2];  // the one before the end probe
  ASSERT_LT(last, kLongFile);
  reset(kLongFile);
  add_rule({On::ReadFail, false, 1, last});
  Open();
  const Outcome out = ReadThrough();
  EXPECT_EQ(out.pos, last);
  EXPECT_EQ(out.status, AFC_E_READ_ERROR);
}

TEST_F(ReadAhead, FileThatGrowsDuringTheReadIsReadToItsNewEnd) {
  reset(6 * kMiB);
  {
    std::lock_guard lock(device->mutex);
    device->grow_at = 4 * kMiB;
    device->grow_to = 9 * kMiB + 5;
  }
  Open();
  const Outcome out = ReadThrough();
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.pos, 9 * kMiB + 5);
}

// A link cut where a request starts, so that every read from there fails:
// every byte before it arrives, and the read there fails with the link's
// status, not an end of file.
TEST_F(ReadAhead, LinkCutAtEachPieceBoundaryFailsTheReadThere) {
  const std::vector<uint64_t> starts = RequestStarts(kLongFile);
  ASSERT_GE(starts.size(), 4u);
  for (const uint64_t cut : starts) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    reset(kLongFile);
    add_rule({On::ReadFail, true, 0, cut});  // status_of(0): the mux error
    Open();
    const Outcome out = ReadThrough();
    EXPECT_EQ(out.pos, cut);
    EXPECT_EQ(out.status, AFC_E_MUX_ERROR);
    Close();
  }
}

TEST(FuzzRegressions, SeedsReplayWithTheHarnessChecksHolding) {
  int replayed = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(AFCLINK_SOURCE_DIR "/fuzz/corpus/fuzz_afc")) {
    if (entry.path().filename().string().rfind("regress_", 0) != 0) continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<char> seed((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    afc_script_run(reinterpret_cast<const uint8_t*>(seed.data()), seed.size());
    ++replayed;
  }
  EXPECT_GE(replayed, 6);
}

}  // namespace
