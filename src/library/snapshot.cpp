// The library's consistent copy (Library.h, step 1): the main file and its
// -wal staged while the file service says neither changed under the reader.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "library/Library.h"
#include "library/staging.h"
#include "localfile/Buffer.h"
#include "localfile/UniqueFd.h"

namespace library_internal {
namespace {
RetryRule rule_in_force;
}  // namespace

RetryRule retry_rule() noexcept { return rule_in_force; }

ScopedRetryRule::ScopedRetryRule(RetryRule rule) noexcept : saved_(rule_in_force) {
  rule_in_force = rule;
}

ScopedRetryRule::~ScopedRetryRule() { rule_in_force = saved_; }

}  // namespace library_internal

namespace {

using Clock = std::chrono::steady_clock;

// A WAL file's header: magic, version, page size, checkpoint sequence,
// salts and checksum. A reset or restart of the log rewrites it.
constexpr size_t kWalHeader = 32;
using WalHeader = std::array<unsigned char, kWalHeader>;

// Device reads of this size keep the read-ahead's pieces whole; the staged
// file is written a block at a time.
constexpr int32_t kRead = 64 << 10;
constexpr size_t kBlock = size_t{1} << 20;

// What the file service said of one file at one moment.
struct Seen {
  bool exists = false;
  AFCFileInfo info{};
  bool operator==(const Seen& other) const noexcept {
    return exists == other.exists && info.size == other.info.size &&
           info.modified_ns == other.info.modified_ns;
  }
};

// Of both files at one moment.
struct Sighting {
  Seen main;
  Seen wal;
};

enum class Outcome { consistent, changed, failed, missing };

// Asks about one file: false (the message said) when the device failed.
bool look(DeviceLink* link, const char* path, Seen* seen) noexcept {
  const int32_t found = mdv_file_info(link, path, &seen->info);
  seen->exists = found == 0;
  return found >= 0;
}

bool look_at_both(DeviceLink* link, const std::string& wal_path, Sighting* sighting) noexcept {
  return look(link, kLibraryPath, &sighting->main) && look(link, wal_path.c_str(), &sighting->wal);
}

// Writes `count` bytes of `bytes` to `fd`: false with a message naming
// `path`.
bool write_all(DeviceLink* link, int fd, const unsigned char* bytes, size_t count,
               const std::string& path) noexcept {
  while (count > 0) {
    const ssize_t wrote = ::write(fd, bytes, count);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      mdv_add_err(link, "Couldn't write the staged library %s: %s", path.c_str(),
                  std::strerror(wrote < 0 ? errno : ENOSPC));
      return false;
    }
    bytes += wrote;
    count -= static_cast<size_t>(wrote);
  }
  return true;
}

// After a failed read: true when the file has grown past the reader since
// its end was asked (the phone appends to its log at any moment), with the
// read's message taken back and the reader put back where it was, to read
// on. A read that fails again before any byte comes is a failure.
bool grew_past(DeviceLink* link, DeviceFile* device, int32_t said) noexcept {
  AFCFileInfo now{};
  if (!mdv_is_connected(link) || link->lost.load() != 0 ||
      mdv_file_info(link, device->file_path, &now) != 0 || now.size <= device->position)
    return false;
  link->err_text->length = said;
  return mdv_file_seek(device, static_cast<int64_t>(device->position)) == 0;
}

// Copies device file `device_path` to the new local file `local_path`.
// A file that is gone since it was seen is a change, not a failure.
Outcome stage_file(DeviceLink* link, const char* device_path, const std::string& local_path,
                   Buffer& block) noexcept {
  const int32_t said = link->err_text->length;
  AFCFileInfo now{};
  DeviceFilePtr device(mdv_file_open(link, device_path, 'r'));
  if (!device) {
    if (mdv_is_connected(link) && mdv_file_info(link, device_path, &now) == 1) {
      link->err_text->length = said;  // gone: the copy is made again
      return Outcome::changed;
    }
    return Outcome::failed;
  }
  UniqueFd local(::open(local_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!local) {
    mdv_add_err(link, "Couldn't make the staged library %s: %s", local_path.c_str(),
                std::strerror(errno));
    return Outcome::failed;
  }
  size_t filled = 0;
  bool resumed = false;
  for (;;) {
    const int32_t got = mdv_file_read(device.get(), block.get() + filled, kRead);
    if (got < 0) {
      if (resumed || !grew_past(link, device.get(), said)) return Outcome::failed;
      resumed = true;
      continue;
    }
    resumed = resumed && got == 0;
    filled += static_cast<size_t>(got);
    if (got == 0 || filled + kRead > kBlock) {
      if (!write_all(link, local.get(), block.get(), filled, local_path)) return Outcome::failed;
      filled = 0;
    }
    if (got == 0) break;
  }
  if (local.close() != 0) {
    mdv_add_err(link, "Couldn't write the staged library %s: %s", local_path.c_str(),
                std::strerror(errno));
    return Outcome::failed;
  }
  return Outcome::consistent;
}

// The first bytes of a local file, up to a WAL header's length; the rest
// of the header stays zero.
WalHeader header_of(const std::string& path) noexcept {
  WalHeader header{};
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file) (void)::read(file.get(), header.data(), header.size());
  return header;
}

// The device's -wal header now: false (the message said) when it could
// not be read; a file gone or shorter leaves the rest zero.
bool header_on_device(DeviceLink* link, const std::string& wal_path, WalHeader* header) noexcept {
  *header = WalHeader{};
  const int32_t said = link->err_text->length;
  DeviceFilePtr device(mdv_file_open(link, wal_path.c_str(), 'r'));
  if (!device) {
    AFCFileInfo now{};
    if (!mdv_is_connected(link) || mdv_file_info(link, wal_path.c_str(), &now) != 1) return false;
    link->err_text->length = said;
    return true;
  }
  size_t done = 0;
  while (done < header->size()) {
    const int32_t got = mdv_file_read(device.get(), header->data() + done,
                                      static_cast<int32_t>(header->size() - done));
    if (got < 0) return false;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Whether the staged pair is one committed moment (Library.h): the main
// file unchanged, the -wal there before and after or neither, and a -wal
// that changed only by growing under an unchanged header.
bool one_moment(const Sighting& before, const Sighting& after, const WalHeader& staged_header,
                const WalHeader& header_after) noexcept {
  if (!(before.main == after.main) || before.wal.exists != after.wal.exists) return false;
  if (!before.wal.exists) return true;
  if (staged_header != header_after) return false;
  return before.wal == after.wal || after.wal.info.size > before.wal.info.size;
}

// One try at the copy.
Outcome try_copy(DeviceLink* link, StagingFolder& staging, Buffer& block) noexcept {
  const std::string wal_path = std::string(kLibraryPath) + "-wal";
  Sighting before;
  if (!look_at_both(link, wal_path, &before)) return Outcome::failed;
  if (!before.main.exists) return Outcome::missing;
  Outcome staged = stage_file(link, kLibraryPath, staging.library(), block);
  if (staged == Outcome::consistent && before.wal.exists)
    staged = stage_file(link, wal_path.c_str(), staging.wal(), block);
  if (staged != Outcome::consistent) return staged;

  Sighting after;
  if (!look_at_both(link, wal_path, &after)) return Outcome::failed;
  WalHeader staged_header{};
  WalHeader header_after{};
  // Only a -wal that grew needs its header: a log reset and then written
  // past its old end grows too.
  if (before.wal.exists && after.wal.exists && !(before.wal == after.wal)) {
    staged_header = header_of(staging.wal());
    if (!header_on_device(link, wal_path, &header_after)) return Outcome::failed;
  }
  return one_moment(before, after, staged_header, header_after) ? Outcome::consistent
                                                                : Outcome::changed;
}

}  // namespace

int copy_library(DeviceLink* link, StagingFolder& staging) noexcept {
  Buffer block = new_buffer(kBlock);
  if (!block) {
    mdv_add_err(link, "Out of memory.");
    return -1;
  }
  const library_internal::RetryRule rule = library_internal::retry_rule();
  const Clock::time_point first = Clock::now();
  auto pause = rule.first_pause;
  for (int tries = 1;; ++tries) {
    switch (try_copy(link, staging, block)) {
      case Outcome::consistent: return 0;
      case Outcome::missing: return 1;
      case Outcome::failed: return -1;
      case Outcome::changed: break;
    }
    staging.empty();
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - first);
    if (tries >= rule.tries && waited >= rule.patience) {
      mdv_add_err(link,
                  "The music library kept changing on the phone through %d copies in %lld ms; "
                  "try again when the phone is idle.",
                  tries, static_cast<long long>(waited.count()));
      return -1;
    }
    std::this_thread::sleep_for(pause);
    pause *= 2;
  }
}
