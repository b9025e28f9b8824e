// Centralized (directory) keystore backend: the entry points the daemon
// core and the handlers call.
#ifndef KYR_CKS_H
#define KYR_CKS_H

#include "../core/qelkiod.h"

typedef struct ldap LDAP;

// Appends one DBM_KS_LDAP record per keystore this host has joined.
int get_cent_ksnames(kstable *t);
// 0 and an open, bound connection in *ld; else a code and *ld == nullptr.
int connect_bind_ldap(LDAP **ld);
void cks_unbind(LDAP *ld);
int cks_db_make(upcall_buf *buf);
int cks_db_check(LDAP *ld, const char *name);
int cks_join_keystore(LDAP *ld, const char *name);
int cks_del_keystore(LDAP *ld, const char *name);
int cks_config_read(upcall_buf *buf);
int cks_config_write(upcall_buf *buf);

#endif  // KYR_CKS_H
