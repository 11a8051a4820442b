// The start of every test on one device: a fake phone, reset, added and
// attached, and a link to it that owns its error text. Suites derive from
// it and call attach_link in their SetUp (GoogleTest's ASSERTs need a
// function of no result); the link is freed after each test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "FakeMobileDevice.h"
#include "device/device.h"

class PhoneAndLink : public ::testing::Test {
 protected:
  // `connect`: the link's file service is open (mdv_connect), as a command
  // finds it once `status` says connected.
  void attach_link(bool connect, const char* service_name = nullptr,
                   DeviceConnectCallback connect_cb = nullptr) {
    fakemd::reset();
    phone = fakemd::add_device();
    fakemd::attach(phone);
    link = mdv_new(service_name, connect_cb, nullptr);
    ASSERT_NE(link, nullptr);
    mdv_set_dev(link, phone);
    if (connect) {
      ASSERT_EQ(mdv_connect(link), 0);
    }
  }
  void TearDown() override { mdv_free(link); }

  // The messages the link has gathered, blank-separated.
  [[nodiscard]] std::string errors() const {
    return std::string(link->err_text->storage, link->err_text->length);
  }

  AMDeviceRef phone = nullptr;
  DeviceLink* link = nullptr;
};
