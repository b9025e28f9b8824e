# The token library's tests run the library through the driver p11drive
# (loaded as the framework loads it), kyr_slot and the framework loader,
# all through the interposer against the simulated card's token.
if(NOT TARGET kyrtok)
  return()
endif()
add_executable(p11drive ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11/p11drive.cc)
target_include_directories(p11drive PRIVATE ${PROJECT_SOURCE_DIR}/pkcs11 ${KYR_P11_INCLUDE})
target_link_libraries(p11drive PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
add_executable(p11ops ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11/p11ops.cc)
target_include_directories(p11ops PRIVATE ${PROJECT_SOURCE_DIR}/pkcs11 ${KYR_P11_INCLUDE})
target_link_libraries(p11ops PRIVATE ${CMAKE_DL_LIBS})
add_executable(p11std ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11/p11std.cc)
target_include_directories(p11std PRIVATE ${KYR_P11_INCLUDE})
target_link_libraries(p11std PRIVATE ${CMAKE_DL_LIBS})
# The operations driver for 32-bit callers, beside the 32-bit library (run
# under qemu-i386-static; without the sanitizers, as the library).
if(TARGET pkcs11_kyr32)
  add_executable(p11ops32 ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11/p11ops.cc)
  target_include_directories(p11ops32 PRIVATE ${PROJECT_SOURCE_DIR}/pkcs11 ${KYR_P11_INCLUDE})
  set_target_properties(p11ops32 PROPERTIES COMPILE_OPTIONS "-Wall;-Wextra;-Werror;-m32"
    LINK_OPTIONS "-m32")
  target_compile_options(p11ops32 PRIVATE -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64)
  target_link_libraries(p11ops32 PRIVATE ${CMAKE_DL_LIBS})
  set(_p11_32 P11OPS32="$<TARGET_FILE:p11ops32>" KYR_P11_LIB32="$<TARGET_FILE:pkcs11_kyr32>")
endif()
file(GLOB _p11_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11/*_test.cc)
foreach(src ${_p11_tests})
  get_filename_component(name ${src} NAME_WE)
  target_compile_definitions(pkcs11_${name} PRIVATE P11DRIVE="$<TARGET_FILE:p11drive>"
    KYR_P11_LIB="$<TARGET_FILE:pkcs11_kyr>" P11STD="$<TARGET_FILE:p11std>"
    P11OPS="$<TARGET_FILE:p11ops>" ${_p11_32})
  if(TARGET p11ops32)
    add_dependencies(pkcs11_${name} p11ops32 pkcs11_kyr32)
  endif()
  add_dependencies(pkcs11_${name} p11drive p11std p11ops pkcs11_kyr)
  target_compile_definitions(pkcs11_${name} PRIVATE KYR_LOADER="$<TARGET_FILE:kyr_loader>")
  if(KYR_SANITIZE)
    # Programs that are not instrumented cannot load instrumented modules.
    target_compile_definitions(pkcs11_${name} PRIVATE KYR_SANITIZED=1)
  endif()
  foreach(t kyr_slot kyr_loader)
    if(TARGET ${t})
      add_dependencies(pkcs11_${name} ${t})
    endif()
  endforeach()
endforeach()
