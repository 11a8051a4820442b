// The connection sequence and the notification callback on the fake, and
// the device thread against the main thread (run these under TSan too).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FakeMobileDevice.h"
#include "PhoneAndLink.h"
#include "device/device.h"

namespace {

using fakemd::Call;

std::atomic<int> callbacks{0};
// What the first attempt of a test ended waiting for.
std::atomic<DeviceWait> first_wait{DeviceWait::nothing};

int32_t count_attempt(DeviceLink* link, void*) noexcept {
  if (callbacks.fetch_add(1) == 0) first_wait.store(link->wait.load());
  return 0;
}

class ConnectTest : public PhoneAndLink {
 protected:
  void SetUp() override {
    callbacks = 0;
    attach_link(false, "com.example.not-afc", count_attempt);
  }

  void notify(AMDeviceRef device, uint32_t kind) {
    am_device_notification_callback_info info{device, kind};
    device_internal::notification(&info, nullptr);
  }
};

TEST_F(ConnectTest, SequenceRunsItsStepsInOrderAndPublishesTheConnection) {
  EXPECT_EQ(mdv_connect(link), 0);
  EXPECT_EQ(link->connected.load(), 1);
  ASSERT_NE(link->afc_conn, nullptr);
  std::vector<std::string> calls;
  for (const auto& entry : fakemd::log()) calls.push_back(fakemd::call_name(entry.call));
  EXPECT_EQ(calls, (std::vector<std::string>{"AMDeviceConnect", "AMDeviceIsPaired",
                                             "AMDeviceValidatePairing", "AMDeviceStartSession",
                                             "AMDeviceStartService", "AFCConnectionOpen"}));
  auto opened = fakemd::log_of(Call::ConnectionOpen);
  EXPECT_EQ(opened[0].connection, link->afc_conn);
  EXPECT_EQ(opened[0].value, fakemd::log_of(Call::DeviceStartService)[0].value);
  EXPECT_EQ(link->err_text->length, 0);
}

TEST_F(ConnectTest, AlwaysStartsTheFileServiceWhateverTheLinkIsNamed) {
  ASSERT_EQ(mdv_connect(link), 0);
  EXPECT_EQ(fakemd::log_of(Call::DeviceStartService)[0].text, "com.apple.afc");
}

struct StepFailure {
  Call call;
  int32_t status;
  int32_t result;
};

TEST_F(ConnectTest, EachFailingStepGivesItsResultAndLeavesTheLinkUnconnected) {
  const StepFailure cases[] = {
      {Call::DeviceConnect, -8, -1},
      {Call::DeviceStartSession, -21, -4},
      {Call::DeviceStartService, -27, -1},
      {Call::ConnectionOpen, 30, -2},
  };
  for (const StepFailure& step : cases) {
    TearDown();  // each case on a fresh link and fake
    SetUp();
    fakemd::fail(step.call, step.status);
    EXPECT_EQ(mdv_connect(link), step.result) << fakemd::call_name(step.call);
    EXPECT_EQ(link->connected.load(), 0);
    EXPECT_EQ(link->afc_conn, nullptr);
    EXPECT_EQ(link->err_text->length, 0);
  }
}

TEST_F(ConnectTest, UnpairedDeviceIsPairedOnceAndGoesOn) {
  fakemd::set_paired(phone, false);
  EXPECT_EQ(mdv_connect(link), 0);
  EXPECT_EQ(fakemd::call_count(Call::DevicePair), 1);
  EXPECT_EQ(fakemd::call_count(Call::DeviceIsPaired), 2);
}

TEST_F(ConnectTest, UnpairedDeviceWhosePairingFailsGivesMinusTwo) {
  fakemd::set_paired(phone, false);
  fakemd::fail(Call::DevicePair, -18);
  EXPECT_EQ(mdv_connect(link), -2);
  EXPECT_EQ(fakemd::call_count(Call::DevicePair), 1);
  EXPECT_EQ(fakemd::call_count(Call::DeviceValidatePairing), 0);
  EXPECT_EQ(link->connected.load(), 0);
}

TEST_F(ConnectTest, ValidationFailingOnceIsRepairedAndGoesOn) {
  fakemd::fail(Call::DeviceValidatePairing, -21, 1);
  EXPECT_EQ(mdv_connect(link), 0);
  EXPECT_EQ(fakemd::call_count(Call::DevicePair), 1);
  EXPECT_EQ(fakemd::call_count(Call::DeviceValidatePairing), 2);
}

TEST_F(ConnectTest, ValidationFailingTwiceGivesMinusThree) {
  fakemd::fail(Call::DeviceValidatePairing, -21);
  EXPECT_EQ(mdv_connect(link), -3);
  EXPECT_EQ(fakemd::call_count(Call::DeviceValidatePairing), 2);
  EXPECT_EQ(fakemd::call_count(Call::DeviceStartSession), 0);
}

TEST_F(ConnectTest, PairsAtMostTwicePerAttempt) {
  fakemd::set_paired(phone, false);
  fakemd::fail(Call::DeviceIsPaired, 1, 2);  // the pairing "took"
  fakemd::fail(Call::DeviceValidatePairing, -21);
  EXPECT_EQ(mdv_connect(link), -3);
  EXPECT_EQ(fakemd::call_count(Call::DevicePair), 2);
}

TEST_F(ConnectTest, ReconnectingReleasesTheEarlierConnectionFirst) {
  ASSERT_EQ(mdv_connect(link), 0);
  AFCConnectionRef first = link->afc_conn;
  link->connected.store(0);  // what `disconnect` does
  ASSERT_EQ(mdv_connect(link), 0);
  auto closes = fakemd::log_of(Call::ConnectionClose);
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_EQ(closes[0].connection, first);
  EXPECT_EQ(fakemd::open_connections(), 1);
  EXPECT_EQ(fakemd::misuse_count(), 0);
}

TEST_F(ConnectTest, FailedReconnectionLeavesNoConnectionBehind) {
  ASSERT_EQ(mdv_connect(link), 0);
  link->connected.store(0);
  fakemd::fail(Call::DeviceConnect, -3);
  EXPECT_EQ(mdv_connect(link), -1);
  EXPECT_EQ(link->afc_conn, nullptr);
  EXPECT_EQ(fakemd::open_connections(), 0);
}

TEST_F(ConnectTest, AttachRunsAnAttemptAndTheCallbackEachTime) {
  fakemd::fail(Call::DeviceConnect, -8, 1);
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(callbacks.load(), 1);
  EXPECT_EQ(link->connected.load(), 0);
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(callbacks.load(), 2);
  EXPECT_EQ(link->connected.load(), 1);
}

TEST_F(ConnectTest, AConnectRefusalMeansUnpluggedOnlyWhenTheDeviceLibrarySaysSo) {
  // Lockdown's plist error shares its number with the device library's
  // "no device": only the latter is an unplugged phone to wait for.
  fakemd::fail(Call::DeviceConnect, -3, 1);
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(link->wait.load(), DeviceWait::new_connect);
  fakemd::fail(Call::DeviceConnect, kAMDNoDevice, 2);
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(link->wait.load(), DeviceWait::plug_in);
  const DeviceReport report = mdv_report(link);
  EXPECT_EQ(report.failed_step, DeviceStep::connect);
  EXPECT_EQ(report.failed_status, kAMDNoDevice);
}

TEST_F(ConnectTest, AnAttemptEndingAfterDisconnectReleasesWhatItOpened) {
  mdv_want_connection(link, true);
  fakemd::set_open_hook([this] { mdv_want_connection(link, false); });
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(link->connected.load(), 0);
  EXPECT_EQ(link->afc_conn, nullptr);
  EXPECT_EQ(fakemd::open_connections(), 0);
  EXPECT_EQ(link->wait.load(), DeviceWait::nothing);
  EXPECT_EQ(mdv_report(link).failed_status, kAMDWithdrawn);
  // A phone plugged in after `disconnect` still connects by itself.
  fakemd::set_open_hook(nullptr);
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(link->connected.load(), 1);
}

TEST_F(ConnectTest, AnotherPhonesDetachChangesNothingAndTheStoredPhoneIsHeld) {
  AMDeviceRef other = fakemd::add_device();
  fakemd::attach(other);
  notify(other, ADNCI_MSG_DISCONNECTED);
  EXPECT_EQ(link->device_ref, phone);
  EXPECT_EQ(link->wait.load(), DeviceWait::nothing);
  notify(phone, 4);
  EXPECT_EQ(link->device_ref, phone);
  EXPECT_EQ(callbacks.load(), 0);
  EXPECT_TRUE(fakemd::log().empty());
  // The link's own reference beside the notifier's: the phone outlives its
  // detach for as long as the link holds it.
  EXPECT_EQ(fakemd::ref_count(phone), 2);
  notify(phone, ADNCI_MSG_DISCONNECTED);
  EXPECT_EQ(link->wait.load(), DeviceWait::plug_in);
  fakemd::detach(phone);
  EXPECT_FALSE(fakemd::is_freed(phone));
}

TEST_F(ConnectTest, WhileConnectedOnlyTheConnectedDevicesDetachIsNoted) {
  notify(phone, ADNCI_MSG_CONNECTED);
  ASSERT_EQ(link->connected.load(), 1);
  const size_t calls = fakemd::log().size();
  AMDeviceRef other = fakemd::add_device();
  for (uint32_t kind : {ADNCI_MSG_CONNECTED, ADNCI_MSG_DISCONNECTED, ADNCI_MSG_PAIRED})
    notify(other, kind);
  EXPECT_EQ(link->device_ref, phone);
  EXPECT_EQ(link->lost.load(), 0);
  // The connected device going is only marked: the main thread may be using
  // the connection, and retires it itself.
  notify(phone, ADNCI_MSG_DISCONNECTED);
  EXPECT_EQ(link->lost.load(), 1);
  EXPECT_EQ(link->connected.load(), 1);
  EXPECT_EQ(fakemd::log().size(), calls);
  EXPECT_EQ(callbacks.load(), 1);

  EXPECT_EQ(mdv_retire_if_lost(link), 1);
  EXPECT_EQ(link->connected.load(), 0);
  EXPECT_EQ(link->afc_conn, nullptr);
  EXPECT_EQ(fakemd::open_connections(), 0);
  EXPECT_EQ(mdv_retire_if_lost(link), 0);
}

TEST_F(ConnectTest, APairedNotificationRetriesWhatTheUsersTapCanMend) {
  fakemd::set_paired(phone, false);
  fakemd::set_trusted(phone, false);
  // The prompt shows; then Don't Trust, which nothing retries by itself.
  fakemd::fail(Call::DevicePair, kAMDPairingDialogPending, 1);
  fakemd::fail(Call::DevicePair, kAMDUserDeniedPairing, 2);
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(link->wait.load(), DeviceWait::trust);
  notify(phone, ADNCI_MSG_CONNECTED);
  EXPECT_EQ(link->wait.load(), DeviceWait::new_connect);
  EXPECT_EQ(mdv_report(link).failed_status, kAMDUserDeniedPairing);
  // The user taps Trust after all; usbmuxd reports the phone paired.
  notify(phone, ADNCI_MSG_PAIRED);
  EXPECT_EQ(link->connected.load(), 1);
  EXPECT_EQ(callbacks.load(), 3);
  EXPECT_EQ(mdv_report(link).failed_step, DeviceStep::none);

  // A pairing the phone does not accept is not retried: it would pair
  // again, be reported paired again, and so on for ever. Nor is the echo of
  // an attempt's own pairing.
  link->connected.store(0);
  fakemd::fail(Call::DeviceValidatePairing, kAMDInvalidHostID);
  notify(phone, ADNCI_MSG_CONNECTED);
  ASSERT_EQ(link->wait.load(), DeviceWait::new_connect);
  notify(phone, ADNCI_MSG_PAIRED);
  EXPECT_EQ(callbacks.load(), 4);
}

// What each refusal waits for, and whether the device thread tries again by
// itself (every pause) while the connection is wanted.
TEST_F(ConnectTest, RefusalsTheUserCanMendAreTriedAgainByThemselves) {
  struct Case {
    Call call;
    int32_t status;
    DeviceWait wait;
    bool unpaired;
  };
  const Case cases[] = {
      {Call::DevicePair, kAMDPasswordProtected, DeviceWait::unlock, true},
      {Call::DevicePair, kAMDPairingDialogPending, DeviceWait::trust, true},
      {Call::DeviceStartService, kAMDPasswordProtected, DeviceWait::unlock, false},
      {Call::DeviceStartSession, kAMDSSLError, DeviceWait::retry, false},
      {Call::ConnectionOpen, kAFCMuxError, DeviceWait::retry, false},
  };
  const device_internal::ScopedRetryPause quick(std::chrono::milliseconds(20));
  for (const Case& c : cases) {
    TearDown();
    SetUp();
    fakemd::set_paired(phone, !c.unpaired);
    fakemd::fail(c.call, c.status, 1);  // refused once, then the user mends it
    mdv_want_connection(link, true);
    fakemd::DeviceThread thread(link);
    ASSERT_TRUE(fakemd::wait_until_handled());
    EXPECT_EQ(first_wait.load(), c.wait) << fakemd::call_name(c.call);
    for (int i = 0; i < 500 && link->connected.load() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(link->connected.load(), 1) << fakemd::call_name(c.call);
    EXPECT_EQ(callbacks.load(), 2) << fakemd::call_name(c.call);
  }
}

TEST_F(ConnectTest, RetriesStopAtTheirLimitAtDisconnectAndAtARefusalForGood) {
  const device_internal::ScopedRetryPause quick(std::chrono::milliseconds(10));
  const auto settle = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return fakemd::wait_until_handled();
  };
  {
    // A session that keeps failing: five tries in all, then only a new
    // `connect` or a replug.
    fakemd::fail(Call::DeviceStartSession, kAMDSSLError);
    mdv_want_connection(link, true);
    fakemd::DeviceThread thread(link);
    ASSERT_TRUE(settle());
    EXPECT_EQ(fakemd::call_count(Call::DeviceStartSession), 5);
    EXPECT_EQ(link->wait.load(), DeviceWait::new_connect);
  }
  TearDown();
  SetUp();
  {
    // A locked phone after `disconnect`: nothing more is tried.
    fakemd::fail(Call::DeviceStartService, kAMDPasswordProtected);
    mdv_want_connection(link, true);
    fakemd::DeviceThread thread(link);
    ASSERT_TRUE(fakemd::wait_until_handled());
    mdv_want_connection(link, false);
    ASSERT_TRUE(settle());
    const long tries = fakemd::call_count(Call::DeviceStartService);
    ASSERT_TRUE(settle());
    EXPECT_LE(tries, 2);
    EXPECT_EQ(fakemd::call_count(Call::DeviceStartService), tries);
  }
  TearDown();
  SetUp();
  {
    // A service the phone refuses is not asked for again.
    fakemd::fail(Call::DeviceStartService, kAMDInvalidService);
    mdv_want_connection(link, true);
    fakemd::DeviceThread thread(link);
    ASSERT_TRUE(settle());
    EXPECT_EQ(fakemd::call_count(Call::DeviceStartService), 1);
    EXPECT_EQ(link->wait.load(), DeviceWait::new_connect);
    const DeviceReport report = mdv_report(link);
    EXPECT_EQ(report.failed_step, DeviceStep::service);
    EXPECT_EQ(report.failed_status, kAMDInvalidService);
    EXPECT_TRUE(report.phone_attached);
  }
}

TEST_F(ConnectTest, NotificationWithoutALinkIsIgnored) {
  DeviceLink* keep = link;
  device_internal::_mdv0 = nullptr;
  notify(phone, ADNCI_MSG_CONNECTED);
  device_internal::_mdv0 = keep;
  EXPECT_EQ(callbacks.load(), 0);
  EXPECT_TRUE(fakemd::log().empty());
}

TEST_F(ConnectTest, SubscriptionPassesTheCallbackAndReportsRefusal) {
  EXPECT_EQ(mdv_subscribe_to_notifications(link), 0);
  EXPECT_EQ(fakemd::subscription_count(), 1);
  fakemd::fail(Call::NotificationSubscribe, kAMDOutOfMemory);
  EXPECT_EQ(mdv_subscribe_to_notifications(link), -1);
  EXPECT_EQ(fakemd::subscription_count(), 1);
}

// ---- On a device thread ---------------------------------------------------

TEST_F(ConnectTest, AttachedDeviceIsAnnouncedAndConnectedOnTheDeviceThread) {
  std::thread::id callback_thread;
  {
    fakemd::DeviceThread thread(link);
    ASSERT_TRUE(fakemd::wait_until_handled());
    EXPECT_EQ(link->connected.load(std::memory_order_acquire), 1);
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_EQ(fakemd::subscriber_loop(), thread.loop());
  }
  EXPECT_EQ(fakemd::subscriber_loops(), 1);
}

TEST_F(ConnectTest, StatusReadsRaceNoNotificationsOnTheDeviceThread) {
  // The main thread reads `connected` and uses the connection while the
  // device thread handles attach and detach notifications and reconnects.
  fakemd::put_file(phone, "/f", "data");
  fakemd::DeviceThread thread(link);
  ASSERT_TRUE(fakemd::wait_until_handled());
  std::atomic<bool> done{false};
  std::thread reader([&] {
    long seen = 0;
    while (!done.load()) seen += link->connected.load(std::memory_order_acquire);
    (void)seen;
  });
  for (int round = 0; round < 200; ++round) {
    ASSERT_TRUE(fakemd::wait_until_handled());
    ASSERT_EQ(link->connected.load(std::memory_order_acquire), 1) << round;
    DeviceFilePtr file(mdv_file_open(link, "/f", 'r'));
    ASSERT_NE(file, nullptr);
    file.reset();
    link->connected.store(0, std::memory_order_release);  // `disconnect`
    fakemd::detach(phone);
    fakemd::attach(phone);
  }
  ASSERT_TRUE(fakemd::wait_until_handled());
  done = true;
  reader.join();
  EXPECT_EQ(link->connected.load(), 1);
  EXPECT_EQ(fakemd::open_connections(), 1);
  EXPECT_EQ(fakemd::misuse_count(), 0);
  EXPECT_EQ(callbacks.load(), 201);
}

TEST_F(ConnectTest, SubscribingAgainAnnouncesTheAttachedDeviceAgain) {
  fakemd::DeviceThread thread(link);
  ASSERT_TRUE(fakemd::wait_until_handled());
  ASSERT_EQ(link->connected.load(), 1);
  link->connected.store(0, std::memory_order_release);
  CFRunLoopPerformBlock(thread.loop(), [this] { (void)mdv_subscribe_to_notifications(link); });
  CFRunLoopWakeUp(thread.loop());
  ASSERT_TRUE(fakemd::wait_until_handled());
  EXPECT_EQ(fakemd::subscription_count(), 2);
  EXPECT_EQ(link->connected.load(std::memory_order_acquire), 1);
  EXPECT_EQ(callbacks.load(), 2);
  EXPECT_EQ(fakemd::open_connections(), 1);
}

TEST_F(ConnectTest, ADetachQueuedBeforeANewSubscriptionStillReachesTheLink) {
  // The link holds to its phone, refused for good, while another phone
  // comes and is left alone.
  fakemd::fail(Call::DeviceStartService, kAMDInvalidService, 1);
  mdv_want_connection(link, true);
  fakemd::DeviceThread thread(link);
  ASSERT_TRUE(fakemd::wait_until_handled());
  AMDeviceRef other = fakemd::add_device();
  fakemd::attach(other);
  ASSERT_TRUE(fakemd::wait_until_handled());
  ASSERT_EQ(link->connected.load(), 0);
  // The phone goes, and `connect` subscribes afresh before its detach is
  // handled: the new subscription announces only the other phone.
  CFRunLoopPerformBlock(thread.loop(), [this] {
    fakemd::detach(phone);
    (void)mdv_subscribe_to_notifications(link);
  });
  CFRunLoopWakeUp(thread.loop());
  ASSERT_TRUE(fakemd::wait_until_handled());
  EXPECT_EQ(link->connected.load(std::memory_order_acquire), 1);
  EXPECT_EQ(link->device_ref, other);
}

}  // namespace
