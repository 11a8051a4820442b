// Fuzzes the compressed database copy: the input is the device's iTunesCDB
// (after a first byte that sets the largest read the fake device answers),
// copied through a connected link on the in-process fake to /dev/null.
// Whatever the bytes, the copy must end (success or an error with a
// message) without crashing, leaking or looping.
#include <string>

#include "FakeMobileDevice.h"
#include "main/commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fakemd::reset();
  DeviceLink* link = mdv_new(nullptr, nullptr, nullptr);
  AMDeviceRef phone = fakemd::add_device();
  fakemd::attach(phone);
  fakemd::set_max_read(phone, data[0] ? data[0] * 67u : 0);
  fakemd::put_file(phone, "/iTunes_Control/iTunes/iTunesCDB",
                   std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  link->device_ref = phone;
  if (mdv_connect(link) == 0) {
    const int result = get_compressed_file(link, "/iTunes_Control/iTunes/iTunesCDB",
                                           "/dev/null", 188);
    if (result != 0 && link->err_text->length == 0) __builtin_trap();
  }
  mdv_free(link);
  fakemd::reset();
  return 0;
}
