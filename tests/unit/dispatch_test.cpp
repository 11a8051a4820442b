// Command dispatch and the connection-state commands, with the product's own
// device thread running against the fake device layer. Replies are read
// back from standard output, which each test points at a temporary file.
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "FakeMobileDevice.h"
#include "command/Command.h"
#include "main/console.h"
#include "main/dispatch.h"
#include "membuf_sanity.h"
#include "stdin_from.h"

// A system that refuses the next thread, with this error (0: threads as
// usual).
std::atomic<int> refuse_next_thread{0};

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
  if (const int error = refuse_next_thread.exchange(0); error != 0) return error;
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto system_create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  return system_create(thread, attributes, start, argument);
}

namespace {

using fakemd::Call;

// Points standard output at a temporary file for the life of the object.
class ReplyCapture {
 public:
  ReplyCapture() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    file_ = std::tmpfile();
    dup2(fileno(file_), STDOUT_FILENO);
  }
  ~ReplyCapture() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::fclose(file_);
  }
  ReplyCapture(const ReplyCapture&) = delete;
  ReplyCapture& operator=(const ReplyCapture&) = delete;
  // Everything written since the last call.
  std::string take() {
    std::fflush(stdout);
    std::string out;
    char piece[4096];
    ssize_t n = 0;
    while ((n = pread(fileno(file_), piece, sizeof piece, offset_)) > 0) {
      out.append(piece, static_cast<size_t>(n));
      offset_ += n;
    }
    return out;
  }

 private:
  int saved_ = -1;
  FILE* file_ = nullptr;
  off_t offset_ = 0;
};

int thread_count() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks))
      if (entry->d_name[0] != '.') ++count;
    closedir(tasks);
  }
  return count;
}

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    fakemd::reset();
    link_ = mdv_new(nullptr, nullptr, nullptr);
    ASSERT_NE(link_, nullptr);
    // The device thread outlives every test; start each from "disconnected".
    ASSERT_EQ(run("disconnect"), "ok\n");
  }
  void TearDown() override {
    (void)run("disconnect");
    EXPECT_TRUE(fakemd::wait_until_handled());
    fakemd::reset();  // no subscription is left to reach the link
    // As in the product, a link the device thread may still be using (its
    // first look at usbmuxd runs before it takes any queued work) is never
    // freed; it stays reachable here, and the next test's link replaces it.
    retired_links().push_back(link_);
  }
  static std::vector<DeviceLink*>& retired_links() {
    static auto* links = new std::vector<DeviceLink*>;
    return *links;
  }

  std::string run(const char* line) {
    CommandPtr command(cmd_new(line));
    if (!command) return {};
    (void)do_command(link_, command.get());
    return replies_.take();
  }

  // Polls `status` until it answers `wanted`, letting queued device work run.
  std::string status_becomes(const std::string& wanted) {
    std::string answer;
    for (int i = 0; i < 200; ++i) {
      (void)fakemd::wait_until_handled();
      answer = run("status");
      if (answer == wanted) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return answer;
  }

  // Polls statusDebug until its trace holds `wanted`; the last trace.
  std::string trace_with(const char* wanted) {
    std::string trace;
    for (int i = 0; i < 400; ++i) {
      trace = run("statusDebug");
      if (trace.find(wanted) != std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return trace;
  }

  ReplyCapture replies_;
  DeviceLink* link_ = nullptr;
};

}  // namespace

// First of the cases that connect: the device thread, once started, lives
// until the process ends.
TEST_F(Dispatch, AConnectWhoseDeviceThreadCannotStartIsAnErrorAndStaysDisconnected) {
  refuse_next_thread = EAGAIN;
  const std::string reply = run("connect");
  if (refuse_next_thread.exchange(0) != 0) GTEST_SKIP() << "the device thread runs already";
  EXPECT_EQ(reply,
            "Error: Could not start the device thread: " + std::string(strerror(EAGAIN)) + "\n");
  EXPECT_EQ(run("status"), "disconnected\n");
  fakemd::attach(fakemd::add_device());
  EXPECT_EQ(run("connect"), "ok\n");  // the system gives a thread this time
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
}

TEST_F(Dispatch, ConnectWithAnAttachedDeviceReachesConnected) {
  AMDeviceRef phone = fakemd::add_device();
  fakemd::attach(phone);
  EXPECT_EQ(run("connect"), "ok\n");
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
  EXPECT_EQ(run("connect"), "Error: Already connected.\n");
  EXPECT_EQ(link_->device_ref, phone);
}

TEST_F(Dispatch, ConnectToAUdidKeepsToThatPhoneWhileOthersComeAndGo) {
  AMDeviceRef first = fakemd::add_device();
  AMDeviceRef chosen = fakemd::add_device();
  fakemd::attach(first);
  fakemd::attach(chosen);
  const std::string udid = fakemd::udid_of(chosen);
  EXPECT_EQ(run("devices"), "# " + fakemd::udid_of(first) + " \n# " + udid + " \n2\n");
  EXPECT_EQ(run("connect 00008030-zz"),
            "Error: A UDID holds hex digits and dashes only, not \"z\".\n");
  EXPECT_EQ(run("status"), "disconnected\n");
  ASSERT_EQ(run(("connect " + udid).c_str()), "ok\n");
  ASSERT_EQ(status_becomes("connected\n"), "connected\n");
  const auto only_the_chosen_one = [&] {
    for (const auto& call : fakemd::log_of(Call::DeviceConnect))
      if (call.device != chosen) return false;
    return true;
  };
  EXPECT_TRUE(only_the_chosen_one());
  // Unplugged, it is waited for; the phone still attached is left alone,
  // and so is one plugged in meanwhile.
  fakemd::detach(chosen);
  EXPECT_EQ(status_becomes("connecting\n"), "connecting\n");
  fakemd::attach(fakemd::add_device());
  ASSERT_TRUE(fakemd::wait_until_handled());
  EXPECT_EQ(run("status"), "connecting\n");
  const std::string trace = run("statusDebug");
  EXPECT_NE(trace.find("# chosen phone: " + udid + " (waiting for it to be plugged in)\n"),
            std::string::npos);
  EXPECT_NE(trace.find("# other phone: " + fakemd::udid_of(first) + ", left alone\n"),
            std::string::npos);
  EXPECT_NE(trace.find("# to do: plug in the phone"), std::string::npos);
  fakemd::attach(chosen);
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
  EXPECT_TRUE(only_the_chosen_one());
  // Bare connect after disconnect may take any phone again.
  ASSERT_EQ(run("disconnect"), "ok\n");
  fakemd::detach(chosen);
  ASSERT_EQ(run("connect"), "ok\n");
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
  EXPECT_FALSE(only_the_chosen_one());
}

TEST_F(Dispatch, ConnectWithoutADeviceStaysConnectingUntilOneArrives) {
  EXPECT_EQ(run("connect"), "ok\n");
  ASSERT_TRUE(fakemd::wait_until_handled());
  EXPECT_EQ(run("status"), "connecting\n");
  EXPECT_EQ(run("connect"), "Error: Already attempting to connect.\n");
  fakemd::attach(fakemd::add_device());
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
}

TEST_F(Dispatch, AFailedAttemptSaysWhyAndWhetherItTriesAgainByItself) {
  // Refused for good: "disconnected", and statusDebug says what to do.
  fakemd::fail(fakemd::Call::DeviceStartSession, kAMDInvalidHostID);
  AMDeviceRef phone = fakemd::add_device();
  fakemd::attach(phone);
  EXPECT_EQ(run("connect"), "ok\n");
  EXPECT_EQ(status_becomes("disconnected\n"), "disconnected\n");
  EXPECT_EQ(fakemd::call_count(fakemd::Call::DeviceStartSession), 1);
  std::string trace = run("statusDebug");
  EXPECT_NE(trace.find("\n# last attempt: the phone does not trust this computer (StartSession: "
                       "InvalidHostID, -21)\n"),
            std::string::npos)
      << trace;
  EXPECT_NE(trace.find("# to do: unplug the phone and plug it in, or send connect"),
            std::string::npos)
      << trace;
  EXPECT_TRUE(trace.ends_with("\ndisconnected\n")) << trace;

  // Locked: "connecting" for as long as it stays so, and statusDebug says
  // to unlock; every trace line comes before the status line.
  fakemd::reset();
  phone = fakemd::add_device();
  fakemd::attach(phone);
  fakemd::fail(fakemd::Call::DeviceStartService, kAMDPasswordProtected);
  EXPECT_EQ(run("connect"), "ok\n");
  // The reset dropped the subscription, so only the trace tells when the
  // device thread has subscribed again and tried.
  trace = trace_with("# to do: unlock the phone");
  EXPECT_EQ(run("status"), "connecting\n");
  EXPECT_EQ(trace.find("# usbmuxd: answers at UNIX:/fake/usbmuxd"), 0u) << trace;
  EXPECT_NE(trace.find("# phone: 00008030-0000000000000000, \"Fake Phone\", iOS 15.0\n"),
            std::string::npos)
      << trace;
  // The reason and the advice agree: the refusal is the lock, not the service.
  EXPECT_NE(trace.find("# last attempt: the phone is locked (StartService com.apple.afc: "
                       "PasswordProtected, -17)\n# to do: unlock the phone; afclink tries "
                       "again every 2 seconds\n"),
            std::string::npos)
      << trace;
  EXPECT_TRUE(trace.ends_with("\nconnecting\n")) << trace;
  EXPECT_EQ(run("connect"), "Error: Already attempting to connect.\n");
  EXPECT_EQ(run("disconnect"), "ok\n");
  EXPECT_TRUE(run("statusDebug").ends_with("# to do: send connect\ndisconnected\n"));
}

TEST_F(Dispatch, StatusDebugWithoutUsbmuxdOrAPhone) {
  EXPECT_EQ(run("statusDebug"),
            "# usbmuxd: not asked yet (at UNIX:/fake/usbmuxd); send connect\n"
            "# last attempt: none yet\n# to do: send connect\ndisconnected\n");
  fakemd::set_mux_status(-ENOENT);
  EXPECT_EQ(run("connect"), "ok\n");
  const std::string trace = trace_with("no answer");
  EXPECT_EQ(trace.find("# usbmuxd: no answer at UNIX:/fake/usbmuxd (No such file or directory)"),
            0u)
      << trace;
  EXPECT_NE(trace.find("# to do: plug in the phone"), std::string::npos) << trace;
  EXPECT_TRUE(trace.ends_with("\nconnecting\n")) << trace;
}

TEST_F(Dispatch, DisconnectThenConnectWithTheDeviceStillAttachedConnectsAgain) {
  fakemd::attach(fakemd::add_device());
  ASSERT_EQ(run("connect"), "ok\n");
  ASSERT_EQ(status_becomes("connected\n"), "connected\n");
  EXPECT_EQ(run("disconnect"), "ok\n");
  EXPECT_EQ(run("status"), "disconnected\n");
  EXPECT_EQ(run("connect"), "ok\n");
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
  // The earlier connection was released before it was replaced.
  EXPECT_EQ(fakemd::open_connections(), 1);
}

TEST_F(Dispatch, AfterDisconnectAReattachedDeviceConnectsWithoutAFurtherCommand) {
  AMDeviceRef phone = fakemd::add_device();
  fakemd::attach(phone);
  ASSERT_EQ(run("connect"), "ok\n");
  ASSERT_EQ(status_becomes("connected\n"), "connected\n");
  ASSERT_EQ(run("disconnect"), "ok\n");
  fakemd::detach(phone);
  ASSERT_TRUE(fakemd::wait_until_handled());
  EXPECT_EQ(run("status"), "disconnected\n");
  fakemd::attach(phone);
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
}

TEST_F(Dispatch, ALostLinkStopsBeingConnectedAndComesBackByItself) {
  AMDeviceRef phone = fakemd::add_device();
  fakemd::put_file(phone, "/f", "data");
  fakemd::attach(phone);
  ASSERT_EQ(run("connect"), "ok\n");
  ASSERT_EQ(status_becomes("connected\n"), "connected\n");
  const std::string local = testing::TempDir() + "afclink-lost-link";

  // The file-service connection is found dead by a read.
  fakemd::fail(fakemd::Call::FileRefRead, 30, 1);
  EXPECT_EQ(run(("getFile /f " + local).c_str()).rfind("Error: ", 0), 0u);
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
  EXPECT_EQ(run(("getFile /f " + local).c_str()), "ok\n");

  // The phone is unplugged while idle, then plugged in again.
  fakemd::detach(phone);
  ASSERT_TRUE(fakemd::wait_until_handled());
  EXPECT_EQ(run("status"), "connecting\n");
  fakemd::attach(phone);
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
  EXPECT_EQ(fakemd::open_connections(), 1);
  EXPECT_EQ(fakemd::misuse_count(), 0);
  std::remove(local.c_str());
}

TEST_F(Dispatch, ManyConnectDisconnectCyclesKeepOneDeviceThread) {
  ASSERT_EQ(run("connect"), "ok\n");
  ASSERT_TRUE(fakemd::wait_for_subscriptions(1));
  const int threads = thread_count();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(run("disconnect"), "ok\n");
    ASSERT_EQ(run("connect"), "ok\n");
  }
  ASSERT_TRUE(fakemd::wait_until_handled());
  EXPECT_EQ(thread_count(), threads);
  EXPECT_EQ(fakemd::subscriber_loops(), 1);
  // A device that arrives now is connected by that one thread.
  fakemd::attach(fakemd::add_device());
  EXPECT_EQ(status_becomes("connected\n"), "connected\n");
}

TEST_F(Dispatch, StatusOnTheMainThreadRacesNotificationsSafely) {
  AMDeviceRef phone = fakemd::add_device();
  ASSERT_EQ(run("connect"), "ok\n");
  ASSERT_TRUE(fakemd::wait_for_subscriptions(1));
  std::atomic<bool> done{false};
  std::thread plugging([&] {
    for (int i = 0; i < 200 && !done; ++i) {
      fakemd::attach(phone);
      fakemd::detach(phone);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    const std::string answer = run(i % 2 ? "status" : "getFile /a");
    ASSERT_TRUE(answer == "connected\n" || answer == "connecting\n" || answer == "disconnected\n" ||
                answer == "Error: Not connected\n" || answer.rfind("Usage: getFile", 0) == 0)
        << answer;
  }
  done = true;
  plugging.join();
}

TEST_F(Dispatch, ArgumentCountsAreCheckedOnlyOnceConnected) {
  EXPECT_EQ(run("getDB"), "Error: Not connected\n");
  EXPECT_EQ(run("getFile /a"), "Error: Not connected\n");
  fakemd::attach(fakemd::add_device());
  ASSERT_EQ(run("connect"), "ok\n");
  ASSERT_EQ(status_becomes("connected\n"), "connected\n");
  EXPECT_EQ(run("getDB"), "Usage: getDB \"fully qualified destination file path\"\n");
  EXPECT_EQ(run("getDB a b"), "Usage: getDB \"fully qualified destination file path\"\n");
  const std::string usage =
      "Usage: getFile \"fully qualified source file path\" \"fully qualified "
      "destination file path\"\n";
  EXPECT_EQ(run("getFile /a"), usage);
  EXPECT_EQ(run("getFile /a /b /c"), usage);
}

// The README, or the manual page as a reader sees it: its font, hyphen,
// no-break and quote escapes undone.
std::string documented(const std::string& relative) {
  std::ifstream in(std::string(AFCLINK_SOURCE_DIR) + "/" + relative);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* escape : {"\\fB", "\\fI", "\\fP", "\\fR", "\\&", "\\%"})
    for (size_t at = 0; (at = text.find(escape, at)) != std::string::npos;)
      text.erase(at, std::strlen(escape));
  for (size_t at = 0; (at = text.find("\\-", at)) != std::string::npos;) text.erase(at, 1);
  for (size_t at = 0; (at = text.find("\\(dq", at)) != std::string::npos;)
    text.replace(at, 4, "\"");
  return text;
}

TEST_F(Dispatch, EveryCommandWordAndFixedReplyIsInTheReadmeAndTheManualPage) {
  std::vector<std::string> texts;
  for (size_t index = 0; const char* word = command_word(index); ++index) texts.emplace_back(word);
  const auto reply = [&](const char* line) {
    std::string answer = run(line);
    if (!answer.empty()) answer.pop_back();
    texts.push_back(answer);
  };
  texts.emplace_back(kUnreadableLineReply);
  for (const char* line : {"status", "getLibrary x", "connect", "connect", "status"}) reply(line);
  fakemd::attach(fakemd::add_device());
  ASSERT_EQ(status_becomes("connected\n"), "connected\n");
  for (const char* line : {"status", "connect", "getDB", "getFile", "getLibrary"}) reply(line);
  const std::string unknown = run("nosuch");
  texts.push_back(unknown.substr(0, unknown.find('"') + 1));
  // Standard output is the reply capture's, so what is missing goes to
  // standard error, where a failing run shows it.
  std::string missing;
  for (const char* page : {"README.md", "docs/afclink.1"}) {
    const std::string text = documented(page);
    for (const std::string& wanted : texts)
      if (text.empty() || text.find(wanted) == std::string::npos)
        missing += std::string(page) + " lacks: " + wanted + "\n";
  }
  if (!missing.empty()) std::fputs(missing.c_str(), stderr);
  EXPECT_TRUE(missing.empty());
}

// While memory is short each line is consumed and answered once, and
// nothing of it runs: not a line whose record cannot be had, nor one cut
// short (its words would fit, and "status ..." would answer
// "disconnected"). An empty line still gets no reply, and once memory is
// back the next line works.
TEST_F(Dispatch, ALineMemoryRunsOutOnIsAnsweredOnceAndNothingOfItRuns) {
  StdinFrom input("status\n\nstatus " + std::string(1000, 'x') + "\nstatus\n");
  ASSERT_TRUE(fakemd::wait_until_handled());
  // The pools hold only a cramped buffer for the line over a roomy one for
  // its words.
  std::vector<MemBuf*> drained;
  while (membuf_internal::_mb_pool || membuf_internal::_mb_tagged_pool)
    drained.push_back(mb_borrow());
  MemBuf* roomy = mb_borrow();
  MemBuf* cramped = mb_borrow();
  ASSERT_EQ(mb_make_room(roomy, 1 << 16), 0);
  ASSERT_EQ(mb_make_room(cramped, 128), 0);
  mb_free(roomy);
  mb_free(cramped);
  Command* holding_the_spare_record = cmd_new("pid");
  ASSERT_NE(holding_the_spare_record, nullptr);
  int no_record = 0, empty = 0, cut = 0;
  std::string no_record_reply, empty_reply, cut_reply;
  {
    FailAllocationsAfter failing(0);
    no_record = do_next_line(link_);
    no_record_reply = replies_.take();
    empty = do_next_line(link_);
    empty_reply = replies_.take();
    cmd_free0(&holding_the_spare_record);
    cut = do_next_line(link_);
    cut_reply = replies_.take();
  }
  for (MemBuf* buffer : drained) mb_free(buffer);
  const std::string refused = std::string(kUnreadableLineReply) + "\n";
  EXPECT_EQ(no_record, -1);
  EXPECT_EQ(no_record_reply, refused);
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(empty_reply, "");
  EXPECT_EQ(cut, -1);
  EXPECT_EQ(cut_reply, refused);
  EXPECT_EQ(do_next_line(link_), 0);
  EXPECT_EQ(replies_.take(), "disconnected\n");
}

TEST_F(Dispatch, EveryCommandStartsWithAnEmptyErrorText) {
  mdv_add_err(link_, "left over %d", 1);
  EXPECT_EQ(run("nosuch"), "Error: Unknown command \"nosuch\"\n");
  EXPECT_EQ(link_->err_text->length, 0);
}

TEST_F(Dispatch, PidAndUnknownWordsAnswerInEveryState) {
  EXPECT_EQ(run("pid"), std::to_string(getpid()) + "\n");
  EXPECT_EQ(run("Status"), "Error: Unknown command \"Status\"\n");
  EXPECT_EQ(run("connect"), "ok\n");
  EXPECT_EQ(run("pid now"), std::to_string(getpid()) + "\n");
  EXPECT_EQ(run("status extra words"), "connecting\n");
}

TEST(Console, LinesStdioStillHoldsGoOutBeforeTheReply) {
  ReplyCapture replies;
  std::puts("# a trace line");
  std::printf("# Err on Ptr %i \n", -108);
  ui_printf("%s\n", "/the/path");
  EXPECT_EQ(replies.take(), "# a trace line\n# Err on Ptr -108 \n/the/path\n");
}

TEST(Console, RepliesOfAnyLengthArriveWholeAndInOrder) {
  ReplyCapture replies;
  const std::string long_text(5000, 'x');
  ok();
  ui_eprintf("Error: %s\n", long_text.c_str());
  ui_eprintf("%i\n", 42);
  ui_eprintf("disconnected\n");
  EXPECT_EQ(replies.take(), "ok\nError: " + long_text + "\n42\ndisconnected\n");
}
