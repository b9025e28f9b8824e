// Local keystore backend: a Berkeley DB environment per keystore in the
// keystore directory, and the per-upcall keystore handle shared with the
// directory backend.
#ifndef KYR_LOCALKS_H
#define KYR_LOCALKS_H

#include <db.h>
#include <dirent.h>

#include <cstdint>

#include "../core/qelkiod.h"

typedef struct ldap LDAP;

#define KS_USER_DB        "user.db"
#define KS_OBJECT_DB      "object.db"
#define KS_AUDITLOG_DB    "auditlog.db"
#define KS_AUDITLOG_OLD_DB "auditlog.old.db"
#define LOG_REMOVAL_INTERVAL 1000
#define KS_PATH_MAX 4096

// Environment flags: every open runs normal recovery.
#define KS_ENV_FLAGS (DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG | \
                      DB_INIT_MPOOL | DB_INIT_TXN)
#define KS_DB_LORDER 4321

// Environment sizes (see localks_env_config in env.cc for the reasoning).
#define KS_LG_MAX        (256u * 1024u)    // transaction log file size
#define KS_LG_BSIZE      (64u * 1024u)     // in-memory log buffer
#define KS_CACHE_BYTES   (256u * 1024u)    // buffer pool

struct ks_handle {
    LDAP *ld;
    DB_ENV *env;
    DB *db;
    const char *dbname;
    char envpath[KS_PATH_MAX];
    uint32_t oflags;
};

// Applies the keystore environment sizes to a created, unopened handle.
int localks_env_config(DB_ENV *env);
// Opens a database of an open environment with the keystore settings (byte
// order 4321, DB_RECNUM for the audit logs, auto-commit).  On failure the
// handle is closed and *out stays nullptr.
int localks_open_db(DB_ENV *env, const char *dbname, uint32_t oflags, DB **out);
// Begins a transaction of the environment; logs the failure.
int localks_txn_begin(DB_ENV *env, DB_TXN **txn);
// Opens a cursor on the database (inside `txn` or none); logs the failure.
int localks_cursor(DB *db, DB_TXN *txn, DBC **cur);

int ks_handle_open(ks_handle *h, upcall_buf *buf, dbm_kstype_t kstype);
void ks_handle_close(ks_handle *h, dbm_kstype_t kstype);
// Refuses (EINVAL, logged) an environment directory holding "DB_CONFIG".
int init_db(ks_handle *h);
void log_removal_check(ks_handle *h);
int localks_db_make(upcall_buf *buf);
int localks_db_check(const char *ksdir, const char *name);
int localks_del_keystore(const char *ksdir, const char *name);
int localks_lsn_reset(DB_ENV *env, const char *file);
// Renames a keystore's environment directory and its "<name>.conf" (when
// there is one) together, never onto an existing entry: EEXIST when either
// new entry exists, and nothing is moved then.
int localks_rename_keystore(const char *ksdir, const char *oldname, const char *newname);
int kscomp(const struct dirent *d);
int fcomp(const struct dirent *d);

// Users and objects.
int write_user_byid(DB_ENV *env, DB *db, upcall_buf *buf);
int delete_user_byid(DB_ENV *env, DB *udb, DB *odb, upcall_buf *buf);
int write_obj_byid(DB_ENV *env, DB *db, upcall_buf *buf);
int delete_obj_byid(DB_ENV *env, DB *db, upcall_buf *buf);
int delete_obj_byuser(DB_ENV *env, DB *db, upcall_buf *buf);
int delete_all_user_objects(DB *db, DB_TXN *txn, const unsigned char *uid, int uidlen);
int read_users_byid(DB *db, upcall_buf *req, upcall_buf *ans);
int read_all_users(DB *db, upcall_buf *buf);
int read_objs_byid(DB *db, upcall_buf *req, upcall_buf *ans);
int read_objs_byuser(DB *db, upcall_buf *buf);
int read_all_objs(DB *db, upcall_buf *buf);

// Audit log.
// 0 when every entry of a log write holds its 32-byte log key, else EINVAL
// (logged) or the status of the record walk.
int localks_log_keys_valid(const unsigned char *msg);
int localks_rotation_req(DB *db, int n);
int localks_log_rotate(ks_handle *h);
int write_log_entries(DB_ENV *env, DB *db, upcall_buf *buf);
int read_log_entries(DB *db, upcall_buf *buf);

#endif  // KYR_LOCALKS_H
