# Test-bed tests: the control-device client they run through the interposer,
# built as a 64-bit and a 32-bit program (the 32-bit one with 64-bit time and
# file offsets, so it calls __ioctl_time64 and the open64 family, and both
# fortified, so flags that are not constant go through __open_2).  Built with
# the C compiler directly: these are programs under test, not instrumented.
set(_qc_src ${CMAKE_CURRENT_SOURCE_DIR}/testbed/qelclient.c)
set(_qc_dir ${CMAKE_CURRENT_BINARY_DIR}/testbed)
set(_qc_flags -O2 -g -D_FORTIFY_SOURCE=2 -Wall -Wextra -Werror -pthread
  -I${PROJECT_SOURCE_DIR}/driver)
add_custom_command(OUTPUT ${_qc_dir}/qelclient64 ${_qc_dir}/qelclient32
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_qc_dir}
  COMMAND ${CMAKE_C_COMPILER} -std=gnu99 ${_qc_flags} -o ${_qc_dir}/qelclient64 ${_qc_src}
  COMMAND ${CMAKE_C_COMPILER} -std=gnu99 -m32 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64
          ${_qc_flags} -o ${_qc_dir}/qelclient32 ${_qc_src}
  DEPENDS ${_qc_src} ${PROJECT_SOURCE_DIR}/driver/qelctl.h
  COMMENT "Building the test-bed control-device clients (64-bit and 32-bit)")
add_custom_target(kyr_testbed_clients ALL DEPENDS ${_qc_dir}/qelclient64 ${_qc_dir}/qelclient32)
file(GLOB _tb_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/testbed/*_test.cc)
foreach(src ${_tb_tests})
  get_filename_component(name ${src} NAME_WE)
  if(TARGET testbed_${name})
    add_dependencies(testbed_${name} kyr_testbed_clients kyrsim)
  endif()
endforeach()
# The daemon test runs the production kyrkiod.
if(TARGET testbed_daemon_test AND TARGET kyrkiod)
  add_dependencies(testbed_daemon_test kyrkiod)
endif()
