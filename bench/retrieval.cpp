// Retrieval throughput on the in-process fake device, each against its plain
// counterpart in the same run:
//   getDB   of a 64 MiB compressed database  vs  zlib inflation of the same
//           bytes into a local file (target: at least 0.95x its throughput);
//   getFile of a 256 MiB file                vs  an 8 KiB read/write copy of
//           the same local file (target: at least 0.9x).
// Best of five alternating runs each, in thread CPU time; temporary files
// live in /tmp and are removed at the end.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "FakeMobileDevice.h"
#include "command/Command.h"
#include "main/retrieval.h"

namespace {

namespace fs = std::filesystem;
constexpr size_t kMiB = size_t{1024} * 1024;
constexpr int kRuns = 5;

// CPU time of this (single) thread, user and system: the machine is shared,
// and wall time there mostly measures the neighbours.
double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds(const std::function<void()>& work) {
  const double start = cpu_now();
  work();
  return cpu_now() - start;
}

// Bytes that deflate to a little over half their size, as databases do.
std::string compressible(size_t bytes) {
  std::mt19937_64 random(42);
  std::string out(bytes, '\0');
  for (size_t i = 0; i + 8 <= bytes; i += 8) {
    uint64_t r = random();
    for (int k = 0; k < 8; ++k, r >>= 8) out[i + k] = static_cast<char>('a' + (r & 15));
  }
  return out;
}

std::string deflated(const std::string& body) {
  uLongf size = compressBound(body.size());
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(body.data()), body.size(), 6) != Z_OK) {
    std::fprintf(stderr, "compress2 failed\n");
    std::exit(1);
  }
  out.resize(size);
  return out;
}

// The plain counterpart of getDB: header, then the stream inflated from
// memory in 8 KiB pieces into a local file.
void plain_inflate(const std::string& file, size_t header, const char* path) {
  FILE* out = std::fopen(path, "w");
  std::fwrite(file.data(), 1, header, out);
  z_stream z{};
  inflateInit(&z);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + header));
  z.avail_in = static_cast<uInt>(file.size() - header);
  unsigned char piece[8192];
  int status = Z_OK;
  do {
    z.next_out = piece;
    z.avail_out = sizeof piece;
    status = inflate(&z, Z_NO_FLUSH);
    std::fwrite(piece, 1, sizeof piece - z.avail_out, out);
  } while (status == Z_OK);
  inflateEnd(&z);
  std::fclose(out);
}

// The plain counterpart of getFile.
void plain_copy(const char* from, const char* to) {
  const int in = ::open(from, O_RDONLY);
  const int out = ::open(to, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char piece[8192];
  ssize_t got = 0;
  while ((got = ::read(in, piece, sizeof piece)) > 0)
    if (::write(out, piece, static_cast<size_t>(got)) != got) break;
  ::close(in);
  ::close(out);
}

// Runs a command with its reply line sent to /dev/null; true on "ok".
bool command(DeviceLink* link, const std::string& line, int (*handler)(DeviceLink*, Command*)) {
  Command* parsed = cmd_new(line.c_str());
  std::fflush(stdout);
  const int saved = ::dup(1);
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  link->err_text->length = 0;
  (void)handler(link, parsed);
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(null);
  cmd_free0(&parsed);
  return link->err_text->length == 0;
}

DeviceLink* connected_link(AMDeviceRef* phone) {
  fakemd::reset();
  *phone = fakemd::add_device();
  fakemd::attach(*phone);
  DeviceLink* link = mdv_new(nullptr, nullptr, nullptr);
  link->device_ref = *phone;
  if (mdv_connect(link) != 0) {
    std::fprintf(stderr, "fake connection failed\n");
    std::exit(1);
  }
  return link;
}

void report(const char* what, double bytes, double mine, double plain, double target) {
  const double ratio = plain / mine;
  std::printf(
      "%-8s %7.1f MiB  afclink %7.1f MiB/s  plain %7.1f MiB/s  ratio %.3fx  "
      "(target >= %.2fx: %s)\n",
      what, bytes / kMiB, bytes / kMiB / mine, bytes / kMiB / plain, ratio, target,
      ratio >= target ? "met" : "NOT met");
}

}  // namespace

int main() {
  char pattern[] = "/tmp/afclink-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path dir = pattern;
  const std::string out = (dir / "out").string();
  AMDeviceRef phone = nullptr;
  DeviceLink* link = connected_link(&phone);

  // getDB: a 244-byte music-database header, then 64 MiB of zlib stream.
  {
    std::string header(244, 'h');
    header.replace(0, 4, "mhbd");
    header[4] = static_cast<char>(244), header[5] = header[6] = header[7] = 0;
    const std::string body = compressible(116 * kMiB);
    auto file = std::make_shared<std::string>(header + deflated(body));
    const double compressed = static_cast<double>(file->size() - header.size());
    fakemd::put_file(phone, "/iTunes_Control/iTunes/iTunesCDB", file);
    double mine = 1e9, plain = 1e9;
    for (int run = 0; run < kRuns; ++run) {
      plain = std::min(plain, seconds([&] { plain_inflate(*file, 244, out.c_str()); }));
      mine = std::min(mine, seconds([&] {
                        if (!command(link, "getDB " + out, getDB)) std::exit(1);
                      }));
    }
    if (fs::file_size(out) != header.size() + body.size()) return 1;
    std::printf("getDB: %.1f MiB compressed, %.1f MiB inflated\n", compressed / kMiB,
                static_cast<double>(body.size()) / kMiB);
    report("getDB", compressed, mine, plain, 0.95);
  }
  fakemd::reset();
  mdv_free(link);
  link = connected_link(&phone);

  // getFile: 256 MiB served from a local folder, so both copies read the
  // same file through the same page cache.
  {
    const fs::path device_dir = dir / "device";
    fs::create_directories(device_dir);
    const std::string source = (device_dir / "big").string();
    {
      const std::string chunk = compressible(16 * kMiB);
      FILE* f = std::fopen(source.c_str(), "w");
      for (int i = 0; i < 16; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
      std::fclose(f);
    }
    fakemd::serve_folder(phone, device_dir.string());
    double mine = 1e9, plain = 1e9;
    for (int run = 0; run < kRuns; ++run) {
      plain = std::min(plain, seconds([&] { plain_copy(source.c_str(), out.c_str()); }));
      mine = std::min(mine, seconds([&] {
                        if (!command(link, "getFile /big " + out, getFile)) std::exit(1);
                      }));
      fakemd::reset();  // keep the call log small between runs
      mdv_free(link);
      link = connected_link(&phone);
      fakemd::serve_folder(phone, device_dir.string());
    }
    if (fs::file_size(out) != 256 * kMiB) return 1;
    report("getFile", 256.0 * kMiB, mine, plain, 0.9);
  }
  mdv_free(link);
  fakemd::reset();
  fs::remove_all(dir);
  return 0;
}
