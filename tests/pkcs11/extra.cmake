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
file(GLOB _p11_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pkcs11/*_test.cc)
foreach(src ${_p11_tests})
  get_filename_component(name ${src} NAME_WE)
  target_compile_definitions(pkcs11_${name} PRIVATE P11DRIVE="$<TARGET_FILE:p11drive>"
    KYR_P11_LIB="$<TARGET_FILE:pkcs11_kyr>" P11STD="$<TARGET_FILE:p11std>"
    P11OPS="$<TARGET_FILE:p11ops>")
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
