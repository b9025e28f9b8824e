# The booted-kernel test: builds the qelctl module and the stand-in qel
# driver module with kbuild for the installed Debian kernel, boots that
# kernel under qemu with the modules, kyrdiag, kyrkiod and the in-machine
# test programs, and judges the serial log (kept in <build>/kernel-vm).
# It needs the programs built first; a missing one is reported as skipped.
if(KYR_KERNEL_TESTS AND NOT KYR_SANITIZE)
  add_test(NAME kernel_qelctl_vm
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/kernel/kernel_vm_test.sh
            ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(kernel_qelctl_vm PROPERTIES
    LABELS kernel
    TIMEOUT 600
    RUN_SERIAL TRUE)
endif()
