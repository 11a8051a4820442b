// The device link record: creation, release and the retaining setter.
#include <gtest/gtest.h>

#include <cstring>

#include "FakeMobileDevice.h"
#include "device/device.h"
#include "membuf/alloc.h"

namespace {

using device_internal::_mdv0;

struct LinkFree {
  void operator()(DeviceLink* link) const noexcept { mdv_free(link); }
};
using LinkPtr = std::unique_ptr<DeviceLink, LinkFree>;

int32_t no_callback(DeviceLink*, void*) noexcept { return 0; }

TEST(DeviceLinkNew, NullOrEmptyNameMeansTheFileService) {
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    LinkPtr link(mdv_new(name, nullptr, nullptr));
    ASSERT_NE(link, nullptr);
    EXPECT_STREQ(link->service_name, "com.apple.afc");
  }
}

TEST(DeviceLinkNew, StartsEmptyAndBecomesTheNotifiedLink) {
  int arg = 0;
  LinkPtr link(mdv_new("com.example.other", no_callback, &arg));
  ASSERT_NE(link, nullptr);
  EXPECT_STREQ(link->service_name, "com.example.other");
  EXPECT_EQ(link->connected.load(), 0);
  EXPECT_EQ(link->device_ref, nullptr);
  EXPECT_EQ(link->afc_conn, nullptr);
  EXPECT_EQ(link->connect_cb, &no_callback);
  EXPECT_EQ(link->connect_arg, &arg);
  ASSERT_NE(link->err_text, nullptr);
  EXPECT_EQ(link->err_text->length, 0);
  EXPECT_EQ(link->err_text->element_size <= 1, true);
  EXPECT_EQ(_mdv0, link.get());
}

TEST(DeviceLinkNew, AnyFailedAllocationGivesNullAndLeavesTheGlobal) {
  // The record, the name copy and the error text: fail each in turn.
  LinkPtr earlier(mdv_new(nullptr, nullptr, nullptr));
  ASSERT_NE(earlier, nullptr);
  int failures = 0;
  for (long allowed = 0;; ++allowed) {
    membuf_internal::mb_fail_allocations_after(allowed);
    DeviceLink* link = mdv_new("name", nullptr, nullptr);
    membuf_internal::mb_fail_allocations_after(-1);
    if (link) {
      mdv_free(link);
      break;
    }
    ++failures;
    EXPECT_EQ(_mdv0, earlier.get()) << "after " << allowed << " allocations";
  }
  EXPECT_GE(failures, 3);
}

TEST(DeviceLinkFree, ClearsTheGlobalEvenWhenItPointsElsewhere) {
  DeviceLink* first = mdv_new(nullptr, nullptr, nullptr);
  LinkPtr second(mdv_new(nullptr, nullptr, nullptr));
  ASSERT_EQ(_mdv0, second.get());
  mdv_free(first);
  EXPECT_EQ(_mdv0, nullptr);
}

TEST(DeviceLinkFree, NeitherClosesTheConnectionNorReleasesTheDevice) {
  fakemd::reset();
  AMDeviceRef phone = fakemd::add_device();
  fakemd::attach(phone);
  DeviceLink* link = mdv_new(nullptr, nullptr, nullptr);
  link->device_ref = phone;
  ASSERT_EQ(mdv_connect(link), 0);
  const int refs = fakemd::ref_count(phone);
  mdv_free(link);
  EXPECT_EQ(fakemd::open_connections(), 1);
  EXPECT_EQ(fakemd::ref_count(phone), refs);
  EXPECT_EQ(fakemd::call_count(fakemd::Call::DeviceRelease), 0);
}

class DeviceSetDev : public ::testing::Test {
 protected:
  void SetUp() override {
    fakemd::reset();
    a = fakemd::add_device();
    b = fakemd::add_device();
    fakemd::attach(a);
    fakemd::attach(b);
    link.reset(mdv_new(nullptr, nullptr, nullptr));
  }
  AMDeviceRef a = nullptr;
  AMDeviceRef b = nullptr;
  LinkPtr link;
};

TEST_F(DeviceSetDev, RetainsTheNewDeviceAndReleasesTheOldOne) {
  mdv_set_dev(link.get(), a);
  EXPECT_EQ(link->device_ref, a);
  EXPECT_EQ(fakemd::ref_count(a), 2);
  mdv_set_dev(link.get(), b);
  EXPECT_EQ(link->device_ref, b);
  EXPECT_EQ(fakemd::ref_count(a), 1);
  EXPECT_EQ(fakemd::ref_count(b), 2);
}

TEST_F(DeviceSetDev, TheStoredDeviceAgainChangesNothing) {
  mdv_set_dev(link.get(), a);
  mdv_set_dev(link.get(), a);
  EXPECT_EQ(fakemd::call_count(fakemd::Call::DeviceRetain), 1);
  EXPECT_EQ(fakemd::call_count(fakemd::Call::DeviceRelease), 0);
  EXPECT_EQ(fakemd::ref_count(a), 2);
}

TEST_F(DeviceSetDev, NullReleasesTheStoredDevice) {
  mdv_set_dev(link.get(), a);
  mdv_set_dev(link.get(), nullptr);
  EXPECT_EQ(link->device_ref, nullptr);
  EXPECT_EQ(fakemd::ref_count(a), 1);
  EXPECT_EQ(fakemd::misuse_count(), 0);
}

TEST_F(DeviceSetDev, KeepsADetachedDeviceAlive) {
  mdv_set_dev(link.get(), a);
  fakemd::detach(a);
  EXPECT_FALSE(fakemd::is_freed(a));
  mdv_set_dev(link.get(), nullptr);
  EXPECT_TRUE(fakemd::is_freed(a));
}

}  // namespace
