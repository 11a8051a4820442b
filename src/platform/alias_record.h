// File: platform/alias_record.h
//
// What the alias-record reader, writer and resolver share, inside the
// CoreServices stand-in: the record's byte layout, a record as parsed, and
// the rules that turn paths into volume names and mount points.
//
// The layout (every number big-endian; offsets in bytes):
//   0x00 u32 user type       0x04 u16 record size     0x06 u16 version (2 or 3)
//   0x08 u16 kind (0 file, 1 folder), then the version's fixed part:
//   version 2, to byte 150: 0x0A volume name (Pascal, 28 bytes), 0x26 volume
//     date (local seconds since 1904), 0x2A signature, 0x2C drive type,
//     0x2E parent id, 0x32 target name (Pascal, 64 bytes), 0x72 target id,
//     0x76 target date, 0x7A file type, 0x7E creator, 0x82 levels from,
//     0x84 levels to, 0x86 volume attributes, 0x8A file system id, 10 zeros;
//   version 3, to byte 58: 0x0A volume date (u64, 1/65536 s since 1904
//     UTC), 0x12 signature, 0x18 parent id, 0x1C target id, 0x20 target date
//     (u64), 0x28 volume attributes.
//   Then tagged items, each an s16 tag, a u16 length and the value padded to
//   an even length, closed by tag -1 with length 0. The tags used here:
//   0 parent folder name, 1 ancestor folder ids, 2 HFS path, 14 and 15 the
//   target's and the volume's Unicode names (u16 count, then UTF-16 units),
//   16 and 17 the volume and target dates (u64), 18 the POSIX path below the
//   mount point, 19 the mount point, 20 a nested record, 21 the length of
//   the home folder's prefix of that path. Unknown tags are skipped.
//
// Example:
//   ParsedAlias a;
//   if (parse_handle(alias, &a) == noErr) {
//     std::optional<std::string> path = stored_path(a);
//   }
//
// Invariants: a ParsedAlias comes only from a record that read whole within
// both its stated size and its handle, with the end marker inside it, and
// whose POSIX path and mount point hold no NUL. Nothing here touches the
// record's handle beyond reading it. Only running out of memory throws
// (std::bad_alloc), and the CoreServices calls catch it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/CoreServices.h"

namespace alias_internal {

// ---- Layout ---------------------------------------------------------------

inline constexpr std::size_t kV2FixedEnd = 150;
inline constexpr std::size_t kV3FixedEnd = 58;
inline constexpr std::size_t kEndMarkerSize = 4;
inline constexpr int kMaxNesting = 4;
inline constexpr std::uint32_t kBootVolumeBit = 0x0020;
inline constexpr std::uint32_t kEjectableBit = 0x0002;
inline constexpr std::uint32_t kAutomountedBit = 0x0080;
inline constexpr std::uint32_t kPersistentIDsBit = 0x0100;
inline constexpr std::int64_t kMacEpochOffset = 2082844800;  // 1904 to 1970, in seconds

inline std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
inline std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | std::uint32_t{b[at + 3]};
}
inline std::uint64_t be64(std::span<const std::uint8_t> b, std::size_t at) {
  return (std::uint64_t{be32(b, at)} << 32) | be32(b, at + 4);
}

// ---- A record as read -----------------------------------------------------

struct ParsedAlias {
  std::uint16_t version = 0;
  std::uint16_t kind = 0;
  std::string volume_name;        // fixed part, UTF-8
  std::string target_name;        // fixed part, UTF-8
  std::uint64_t volume_date = 0;  // 1/65536 s since 1904, UTC
  std::uint64_t target_date = 0;
  std::uint16_t signature = 0;
  std::uint32_t parent_id = 0;
  std::uint32_t target_id = 0;
  OSType file_type = 0;
  OSType file_creator = 0;
  std::int16_t nlvl_from = -1;
  std::int16_t nlvl_to = -1;
  std::uint32_t volume_attributes = 0;
  std::uint16_t filesystem_id = 0;
  std::optional<std::u16string> unicode_target_name;  // tag 14
  std::optional<std::u16string> unicode_volume_name;  // tag 15
  std::optional<std::string> hfs_path;                // tag 2, raw
  std::optional<std::string> posix_path;              // tag 18
  std::optional<std::string> mount_point;             // tag 19
};

// Parses the record in `alias`: noErr and *out filled; paramErr for a null
// handle or a record that is damaged, truncated, of another version than 2
// or 3, or longer than its handle. *out is untouched on failure.
OSStatus parse_handle(AliasHandle alias, ParsedAlias* out);

// The target path the record stores (see FSCopyAliasInfo's `pathString`);
// nullopt when it holds neither path, or when no mount point can be named
// for it or the one named holds a NUL.
std::optional<std::string> stored_path(const ParsedAlias& a);

// ---- Names and paths ------------------------------------------------------

// HFS writes ':' where POSIX names hold '/', and the other way round.
std::string swap_separators(std::string_view name);

// The folder holding `path` ("/" for a top-level entry or a bare name).
std::string parent_of(const std::string& path);
// What follows the last '/' of `path`, or all of it.
std::string last_component(const std::string& path);
// The non-empty names between the slashes of `path`.
std::vector<std::string> components(std::string_view path);
// The topmost folder above `path` (itself included) on the same device.
std::string mount_point_for(const std::string& path, dev_t device);

}  // namespace alias_internal
