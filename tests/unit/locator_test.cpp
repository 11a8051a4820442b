// The library locator: every route through the preference files, the
// alias record and the fallback folder, with its exact trace, on a
// temporary HOME.
#include <gtest/gtest.h>

#include <pwd.h>

#include <string>
#include <vector>

#include "getxml/getxml.h"
#include "locator_support.h"
#include "main/xmlpath.h"
#include "platform/CoreServices.h"

namespace {

using locator_test::plist_data;
using locator_test::plist_strings;
using locator_test::TempDir;
using locator_test::touch;
using locator_test::write_plist;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const Lines kStart = {"# Starting get xml"};
const std::string kIApps = "Library/Preferences/com.apple.iApps.plist";
const std::string kITunes = "Library/Preferences/com.apple.iTunes.plist";

Lines split_lines(const std::string& text) {
  Lines lines;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Locator : public ::testing::Test {
 protected:
  TempDir dir_;
  locator_test::ScopedHome home_{dir_.path()};

  std::string home(const std::string& relative) const { return dir_ / relative; }

  // getxml with the debug flag; its trace lines go to `trace`.
  std::optional<std::string> run(Lines* trace, std::uint8_t debug = 1) {
    ::testing::internal::CaptureStdout();
    std::optional<std::string> result = getxml(debug);
    *trace = split_lines(::testing::internal::GetCapturedStdout());
    return result;
  }

  void write_iapps(plist_t paths) {
    plist_t root = plist_new_dict();
    if (paths) plist_dict_set_item(root, "iTunesRecentDatabasePaths", paths);
    write_plist(home(kIApps), root);
  }

  // An iTunes preference file with the given alias values (null: no key).
  void write_itunes(plist_t library, plist_t music_folder, bool xml = false) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "pref:130:Preferences", plist_new_data("\x01\x02", 2));
    if (library) plist_dict_set_item(root, "alis:1:iTunes Library Location", library);
    if (music_folder) plist_dict_set_item(root, "alis:11345:Music Folder Location", music_folder);
    write_plist(home(kITunes), root, xml);
  }

  static NSData alias_to(const std::string& path) {
    FSRef ref;
    EXPECT_EQ(FSPathMakeRef(path.c_str(), &ref, nullptr), noErr) << path;
    AliasHandle alias = nullptr;
    EXPECT_EQ(FSNewAlias(nullptr, &ref, &alias), noErr);
    Handle h = reinterpret_cast<Handle>(alias);
    NSData bytes(*h, *h + GetHandleSize(h));
    DisposeHandle(h);
    return bytes;
  }
};

const Lines kITunesOpened = {"# opening ~/Library/Preferences/com.apple.iTunes.plist",
                             "# looking for alis:1:"};
const Lines kFallback = {"# Finding backup at ~/Music/iTunes/ "};

// ---- Paths ------------------------------------------------------------------

TEST(LocatorPaths, TildeIsTheHomeFolderAndJoinsUseOneSeparator) {
  {
    locator_test::ScopedHome home("/tmp/some home/");
    EXPECT_EQ(stringByExpandingTildeInPath("~/Music/iTunes/"), "/tmp/some home/Music/iTunes/");
    EXPECT_EQ(stringByExpandingTildeInPath("~"), "/tmp/some home/");
    EXPECT_EQ(stringByExpandingTildeInPath("/abs/~/x"), "/abs/~/x");
    EXPECT_EQ(stringByExpandingTildeInPath("~root/x"), "/root/x");
    EXPECT_EQ(stringByExpandingTildeInPath("~no-such-user-here/x"), "~no-such-user-here/x");
    unsetenv("HOME");  // the password database answers instead
    EXPECT_EQ(stringByExpandingTildeInPath("~/x"),
              stringByAppendingPathComponent(getpwuid(getuid())->pw_dir, "x"));
  }
  EXPECT_EQ(stringByAppendingPathComponent("/a/", "b"), "/a/b");
  EXPECT_EQ(stringByAppendingPathComponent("/a", "/b"), "/a/b");
  EXPECT_EQ(stringByAppendingPathComponent("/", "b"), "/b");
  EXPECT_EQ(stringByAppendingPathComponent("", "b"), "b");
}

// ---- The iApps route --------------------------------------------------------

TEST_F(Locator, RecentPathIsTakenAsItStandsWithTildeExpanded) {
  write_iapps(plist_strings({"~/Music/iTunes/iTunes Music Library.xml", "/other.xml"}));
  write_itunes(plist_data(alias_to(dir_.path())), nullptr);  // never read
  Lines trace;
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Music Library.xml"));  // nothing exists there
  EXPECT_EQ(trace, (kStart + Lines{"# opened ~/Library/Preferences/com.apple.iApps.plist",
                                   "# returning expanded path 1"}));
}

TEST_F(Locator, EmptyFirstRecentPathIgnoresTheLaterOnes) {
  write_iapps(plist_strings({"", "/somewhere/iTunes Library.xml"}));
  touch(home("Music/iTunes/iTunes Library.xml"));
  Lines trace;
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Library.xml"));
  EXPECT_EQ(trace, (kStart +
                    Lines{"# opened ~/Library/Preferences/com.apple.iApps.plist",
                          "# found libraryAliasData in newer location."} +
                    kITunesOpened + Lines{"# Starting get xml 11345"} + kFallback +
                    Lines{"# returning value"}));
}

TEST_F(Locator, EmptyOrMistypedRecentPathsCountAsAbsent) {
  touch(home("Music/iTunes/iTunes Music Library.xml"));
  const Lines not_found = kStart + Lines{"# opened ~/Library/Preferences/com.apple.iApps.plist",
                                         "# key 'iTunes Recent Database Paths' not found."};
  const Lines rest =
      kITunesOpened + Lines{"# Starting get xml 11345"} + kFallback + Lines{"# returning value"};
  Lines trace;

  write_iapps(plist_new_array());
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Music Library.xml"));
  EXPECT_EQ(trace, not_found + rest);

  write_iapps(nullptr);
  (void)run(&trace);
  EXPECT_EQ(trace, not_found + rest);

  write_iapps(plist_new_string("~/Music/iTunes/iTunes Music Library.xml"));  // not an array
  (void)run(&trace);
  EXPECT_EQ(trace, not_found + rest);

  plist_t numbers = plist_new_array();  // an element 0 that is not a string
  plist_array_append_item(numbers, plist_new_uint(7));
  write_iapps(numbers);
  (void)run(&trace);
  EXPECT_EQ(trace[2], "# found libraryAliasData in newer location.");
}

TEST_F(Locator, UnreadableIAppsFileIsSkippedSilently) {
  touch(home("Music/iTunes/iTunes Library.xml"));
  const Lines expected = kStart + kITunesOpened + Lines{"# Starting get xml 11345"} + kFallback +
                         Lines{"# returning value"};
  Lines trace;
  locator_test::write_bytes(home(kIApps),
                            NSData{'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'});
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Library.xml"));
  EXPECT_EQ(trace, expected);

  write_plist(home(kIApps), plist_strings({"~/x.xml"}));  // root is not a dictionary
  (void)run(&trace);
  EXPECT_EQ(trace, expected);

  fs::remove(home(kIApps));
  fs::create_directories(home(kIApps));  // a folder under the file's name
  (void)run(&trace);
  EXPECT_EQ(trace, expected);
}

// ---- The fallback folder ----------------------------------------------------

TEST_F(Locator, WithoutPreferencesTheFallbackFolderIsSearched) {
  touch(home("Music/iTunes/iTunes Library.xml"));
  Lines trace;
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Library.xml"));
  EXPECT_EQ(trace,
            (Lines{"# Starting get xml", "# opening ~/Library/Preferences/com.apple.iTunes.plist",
                   "# looking for alis:1:", "# Starting get xml 11345",
                   "# Finding backup at ~/Music/iTunes/ ", "# returning value"}));
}

TEST_F(Locator, FirstFileNameWinsAndEitherKindOfEntryCounts) {
  Lines trace;
  touch(home("Music/iTunes/iTunes Library.xml"));
  touch(home("Music/iTunes/iTunes Music Library.xml"));
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Music Library.xml"));

  fs::remove(home("Music/iTunes/iTunes Music Library.xml"));
  fs::create_directories(home("Music/iTunes/iTunes Music Library.xml"));
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Music Library.xml"));

  fs::remove(home("Music/iTunes/iTunes Music Library.xml"));
  fs::remove(home("Music/iTunes/iTunes Library.xml"));
  touch(home("elsewhere.xml"));
  fs::create_symlink(home("elsewhere.xml"), home("Music/iTunes/iTunes Library.xml"));
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Library.xml"));

  fs::remove(home("elsewhere.xml"));  // the link now dangles
  EXPECT_EQ(run(&trace), std::nullopt);
  EXPECT_EQ(trace.back(), "# Not found");
}

// ---- The alias route --------------------------------------------------------

TEST_F(Locator, GoodLibraryAliasNamesTheFolder) {
  touch(home("Library Elsewhere/iTunes Library.xml"));
  touch(home("Music/iTunes/iTunes Library.xml"));  // not consulted
  write_itunes(plist_data(alias_to(home("Library Elsewhere"))), nullptr);
  Lines trace;
  EXPECT_EQ(run(&trace), home("Library Elsewhere/iTunes Library.xml"));
  EXPECT_EQ(trace, (kStart + kITunesOpened + Lines{"# found path ", "# returning value"}));
}

TEST_F(Locator, SecondAliasKeyIsUsedOnlyWhenTheFirstIsAbsent) {
  touch(home("Music Folder/iTunes Music Library.xml"));
  touch(home("Music/iTunes/iTunes Library.xml"));
  Lines trace;

  write_itunes(nullptr, plist_data(alias_to(home("Music Folder"))), /*xml=*/true);
  EXPECT_EQ(run(&trace), home("Music Folder/iTunes Music Library.xml"));
  EXPECT_EQ(trace, (kStart + kITunesOpened +
                    Lines{"# Starting get xml 11345", "# found path ", "# returning value"}));

  // Present but empty: the fallback folder, and the second key is not read.
  write_itunes(plist_data({}), plist_data(alias_to(home("Music Folder"))));
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Library.xml"));
  EXPECT_EQ(trace, (kStart + kITunesOpened + kFallback + Lines{"# returning value"}));

  // A first value that is not data counts as absent.
  write_itunes(plist_new_string("not an alias"), plist_data(alias_to(home("Music Folder"))));
  EXPECT_EQ(run(&trace), home("Music Folder/iTunes Music Library.xml"));
}

TEST_F(Locator, AliasToAFolderThatIsGoneEndsTheSearch) {
  fs::create_directories(home("Gone"));
  const NSData alias = alias_to(home("Gone"));
  fs::remove(home("Gone"));
  touch(home("Music/iTunes/iTunes Library.xml"));  // the fallback is not tried
  write_itunes(plist_data(alias), nullptr);
  Lines trace;
  EXPECT_EQ(run(&trace), std::nullopt);
  EXPECT_EQ(trace, (kStart + kITunesOpened + Lines{"# found path ", "# Not found"}));
}

TEST_F(Locator, UnreadableAliasReportsItsStatus) {
  Lines trace;
  write_itunes(plist_data({0, 0, 0, 0, 0, 0x20, 0, 7}), nullptr);  // version 7
  EXPECT_EQ(run(&trace), std::nullopt);
  EXPECT_EQ(trace,
            (kStart + kITunesOpened + Lines{"# found path ", "# Err on FSCopyAliasInfo -50 "}));

  // A readable record that stores no path: status 0.
  NSData no_path(154, 0);
  no_path[5] = 154;
  no_path[7] = 2;
  no_path[150] = no_path[151] = 0xFF;
  write_itunes(plist_data(no_path), nullptr);
  EXPECT_EQ(run(&trace), std::nullopt);
  EXPECT_EQ(trace.back(), "# Err on FSCopyAliasInfo 0 ");
}

// ---- Real preference files --------------------------------------------------

TEST_F(Locator, RealIAppsFilesGiveTheirRecentPathExpanded) {
  SKIP_WITHOUT_SHARED("benfried-dotfiles.com.apple.iApps.plist");
  for (const char* name : {"benfried-dotfiles.com.apple.iApps.plist",
                           "digitalistoc-ecomunidad.com.apple.iApps.plist"}) {
    fs::create_directories(home("Library/Preferences"));
    fs::copy_file(locator_test::shared(name), home(kIApps), fs::copy_options::overwrite_existing);
    Lines trace;
    EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Music Library.xml")) << name;
  }
}

TEST_F(Locator, RealITunesFileWithoutAliasKeysFallsThrough) {
  SKIP_WITHOUT_SHARED("benfried-dotfiles.com.apple.iTunes.plist");
  fs::create_directories(home("Library/Preferences"));
  fs::copy_file(locator_test::shared("benfried-dotfiles.com.apple.iTunes.plist"), home(kITunes));
  touch(home("Music/iTunes/iTunes Music Library.xml"));
  Lines trace;
  EXPECT_EQ(run(&trace), home("Music/iTunes/iTunes Music Library.xml"));
  EXPECT_EQ(trace, (kStart + kITunesOpened + Lines{"# Starting get xml 11345"} + kFallback +
                    Lines{"# returning value"}));
}

TEST_F(Locator, RealFolderAliasDrivesTheAliasRoute) {
  SKIP_WITHOUT_SHARED("epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin");
  // Its folder is on a Mac, not here: the route ends in "# Not found".
  write_itunes(plist_data(locator_test::read_bytes(
                   locator_test::shared("epadd-muse-ThunderbirdUtils.ImapMail-folder.v2.bin"))),
               nullptr);
  Lines trace;
  EXPECT_EQ(run(&trace), std::nullopt);
  EXPECT_EQ(trace, (kStart + kITunesOpened + Lines{"# found path ", "# Not found"}));
}

// ---- Output -----------------------------------------------------------------

TEST_F(Locator, WithoutDebugNothingIsWrittenButTheOneReplyLine) {
  Lines trace;
  EXPECT_EQ(run(&trace, 0), std::nullopt);
  EXPECT_TRUE(trace.empty());

  ::testing::internal::CaptureStdout();
  getXMLPath(0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error: Could not get iTunes Library path\n");

  touch(home("Music/iTunes/iTunes Library.xml"));
  ::testing::internal::CaptureStdout();
  getXMLPath(0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            home("Music/iTunes/iTunes Library.xml") + "\n");

  ::testing::internal::CaptureStdout();
  getXMLPath(1);
  const Lines lines = split_lines(::testing::internal::GetCapturedStdout());
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5], "# returning value");
  EXPECT_EQ(lines[6], home("Music/iTunes/iTunes Library.xml"));
}

}  // namespace
