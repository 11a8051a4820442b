// Fuzzes the alias-record reader (platform/CoreServices: FSCopyAliasInfo,
// FSResolveAlias) and the FileAlias object around it. The first byte picks
// the form and the base folder; the rest is an alias record, or with bit 0
// set a property-list archive whose root data object is the record (the
// form PlistCoder reads back).
//
// What must hold for any bytes:
//   - reading answers noErr or paramErr, never reads outside the record or
//     its handle (ASan), and rejects a record stating more bytes than its
//     handle holds;
//   - bytes after the record's stated size change nothing: the same
//     status, path, names and details with anything appended;
//   - resolving rejects exactly the records reading rejects;
//   - a FileAlias hands back the bytes it was given, through aliasData and
//     through archiving; it equals itself exactly when it resolves, and its
//     hash is 0 exactly when it does not.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "FileAlias/FileAlias.h"
#include "fuzz_input.h"
#include "platform/CoreServices.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_alias: %s\n", what);
  std::abort();
}

struct Reading {
  OSStatus status = noErr;
  HFSUniStr255 target{};
  HFSUniStr255 volume{};
  std::optional<std::string> path;
  FSAliasInfoBitmap which = 0;
  FSAliasInfo info{};

  bool operator==(const Reading& o) const {
    const auto same_name = [](const HFSUniStr255& a, const HFSUniStr255& b) {
      return a.length == b.length &&
             std::memcmp(a.unicode, b.unicode, a.length * sizeof a.unicode[0]) == 0;
    };
    const auto same_date = [](const UTCDateTime& a, const UTCDateTime& b) {
      return a.highSeconds == b.highSeconds && a.lowSeconds == b.lowSeconds &&
             a.fraction == b.fraction;
    };
    const FSAliasInfo& a = info;
    const FSAliasInfo& b = o.info;
    return status == o.status && same_name(target, o.target) && same_name(volume, o.volume) &&
           path == o.path && which == o.which &&
           same_date(a.volumeCreateDate, b.volumeCreateDate) &&
           same_date(a.targetCreateDate, b.targetCreateDate) && a.fileType == b.fileType &&
           a.fileCreator == b.fileCreator && a.parentDirID == b.parentDirID &&
           a.nodeID == b.nodeID && a.filesystemID == b.filesystemID && a.signature == b.signature &&
           a.volumeIsBootVolume == b.volumeIsBootVolume &&
           a.volumeIsAutomounted == b.volumeIsAutomounted &&
           a.volumeIsEjectable == b.volumeIsEjectable &&
           a.volumeHasPersistentFileIDs == b.volumeHasPersistentFileIDs &&
           a.isDirectory == b.isDirectory;
  }
};

HandlePtr handle_of(const std::string& bytes) {
  Handle h = nullptr;
  if (PtrToHand(bytes.data(), &h, static_cast<Size>(bytes.size())) != noErr) fail("no handle");
  return HandlePtr(h);
}

Reading read_record(const std::string& bytes) {
  HandlePtr h = handle_of(bytes);
  Reading r;
  r.status = FSCopyAliasInfo(reinterpret_cast<AliasHandle>(h.get()), &r.target, &r.volume, &r.path,
                             &r.which, &r.info);
  if (r.status != noErr && r.status != paramErr) fail("reading answers neither noErr nor paramErr");
  return r;
}

const char* const kBases[] = {"/", "/tmp", "/nonexistent-base", "/usr/bin"};

void check_record(const std::string& record, const char* base) {
  const Reading reading = read_record(record);
  const size_t stated = record.size() >= 6
                            ? static_cast<size_t>(static_cast<uint8_t>(record[4]) << 8 |
                                                  static_cast<uint8_t>(record[5]))
                            : 0;
  if (stated > record.size() && reading.status != paramErr)
    fail("a record stating more bytes than its handle holds is read");
  if (stated <= record.size() && record.size() >= 8) {
    if (!(read_record(record + std::string(37, '\xA5')) == reading))
      fail("bytes after the record's stated size change what is read");
  }

  HandlePtr h = handle_of(record);
  FSRef target;
  Boolean changed = 1;
  const OSErr resolved =
      FSResolveAlias(nullptr, reinterpret_cast<AliasHandle>(h.get()), &target, &changed);
  if ((resolved == paramErr) != (reading.status == paramErr))
    fail("resolving and reading disagree about the record");
  if (resolved != noErr && resolved != fnfErr && resolved != paramErr)
    fail("resolving answers an odd status");
  if (resolved == noErr && target.path.empty()) fail("a resolved record has no path");
  if (changed != 0) fail("the record is said to have changed");

  const NSData data(record.begin(), record.end());
  FileAlias::Ptr alias = FileAlias::initWithData(&data);
  if (!alias) fail("no FileAlias");
  if (alias->aliasData() != data) fail("aliasData is not the bytes given");
  const std::optional<std::string> full = alias->fullPath();
  if (alias->isEqual(alias.get()) != full.has_value()) fail("isEqual(self) is not 'resolves'");
  // A resolving alias may hash to 0 by chance; only the other way is wrong.
  if (!full && alias->hash() != 0) fail("an alias that does not resolve has a hash");
  (void)alias->fullPathRelativeToPath(std::string(base));

  PlistCoder coder;
  alias->encodeWithCoder(coder);
  const std::optional<NSData> archive = coder.binaryPlist();
  if (!archive) fail("no archive");
  std::optional<PlistCoder> back = PlistCoder::withArchive(*archive);
  if (!back) fail("an archive of ours does not read back");
  FileAlias::Ptr again = FileAlias::initWithCoder(*back);
  if (!again) fail("no FileAlias from the archive");
  if (again->aliasData() != data) fail("archiving does not give back the record");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t form = in.u8();
  const std::string bytes(in.rest());
  const char* base = kBases[(form >> 1) & 3];
  if (form & 1) {
    const NSData archive(bytes.begin(), bytes.end());
    std::optional<PlistCoder> coder = PlistCoder::withArchive(archive);
    if (!coder) return 0;
    const std::optional<NSData> record = coder->decodeDataObject();
    if (record) check_record(std::string(record->begin(), record->end()), base);
    return 0;
  }
  check_record(bytes, base);
  return 0;
}
