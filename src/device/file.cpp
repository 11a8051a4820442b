// The device file layer: thin calls on the link's file-service connection,
// each failure appending exactly one message to the link's error text.
#include <cstdarg>
#include <cstring>

#include "device/device.h"
#include "membuf/alloc.h"

void mdv_add_err(DeviceLink* link, const char* format, ...) noexcept {
  if (!link || !link->err_text) return;
  va_list args;
  va_start(args, format);
  (void)mb_vprintf_space(link->err_text, format, args);
  va_end(args);
}

namespace {

// The file service's own status for a bad argument.
constexpr int32_t kInvalidArgument = 7;
constexpr uint64_t kOpenRead = 1;
constexpr uint64_t kOpenWrite = 3;
constexpr uint64_t kFromEnd = 2;

// A status that shows the connection itself gone marks the link, so that
// `status` stops answering "connected" and a new attempt can start.
void note_status(DeviceLink* link, int32_t status) noexcept {
  if (mdv_status_means_lost(status)) mdv_mark_lost(link);
}

// Allocates the record and its path copy; null (nothing left allocated)
// when either cannot be had.
DeviceFile* new_record(DeviceLink* link, const char* path, uint64_t file_ref) noexcept {
  auto* file = static_cast<DeviceFile*>(membuf_internal::mb_calloc(1, sizeof(DeviceFile)));
  if (!file) return nullptr;
  const size_t bytes = std::strlen(path) + 1;
  file->file_path = static_cast<char*>(membuf_internal::mb_malloc(bytes));
  if (!file->file_path) {
    membuf_internal::mb_dealloc(file);
    return nullptr;
  }
  std::memcpy(file->file_path, path, bytes);
  file->file_ref = file_ref;
  file->link = link;
  return file;
}

// After an empty reply to a read of `count` bytes: 0 when the file ends
// where the reader is, else -1 with the read's message. The device is left
// at the file's end, which is where the reader is whenever 0 comes back.
int32_t confirm_end(DeviceFile* file, int32_t count) noexcept {
  AFCConnectionRef connection = file->link->afc_conn;
  uint64_t end = 0;
  int32_t status = AFCFileRefSeek(connection, file->file_ref, 0, kFromEnd);
  if (status == 0) status = AFCFileRefTell(connection, file->file_ref, &end);
  if (status != 0) {
    note_status(file->link, status);
    mdv_add_err(file->link, "Could not read %d bytes from file %s. Code %d", count, file->file_path,
                status);
    return -1;
  }
  // A file that shrank under the reader ends where the reader is.
  if (end <= file->position) {
    file->position = end;
    return 0;
  }
  mdv_add_err(file->link, "Could not read %d bytes from file %s: it ended at byte %llu of %llu.",
              count, file->file_path, static_cast<unsigned long long>(file->position),
              static_cast<unsigned long long>(end));
  return -1;
}

}  // namespace

DeviceFile* mdv_file_open(DeviceLink* link, const char* path, char mode) noexcept {
  uint64_t open_mode = 0;
  if (mode == 'r')
    open_mode = kOpenRead;
  else if (mode == 'w')
    open_mode = kOpenWrite;
  else
    return nullptr;

  uint64_t file_ref = 0;
  const int32_t status = AFCFileRefOpen(link->afc_conn, path, open_mode, &file_ref);
  if (status != 0 || file_ref == 0) {
    note_status(link, status);
    mdv_add_err(link,
                mode == 'r' ? "Could not open file %s to read. Code %d"
                            : "Could not open file %s to write. Code %d",
                path, status);
    return nullptr;
  }
  DeviceFile* file = new_record(link, path, file_ref);
  if (!file) {
    // Nobody could ever close the reference otherwise.
    (void)AFCFileRefClose(link->afc_conn, file_ref);
    mdv_add_err(link, "Could not allocate memory for file %s.", path);
  }
  return file;
}

int32_t mdv_file_read(DeviceFile* file, void* buffer, int32_t count) noexcept {
  // A negative count is the caller's mistake: failing is the only answer
  // that no one can take for the end of the file or for 4 GiB.
  uint32_t length = count >= 0 ? static_cast<uint32_t>(count) : 0;
  const int32_t status = count >= 0
                             ? AFCFileRefRead(file->link->afc_conn, file->file_ref, buffer, &length)
                             : kInvalidArgument;
  if (status != 0) {
    note_status(file->link, status);
    mdv_add_err(file->link, "Could not read %d bytes from file %s. Code %d", count, file->file_path,
                status);
    return -1;
  }
  if (length == 0 && count > 0) return confirm_end(file, count);
  file->position += length;
  return static_cast<int32_t>(length);
}

int32_t mdv_file_write(DeviceFile* file, const void* buffer, int32_t count) noexcept {
  const int32_t status = count >= 0 ? AFCFileRefWrite(file->link->afc_conn, file->file_ref, buffer,
                                                      static_cast<uint32_t>(count))
                                    : kInvalidArgument;
  if (status != 0) {
    note_status(file->link, status);
    mdv_add_err(file->link, "Could not write %d bytes to file %s. Code %d", count, file->file_path,
                status);
    return -1;
  }
  return count;
}

int32_t mdv_file_seek(DeviceFile* file, int64_t position) noexcept {
  const int32_t status = AFCFileRefSeek(file->link->afc_conn, file->file_ref, position, 0);
  if (status != 0) {
    note_status(file->link, status);
    mdv_add_err(file->link, "Could not seek to position %lld in file %s. Code %d",
                static_cast<long long>(position), file->file_path, status);
    return -1;
  }
  file->position = static_cast<uint64_t>(position);
  return 0;
}

int32_t mdv_file_close(DeviceFile* file) noexcept {
  const int32_t status = AFCFileRefClose(file->link->afc_conn, file->file_ref);
  if (status != 0) {
    note_status(file->link, status);
    mdv_add_err(file->link, "Could not close file %s. Code %d", file->file_path, status);
    return -1;
  }
  file->file_ref = 0;
  return 0;
}

void mdv_file_free0(DeviceFile** holder) noexcept {
  DeviceFile* file = *holder;
  *holder = nullptr;
  if (!file) return;
  if (file->file_ref != 0) (void)mdv_file_close(file);
  membuf_internal::mb_dealloc(file->file_path);
  membuf_internal::mb_dealloc(file);
}

int32_t mdv_file_info(DeviceLink* link, const char* path, AFCFileInfo* info) noexcept {
  const int32_t status = AFCFileInfoRead(link->afc_conn, path, info);
  if (status == 0) return 0;
  if (status == kAFCObjectNotFound) return 1;
  note_status(link, status);
  mdv_add_err(link, "Could not get information on file %s. Code %d", path, status);
  return -1;
}
