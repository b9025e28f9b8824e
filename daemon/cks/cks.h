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

// ---- audit log: count, log lock, rotation, entries ----
// Entries directly below the log node `rdn` (CKS_LOGCUR_RDN or
// CKS_LOGOLD_RDN) of keystore `ks`, or -1 (logged) on any failure.
long get_log_count(LDAP *ld, const char *ks, const char *rdn);
// op 0 takes the keystore's log lock, waiting while another agent holds it;
// op 1 (or any other value) releases it.  0; ETIME when the lock stayed with
// another agent; else the directory's code.
int cks_lock_log(LDAP *ld, const char *ks, int op);
// 1 when the lock's value is exactly this host's, 0 when it is not (another
// holder, no value, or the node hidden from us), else a directory code
// (negated).
int cks_lock_held(LDAP *ld, const char *ks);
int cks_log_rotate(LDAP *ld, const char *ks);
int cks_write_log_entries(LDAP *ld, upcall_buf *buf);
int cks_read_log_entries(LDAP *ld, upcall_buf *buf);

#endif  // KYR_CKS_H
