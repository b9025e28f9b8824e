// The directory backend is not built yet.  Every entry point fails with a
// logged message, so that discovery puts the daemon into degraded mode and
// centralized requests are refused rather than silently accepted.
#include "cks.h"

#include <cerrno>

namespace {
int cks_unavailable(const char *what)
{
    qelkiod_log(LOG_ERR, "Centralized keystore support is not available: %s", what);
    return EOPNOTSUPP;
}
}  // namespace

int get_cent_ksnames(kstable *) { return cks_unavailable("get_cent_ksnames"); }
int connect_bind_ldap(LDAP **ld)
{
    *ld = nullptr;
    return cks_unavailable("connect_bind_ldap");
}
void cks_unbind(LDAP *) {}
int cks_db_make(upcall_buf *) { return cks_unavailable("cks_db_make"); }
int cks_db_check(LDAP *, const char *) { return cks_unavailable("cks_db_check"); }
int cks_join_keystore(LDAP *, const char *) { return cks_unavailable("cks_join_keystore"); }
int cks_del_keystore(LDAP *, const char *) { return cks_unavailable("cks_del_keystore"); }
int cks_config_read(upcall_buf *) { return cks_unavailable("cks_config_read"); }
int cks_config_write(upcall_buf *) { return cks_unavailable("cks_config_write"); }
