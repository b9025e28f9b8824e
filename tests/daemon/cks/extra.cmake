# The log lock's full minute of waiting is a label of its own, so that a
# quick run of the directory tests can leave it out (ctest -LE ldap_slow).
if(TEST daemon_cks_cks_log_slow_ldap_test)
  set_tests_properties(daemon_cks_cks_log_slow_ldap_test PROPERTIES LABELS "daemon_cks;ldap_slow")
endif()
