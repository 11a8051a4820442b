# Which form of each device-library call this build's libraries have, found
# by trying to compile the call, never by a distribution or version number;
# src/platform/plist_memory.h and src/platform/imobiledevice/ bridge the
# forms. Each result is a 0/1 compile definition on the target that needs it.
include(CheckCXXSourceCompiles)
include(CMakePushCheckState)

function(afclink_library_form result target)
  cmake_push_check_state(RESET)
  set(CMAKE_REQUIRED_INCLUDES ${ARGV2})
  set(CMAKE_REQUIRED_LIBRARIES ${ARGV3})
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles("${ARGV4}" ${result})
  cmake_pop_check_state()
  if(${result})
    target_compile_definitions(${target} PUBLIC ${result}=1)
    message(STATUS "Library form ${result}: yes")
  else()
    target_compile_definitions(${target} PUBLIC ${result}=0)
    message(STATUS "Library form ${result}: no")
  endif()
endfunction()

# libplist: plist_from_memory with the format it found as a fourth argument.
afclink_library_form(AFCLINK_PLIST_FROM_MEMORY_HAS_FORMAT afclink_platform
  "${PLIST_INCLUDE_DIRS}" "${PLIST_LINK_LIBRARIES}" [[
#include <plist/plist.h>
int main() { plist_t p = nullptr; plist_format_t f; plist_from_memory("", 0, &p, &f); return 0; }
]])
# libplist: one call, plist_mem_free, frees what the writers return.
afclink_library_form(AFCLINK_PLIST_HAS_MEM_FREE afclink_platform
  "${PLIST_INCLUDE_DIRS}" "${PLIST_LINK_LIBRARIES}" [[
#include <plist/plist.h>
int main() { plist_mem_free(nullptr); return 0; }
]])
