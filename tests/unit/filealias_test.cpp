// FileAlias: construction and its failures, the record as data,
// resolution, equality, archiving, and the four plain conversions.
#include <gtest/gtest.h>

#include <string>

#include "FileAlias/FileAlias.h"
#include "locator_support.h"
#include "platform/plist_memory.h"

namespace {

using locator_test::TempDir;
using locator_test::touch;
namespace fs = std::filesystem;

TEST(FileAliasEmpty, NilDataOrNullHandleGivesAnObjectWithoutAlias) {
  for (const FileAlias::Ptr& alias :
       {FileAlias::aliasWithData(nullptr), FileAlias::aliasWithAliasHandle(nullptr)}) {
    ASSERT_NE(alias, nullptr);
    EXPECT_EQ(alias->alias(), nullptr);
    EXPECT_FALSE(alias->aliasData().has_value());
    EXPECT_FALSE(alias->fullPath().has_value());
    EXPECT_EQ(alias->hash(), 0u);
    EXPECT_FALSE(alias->isEqual(alias.get()));
  }
}

TEST(FileAliasConstruction, MissingPathFailsWithMinus43InTheSlotOnly) {
  TempDir dir;
  std::optional<NSError> error;
  EXPECT_EQ(FileAlias::aliasWithPath(dir / "nothing", &error), nullptr);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->domain, NSOSStatusErrorDomain);
  EXPECT_EQ(error->code, -43);
  EXPECT_EQ(FileAlias::initWithPath(dir / "nothing", nullptr), nullptr);
  EXPECT_EQ(FileAlias::aliasWithPath(dir / "nothing"), nullptr);

  // Success leaves the slot as it was.
  std::optional<NSError> untouched = NSError::errorWithDomain("earlier", 7);
  EXPECT_NE(FileAlias::initWithPath(dir.path(), &untouched), nullptr);
  EXPECT_EQ(untouched->domain, "earlier");
  EXPECT_EQ(untouched->code, 7);
}

TEST(FileAliasConstruction, StaleFileReferenceReportsFSNewAliasStatus) {
  TempDir dir;
  touch(dir / "f");
  FSRef ref;
  ASSERT_EQ(PathToFSRef(dir / "f", &ref), 0);
  fs::remove(dir / "f");
  std::optional<NSError> error;
  EXPECT_EQ(FileAlias::initWithFSRef(&ref, &error), nullptr);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, fnfErr);
  EXPECT_EQ(FileAlias::aliasWithFSRef(&ref), nullptr);
}

TEST(FileAliasConstruction, PathRelativeToABaseFollowsTheBaseWhenItMoves) {
  TempDir dir;
  touch(dir / "lib/Music/track.m4a");
  FileAlias::Ptr alias = FileAlias::aliasWithPathRelativeToPath("Music/track.m4a", dir / "lib");
  ASSERT_NE(alias, nullptr);
  EXPECT_EQ(alias->fullPath(), dir / "lib/Music/track.m4a");
  fs::rename(dir / "lib", dir / "moved");
  EXPECT_FALSE(alias->fullPath().has_value());
  EXPECT_EQ(alias->fullPathRelativeToPath(dir / "moved"), dir / "moved/Music/track.m4a");
  EXPECT_FALSE(alias->fullPathRelativeToPath(dir / "no such base").has_value());

  EXPECT_EQ(FileAlias::aliasWithPathRelativeToPath("missing", dir / "moved"), nullptr);
  EXPECT_EQ(FileAlias::initWithPathRelativeToPath("Music", dir / "missing base/.."), nullptr);
}

// ---- The record as data, resolution and equality ----------------------------

TEST(FileAliasData, AliasDataRebuildsAnObjectWithTheSameTarget) {
  TempDir dir;
  touch(dir / "a b/file");
  FileAlias::Ptr first = FileAlias::aliasWithPath(dir / "a b/file");
  ASSERT_NE(first, nullptr);
  const std::optional<NSData> data = first->aliasData();
  ASSERT_TRUE(data.has_value());
  FileAlias::Ptr second = FileAlias::initWithData(&*data);
  EXPECT_EQ(second->fullPath(), dir / "a b/file");
  EXPECT_EQ(second->fullPath(), first->fullPath());
  EXPECT_NE(second->alias(), first->alias());  // a copy, not the same handle

  second->setAliasData(nullptr);
  EXPECT_EQ(second->alias(), nullptr);
  EXPECT_FALSE(second->fullPath().has_value());
  second->setAliasData(&*data);
  EXPECT_EQ(second->fullPath(), dir / "a b/file");
  // Setting the handle the object already holds keeps it (and frees nothing).
  second->setAlias(second->alias());
  EXPECT_EQ(second->fullPath(), dir / "a b/file");
}

TEST(FileAliasEquality, SamePathIsEqualEvenFromDifferentRecords) {
  TempDir dir;
  touch(dir / "folder/song");
  fs::create_symlink(dir / "folder", dir / "link");
  FileAlias::Ptr direct = FileAlias::aliasWithPath(dir / "folder/song");
  FileAlias::Ptr relative = FileAlias::aliasWithPathRelativeToPath("song", dir / "link");
  ASSERT_NE(direct, nullptr);
  ASSERT_NE(relative, nullptr);
  EXPECT_NE(direct->aliasData(), relative->aliasData());
  EXPECT_TRUE(direct->isEqual(relative.get()));
  EXPECT_TRUE(relative->isEqual(direct.get()));
  EXPECT_EQ(direct->hash(), relative->hash());
  EXPECT_NE(direct->hash(), 0u);

  touch(dir / "folder/other");
  EXPECT_FALSE(direct->isEqual(FileAlias::aliasWithPath(dir / "folder/other").get()));
  EXPECT_FALSE(direct->isEqual(nullptr));
}

TEST(FileAliasEquality, UnresolvableAliasEqualsNothingNotEvenItself) {
  TempDir dir;
  touch(dir / "f");
  FileAlias::Ptr alias = FileAlias::aliasWithPath(dir / "f");
  const std::optional<NSData> data = alias->aliasData();
  FileAlias::Ptr twin = FileAlias::aliasWithData(&*data);
  fs::remove(dir / "f");
  EXPECT_FALSE(alias->isEqual(alias.get()));
  EXPECT_FALSE(alias->isEqual(twin.get()));
  EXPECT_EQ(alias->hash(), 0u);
  EXPECT_FALSE(alias->fullPath().has_value());
}

// ---- Archiving --------------------------------------------------------------

TEST(FileAliasArchive, BinaryPlistHoldsOneDataObjectAndReadsBack) {
  TempDir dir;
  fs::create_directories(dir / "Library");
  FileAlias::Ptr alias = FileAlias::aliasWithPath(dir / "Library");
  PlistCoder out;
  alias->encodeWithCoder(out);
  ASSERT_TRUE(out.writeToFile(dir / "alias.plist"));

  const NSData archive = locator_test::read_bytes(dir / "alias.plist");
  ASSERT_GE(archive.size(), 8u);
  EXPECT_EQ(std::string(archive.begin(), archive.begin() + 8), "bplist00");
  plist_t root = nullptr;
  plist_from_bin(reinterpret_cast<const char*>(archive.data()),
                 static_cast<uint32_t>(archive.size()), &root);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(plist_get_node_type(root), PLIST_DATA);
  EXPECT_EQ(PlistValue(root).length(), alias->aliasData()->size());
  plist_free(root);

  std::optional<PlistCoder> in = PlistCoder::withContentsOfFile(dir / "alias.plist");
  ASSERT_TRUE(in.has_value());
  FileAlias::Ptr back = FileAlias::initWithCoder(*in);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->fullPath(), dir / "Library");
  EXPECT_TRUE(back->isEqual(alias.get()));
}

TEST(FileAliasArchive, NilAliasRoundTripsAndForeignArchivesAreRefused) {
  PlistCoder coder;
  FileAlias::aliasWithData(nullptr)->encodeWithCoder(coder);
  std::optional<PlistCoder> again = PlistCoder::withArchive(*coder.binaryPlist());
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(FileAlias::initWithCoder(*again)->alias(), nullptr);
  // An empty alias record is not nil, and does not come back as nil.
  const NSData empty;
  FileAlias::aliasWithData(&empty)->encodeWithCoder(coder);
  again = PlistCoder::withArchive(*coder.binaryPlist());
  ASSERT_TRUE(again.has_value());
  FileAlias::Ptr back = FileAlias::initWithCoder(*again);
  ASSERT_NE(back->alias(), nullptr);
  EXPECT_EQ(back->aliasData(), empty);

  EXPECT_FALSE(PlistCoder::withArchive(NSData{'j', 'u', 'n', 'k'}).has_value());
  plist_t dict = plist_new_dict();  // a property list, but not one data object
  char* bytes = nullptr;
  uint32_t size = 0;
  plist_to_bin(dict, &bytes, &size);
  EXPECT_FALSE(PlistCoder::withArchive(NSData(bytes, bytes + size)).has_value());
  plist_free_written(bytes);
  plist_free(dict);
  EXPECT_FALSE(PlistCoder::withContentsOfFile("/nonexistent/alias.plist").has_value());
}

// ---- Plain conversions ------------------------------------------------------

TEST(FileAliasConversions, HandleToDataKeepsTheLockState) {
  const NSData bytes = {9, 8, 7};
  Handle h = DataToHandle(&bytes);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(HandleToData(h), bytes);
  EXPECT_EQ(HGetState(h) & kHandleLockedMask, 0);  // unlocked stays unlocked
  HLock(h);
  EXPECT_EQ(HandleToData(h), bytes);
  EXPECT_NE(HGetState(h) & kHandleLockedMask, 0);  // locked stays locked
  DisposeHandle(h);

  EXPECT_EQ(DataToHandle(nullptr), nullptr);
  EXPECT_FALSE(HandleToData(nullptr).has_value());
}

TEST(FileAliasConversions, PathAndFileReferenceRoundTripWhileTheEntryExists) {
  TempDir dir;
  touch(dir / "x");
  FSRef ref;
  EXPECT_EQ(PathToFSRef(dir / "x", &ref), 0);
  EXPECT_EQ(FSRefToPathCopy(&ref), dir / "x");
  EXPECT_EQ(PathToFSRef(dir / "y", &ref), -43);
  EXPECT_EQ(PathToFSRef("", &ref), -43);
  EXPECT_FALSE(FSRefToPathCopy(nullptr).has_value());

  ASSERT_EQ(PathToFSRef(dir / "x", &ref), 0);
  fs::remove(dir / "x");
  EXPECT_FALSE(FSRefToPathCopy(&ref).has_value());
}

}  // namespace
