// get_library (Library.h): the consistent copy, the fold, and the placement
// of the one folded file through LocalFile.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "library/Library.h"
#include "library/staging.h"
#include "localfile/LocalFile.h"
#include "localfile/UniqueFd.h"

namespace {

constexpr int32_t kPiece = LocalFile::kPiece;

// Reads the folded file into the destination through the block protocol.
int copy_into(DeviceLink* link, int folded, LocalFile& local) noexcept {
  if (!local.make_block()) {
    mdv_add_err(link, "Out of memory.");
    return -1;
  }
  for (;;) {
    const ssize_t got = ::read(folded, local.room(), kPiece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      mdv_add_err(link, "Couldn't read the folded music library: %s", std::strerror(errno));
      return -1;
    }
    if (got == 0) return 0;
    if (!local.wrote(static_cast<size_t>(got))) return -1;
  }
}

// The folded file, open for reading, once the staging folder is gone: from
// here on only LocalFile's own stage is left for a signal to remove.
UniqueFd take_folded(DeviceLink* link, StagingFolder& staging) noexcept {
  UniqueFd folded(::open(staging.library().c_str(), O_RDONLY | O_CLOEXEC));
  if (!folded)
    mdv_add_err(link, "Couldn't open the folded music library: %s", std::strerror(errno));
  staging.remove();
  return folded;
}

}  // namespace

int get_library(DeviceLink* link, const char* local_path) noexcept {
  // The destination is made ready first, so that a folder that is missing
  // or may not be written fails before the phone's library is copied. A
  // failure from here on removes its stage unread.
  LocalFile local(link, local_path);
  if (!local) return -1;
  StagingFolder staging(link, local_path);
  if (!staging) return -1;
  const int copied = copy_library(link, staging);
  if (copied == 1)
    mdv_add_err(link,
                "No music library at %s on this phone. A phone before iOS 5 keeps its library "
                "for getDB.",
                kLibraryPath);
  if (copied != 0 || fold_library(link, staging.library()) != 0) return -1;
  // The check reads what is placed, beside the placement; the destination
  // is touched only once it has passed.
  LibraryCheck check(staging.library());
  UniqueFd folded = take_folded(link, staging);
  if (!folded) return -1;
  int result = local.finish(copy_into(link, folded.get(), local));
  if (check.result(link) != 0) result = -1;
  return local.close(result);
}
