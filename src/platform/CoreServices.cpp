#include "platform/CoreServices.h"

#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <vector>

#include "platform/Foundation.h"

// ---- Memory handles -------------------------------------------------------

namespace {

// A Handle is the address of `master`, the first member, so the block is
// reached as *h exactly as on the Mac and the record is found from h again.
struct HandleBlock {
  char* master;
  Size size;
  std::uint8_t state;
};
static_assert(offsetof(HandleBlock, master) == 0);

HandleBlock* block_of(Handle h) noexcept { return reinterpret_cast<HandleBlock*>(h); }

Handle new_handle(Size size) noexcept {
  auto* block = static_cast<HandleBlock*>(std::malloc(sizeof(HandleBlock)));
  if (!block) return nullptr;
  // Never a zero-byte malloc: its null result would look like a failure.
  block->master = static_cast<char*>(std::calloc(size > 0 ? static_cast<std::size_t>(size) : 1, 1));
  if (!block->master) {
    std::free(block);
    return nullptr;
  }
  block->size = size;
  block->state = 0;
  return &block->master;
}

}  // namespace

Handle NewHandle(Size size) noexcept { return size < 0 ? nullptr : new_handle(size); }

OSErr PtrToHand(const void* srcPtr, Handle* dstHndl, Size size) noexcept {
  if (!dstHndl) return paramErr;
  *dstHndl = nullptr;
  if (size < 0 || (size > 0 && !srcPtr)) return paramErr;
  Handle h = new_handle(size);
  if (!h) return memFullErr;
  if (size > 0) std::memcpy(*h, srcPtr, static_cast<std::size_t>(size));
  *dstHndl = h;
  return noErr;
}

Size GetHandleSize(Handle h) noexcept { return h ? block_of(h)->size : 0; }

SInt8 HGetState(Handle h) noexcept { return h ? static_cast<SInt8>(block_of(h)->state) : 0; }

void HSetState(Handle h, SInt8 flags) noexcept {
  if (h) block_of(h)->state = static_cast<std::uint8_t>(flags);
}

void HLock(Handle h) noexcept {
  if (h) block_of(h)->state |= kHandleLockedMask;
}

void HUnlock(Handle h) noexcept {
  if (h) block_of(h)->state &= static_cast<std::uint8_t>(~kHandleLockedMask);
}

void DisposeHandle(Handle h) noexcept {
  if (!h) return;
  HandleBlock* block = block_of(h);
  std::free(block->master);
  std::free(block);
}

// ---- File references ------------------------------------------------------

OSStatus FSPathMakeRef(const char* path, FSRef* ref, Boolean* isDirectory) noexcept {
  if (isDirectory) *isDirectory = 0;
  if (!path || !ref) return paramErr;
  *ref = FSRef{};
  try {
    char* canonical = realpath(path, nullptr);
    if (!canonical) return fnfErr;
    std::string resolved(canonical);
    std::free(canonical);
    struct stat st {};
    if (stat(resolved.c_str(), &st) != 0) return fnfErr;
    ref->device = st.st_dev;
    ref->inode = st.st_ino;
    ref->path = std::move(resolved);
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}

OSStatus FSRefMakePath(const FSRef* ref, std::string* path) noexcept {
  if (!ref || !path) return paramErr;
  try {
    path->clear();
    struct stat st {};
    if (ref->path.empty() || stat(ref->path.c_str(), &st) != 0) return fnfErr;
    if (st.st_dev != ref->device || st.st_ino != ref->inode) return fnfErr;
    *path = ref->path;
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}

// ---- Alias records: text --------------------------------------------------

namespace {

// Mac OS Roman, bytes 0x80..0xFF, as Unicode code points.
constexpr std::uint16_t kMacRoman[128] = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1, 0x00E0, 0x00E2, 0x00E4,
    0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF,
    0x00F1, 0x00F3, 0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020,
    0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4,
    0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202,
    0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8, 0x00BF, 0x00A1,
    0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3,
    0x00D5, 0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A,
    0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC,
    0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC, 0x00AF,
    0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7};

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes UTF-8 into code points; false at the first malformed sequence.
bool decode_utf8(std::string_view text, std::u32string* out) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    int extra = 0;
    char32_t cp = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
      extra = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= text.size() && extra > 0) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    if (out) out->push_back(cp);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

std::string mac_roman_to_utf8(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    append_utf8(out, c < 0x80 ? char32_t{c} : char32_t{kMacRoman[c - 0x80]});
  }
  return out;
}

// Text of classic-era records is Mac Roman; newer ones write UTF-8.
std::string record_text(std::string_view bytes) {
  return decode_utf8(bytes, nullptr) ? std::string(bytes) : mac_roman_to_utf8(bytes);
}

// One Mac Roman byte per character; '?' where Mac Roman has none.
std::string utf8_to_mac_roman(std::string_view text) {
  std::u32string cps;
  if (!decode_utf8(text, &cps)) return std::string(text.size(), '?');
  std::string out;
  for (char32_t cp : cps) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
      continue;
    }
    char byte = '?';
    for (int i = 0; i < 128; ++i) {
      if (kMacRoman[i] == cp) {
        byte = static_cast<char>(0x80 + i);
        break;
      }
    }
    out += byte;
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u32string cps;
  if (!decode_utf8(text, &cps)) {
    cps.clear();
    (void)decode_utf8(mac_roman_to_utf8(text), &cps);
  }
  std::u16string out;
  for (char32_t cp : cps) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string utf16_to_utf8(const std::u16string& units) {
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    append_utf8(out, cp);
  }
  return out;
}

// HFS writes ':' where POSIX names hold '/', and the other way round.
std::string swap_separators(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == ':') {
      c = '/';
    } else if (c == '/') {
      c = ':';
    }
  }
  return out;
}

// ---- Alias records: reading -----------------------------------------------

constexpr std::size_t kV2FixedEnd = 150;
constexpr std::size_t kV3FixedEnd = 58;
constexpr std::size_t kEndMarkerSize = 4;
constexpr int kMaxNesting = 4;
constexpr std::uint32_t kBootVolumeBit = 0x0020;
constexpr std::uint32_t kEjectableBit = 0x0002;
constexpr std::uint32_t kAutomountedBit = 0x0080;
constexpr std::uint32_t kPersistentIDsBit = 0x0100;
constexpr std::int64_t kMacEpochOffset = 2082844800;  // 1904 to 1970, in seconds

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
         (std::uint32_t{b[at + 2]} << 8) | std::uint32_t{b[at + 3]};
}
std::uint64_t be64(std::span<const std::uint8_t> b, std::size_t at) {
  return (std::uint64_t{be32(b, at)} << 32) | be32(b, at + 4);
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

struct ParsedAlias {
  std::uint16_t version = 0;
  std::uint16_t kind = 0;
  std::string volume_name;  // fixed part, UTF-8
  std::string target_name;  // fixed part, UTF-8
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
  std::optional<std::string> hfs_path;                 // tag 2, raw
  std::optional<std::string> posix_path;               // tag 18
  std::optional<std::string> mount_point;              // tag 19
};

// The version 2 fixed-part dates are local seconds; we keep UTC.
std::uint64_t local_mac_seconds_to_utc(std::uint32_t local) {
  if (local == 0) return 0;
  const std::time_t unix_local = static_cast<std::time_t>(std::int64_t{local} - kMacEpochOffset);
  std::tm tm {};
  long offset = 0;
  if (localtime_r(&unix_local, &tm)) offset = tm.tm_gmtoff;
  const std::int64_t utc = std::int64_t{local} - offset;
  return utc > 0 ? static_cast<std::uint64_t>(utc) << 16 : 0;
}

OSStatus parse_alias(std::span<const std::uint8_t> bytes, int depth, ParsedAlias* out) {
  if (depth > kMaxNesting || bytes.size() < 8) return paramErr;
  const std::size_t size = be16(bytes, 4);
  const std::uint16_t version = be16(bytes, 6);
  if (version != 2 && version != 3) return paramErr;
  const std::size_t fixed_end = version == 2 ? kV2FixedEnd : kV3FixedEnd;
  if (size < fixed_end + kEndMarkerSize || size > bytes.size()) return paramErr;
  const std::span<const std::uint8_t> rec = bytes.first(size);

  ParsedAlias a;
  a.version = version;
  a.kind = be16(rec, 0x08);
  if (version == 2) {
    a.volume_name = mac_roman_to_utf8(pascal(rec, 0x0A, 27));
    a.volume_date = local_mac_seconds_to_utc(be32(rec, 0x26));
    a.signature = be16(rec, 0x2A);
    a.parent_id = be32(rec, 0x2E);
    a.target_name = mac_roman_to_utf8(pascal(rec, 0x32, 63));
    a.target_id = be32(rec, 0x72);
    a.target_date = local_mac_seconds_to_utc(be32(rec, 0x76));
    a.file_type = be32(rec, 0x7A);
    a.file_creator = be32(rec, 0x7E);
    a.nlvl_from = static_cast<std::int16_t>(be16(rec, 0x82));
    a.nlvl_to = static_cast<std::int16_t>(be16(rec, 0x84));
    a.volume_attributes = be32(rec, 0x86);
    a.filesystem_id = be16(rec, 0x8A);
  } else {
    a.volume_date = be64(rec, 0x0A);
    a.signature = be16(rec, 0x12);
    a.parent_id = be32(rec, 0x18);
    a.target_id = be32(rec, 0x1C);
    a.target_date = be64(rec, 0x20);
    a.volume_attributes = be32(rec, 0x28);
  }

  std::size_t at = fixed_end;
  for (;;) {
    if (at + 4 > size) return paramErr;  // no end marker within the record
    const auto tag = static_cast<std::int16_t>(be16(rec, at));
    const std::size_t length = be16(rec, at + 2);
    if (tag == -1) break;
    if (at + 4 + length > size) return paramErr;
    const std::span<const std::uint8_t> value = rec.subspan(at + 4, length);
    const std::string text(reinterpret_cast<const char*>(value.data()), value.size());
    bool ok = true;
    switch (tag) {
      case 2: a.hfs_path = text; break;
      case 14: a.unicode_target_name = unicode_item(value, &ok); break;
      case 15: a.unicode_volume_name = unicode_item(value, &ok); break;
      case 16: if (length == 8) a.volume_date = be64(value, 0); break;
      case 17: if (length == 8) a.target_date = be64(value, 0); break;
      case 18: a.posix_path = record_text(text); break;
      case 19: a.mount_point = record_text(text); break;
      case 20: {
        ParsedAlias nested;
        if (parse_alias(value, depth + 1, &nested) != noErr) ok = false;
        break;
      }
      default: break;  // unknown or unused tags are skipped by their length
    }
    if (!ok) return paramErr;
    at += 4 + length + (length & 1);
  }
  // A name or path holding a NUL cannot be a file's: every C string made of
  // it would end early and name some other entry (its folder, say).
  const auto holds_nul = [](const auto& text) {
    return text.find(static_cast<typename std::decay_t<decltype(text)>::value_type>(0)) !=
           std::decay_t<decltype(text)>::npos;
  };
  for (const auto* text : {&a.posix_path, &a.mount_point})
    if (*text && holds_nul(**text)) return paramErr;
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

void fill_unistr(HFSUniStr255* out, const std::u16string& units) {
  out->length = static_cast<std::uint16_t>(std::min<std::size_t>(units.size(), 255));
  for (std::size_t i = 0; i < out->length; ++i) out->unicode[i] = units[i];
}

UTCDateTime utc_date(std::uint64_t packed) {
  return UTCDateTime{static_cast<std::uint16_t>(packed >> 48),
                     static_cast<std::uint32_t>(packed >> 16),
                     static_cast<std::uint16_t>(packed)};
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
    if (targetName) {
      fill_unistr(targetName, a.unicode_target_name ? *a.unicode_target_name
                                                    : utf8_to_utf16(a.target_name));
    }
    if (volumeName) fill_unistr(volumeName, utf8_to_utf16(volume_name_of(a)));
    if (pathString) *pathString = stored_path(a);
    if (info) {
      info->volumeCreateDate = utc_date(a.volume_date);
      info->targetCreateDate = utc_date(a.target_date);
      info->fileType = a.file_type;
      info->fileCreator = a.file_creator;
      info->parentDirID = a.parent_id;
      info->nodeID = a.target_id;
      info->filesystemID = a.filesystem_id;
      info->signature = a.signature;
      info->volumeIsBootVolume = (a.volume_attributes & kBootVolumeBit) ? 1 : 0;
      info->volumeIsAutomounted = (a.volume_attributes & kAutomountedBit) ? 1 : 0;
      info->volumeIsEjectable = (a.volume_attributes & kEjectableBit) ? 1 : 0;
      info->volumeHasPersistentFileIDs = (a.volume_attributes & kPersistentIDsBit) ? 1 : 0;
      info->isDirectory = a.kind == 1 ? 1 : 0;
      if (whichInfo) {
        *whichInfo = kFSAliasInfoVolumeCreateDate | kFSAliasInfoTargetCreateDate |
                     kFSAliasInfoIsDirectory | kFSAliasInfoIDs | kFSAliasInfoFSInfo |
                     kFSAliasInfoVolumeFlags | (a.version == 2 ? kFSAliasInfoFinderInfo : 0);
      }
    }
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}

// ---- Alias records: writing -----------------------------------------------

namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string last_component(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at < path.size()) {
    const std::size_t next = path.find('/', at);
    const std::size_t end = next == std::string_view::npos ? path.size() : next;
    if (end > at) parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

// The topmost folder above `path` (itself included) on the same device.
std::string mount_point_for(const std::string& path, dev_t device) {
  std::string current = path;
  while (current != "/") {
    const std::string parent = parent_of(current);
    struct stat st {};
    if (stat(parent.c_str(), &st) != 0 || st.st_dev != device) return current;
    current = parent;
  }
  return "/";
}

// Birth time when the file system keeps one, else modification time.
std::int64_t creation_time(const std::string& path, bool birth_only) {
  struct statx sx {};
  if (statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) == 0) {
    if (sx.stx_mask & STATX_BTIME) return sx.stx_btime.tv_sec;
    if (!birth_only && (sx.stx_mask & STATX_MTIME)) return sx.stx_mtime.tv_sec;
  }
  return 0;
}

std::uint32_t local_mac_seconds(std::int64_t unix_utc) {
  if (unix_utc == 0) return 0;
  const auto t = static_cast<std::time_t>(unix_utc);
  std::tm tm {};
  long offset = 0;
  if (localtime_r(&t, &tm)) offset = tm.tm_gmtoff;
  const std::int64_t mac = unix_utc + offset + kMacEpochOffset;
  return mac < 0 || mac > UINT32_MAX ? 0 : static_cast<std::uint32_t>(mac);
}

std::uint64_t utc_mac_packed(std::int64_t unix_utc) {
  if (unix_utc == 0) return 0;
  const std::int64_t mac = unix_utc + kMacEpochOffset;
  return mac < 0 ? 0 : static_cast<std::uint64_t>(mac) << 16;
}

class RecordWriter {
 public:
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u16(std::uint16_t v) { u8(static_cast<std::uint8_t>(v >> 8)), u8(static_cast<std::uint8_t>(v)); }
  void u32(std::uint32_t v) { u16(static_cast<std::uint16_t>(v >> 16)), u16(static_cast<std::uint16_t>(v)); }
  void u64(std::uint64_t v) { u32(static_cast<std::uint32_t>(v >> 32)), u32(static_cast<std::uint32_t>(v)); }
  void zeros(std::size_t n) { bytes_.insert(bytes_.end(), n, 0); }
  void raw(std::string_view s) { bytes_.insert(bytes_.end(), s.begin(), s.end()); }
  void pascal(std::string_view s, std::size_t field) {  // field counts the length byte
    const std::size_t n = std::min(s.size(), field - 1);
    u8(static_cast<std::uint8_t>(n));
    raw(s.substr(0, n));
    zeros(field - 1 - n);
  }
  // False when the value cannot be stored in a 16-bit length.
  bool item(std::int16_t tag, std::string_view value) {
    if (value.size() > 0xFFFF) return false;
    u16(static_cast<std::uint16_t>(tag));
    u16(static_cast<std::uint16_t>(value.size()));
    raw(value);
    if (value.size() & 1) u8(0);
    return true;
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

std::string be_bytes(std::uint64_t v, int n) {
  std::string out;
  for (int i = n - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

std::string unicode_value(const std::string& utf8) {
  const std::u16string units = utf8_to_utf16(utf8);
  std::string out = be_bytes(units.size(), 2);
  for (char16_t u : units) out += be_bytes(u, 2);
  return out;
}

// The HFS limit of 31 bytes: longer names keep a prefix, then '#', the
// entry's ID in hex and the extension, as the Finder shows them.
std::string fixed_target_name(const std::string& hfs_name, std::uint32_t id) {
  const std::string roman = utf8_to_mac_roman(hfs_name);
  if (roman.size() <= 31) return roman;
  char hex[16];
  std::snprintf(hex, sizeof hex, "#%X", id);
  std::string suffix = hex;
  const std::size_t dot = roman.rfind('.');
  if (dot != std::string::npos && dot > 0 && roman.size() - dot + suffix.size() < 31)
    suffix += roman.substr(dot);
  return roman.substr(0, 31 - suffix.size()) + suffix;
}

std::string canonical_home() {
  const std::string home = stringByExpandingTildeInPath("~");
  char* resolved = realpath(home.c_str(), nullptr);
  if (!resolved) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

bool is_below(const std::string& path, const std::string& folder) {
  if (folder == "/") return path.size() > 1;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

struct Levels {
  std::int16_t from = -1;
  std::int16_t to = -1;
};

// Levels from the base's folder up to the common ancestor and from there
// down to the target, each plus one (the counting of the one Mac sample).
Levels relative_levels(const FSRef& base, const std::string& target) {
  struct stat st {};
  if (stat(base.path.c_str(), &st) != 0 || st.st_dev != base.device) return {};
  const std::string folder = S_ISDIR(st.st_mode) ? base.path : parent_of(base.path);
  const std::vector<std::string> up = components(folder);
  const std::vector<std::string> down = components(target);
  std::size_t common = 0;
  while (common < up.size() && common < down.size() && up[common] == down[common]) ++common;
  if (up.size() - common + 1 > 0x7FFF || down.size() - common + 1 > 0x7FFF) return {};
  return Levels{static_cast<std::int16_t>(up.size() - common + 1),
                static_cast<std::int16_t>(down.size() - common + 1)};
}

OSErr write_alias(const FSRef* fromFile, const FSRef& target, std::vector<std::uint8_t>* out) {
  struct stat st {};
  if (stat(target.path.c_str(), &st) != 0 || st.st_dev != target.device ||
      st.st_ino != target.inode)
    return fnfErr;
  const std::string& path = target.path;
  const std::string mount = mount_point_for(path, st.st_dev);
  const bool is_mount = path == mount;
  const std::string volume = mount == "/" ? std::string("Root") : last_component(mount);
  const std::string below = mount == "/" ? path.substr(1) : path.substr(mount.size());

  const std::string parent = parent_of(path);
  struct stat parent_st {};
  const bool has_parent = !is_mount && stat(parent.c_str(), &parent_st) == 0;
  const auto target_id = static_cast<std::uint32_t>(st.st_ino);
  const std::uint32_t parent_id = has_parent ? static_cast<std::uint32_t>(parent_st.st_ino) : 1;
  const std::string name = is_mount ? volume : last_component(path);
  const std::int64_t volume_time = creation_time(mount, true);
  const std::int64_t target_time = creation_time(path, false);
  const Levels levels = fromFile && fromFile->device == st.st_dev ? relative_levels(*fromFile, path)
                                                                  : Levels{};

  RecordWriter w;
  w.u32(0);  // userType
  w.u16(0);  // size, filled in last
  w.u16(2);
  w.u16(S_ISDIR(st.st_mode) ? 1 : 0);
  w.pascal(utf8_to_mac_roman(swap_separators(volume)), 28);
  w.u32(local_mac_seconds(volume_time));
  w.u16(0x482B);  // 'H+'
  w.u16(0);       // fixed disk
  w.u32(parent_id);
  w.pascal(fixed_target_name(swap_separators(name), target_id), 64);
  w.u32(target_id);
  w.u32(local_mac_seconds(target_time));
  w.u32(0);  // file type
  w.u32(0);  // file creator
  w.u16(static_cast<std::uint16_t>(levels.from));
  w.u16(static_cast<std::uint16_t>(levels.to));
  w.u32(mount == "/" ? 0x0920 : 0x0900);
  w.u16(0);  // filesystem ID
  w.zeros(10);

  bool fits = true;
  if (has_parent) {
    fits &= w.item(0, swap_separators(parent == mount ? volume : last_component(parent)));
  }
  fits &= w.item(16, be_bytes(utc_mac_packed(volume_time), 8));
  fits &= w.item(17, be_bytes(utc_mac_packed(target_time), 8));
  std::string ancestors;
  for (std::string folder = parent; has_parent && is_below(folder, mount); folder = parent_of(folder)) {
    struct stat fst {};
    if (stat(folder.c_str(), &fst) != 0) break;
    ancestors += be_bytes(static_cast<std::uint32_t>(fst.st_ino), 4);
  }
  if (!ancestors.empty()) fits &= w.item(1, ancestors);
  std::string hfs = swap_separators(volume);
  for (const std::string& part : components(below)) hfs += ":" + swap_separators(part);
  if (is_mount) hfs += ":";
  fits &= w.item(2, hfs);
  fits &= w.item(14, unicode_value(swap_separators(name)));
  fits &= w.item(15, unicode_value(volume));
  fits &= w.item(18, below);
  fits &= w.item(19, mount);
  const std::string home = canonical_home();
  struct stat home_st {};
  if (!home.empty() && home != mount && is_below(path, home) && stat(home.c_str(), &home_st) == 0 &&
      home_st.st_dev == st.st_dev) {
    const std::size_t prefix = (mount == "/" ? home.size() - 1 : home.size() - mount.size()) + 1;
    fits &= w.item(21, be_bytes(prefix, 2));
  }
  w.u16(0xFFFF);
  w.u16(0);
  std::vector<std::uint8_t>& bytes = w.bytes();
  if (!fits || bytes.size() > 0xFFFF) return paramErr;
  bytes[4] = static_cast<std::uint8_t>(bytes.size() >> 8);
  bytes[5] = static_cast<std::uint8_t>(bytes.size());
  *out = std::move(bytes);
  return noErr;
}

}  // namespace

OSErr FSNewAlias(const FSRef* fromFile, const FSRef* target, AliasHandle* inAlias) noexcept {
  if (!inAlias) return paramErr;
  *inAlias = nullptr;
  if (!target) return paramErr;
  try {
    std::vector<std::uint8_t> record;
    if (const OSErr status = write_alias(fromFile, *target, &record); status != noErr) return status;
    Handle h = nullptr;
    if (const OSErr status = PtrToHand(record.data(), &h, static_cast<Size>(record.size()));
        status != noErr)
      return status;
    *inAlias = reinterpret_cast<AliasHandle>(h);
    return noErr;
  } catch (...) {
    return memFullErr;
  }
}

// ---- Alias records: resolving ---------------------------------------------

namespace {

std::optional<std::string> relative_candidate(const FSRef& base, const ParsedAlias& a,
                                              const std::string& stored) {
  struct stat st {};
  if (stat(base.path.c_str(), &st) != 0) return std::nullopt;
  std::string folder = S_ISDIR(st.st_mode) ? base.path : parent_of(base.path);
  for (int up = 1; up < a.nlvl_from; ++up) {
    if (folder == "/") return std::nullopt;
    folder = parent_of(folder);
  }
  const std::vector<std::string> parts = components(stored);
  const auto down = static_cast<std::size_t>(a.nlvl_to - 1);
  if (down > parts.size()) return std::nullopt;
  std::string candidate = folder;
  for (std::size_t i = parts.size() - down; i < parts.size(); ++i)
    candidate = stringByAppendingPathComponent(candidate, parts[i]);
  return candidate;
}

// True when the record was made for the volume that holds `path`, as the
// writer names volumes here: its ids are then this file system's inode
// numbers. A record from a Mac carries catalog ids that mean nothing here.
bool ids_are_inodes_at(const ParsedAlias& a, const std::string& path) {
  if (a.target_id == 0 || a.target_id == 0xFFFFFFFF || !a.mount_point) return false;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  const std::string mount = mount_point_for(path, st.st_dev);
  const std::string volume = mount == "/" ? std::string("Root") : last_component(mount);
  return *a.mount_point == mount && a.volume_name == swap_separators(volume);
}

// True when `ref` is the record's target. A record made here keeps the
// target's file id (the low 32 bits of its inode), so a different file that
// has since taken the old path is not mistaken for it; other records can
// only go by the path.
bool same_target(const FSRef& ref, const ParsedAlias& a) {
  return !ids_are_inodes_at(a, ref.path) || static_cast<std::uint32_t>(ref.inode) == a.target_id;
}

// The target renamed inside its folder: the entry of the stored path's
// folder that carries the target's id.
std::optional<std::string> renamed_in_folder(const std::string& stored, const ParsedAlias& a) {
  const std::string folder = parent_of(stored);
  if (!ids_are_inodes_at(a, folder)) return std::nullopt;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0 &&
        static_cast<std::uint32_t>(st.st_ino) == a.target_id) {
      found = stringByAppendingPathComponent(folder, std::string(name));
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

OSErr FSResolveAlias(const FSRef* fromFile, AliasHandle alias, FSRef* target,
                     Boolean* wasChanged) noexcept {
  if (wasChanged) *wasChanged = 0;
  if (!target) return paramErr;
  *target = FSRef{};
  try {
    ParsedAlias a;
    if (const OSStatus status = parse_handle(alias, &a); status != noErr)
      return static_cast<OSErr>(status);
    const std::optional<std::string> stored = stored_path(a);
    const auto is_target = [&](const std::optional<std::string>& path) {
      return path && FSPathMakeRef(path->c_str(), target, nullptr) == noErr &&
             same_target(*target, a);
    };
    if (fromFile && stored && a.nlvl_from >= 1 && a.nlvl_to >= 1 &&
        is_target(relative_candidate(*fromFile, a, *stored)))
      return noErr;
    if (is_target(stored)) return noErr;
    if (stored && is_target(renamed_in_folder(*stored, a))) return noErr;
    *target = FSRef{};
    return fnfErr;
  } catch (...) {
    return memFullErr;
  }
}
