// Alias records: reading real Mac records (versions 2 and 3), rejecting
// damaged ones, writing version 2 records and resolving them, handles.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "locator_support.h"
#include "platform/CoreServices.h"

namespace {

using locator_test::TempDir;
namespace fs = std::filesystem;
using Tags = std::vector<std::pair<std::int16_t, std::string>>;

HandlePtr to_handle(const NSData& bytes, std::size_t count) {
  Handle h = nullptr;
  EXPECT_EQ(PtrToHand(bytes.data(), &h, static_cast<Size>(count)), noErr);
  return HandlePtr(h);
}
HandlePtr to_handle(const NSData& bytes) { return to_handle(bytes, bytes.size()); }

AliasHandle as_alias(const HandlePtr& h) { return reinterpret_cast<AliasHandle>(h.get()); }

struct Info {
  OSStatus status = 1;
  std::optional<std::string> path;
  std::string target_name;
  std::string volume_name;
  FSAliasInfo info{};
};

std::string ascii(const HFSUniStr255& s) {
  std::string out;
  for (int i = 0; i < s.length; ++i) out += static_cast<char>(s.unicode[i]);
  return out;
}

Info read_record(const NSData& bytes, std::size_t count) {
  HandlePtr h = to_handle(bytes, count);
  Info r;
  HFSUniStr255 target{}, volume{};
  FSAliasInfoBitmap which = 0;
  r.status = FSCopyAliasInfo(as_alias(h), &target, &volume, &r.path, &which, &r.info);
  r.target_name = ascii(target);
  r.volume_name = ascii(volume);
  return r;
}
Info read_record(const NSData& bytes) { return read_record(bytes, bytes.size()); }

// Checked stores: a record made too short fails the test instead of writing
// past it (and newer compilers cannot prove the offsets in range).
void put16(NSData& b, std::size_t at, std::uint16_t v) {
  b.at(at) = static_cast<std::uint8_t>(v >> 8);
  b.at(at + 1) = static_cast<std::uint8_t>(v);
}
std::uint16_t get16(const NSData& b, std::size_t at) {
  return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
std::uint32_t get32(const NSData& b, std::size_t at) {
  return (std::uint32_t{get16(b, at)} << 16) | get16(b, at + 2);
}

// A version 2 record made by hand, independent of the writer under test.
NSData v2_record(const Tags& tags, std::uint32_t attributes = 0x0920,
                 const std::string& volume = "Macintosh HD") {
  NSData b(150, 0);
  put16(b, 6, 2);
  b[0x0A] = static_cast<std::uint8_t>(volume.size());
  std::copy(volume.begin(), volume.end(), b.begin() + 0x0B);
  put16(b, 0x82, 0xFFFF);
  put16(b, 0x84, 0xFFFF);
  put16(b, 0x86, static_cast<std::uint16_t>(attributes >> 16));
  put16(b, 0x88, static_cast<std::uint16_t>(attributes));
  for (const auto& [tag, value] : tags) {
    const std::size_t at = b.size();
    b.resize(at + 4);
    put16(b, at, static_cast<std::uint16_t>(tag));
    put16(b, at + 2, static_cast<std::uint16_t>(value.size()));
    b.insert(b.end(), value.begin(), value.end());
    if (value.size() & 1) b.push_back(0);
  }
  b.insert(b.end(), {0xFF, 0xFF, 0, 0});
  put16(b, 4, static_cast<std::uint16_t>(b.size()));
  return b;
}

// The tagged items of a record, read by the test's own walk.
Tags items_of(const NSData& b, std::size_t first) {
  Tags items;
  std::size_t at = first;
  while (at + 4 <= b.size()) {
    const auto tag = static_cast<std::int16_t>(get16(b, at));
    const std::size_t length = get16(b, at + 2);
    if (tag == -1) break;
    items.emplace_back(tag, std::string(b.begin() + static_cast<long>(at + 4),
                                        b.begin() + static_cast<long>(at + 4 + length)));
    at += 4 + length + (length & 1);
  }
  return items;
}

// True when the tags appear in the order `wanted` lists them.
bool in_order(const Tags& items, const std::vector<std::int16_t>& wanted) {
  std::size_t next = 0;
  for (const auto& item : items) {
    while (next < wanted.size() && wanted[next] != item.first) ++next;
    if (next == wanted.size()) return false;
    ++next;
  }
  return true;
}

std::string tag_value(const Tags& items, std::int16_t tag) {
  for (const auto& [t, v] : items) {
    if (t == tag) return v;
  }
  return "<absent>";
}

NSData new_alias_bytes(const std::string& path, const FSRef* base = nullptr) {
  FSRef target;
  EXPECT_EQ(FSPathMakeRef(path.c_str(), &target, nullptr), noErr) << path;
  AliasHandle alias = nullptr;
  EXPECT_EQ(FSNewAlias(base, &target, &alias), noErr);
  HandlePtr h(reinterpret_cast<Handle>(alias));
  return NSData(*h.get(), *h.get() + GetHandleSize(h.get()));
}

OSErr resolve(const NSData& record, const FSRef* base, std::string* path) {
  HandlePtr h = to_handle(record);
  FSRef target;
  Boolean changed = 1;
  const OSErr status = FSResolveAlias(base, as_alias(h), &target, &changed);
  EXPECT_EQ(changed, 0);
  path->clear();
  if (status == noErr) {
    EXPECT_EQ(FSRefMakePath(&target, path), noErr);
  }
  return status;
}

const std::map<std::string, std::string> kRealTargets = {
    {"dtformats.com.apple.loginitems.plist.alias_data.v3.bin",
     "/Applications/iTunes.app/Contents/MacOS/iTunesHelper.app"},
    {"plaso.com.apple.loginitems.Alias.v3.bin",
     "/Applications/iTunes.app/Contents/MacOS/iTunesHelper.app"},
    {"firefox-test_migration_to_8.StuffItExpander.v2.bin",
     "/Applications/StuffIt Standard 9.0/StuffIt Expander.app"},
    {"epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin",
     "/Users/hangal/Library/Thunderbird/Profiles/72xvs1ww.default/ImapMail/xenon.stanford.edu"},
    {"mc-notes-bibdesk.Guo2010-pdf.v2.bin",
     "/Users/maxz/Dropbox/Paper/Bibliography/article/Guo/"
     "Resolution of cell fate decisions revealed0.pdf"},
};

const char* const kAllRealRecords[] = {
    "dtformats.com.apple.loginitems.plist.alias_data.v3.bin",
    "plaso.com.apple.loginitems.Alias.v3.bin",
    "firefox-test_migration_to_8.StuffItExpander.v2.bin",
    "epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin",
    "mc-notes-bibdesk.Guo2010-pdf.v2.bin",
    "bitcoin-custom_dsstore.background-tiff.v2.bin",
    "bitcoin-custom_dsstore.background-tiff.v2.tag20-disk-image.bin",
};

// ---- Reading real records ---------------------------------------------------

TEST(AliasRead, RealRecordsGiveTheTargetPathTheyStore) {
  SKIP_WITHOUT_SHARED("epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin");
  for (const auto& [name, expected] : kRealTargets) {
    const Info r = read_record(locator_test::read_bytes(locator_test::shared(name)));
    EXPECT_EQ(r.status, noErr) << name;
    EXPECT_EQ(r.path, expected) << name;
  }
}

TEST(AliasRead, VersionTwoFieldsComeFromTheFixedPartAndTheTags) {
  SKIP_WITHOUT_SHARED("epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin");
  const Info r = read_record(locator_test::read_bytes(
      locator_test::shared("epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin")));
  ASSERT_EQ(r.status, noErr);
  EXPECT_EQ(r.target_name, "xenon.stanford.edu");
  EXPECT_EQ(r.volume_name, "Macintosh HD");
  EXPECT_TRUE(r.info.isDirectory);
  EXPECT_EQ(r.info.parentDirID, 625488u);
  EXPECT_EQ(r.info.nodeID, 625489u);
  EXPECT_EQ(r.info.signature, 0x482B);
  EXPECT_TRUE(r.info.volumeIsBootVolume);
  EXPECT_FALSE(r.info.volumeIsEjectable);
  // The UTC dates of tags 16 and 17 win over the local fixed-part dates.
  EXPECT_EQ(r.info.volumeCreateDate.lowSeconds, 0xC6AB7BF6u);
  EXPECT_EQ(r.info.targetCreateDate.lowSeconds, 0xC6E80481u);
}

TEST(AliasRead, VersionThreeFieldsAndNamesComeFromItsOwnLayout) {
  SKIP_WITHOUT_SHARED("dtformats.com.apple.loginitems.plist.alias_data.v3.bin");
  const Info r = read_record(locator_test::read_bytes(
      locator_test::shared("dtformats.com.apple.loginitems.plist.alias_data.v3.bin")));
  ASSERT_EQ(r.status, noErr);
  EXPECT_EQ(r.target_name, "iTunesHelper.app");
  EXPECT_EQ(r.volume_name, "Macintosh HD");
  EXPECT_EQ(r.info.parentDirID, 0x26EAEu);
  EXPECT_EQ(r.info.nodeID, 0x26EB1u);
  EXPECT_EQ(r.info.volumeCreateDate.lowSeconds, 0xCE18710Eu);
  EXPECT_EQ(r.info.targetCreateDate.lowSeconds, 0xCBF70A4Fu);
  EXPECT_TRUE(r.info.isDirectory);
}

TEST(AliasRead, LongNamesComeWholeFromTheUnicodeTag) {
  SKIP_WITHOUT_SHARED("mc-notes-bibdesk.Guo2010-pdf.v2.bin");
  const NSData bytes =
      locator_test::read_bytes(locator_test::shared("mc-notes-bibdesk.Guo2010-pdf.v2.bin"));
  const Info r = read_record(bytes);
  EXPECT_EQ(r.target_name, "Resolution of cell fate decisions revealed0.pdf");
  EXPECT_FALSE(r.info.isDirectory);
}

TEST(AliasRead, DiskImageRecordWithoutMountPointOrVolumeNameHasNoPath) {
  SKIP_WITHOUT_SHARED("bitcoin-custom_dsstore.background-tiff.v2.bin");
  const Info outer = read_record(locator_test::read_bytes(
      locator_test::shared("bitcoin-custom_dsstore.background-tiff.v2.bin")));
  EXPECT_EQ(outer.status, noErr);  // its nested tag 20 record is valid too
  EXPECT_FALSE(outer.path.has_value());
  EXPECT_TRUE(outer.info.volumeIsEjectable);

  const Info image = read_record(locator_test::read_bytes(
      locator_test::shared("bitcoin-custom_dsstore.background-tiff.v2.tag20-disk-image.bin")));
  EXPECT_EQ(image.status, noErr);
  EXPECT_EQ(image.info.fileType, 0x64657672u);     // 'devr' at offset 122
  EXPECT_EQ(image.info.fileCreator, 0x6464736Bu);  // 'ddsk' at offset 126
}

TEST(AliasRead, EveryTruncationOfARealRecordIsRejected) {
  SKIP_WITHOUT_SHARED("epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin");
  for (const char* name : kAllRealRecords) {
    const NSData whole = locator_test::read_bytes(locator_test::shared(name));
    for (std::size_t n = 0; n < whole.size(); ++n) {
      // Cut short, with the size field still claiming the whole record...
      const Info cut = read_record(whole, n);
      EXPECT_NE(cut.status, noErr) << name << " cut to " << n;
      EXPECT_FALSE(cut.path.has_value());
      // ...and cut short with the size field agreeing: no end marker left.
      if (n >= 8) {
        NSData patched(whole.begin(), whole.begin() + static_cast<long>(n));
        put16(patched, 4, static_cast<std::uint16_t>(n));
        EXPECT_NE(read_record(patched).status, noErr) << name << " resized to " << n;
      }
    }
  }
}

TEST(AliasRead, BytesBeyondTheRecordSizeAreIgnored) {
  SKIP_WITHOUT_SHARED("firefox-test_migration_to_8.StuffItExpander.v2.bin");
  NSData bytes = locator_test::read_bytes(
      locator_test::shared("firefox-test_migration_to_8.StuffItExpander.v2.bin"));
  bytes.insert(bytes.end(), 37, 0xEE);
  EXPECT_EQ(read_record(bytes).path, "/Applications/StuffIt Standard 9.0/StuffIt Expander.app");
}

// ---- Reading: damage and fallbacks ------------------------------------------

TEST(AliasRead, DamagedRecordsAreRejectedWithParamErr) {
  const NSData good = v2_record({{18, "Users/u/Music"}, {19, "/"}});
  ASSERT_EQ(read_record(good).path, "/Users/u/Music");

  NSData version = good;
  put16(version, 6, 4);
  NSData too_small = good;
  put16(too_small, 4, 150 + 3);
  NSData past_end = good;
  put16(past_end, 150 + 2, 0x7000);  // first item longer than the record
  NSData no_marker = good;
  no_marker[no_marker.size() - 4] = 0x00;  // the end marker becomes tag 0
  const NSData bad_count = v2_record({{14, std::string("\x00\x09"
                                                       "ab",
                                                       4)}});
  const NSData bad_nested = v2_record({{20, std::string(40, '\x01')}, {18, "x"}});
  // A path holding a NUL would be read as its folder.
  const NSData nul_in_path = v2_record({{18, std::string("tmp\0x", 5)}, {19, "/"}});

  const std::vector<const NSData*> all = {&version,   &too_small,  &past_end,   &no_marker,
                                          &bad_count, &bad_nested, &nul_in_path};
  for (const NSData* damaged : all) {
    const Info r = read_record(*damaged);
    EXPECT_EQ(r.status, paramErr);
    EXPECT_FALSE(r.path.has_value());
  }
  HFSUniStr255 name{};
  std::optional<std::string> path = "stale";
  EXPECT_EQ(FSCopyAliasInfo(nullptr, &name, nullptr, &path, nullptr, nullptr), paramErr);
  EXPECT_FALSE(path.has_value());  // cleared before failing
}

TEST(AliasRead, StoredPathFallsBackAsTheRecordAllows) {
  // No mount point: the boot bit means "/", otherwise /Volumes/<name>.
  EXPECT_EQ(read_record(v2_record({{18, "Users/u"}})).path, "/Users/u");
  EXPECT_EQ(read_record(v2_record({{18, "/Music/x"}}, 0x0D02, "Disk")).path,
            "/Volumes/Disk/Music/x");
  EXPECT_FALSE(read_record(v2_record({{18, "/x"}}, 0x0D02, "")).path.has_value());
  // An empty POSIX path is the mount point itself.
  EXPECT_EQ(read_record(v2_record({{18, ""}, {19, "/Volumes/Disk"}})).path, "/Volumes/Disk");
  // Classic records: the HFS path, NULs dropped, '/' inside names is ':'.
  EXPECT_EQ(read_record(v2_record({{2, std::string("Macintosh HD:Users:\0maxz:\0a/b", 29)}})).path,
            "/Users/maxz/a:b");
  // Text that is not UTF-8 is Mac Roman.
  EXPECT_EQ(read_record(v2_record({{18,
                                    "M\x8A"
                                    "dchen"},
                                   {19, "/"}}))
                .path,
            "/M\xC3\xA4"
            "dchen");
  // Neither path tag: a readable record without a path.
  const Info none = read_record(v2_record({{0, "Music"}}));
  EXPECT_EQ(none.status, noErr);
  EXPECT_FALSE(none.path.has_value());
}

// ---- Writing ----------------------------------------------------------------

TEST(AliasWrite, RecordHasTheMacShapeAndReadsBack) {
  TempDir dir;
  fs::create_directories(dir / "Music/iTunes");
  const std::string target = dir / "Music/iTunes";
  const NSData b = new_alias_bytes(target);

  EXPECT_EQ(get32(b, 0), 0u);         // userType
  EXPECT_EQ(get16(b, 4), b.size());   // size, end marker included
  EXPECT_EQ(get16(b, 6), 2);          // version
  EXPECT_EQ(get16(b, 8), 1);          // folder
  EXPECT_EQ(get16(b, 0x2A), 0x482B);  // 'H+'
  EXPECT_EQ(get16(b, 0x82), 0xFFFF);  // not relative
  EXPECT_EQ(get16(b, 0x84), 0xFFFF);
  EXPECT_EQ(b[0x32], 6);  // Pascal name "iTunes"
  EXPECT_EQ(std::string(b.begin() + 0x33, b.begin() + 0x39), "iTunes");
  EXPECT_EQ(get32(b, b.size() - 4), 0xFFFF0000u);

  struct stat st {
  }, parent{};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  ASSERT_EQ(stat((dir / "Music").c_str(), &parent), 0);
  EXPECT_EQ(get32(b, 0x72), static_cast<std::uint32_t>(st.st_ino));
  EXPECT_EQ(get32(b, 0x2E), static_cast<std::uint32_t>(parent.st_ino));

  const Tags items = items_of(b, 150);
  EXPECT_TRUE(in_order(items, {0, 16, 17, 1, 2, 14, 15, 18, 19, 21}));
  for (std::int16_t tag : std::initializer_list<std::int16_t>{0, 16, 17, 1, 2, 14, 15, 18, 19})
    EXPECT_NE(tag_value(items, tag), "<absent>") << tag;
  EXPECT_EQ(tag_value(items, 0), "Music");
  const std::string mount = tag_value(items, 19);
  const std::string below = tag_value(items, 18);
  EXPECT_EQ(mount == "/" ? "/" + below : mount + below, target);
  EXPECT_EQ(tag_value(items, 14), std::string("\0\x06\0i\0T\0u\0n\0e\0s", 14));

  const Info r = read_record(b);
  EXPECT_EQ(r.status, noErr);
  EXPECT_EQ(r.path, target);
  EXPECT_EQ(r.target_name, "iTunes");
  EXPECT_TRUE(r.info.isDirectory);
}

TEST(AliasWrite, TargetInsideHomeCarriesTheHomePrefixLength) {
  TempDir dir;
  locator_test::ScopedHome home(dir / "home");
  locator_test::touch(dir / "home/Music/song.mp3");
  const Tags items = items_of(new_alias_bytes(dir / "home/Music/song.mp3"), 150);
  const std::string below = tag_value(items, 18);
  const std::string count = tag_value(items, 21);
  ASSERT_EQ(count.size(), 2u);
  const std::size_t prefix =
      (static_cast<std::uint8_t>(count[0]) << 8) | static_cast<std::uint8_t>(count[1]);
  ASSERT_LE(prefix, below.size());
  EXPECT_EQ(below.substr(prefix), "Music/song.mp3");
  EXPECT_EQ(below[prefix - 1], '/');

  // Outside the home folder there is no tag 21.
  locator_test::touch(dir / "elsewhere/x");
  EXPECT_EQ(tag_value(items_of(new_alias_bytes(dir / "elsewhere/x"), 150), 21), "<absent>");
}

TEST(AliasWrite, LongNamesAreShortenedInTheFixedPartOnly) {
  TempDir dir;
  const std::string name = "Resolution of cell fate decisions revealed0.pdf";
  locator_test::touch(dir / name);
  const NSData b = new_alias_bytes(dir / name);
  struct stat st {};
  ASSERT_EQ(stat((dir / name).c_str(), &st), 0);
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, "#%X.pdf",
                static_cast<unsigned>(static_cast<std::uint32_t>(st.st_ino)));
  ASSERT_EQ(b[0x32], 31);
  const std::string fixed(b.begin() + 0x33, b.begin() + 0x33 + 31);
  EXPECT_EQ(fixed.substr(31 - std::strlen(suffix)), suffix);
  EXPECT_EQ(fixed.substr(0, 10), "Resolution");
  EXPECT_EQ(read_record(b).target_name, name);
}

TEST(AliasWrite, RelativeRecordCountsLevelsLikeTheMacSample) {
  // The BibDesk record: base file in Paper/, target four levels below it.
  TempDir dir;
  locator_test::touch(dir / "Paper/refs.bib");
  locator_test::touch(dir / "Paper/Bibliography/article/Guo/x.pdf");
  FSRef base;
  ASSERT_EQ(FSPathMakeRef((dir / "Paper/refs.bib").c_str(), &base, nullptr), noErr);
  const NSData b = new_alias_bytes(dir / "Paper/Bibliography/article/Guo/x.pdf", &base);
  EXPECT_EQ(static_cast<std::int16_t>(get16(b, 0x82)), 1);
  EXPECT_EQ(static_cast<std::int16_t>(get16(b, 0x84)), 5);
}

TEST(AliasWrite, MissingOrNullTargetIsRefused) {
  TempDir dir;
  locator_test::touch(dir / "gone");
  FSRef ref;
  ASSERT_EQ(FSPathMakeRef((dir / "gone").c_str(), &ref, nullptr), noErr);
  fs::remove(dir / "gone");
  AliasHandle alias = reinterpret_cast<AliasHandle>(1);
  EXPECT_EQ(FSNewAlias(nullptr, &ref, &alias), fnfErr);
  EXPECT_EQ(alias, nullptr);
  EXPECT_EQ(FSNewAlias(nullptr, nullptr, &alias), paramErr);
  EXPECT_EQ(FSPathMakeRef((dir / "gone").c_str(), &ref, nullptr), fnfErr);
}

// ---- Resolving --------------------------------------------------------------

TEST(AliasResolve, AbsoluteRecordFindsItsTargetUntilItIsGone) {
  TempDir dir;
  locator_test::touch(dir / "a/file");
  const NSData record = new_alias_bytes(dir / "a/file");
  std::string path;
  EXPECT_EQ(resolve(record, nullptr, &path), noErr);
  EXPECT_EQ(path, dir / "a/file");
  // Renamed, with another file made at the old path: the record's file id
  // finds the target under its new name, never the newcomer.
  fs::rename(dir / "a/file", dir / "a/renamed");
  locator_test::touch(dir / "a/file");
  EXPECT_EQ(resolve(record, nullptr, &path), noErr);
  EXPECT_EQ(path, dir / "a/renamed");
  fs::rename(dir / "a/renamed", dir / "elsewhere");
  EXPECT_EQ(resolve(record, nullptr, &path), fnfErr);
  fs::rename(dir / "a", dir / "b");
  EXPECT_EQ(resolve(record, nullptr, &path), fnfErr);
  EXPECT_EQ(resolve(v2_record({{18, "x"}}, 0x0D02, ""), nullptr, &path), fnfErr)
      << "no stored path";
}

TEST(AliasResolve, RelativeRecordFollowsItsBaseWhenBothMove) {
  TempDir dir;
  locator_test::touch(dir / "old/lib/sub/target");
  FSRef base;
  ASSERT_EQ(FSPathMakeRef((dir / "old/lib").c_str(), &base, nullptr), noErr);
  const NSData record = new_alias_bytes(dir / "old/lib/sub/target", &base);
  fs::rename(dir / "old", dir / "new");

  FSRef moved_base;
  ASSERT_EQ(FSPathMakeRef((dir / "new/lib").c_str(), &moved_base, nullptr), noErr);
  std::string path;
  EXPECT_EQ(resolve(record, &moved_base, &path), noErr);
  EXPECT_EQ(path, dir / "new/lib/sub/target");
  EXPECT_EQ(resolve(record, nullptr, &path), fnfErr);  // the stored path is stale
}

TEST(AliasResolve, RealRelativeRecordResolvesFromABaseOnThisMachine) {
  SKIP_WITHOUT_SHARED("mc-notes-bibdesk.Guo2010-pdf.v2.bin");
  TempDir dir;
  const std::string target =
      dir / "Paper/Bibliography/article/Guo/Resolution of cell fate decisions revealed0.pdf";
  locator_test::touch(target);
  locator_test::touch(dir / "Paper/library.bib");
  FSRef base;
  ASSERT_EQ(FSPathMakeRef((dir / "Paper/library.bib").c_str(), &base, nullptr), noErr);
  std::string path;
  EXPECT_EQ(
      resolve(locator_test::read_bytes(locator_test::shared("mc-notes-bibdesk.Guo2010-pdf.v2.bin")),
              &base, &path),
      noErr);
  EXPECT_EQ(path, target);
}

// ---- Handles and file references --------------------------------------------

TEST(Handles, CopyKeepsBytesAndLockStateIsSavedAndRestored) {
  const NSData bytes = {1, 2, 3, 4, 5};
  HandlePtr h = to_handle(bytes);
  EXPECT_EQ(GetHandleSize(h.get()), 5);
  EXPECT_EQ(std::memcmp(*h.get(), bytes.data(), 5), 0);
  EXPECT_EQ(HGetState(h.get()) & kHandleLockedMask, 0);
  HLock(h.get());
  const SInt8 locked = HGetState(h.get());
  EXPECT_NE(locked & kHandleLockedMask, 0);
  HUnlock(h.get());
  HSetState(h.get(), locked);
  EXPECT_EQ(HGetState(h.get()), locked);

  Handle none = reinterpret_cast<Handle>(1);
  EXPECT_EQ(PtrToHand(bytes.data(), &none, -1), paramErr);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(PtrToHand(nullptr, &none, 0), noErr);  // an empty handle is a handle
  EXPECT_EQ(GetHandleSize(none), 0);
  DisposeHandle(none);
  DisposeHandle(nullptr);
}

TEST(FileReferences, RefersToTheCanonicalEntryAndNoticesReplacement) {
  TempDir dir;
  locator_test::touch(dir / "real");
  fs::create_symlink(dir / "real", dir / "link");
  FSRef ref;
  Boolean is_dir = 1;
  ASSERT_EQ(FSPathMakeRef((dir / "link").c_str(), &ref, &is_dir), noErr);
  EXPECT_EQ(ref.path, dir / "real");
  EXPECT_EQ(is_dir, 0);
  std::string path;
  EXPECT_EQ(FSRefMakePath(&ref, &path), noErr);
  locator_test::touch(dir / "other");
  fs::rename(dir / "other", dir / "real");  // another file under the same name
  EXPECT_EQ(FSRefMakePath(&ref, &path), fnfErr);
}

}  // namespace
