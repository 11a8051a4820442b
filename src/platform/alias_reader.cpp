// Reading alias records: FSCopyAliasInfo, and the parsing the resolver
// shares (contract in CoreServices.h and alias_record.h).
#include <algorithm>
#include <ctime>
#include <optional>

#include "platform/Foundation.h"
#include "platform/alias_record.h"
#include "platform/text_encodings.h"

using namespace alias_internal;
using namespace text_internal;

namespace {

// Text of classic-era records is Mac Roman; newer ones write UTF-8.
std::string record_text(std::string_view bytes) {
  return decode_utf8(bytes, nullptr) ? std::string(bytes) : mac_roman_to_utf8(bytes);
}

std::string pascal(std::span<const std::uint8_t> b, std::size_t at, std::size_t max_length) {
  const std::size_t n = std::min<std::size_t>(b[at], max_length);
  return std::string(reinterpret_cast<const char*>(b.data() + at + 1), n);
}

std::optional<std::u16string> unicode_item(std::span<const std::uint8_t> value, bool* ok) {
  if (value.size() < 2) {
    *ok = false;
    return std::nullopt;
  }
  const std::size_t count = be16(value, 0);
  if (2 + 2 * count > value.size()) {
    *ok = false;
    return std::nullopt;
  }
  std::u16string units;
  for (std::size_t i = 0; i < count; ++i) units += static_cast<char16_t>(be16(value, 2 + 2 * i));
  return units;
}

// The version 2 fixed-part dates are local seconds; we keep UTC.
std::uint64_t local_mac_seconds_to_utc(std::uint32_t local) {
  if (local == 0) return 0;
  const std::time_t unix_local = static_cast<std::time_t>(std::int64_t{local} - kMacEpochOffset);
  std::tm tm{};
  long offset = 0;
  if (localtime_r(&unix_local, &tm)) offset = tm.tm_gmtoff;
  const std::int64_t utc = std::int64_t{local} - offset;
  return utc > 0 ? static_cast<std::uint64_t>(utc) << 16 : 0;
}

// Tag 20 holds a whole record, read by the same rules one level deeper.
OSStatus parse_alias(std::span<const std::uint8_t> bytes, int depth, ParsedAlias* out);

// The 8-byte start every version shares, checked against the bytes given.
struct RecordStart {
  std::uint16_t version = 0;
  std::size_t fixed_end = 0;             // where the tagged items begin
  std::span<const std::uint8_t> record;  // without what an application appended
};

std::optional<RecordStart> read_record_start(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 8) return std::nullopt;
  const std::size_t size = be16(bytes, 4);
  const std::uint16_t version = be16(bytes, 6);
  if (version != 2 && version != 3) return std::nullopt;
  const std::size_t fixed_end = version == 2 ? kV2FixedEnd : kV3FixedEnd;
  if (size < fixed_end + kEndMarkerSize || size > bytes.size()) return std::nullopt;
  return RecordStart{version, fixed_end, bytes.first(size)};
}

void read_v2_fixed_part(std::span<const std::uint8_t> rec, ParsedAlias* a) {
  a->volume_name = mac_roman_to_utf8(pascal(rec, 0x0A, 27));
  a->volume_date = local_mac_seconds_to_utc(be32(rec, 0x26));
  a->signature = be16(rec, 0x2A);
  a->parent_id = be32(rec, 0x2E);
  a->target_name = mac_roman_to_utf8(pascal(rec, 0x32, 63));
  a->target_id = be32(rec, 0x72);
  a->target_date = local_mac_seconds_to_utc(be32(rec, 0x76));
  a->file_type = be32(rec, 0x7A);
  a->file_creator = be32(rec, 0x7E);
  a->nlvl_from = static_cast<std::int16_t>(be16(rec, 0x82));
  a->nlvl_to = static_cast<std::int16_t>(be16(rec, 0x84));
  a->volume_attributes = be32(rec, 0x86);
  a->filesystem_id = be16(rec, 0x8A);
}

// Version 3 keeps its names only in tags 14 and 15.
void read_v3_fixed_part(std::span<const std::uint8_t> rec, ParsedAlias* a) {
  a->volume_date = be64(rec, 0x0A);
  a->signature = be16(rec, 0x12);
  a->parent_id = be32(rec, 0x18);
  a->target_id = be32(rec, 0x1C);
  a->target_date = be64(rec, 0x20);
  a->volume_attributes = be32(rec, 0x28);
}

// One item's value into `a`; false when the value is damaged.
bool read_tagged_item(std::int16_t tag, std::span<const std::uint8_t> value, int depth,
                      ParsedAlias* a) {
  const std::string text(reinterpret_cast<const char*>(value.data()), value.size());
  bool ok = true;
  switch (tag) {
    case 2: a->hfs_path = text; break;
    case 14: a->unicode_target_name = unicode_item(value, &ok); break;
    case 15: a->unicode_volume_name = unicode_item(value, &ok); break;
    case 16:
      if (value.size() == 8) a->volume_date = be64(value, 0);
      break;
    case 17:
      if (value.size() == 8) a->target_date = be64(value, 0);
      break;
    case 18: a->posix_path = record_text(text); break;
    case 19: a->mount_point = record_text(text); break;
    case 20: {
      // The disk image's record is checked, not kept: nothing reads it.
      ParsedAlias nested;
      ok = parse_alias(value, depth + 1, &nested) == noErr;
      break;
    }
    default: break;  // unknown or unused tags are skipped by their length
  }
  return ok;
}

// The items from `at` up to the end marker; false when one runs past the
// record or is damaged, or the record ends before the marker.
bool read_tagged_items(std::span<const std::uint8_t> rec, std::size_t at, int depth,
                       ParsedAlias* a) {
  for (;;) {
    if (at + 4 > rec.size()) return false;  // no end marker within the record
    const auto tag = static_cast<std::int16_t>(be16(rec, at));
    const std::size_t length = be16(rec, at + 2);
    if (tag == -1) return true;  // the end marker
    if (at + 4 + length > rec.size()) return false;
    if (!read_tagged_item(tag, rec.subspan(at + 4, length), depth, a)) return false;
    at += 4 + length + (length & 1);
  }
}

// A name or path holding a NUL cannot be a file's: every C string made of
// it would end early and name some other entry (its folder, say).
bool holds_nul(const std::optional<std::string>& text) {
  return text && text->find('\0') != std::string::npos;
}

OSStatus parse_alias(std::span<const std::uint8_t> bytes, int depth, ParsedAlias* out) {
  if (depth > kMaxNesting) return paramErr;
  const std::optional<RecordStart> start = read_record_start(bytes);
  if (!start) return paramErr;

  ParsedAlias a;
  a.version = start->version;
  a.kind = be16(start->record, 0x08);
  if (a.version == 2) {
    read_v2_fixed_part(start->record, &a);
  } else {
    read_v3_fixed_part(start->record, &a);
  }
  if (!read_tagged_items(start->record, start->fixed_end, depth, &a)) return paramErr;
  if (holds_nul(a.posix_path) || holds_nul(a.mount_point)) return paramErr;
  *out = std::move(a);
  return noErr;
}

std::string volume_name_of(const ParsedAlias& a) {
  if (a.unicode_volume_name) return utf16_to_utf8(*a.unicode_volume_name);
  return a.volume_name;
}

std::optional<std::string> mount_point_of(const ParsedAlias& a) {
  if (a.mount_point) return a.mount_point;
  if (a.volume_attributes & kBootVolumeBit) return std::string("/");
  const std::string name = volume_name_of(a);
  if (name.empty()) return std::nullopt;
  return "/Volumes/" + swap_separators(name);
}

std::string join_below_mount(const std::string& mount, std::string_view below) {
  while (!below.empty() && below.front() == '/') below.remove_prefix(1);
  if (below.empty()) return mount;
  return stringByAppendingPathComponent(mount, below);
}

}  // namespace

namespace alias_internal {

std::optional<std::string> stored_path(const ParsedAlias& a) {
  if (!a.posix_path && !a.hfs_path) return std::nullopt;
  const std::optional<std::string> mount = mount_point_of(a);
  // A volume name holding a NUL would cut every C string made of the path.
  if (!mount || mount->find('\0') != std::string::npos) return std::nullopt;
  if (a.posix_path) return join_below_mount(*mount, *a.posix_path);

  std::string hfs;
  for (char c : *a.hfs_path) {
    if (c != '\0') hfs += c;
  }
  hfs = record_text(hfs);
  std::string below;
  std::size_t start = hfs.find(':');  // the volume name comes first
  while (start != std::string::npos) {
    const std::size_t next = hfs.find(':', start + 1);
    const std::string component =
        hfs.substr(start + 1, next == std::string::npos ? std::string::npos : next - start - 1);
    if (!component.empty()) {
      if (!below.empty()) below += '/';
      below += swap_separators(component);
    }
    start = next;
  }
  return join_below_mount(*mount, below);
}

OSStatus parse_handle(AliasHandle alias, ParsedAlias* out) {
  if (!alias || !*alias) return paramErr;
  Handle h = reinterpret_cast<Handle>(alias);
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(*h),
                                            static_cast<std::size_t>(GetHandleSize(h)));
  return parse_alias(bytes, 0, out);
}

}  // namespace alias_internal

namespace {

void fill_unistr(HFSUniStr255* out, const std::u16string& units) {
  out->length = static_cast<std::uint16_t>(std::min<std::size_t>(units.size(), 255));
  for (std::size_t i = 0; i < out->length; ++i) out->unicode[i] = units[i];
}

UTCDateTime utc_date(std::uint64_t packed) {
  return UTCDateTime{static_cast<std::uint16_t>(packed >> 48),
                     static_cast<std::uint32_t>(packed >> 16), static_cast<std::uint16_t>(packed)};
}

std::u16string target_name_of(const ParsedAlias& a) {
  return a.unicode_target_name ? *a.unicode_target_name : utf8_to_utf16(a.target_name);
}

Boolean has_attribute(const ParsedAlias& a, std::uint32_t bit) {
  return (a.volume_attributes & bit) ? 1 : 0;
}

FSAliasInfo alias_info(const ParsedAlias& a) {
  FSAliasInfo info{};
  info.volumeCreateDate = utc_date(a.volume_date);
  info.targetCreateDate = utc_date(a.target_date);
  info.fileType = a.file_type;
  info.fileCreator = a.file_creator;
  info.parentDirID = a.parent_id;
  info.nodeID = a.target_id;
  info.filesystemID = a.filesystem_id;
  info.signature = a.signature;
  info.volumeIsBootVolume = has_attribute(a, kBootVolumeBit);
  info.volumeIsAutomounted = has_attribute(a, kAutomountedBit);
  info.volumeIsEjectable = has_attribute(a, kEjectableBit);
  info.volumeHasPersistentFileIDs = has_attribute(a, kPersistentIDsBit);
  info.isDirectory = a.kind == 1 ? 1 : 0;
  return info;
}

// Only version 2 records carry a file type and creator.
FSAliasInfoBitmap alias_info_answered(const ParsedAlias& a) {
  return kFSAliasInfoVolumeCreateDate | kFSAliasInfoTargetCreateDate | kFSAliasInfoIsDirectory |
         kFSAliasInfoIDs | kFSAliasInfoFSInfo | kFSAliasInfoVolumeFlags |
         (a.version == 2 ? kFSAliasInfoFinderInfo : 0);
}

}  // namespace

OSStatus FSCopyAliasInfo(AliasHandle inAlias, HFSUniStr255* targetName, HFSUniStr255* volumeName,
                         std::optional<std::string>* pathString, FSAliasInfoBitmap* whichInfo,
                         FSAliasInfo* info) noexcept {
  if (targetName) targetName->length = 0;
  if (volumeName) volumeName->length = 0;
  if (pathString) pathString->reset();
  if (whichInfo) *whichInfo = kFSAliasInfoNone;
  if (info) *info = FSAliasInfo{};
  try {
    ParsedAlias a;
    if (const OSStatus status = parse_handle(inAlias, &a); status != noErr) return status;
    if (targetName) fill_unistr(targetName, target_name_of(a));
    if (volumeName) fill_unistr(volumeName, utf8_to_utf16(volume_name_of(a)));
    if (pathString) *pathString = stored_path(a);
    if (info) {
      *info = alias_info(a);
      if (whichInfo) *whichInfo = alias_info_answered(a);
    }
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}
