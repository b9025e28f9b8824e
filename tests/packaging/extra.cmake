# The packaging test builds the Debian packages from a copy of the tree,
# installs, runs the installed daemon through the scripted session,
# upgrades, removes and purges them on this machine (as root; skipped
# otherwise).  About two minutes; label "package".
if(NOT KYR_SANITIZE AND TARGET kyrsession)
  add_test(NAME package_install_upgrade_purge
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/packaging/package_test.sh
            ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR})
  set_tests_properties(package_install_upgrade_purge PROPERTIES
    LABELS package
    TIMEOUT 900
    RUN_SERIAL TRUE
    SKIP_RETURN_CODE 77)
endif()

# The message template in the tree holds exactly the texts the sources
# translate.
find_program(KYR_XGETTEXT xgettext)
find_program(KYR_MSGCMP msgcmp)
if(KYR_XGETTEXT AND KYR_MSGCMP)
  add_test(NAME catalogue_template_current
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/packaging/pot_test.sh ${PROJECT_SOURCE_DIR})
  set_tests_properties(catalogue_template_current PROPERTIES LABELS catalogue)
endif()
