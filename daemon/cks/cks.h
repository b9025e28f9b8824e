// Centralized (directory) keystore backend.  Only the entry points the
// daemon core and handlers call are declared here; until the directory
// backend is built they fail with a logged message.
#ifndef KYR_CKS_H
#define KYR_CKS_H

#include "../core/qelkiod.h"

typedef struct ldap LDAP;

int get_cent_ksnames(kstable *t);
int connect_bind_ldap(LDAP **ld);
void cks_unbind(LDAP *ld);
int cks_db_make(upcall_buf *buf);
int cks_db_check(LDAP *ld, const char *name);
int cks_join_keystore(LDAP *ld, const char *name);
int cks_del_keystore(LDAP *ld, const char *name);
int cks_config_read(upcall_buf *buf);
int cks_config_write(upcall_buf *buf);

#endif  // KYR_CKS_H
