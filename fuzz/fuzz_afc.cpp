// Fuzzes the production file-service layer (platform/imobiledevice/afc.cpp)
// with its read-ahead, over the stand-ins for the libimobiledevice calls it
// makes (tests/support/afc/): each input is a script of the device's
// answers and the caller's operations, whose checks are in afc_script.h.
#include <libimobiledevice/lockdown.h>

#include <cstddef>
#include <cstdint>

#include "afc_script.h"

// The harness links no library: the two calls of it the layer makes
// besides the stand-ins.
extern "C" {
void ERR_clear_error(void) {}
lockdownd_error_t lockdownd_service_descriptor_free(lockdownd_service_descriptor_t) {
  return LOCKDOWN_E_SUCCESS;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  afc_script_run(data, size);
  return 0;
}
