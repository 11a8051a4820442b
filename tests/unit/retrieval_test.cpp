// get_file, get_compressed_file, getFile and getDB on the fake device, into
// temporary folders.
#include <dlfcn.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>

#include "FakeMobileDevice.h"
#include "PhoneAndLink.h"
#include "command/Command.h"
#include "main/retrieval.h"
#include "membuf/alloc.h"

// A disk whose next sync of a file's data fails with this errno (0: syncs
// as usual). The system reports a writeback error once, so the sync that
// sees it, during the copy or at its end, is the only place a copy can
// learn of it.
std::atomic<int> fail_next_sync{0};

namespace {
template <const char* name>
int sync_unless_failing(int fd) {
  if (const int error = fail_next_sync.exchange(0); error != 0) {
    errno = error;
    return -1;
  }
  static const auto system_sync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, name));
  return system_sync(fd);
}
constexpr char kFdatasync[] = "fdatasync";
constexpr char kFsync[] = "fsync";
}  // namespace

extern "C" int fdatasync(int fd) { return sync_unless_failing<kFdatasync>(fd); }
extern "C" int fsync(int fd) { return sync_unless_failing<kFsync>(fd); }

namespace {

namespace fs = std::filesystem;
using fakemd::Call;

constexpr const char* kCDB = "/iTunes_Control/iTunes/iTunesCDB";
constexpr const char* kDB = "/iTunes_Control/iTunes/iTunesDB";

std::string noise(size_t bytes, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::string out(bytes, '\0');
  for (char& c : out) c = static_cast<char>(random() % 16 + 'a');  // compressible
  return out;
}

std::string deflated(const std::string& body, int level = 6) {
  uLongf size = compressBound(body.size());
  std::string out(size, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                      reinterpret_cast<const Bytef*>(body.data()), body.size(), level),
            Z_OK);
  out.resize(size);
  return out;
}

std::string inflated(const std::string& stream) {
  z_stream z{};
  EXPECT_EQ(inflateInit(&z), Z_OK);
  std::string out;
  char piece[4096];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
  z.avail_in = static_cast<uInt>(stream.size());
  int status = Z_OK;
  do {
    z.next_out = reinterpret_cast<Bytef*>(piece);
    z.avail_out = sizeof piece;
    status = inflate(&z, Z_NO_FLUSH);
    out.append(piece, sizeof piece - z.avail_out);
  } while (status == Z_OK);
  EXPECT_EQ(status, Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

// A music-database header: "mhbd", its own length at offset 4, filler.
std::string mhbd_header(uint32_t length) {
  std::string h(length, '\x5a');
  h.replace(0, 4, "mhbd");
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(length >> (8 * i));
  return h;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class Retrieval : public PhoneAndLink {
 protected:
  void SetUp() override {
    attach_link(true);
    char pattern[] = "/tmp/afclink-retrieval-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    out = (dir / "out").string();
  }
  void TearDown() override {
    membuf_internal::mb_fail_allocations_after(-1);
    EXPECT_EQ(fakemd::open_files(), 0) << "a device file was left open";
    PhoneAndLink::TearDown();
    fs::remove_all(dir);
  }

  // Runs one command line through its handler; the reply line.
  std::string run(const char* line, int (*handler)(DeviceLink*, Command*)) {
    CommandPtr command(cmd_new(line));
    EXPECT_NE(command, nullptr);
    link->err_text->length = 0;
    testing::internal::CaptureStdout();
    last_result = handler(link, command.get());
    return testing::internal::GetCapturedStdout();
  }

  fs::path dir;
  std::string out;
  int last_result = 0;
};

// ---- The plain copy -------------------------------------------------------

TEST_F(Retrieval, PlainCopyIsByteForByteInFullPieces) {
  const std::string body = noise(3 * 8192 + 5);
  fakemd::put_file(phone, "/f", body);
  EXPECT_EQ(get_file(link, "/f", out.c_str()), 0);
  EXPECT_EQ(read_file(out), body);
  for (const auto& read : fakemd::log_of(Call::FileRefRead)) EXPECT_EQ(read.amount, 8192u);
  EXPECT_EQ(errors(), "");
}

TEST_F(Retrieval, PlainCopySurvivesOddSizedShortReads) {
  const std::string body = noise(20000);
  fakemd::put_file(phone, "/f", body);
  for (uint32_t most : {1u, 7u, 1000u, 8191u}) {
    fakemd::set_max_read(phone, most);
    ASSERT_EQ(get_file(link, "/f", out.c_str()), 0) << most;
    EXPECT_EQ(read_file(out), body) << most;
  }
}

TEST_F(Retrieval, EmptyDeviceFileGivesAnEmptyLocalFile) {
  fakemd::put_file(phone, "/empty", "");
  write_file(out, "old");
  EXPECT_EQ(get_file(link, "/empty", out.c_str()), 0);
  EXPECT_TRUE(fs::exists(out));
  EXPECT_EQ(fs::file_size(out), 0u);
}

TEST_F(Retrieval, ReadFailureInTheMiddleFailsTheCopyAndLeavesTheEarlierFile) {
  // The earlier file is longer than the copy: one written in place (the
  // linked file) must be cut to the copy's length, not keep the old tail.
  const std::string earlier = noise(40000, 5), body = noise(30000, 6);
  fakemd::put_file(phone, "/f", body);
  // A name that leaves no room for a suffix, and a file with a second name.
  const fs::path long_name = dir / std::string(245, 'n'), linked = dir / "linked";
  for (const fs::path& destination : {fs::path(out), long_name, linked}) {
    SCOPED_TRACE(destination.filename().string().substr(0, 10));
    fs::remove_all(dir);
    fs::create_directory(dir);
    write_file(destination, earlier);
    fs::permissions(destination, fs::perms::owner_read | fs::perms::owner_write);
    if (destination == linked) fs::create_hard_link(linked, dir / "other name");
    const auto entries = std::distance(fs::directory_iterator(dir), fs::directory_iterator());
    link->err_text->length = 0;
    fakemd::fail_read_after(phone, 10000, 4);
    EXPECT_EQ(get_file(link, "/f", destination.c_str()), -1);
    EXPECT_EQ(errors(), "Could not read 8192 bytes from file /f. Code 4");
    EXPECT_TRUE(read_file(destination) == earlier);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), entries);
    // A library that answers a cut link with an empty success fails alike.
    link->err_text->length = 0;
    fakemd::fail_read_after(phone, 10000, 0);
    EXPECT_EQ(get_file(link, "/f", destination.c_str()), -1);
    EXPECT_EQ(errors(), "Could not read 8192 bytes from file /f: it ended at byte 10000 of 30000.");
    EXPECT_TRUE(read_file(destination) == earlier);

    fakemd::fail_read_after(phone, UINT64_MAX, 4);
    EXPECT_EQ(get_file(link, "/f", destination.c_str()), 0) << errors();
    EXPECT_TRUE(read_file(destination) == body);
    EXPECT_EQ(fs::status(destination).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    if (destination == linked) {
      EXPECT_TRUE(read_file(dir / "other name") == body);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), entries);
  }
}

// A copy that has already failed is not written further: the bytes still
// waiting would only go to a stage about to be removed, and a disk that
// refuses them must not add a second reason to the one that failed it.
TEST_F(Retrieval, FailedCopyReportsOnlyItsOwnFailureWhenTheDiskIsFullToo) {
  fakemd::put_file(phone, "/f", noise(200000, 7));
  write_file(out, "the earlier file");
  fakemd::fail_read_after(phone, 90000, 4);
  // The disk takes the first 64 KiB block and refuses the rest.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit full{70000, limit.rlim_max};
  const auto earlier_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
  const int result = get_file(link, "/f", out.c_str());
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::signal(SIGXFSZ, earlier_handler);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(errors(), "Could not read 8192 bytes from file /f. Code 4");
  EXPECT_EQ(read_file(out), "the earlier file");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

// Runs `copy` in a child process as another user, as someone copying into
// a folder or onto a file that is not theirs would; whether it gave 0.
template <typename Copy>
bool copies_as(uid_t user, Copy copy) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0) _exit(2);
    _exit(copy() == 0 ? 0 : 1);
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(Retrieval, WhereARenameWouldChangeTheFileTheCopyIsWrittenInPlaceAndOnlyWhenComplete) {
  if (geteuid() != 0) GTEST_SKIP() << "other owners, bind mounts and small file systems need root";
  constexpr uid_t kUser = 65534, kSomeoneElse = 1234;
  const std::string earlier = noise(1600, 7), body = noise(1000000, 8);
  fakemd::put_file(phone, "/f", body);
  const fs::path folder = dir / "folder", file = folder / "file";
  struct Case {
    const char* what;
    fs::perms folder_mode;
    uid_t owner;   // of the earlier file
    uid_t copier;  // who runs the copy
  };
  const Case cases[] = {
      {"root's file in a folder anyone may write", fs::perms::all, 0, kUser},
      {"the user's file in a folder they cannot write",
       fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
           fs::perms::others_read | fs::perms::others_exec,
       kUser, kUser},
      {"someone else's file in a sticky folder", fs::perms::all | fs::perms::sticky_bit,
       kSomeoneElse, kUser},
      {"a bind-mounted file", fs::perms::owner_all, 0, 0},
      {"a file system without a free inode", fs::perms::owner_all, 0, 0},
  };
  fs::permissions(dir, fs::perms::owner_all | fs::perms::others_exec);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::create_directory(folder);
    const std::string what = c.what;
    std::string unmount;
    if (what.find("inode") != std::string::npos) {
      if (std::system(("mount -t tmpfs -o size=4m,nr_inodes=2 none " + folder.string()).c_str()) !=
          0) {
        fs::remove(folder);
        continue;  // no mounting here: nothing to learn
      }
      unmount = folder.string();
    }
    write_file(file, earlier);
    if (what.find("bind") != std::string::npos) {
      write_file(dir / "mounted", "");
      if (std::system(
              ("mount --bind " + file.string() + " " + (dir / "mounted").string()).c_str()) != 0) {
        fs::remove_all(folder);
        continue;
      }
      unmount = (dir / "mounted").string();
    }
    const fs::path destination = unmount.ends_with("mounted") ? dir / "mounted" : file;
    ASSERT_EQ(chown(file.c_str(), c.owner, c.owner), 0);
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read | fs::perms::others_write);
    fs::permissions(folder, c.folder_mode);
    struct stat before {};
    ASSERT_EQ(stat(destination.c_str(), &before), 0);
    const fs::path beside = destination.parent_path();
    const auto entries = std::distance(fs::directory_iterator(beside), fs::directory_iterator());
    const auto copy = [&] { return get_file(link, "/f", destination.c_str()); };

    fakemd::fail_read_after(phone, 10000, 4);
    EXPECT_FALSE(copies_as(c.copier, copy));
    EXPECT_TRUE(read_file(destination) == earlier);
    fakemd::fail_read_after(phone, UINT64_MAX, 4);
    EXPECT_TRUE(copies_as(c.copier, copy));
    EXPECT_TRUE(read_file(destination) == body);
    struct stat after {};
    ASSERT_EQ(stat(destination.c_str(), &after), 0);
    EXPECT_EQ(std::tie(after.st_ino, after.st_mode, after.st_uid, after.st_gid),
              std::tie(before.st_ino, before.st_mode, before.st_uid, before.st_gid));
    EXPECT_EQ(std::distance(fs::directory_iterator(beside), fs::directory_iterator()), entries);
    if (what.find("inode") != std::string::npos) {
      // Too big for the room left: refused before the earlier file changes.
      fakemd::put_file(phone, "/f", noise(5000000, 9));
      link->err_text->length = 0;
      EXPECT_EQ(get_file(link, "/f", destination.c_str()), -1);
      EXPECT_EQ(errors(),
                "Couldn't replace file " + destination.string() + ": No space left on device");
      EXPECT_TRUE(read_file(destination) == body);
      fakemd::put_file(phone, "/f", body);
    }
    if (!unmount.empty()) {
      EXPECT_EQ(std::system(("umount " + unmount).c_str()), 0);
    }
    fs::remove_all(folder);
    fs::remove(dir / "mounted");
  }
}

TEST_F(Retrieval, DestinationInAMissingFolderIsReported) {
  fakemd::put_file(phone, "/f", "x");
  const std::string bad = (dir / "no" / "such").string();
  EXPECT_EQ(get_file(link, "/f", bad.c_str()), -1);
  EXPECT_EQ(errors(), "Can't open destination file " + bad + ": No such file or directory");
}

TEST_F(Retrieval, FullDiskFailsTheCopyEvenWhenOnlyTheCloseShowsIt) {
  fakemd::put_file(phone, "/small", "a few bytes that are kept until the close");
  EXPECT_EQ(get_file(link, "/small", "/dev/full"), -1);
  EXPECT_EQ(errors(), "Couldn't close file /dev/full: No space left on device");
  link->err_text->length = 0;
  // Pieces are gathered into larger blocks; the refused write is reported
  // with the count of the piece that filled the block, not the block's.
  fakemd::put_file(phone, "/big", noise(100000));
  EXPECT_EQ(get_file(link, "/big", "/dev/full"), -1);
  EXPECT_EQ(errors(), "Couldn't write 8192 bytes to file /dev/full: No space left on device");

  // A disk error that only a sync reports, most likely the one running
  // beside a long copy.
  link->err_text->length = 0;
  fakemd::put_file(phone, "/long", noise(9u << 20));
  write_file(out, "the earlier file");
  fail_next_sync = EIO;
  EXPECT_EQ(get_file(link, "/long", out.c_str()), -1);
  EXPECT_EQ(fail_next_sync, 0) << "the copy was never synced";
  EXPECT_EQ(errors(), "Couldn't close file " + out + ": Input/output error");
  EXPECT_EQ(read_file(out), "the earlier file");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  // A copy under 1 MiB has no sync beside it: the one before the rename
  // must see the error, or the stage would take the name unsynced.
  fakemd::put_file(phone, "/short", noise(100000));
  fail_next_sync = EIO;
  EXPECT_EQ(run(("getFile /short " + out).c_str(), getFile),
            "Error: Couldn't close file " + out + ": Input/output error\n");
  EXPECT_EQ(fail_next_sync, 0) << "the copy was never synced";
  EXPECT_TRUE(read_file(out) == "the earlier file");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(Retrieval, NoBufferMeansOutOfMemoryAndBothFilesClosed) {
  fakemd::put_file(phone, "/f", "x");
  ASSERT_EQ(mb_make_room(link->err_text, 4096), 0);
  membuf_internal::mb_fail_allocations_after(2);  // the device file's record and path
  EXPECT_EQ(get_file(link, "/f", out.c_str()), -1);
  membuf_internal::mb_fail_allocations_after(-1);
  EXPECT_EQ(errors(), "Out of memory.");
}

TEST_F(Retrieval, FailedDeviceCloseLeavesTheCopyGood) {
  fakemd::put_file(phone, "/f", "bytes");
  fakemd::fail(Call::FileRefClose, 30);
  EXPECT_EQ(get_file(link, "/f", out.c_str()), 0);
  EXPECT_EQ(read_file(out), "bytes");
  EXPECT_EQ(errors(), "Could not close file /f. Code 30");
  fakemd::reset();  // the reference stays open on a refusing device
}

// ---- The compressed copy --------------------------------------------------

TEST_F(Retrieval, FixedHeaderIsCopiedAndTheStreamInflated) {
  const std::string header(188, 'h');
  const std::string body = noise(50000);
  fakemd::put_file(phone, kCDB, header + deflated(body));
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0);
  EXPECT_EQ(read_file(out), header + body);
  EXPECT_EQ(fakemd::log_of(Call::FileRefRead)[0].amount, 188u);
}

TEST_F(Retrieval, MusicDatabaseHeaderLongerThanAskedIsReadWhole) {
  const std::string header = mhbd_header(244);
  const std::string body = noise(30000, 2);
  fakemd::put_file(phone, kCDB, header + deflated(body));
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0);
  EXPECT_EQ(read_file(out), header + body);
  auto reads = fakemd::log_of(Call::FileRefRead);
  EXPECT_EQ(reads[0].amount, 188u);
  EXPECT_EQ(reads[1].amount, 56u);
}

TEST_F(Retrieval, MusicDatabaseHeaderOfAtMostTheAskedLengthIsTheAskedLength) {
  // A length field of 104 (or 188) changes nothing: 188 bytes are the header.
  for (uint32_t own : {104u, 188u}) {
    std::string header = mhbd_header(188);
    for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>(own >> (8 * i));
    const std::string body = noise(9000, own);
    fakemd::put_file(phone, kCDB, header + deflated(body));
    EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0) << own;
    EXPECT_EQ(read_file(out), header + body) << own;
  }
}

TEST_F(Retrieval, MusicDatabaseHeaderLengthBeyondTheBufferIsIgnored) {
  std::string file = mhbd_header(188) + deflated(noise(100));
  file[4] = 0x01, file[5] = 0x20, file[6] = 0, file[7] = 0;  // 8193
  fakemd::put_file(phone, kCDB, file);
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0);
  EXPECT_EQ(fakemd::log_of(Call::FileRefRead)[1].amount, 8192u);
}

TEST_F(Retrieval, MusicDatabaseShorterThanItsOwnHeaderFailsTheHeaderRead) {
  fakemd::put_file(phone, kCDB, mhbd_header(244).substr(0, 200));
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
  EXPECT_EQ(errors(), std::string("Couldn't read header from file ") + kCDB);
}

TEST_F(Retrieval, HeaderLongerThanABufferOpensNothing) {
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 8193), -1);
  EXPECT_EQ(fakemd::call_count(Call::FileRefOpen), 0);
  EXPECT_EQ(errors(), "");
  EXPECT_FALSE(fs::exists(out));
  const std::string header(8192, 'h');
  fakemd::put_file(phone, kCDB, header + deflated("tail"));
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 8192), 0);
  EXPECT_EQ(read_file(out), header + "tail");
}

TEST_F(Retrieval, FileShorterThanTheHeaderFailsWithBothMessagesOnAReadFailure) {
  fakemd::put_file(phone, kCDB, std::string(100, 'h'));
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
  EXPECT_EQ(errors(), std::string("Couldn't read header from file ") + kCDB);
  link->err_text->length = 0;
  fakemd::fail_read_after(phone, 0, 4);
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
  EXPECT_EQ(errors(), std::string("Could not read 188 bytes from file ") + kCDB +
                          ". Code 4 Couldn't read header from file " + kCDB);
}

TEST_F(Retrieval, DamagedStreamFailsWithDataError) {
  std::string stream = deflated(noise(20000));
  const std::string header(188, 'h');
  const std::string bad_header = header + "\x78\x02" + stream.substr(2);
  std::string bad_adler = header + stream;
  bad_adler.back() ^= 1;
  std::string bad_data = header + stream;
  for (size_t i = 200; i < 260; ++i) bad_data[i] = '\xff';
  for (const std::string& file : {bad_header, bad_adler, bad_data}) {
    link->err_text->length = 0;
    fakemd::put_file(phone, kCDB, file);
    EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), Z_DATA_ERROR);
    EXPECT_EQ(errors(), std::string("Decompression failed for file ") + kCDB + ". Code -3");
  }
}

TEST_F(Retrieval, PresetDictionaryIsReportedAsADataError) {
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, 6), Z_OK);
  ASSERT_EQ(deflateSetDictionary(&z, reinterpret_cast<const Bytef*>("dict"), 4), Z_OK);
  std::string body = "dictionary dictionary", stream(256, '\0');
  z.next_in = reinterpret_cast<Bytef*>(body.data());
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(stream.data());
  z.avail_out = static_cast<uInt>(stream.size());
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  stream.resize(z.total_out);
  deflateEnd(&z);
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + stream);
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -3);
  EXPECT_EQ(errors(), std::string("Decompression failed for file ") + kCDB + ". Code -3");
}

TEST_F(Retrieval, BytesAfterTheStreamAreNotCopied) {
  const std::string body = noise(1000);
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + deflated(body) + "TRAILING GARBAGE");
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0);
  EXPECT_EQ(read_file(out), std::string(188, 'h') + body);
  // The stream's last bytes count only once the device has answered one
  // more read: a link lost inside that reply would have faked them.
  fakemd::fail_read_after(phone, 188 + deflated(body).size() + 16, 30);
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
}

TEST_F(Retrieval, OutputOfWholePiecesEndsCleanly) {
  const std::string body = noise(size_t{8} * 8192, 3);
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + deflated(body));
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0);
  EXPECT_EQ(read_file(out).size(), 188 + body.size());
}

TEST_F(Retrieval, StreamCutShortFailsNamingTheDeviceFileAndDoesNotLoop) {
  const std::string stream = deflated(noise(40000));
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + stream.substr(0, stream.size() / 2));
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
  EXPECT_EQ(errors(), std::string("Unexpected end of file ") + kCDB + ".");
  EXPECT_LT(fakemd::call_count(Call::FileRefRead), 10);
  link->err_text->length = 0;
  fakemd::put_file(phone, kCDB, std::string(188, 'h'));  // no stream at all
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
  EXPECT_EQ(errors(), std::string("Unexpected end of file ") + kCDB + ".");
}

TEST_F(Retrieval, CompressedCopySurvivesOneAndSevenByteReads) {
  const std::string body = noise(30000, 4);
  for (uint32_t most : {1u, 7u}) {
    // The header too arrives over many replies, its own length included.
    const std::string header = mhbd_header(244);
    fakemd::put_file(phone, kCDB, header + deflated(body));
    fakemd::set_max_read(phone, most);
    ASSERT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0) << errors();
    EXPECT_EQ(read_file(out), header + body);
  }
}

TEST_F(Retrieval, CompressedReadFailureFailsTheCopy) {
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + deflated(noise(100000)));
  fakemd::fail_read_after(phone, 5000, 30);
  EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
  EXPECT_EQ(errors(), std::string("Could not read 8192 bytes from file ") + kCDB + ". Code 30");
}

TEST_F(Retrieval, CompressedCopyOntoAFullDiskFails) {
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + deflated(noise(100000)));
  EXPECT_EQ(get_compressed_file(link, kCDB, "/dev/full", 188), -1);
  // How much one inflating step gave when the disk refused it varies.
  EXPECT_TRUE(
      std::regex_match(errors(), std::regex("Couldn't write [0-9]+ bytes to file /dev/full: "
                                            "No space left on device")))
      << errors();
  link->err_text->length = 0;
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + deflated("short"));
  EXPECT_EQ(get_compressed_file(link, kCDB, "/dev/full", 188), -1);
  EXPECT_EQ(errors(), "Couldn't close file /dev/full: No space left on device");
}

TEST_F(Retrieval, EitherBufferMissingMeansOutOfMemory) {
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + deflated("x"));
  ASSERT_EQ(mb_make_room(link->err_text, 4096), 0);
  for (long allowed : {2L, 3L}) {  // after the device file's record and path
    link->err_text->length = 0;
    membuf_internal::mb_fail_allocations_after(allowed);
    EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), -1);
    membuf_internal::mb_fail_allocations_after(-1);
    EXPECT_EQ(errors(), "Out of memory.");
  }
}

TEST_F(Retrieval, RealCompressedDatabasesGiveTheirHeaderAndBody) {
  const fs::path folder = fs::path(AFCLINK_SHARED_DATA) / "databases";
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no " << folder;
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().find("iTunesCDB") == std::string::npos) continue;
    const std::string file = read_file(entry.path());
    ASSERT_GT(file.size(), 244u);
    fakemd::put_file(phone, kCDB, file);
    EXPECT_EQ(get_compressed_file(link, kCDB, out.c_str(), 188), 0) << entry.path() << errors();
    const std::string got = read_file(out);
    EXPECT_EQ(got.substr(0, 244), file.substr(0, 244));
    EXPECT_EQ(got.substr(244), inflated(file.substr(244))) << entry.path();
    EXPECT_EQ(got.substr(244, 4), "mhsd");
    ++seen;
  }
  EXPECT_EQ(seen, 3);
}

// ---- The commands ---------------------------------------------------------

int get_file_command(DeviceLink* l, Command* c) { return getFile(l, c); }
int get_db_command(DeviceLink* l, Command* c) { return getDB(l, c); }

TEST_F(Retrieval, GetFileAnswersOkOrTheErrorText) {
  fakemd::put_file(phone, "/f", "content");
  EXPECT_EQ(run(("getFile /f " + out).c_str(), get_file_command), "ok\n");
  EXPECT_EQ(last_result, 0);
  EXPECT_EQ(read_file(out), "content");
  EXPECT_EQ(run(("getFile /none " + out).c_str(), get_file_command),
            "Error: Could not open file /none to read. Code 8\n");
  EXPECT_EQ(last_result, 0);
  // A replaced file keeps its permissions, and a link to it stays a link.
  fs::permissions(out, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const fs::path link = dir / "link";
  fs::create_symlink(out, link);
  fakemd::put_file(phone, "/f", "new content");
  EXPECT_EQ(run(("getFile /f " + link.string()).c_str(), get_file_command), "ok\n");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(read_file(out), "new content");
  EXPECT_EQ(fs::status(out).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  // A link to a file not made yet: the file is made, the link stays.
  const fs::path dangling = dir / "dangling";
  fs::create_symlink("later", dangling);
  EXPECT_EQ(run(("getFile /f " + dangling.string()).c_str(), get_file_command), "ok\n");
  EXPECT_TRUE(fs::is_symlink(dangling));
  EXPECT_EQ(read_file(dir / "later"), "new content");
  // A link whose text names nothing (an unnamed file's /proc/self/fd/N reads
  // "/memfd:... (deleted)"): the file it reaches gets the bytes, and no file
  // is made under the text's name.
  const int unnamed = memfd_create("retrieval-test", 0);
  ASSERT_GE(unnamed, 0);
  const std::string through = "/proc/self/fd/" + std::to_string(unnamed);
  const fs::path named_by_text = fs::read_symlink(through);
  EXPECT_EQ(run(("getFile /f " + through).c_str(), get_file_command), "ok\n");
  EXPECT_EQ(read_file(through), "new content");
  EXPECT_FALSE(fs::exists(named_by_text)) << named_by_text;
  close(unnamed);
}

TEST_F(Retrieval, GetFileOfAnUnopenableDeviceFileLeavesTheLocalFileAlone) {
  write_file(out, "keep me");
  EXPECT_NE(run(("getFile /none " + out).c_str(), get_file_command), "ok\n");
  EXPECT_EQ(read_file(out), "keep me");
  const std::string fresh = (dir / "fresh").string();
  (void)run(("getFile /none " + fresh).c_str(), get_file_command);
  EXPECT_FALSE(fs::exists(fresh));
}

TEST_F(Retrieval, WrongArgumentCountsAnswerTheUsageLines) {
  EXPECT_EQ(run("getFile /f", get_file_command),
            "Usage: getFile \"fully qualified source file path\" "
            "\"fully qualified destination file path\"\n");
  EXPECT_EQ(last_result, -1);
  EXPECT_EQ(run("getFile /a /b /c", get_file_command).rfind("Usage: getFile ", 0), 0u);
  EXPECT_EQ(run("getDB", get_db_command),
            "Usage: getDB \"fully qualified destination file path\"\n");
  EXPECT_EQ(last_result, -1);
  EXPECT_EQ(run("getDB /a /b", get_db_command).rfind("Usage: getDB ", 0), 0u);
  EXPECT_EQ(fakemd::call_count(Call::FileRefOpen), 0);
}

TEST_F(Retrieval, GetDBPrefersTheCompressedDatabase) {
  const std::string header = mhbd_header(244), body = noise(5000);
  fakemd::put_file(phone, kCDB, header + deflated(body));
  fakemd::put_file(phone, kDB, "plain");
  EXPECT_EQ(run(("getDB " + out).c_str(), get_db_command), "ok\n");
  EXPECT_EQ(read_file(out), header + body);
}

TEST_F(Retrieval, GetDBWithOnlyThePlainDatabaseCopiesIt) {
  fakemd::put_file(phone, kDB, "plain database");
  EXPECT_EQ(run(("getDB " + out).c_str(), get_db_command), "ok\n");
  EXPECT_EQ(last_result, 0);
  EXPECT_EQ(read_file(out), "plain database");
}

TEST_F(Retrieval, GetDBWithNeitherNamesOnlyThePlainDatabase) {
  EXPECT_EQ(run(("getDB " + out).c_str(), get_db_command),
            std::string("Error: Could not open file ") + kDB + " to read. Code 8\n");
  EXPECT_EQ(last_result, -1);
}

TEST_F(Retrieval, GetDBFallsBackWhenTheCompressedCopyFails) {
  const std::string stream = deflated(noise(20000));
  const std::string failing[] = {
      std::string(100, 'h'),                                  // shorter than a header
      std::string(188, 'h') + "\x78\x02" + stream.substr(2),  // damaged
      std::string(188, 'h') + stream.substr(0, 100),          // cut short
  };
  for (const std::string& file : failing) {
    fakemd::put_file(phone, kCDB, file);
    fakemd::put_file(phone, kDB, "plain");
    EXPECT_EQ(run(("getDB " + out).c_str(), get_db_command), "ok\n");
    EXPECT_EQ(read_file(out), "plain");
  }
}

TEST_F(Retrieval, GetDBWithOnlyAFailingCompressedDatabaseNamesThePlainOne) {
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + "garbage");
  write_file(out, "the earlier good copy");
  EXPECT_EQ(run(("getDB " + out).c_str(), get_db_command),
            std::string("Error: Could not open file ") + kDB + " to read. Code 8\n");
  // Failed attempts leave the earlier file as it was, and nothing beside it.
  EXPECT_EQ(read_file(out), "the earlier good copy");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(Retrieval, GetDBIntoAMissingFolderReportsThePlainAttemptOnly) {
  fakemd::put_file(phone, kCDB, std::string(188, 'h') + deflated("x"));
  fakemd::put_file(phone, kDB, "plain");
  const std::string bad = (dir / "missing" / "db").string();
  EXPECT_EQ(run(("getDB " + bad).c_str(), get_db_command),
            "Error: Can't open destination file " + bad + ": No such file or directory\n");
}

}  // namespace
