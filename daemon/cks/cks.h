// Centralized (directory) keystore backend: the entry points the daemon
// core and the handlers call.
#ifndef KYR_CKS_H
#define KYR_CKS_H

#include "../core/qelkiod.h"

typedef struct ldap LDAP;

// ---- users and objects ----
// Each answers the firmware itself and returns 0, or returns a code and
// leaves the answer to the service loop.  Writes and deletes run the whole
// exchange (DBM_FLAG_MORE); a record the directory does not store or
// remove ends it with the directory's code.  Reads by ID build their
// pushes in `ans`, a copy of the request initialised as a push; the other
// reads get the message already initialised as a push (objects: the owner
// field selects one owner, all zero every object).
int cks_write_user_byid(LDAP *ld, upcall_buf *buf);
int cks_del_user_byid(LDAP *ld, upcall_buf *buf);
int cks_read_users_byid(LDAP *ld, upcall_buf *req, upcall_buf *ans);
int cks_read_all_users(LDAP *ld, upcall_buf *buf);
int cks_write_obj_byid(LDAP *ld, upcall_buf *buf);
int cks_del_obj_byid(LDAP *ld, upcall_buf *buf);
int cks_del_obj_byuser(LDAP *ld, upcall_buf *buf);
int cks_read_objs_byid(LDAP *ld, upcall_buf *req, upcall_buf *ans);
int cks_read_objs_byuser(LDAP *ld, upcall_buf *buf);
int cks_read_all_objs(LDAP *ld, upcall_buf *buf);

// ---- connection and keystore nodes ----
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
