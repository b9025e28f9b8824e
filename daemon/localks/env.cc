// Local keystores: one Berkeley DB environment per keystore, in a directory
// named after the keystore inside the keystore directory, beside the
// keystore's ".conf" file.  Every upcall opens the environment with
// recovery, opens at most one database, and closes both before it returns.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <initializer_list>

#include "../cks/cks.h"
#include "../core/ksfile.h"
#include "localks.h"

namespace {

// The databases of a keystore, in creation order.
const char *const ks_databases[] = {KS_USER_DB, KS_OBJECT_DB, KS_AUDITLOG_DB,
                                    KS_AUDITLOG_OLD_DB};

bool is_auditlog(const char *dbname)
{
    return strcmp(dbname, KS_AUDITLOG_DB) == 0 || strcmp(dbname, KS_AUDITLOG_OLD_DB) == 0;
}

// Berkeley DB's own diagnostics go to the daemon's log at debug level; the
// caller logs the failure itself with the returned status.
void bdb_errcall(const DB_ENV *, const char *, const char *msg)
{
    qelkiod_log(LOG_DEBUG, "Berkeley DB: %s", msg);
}

bool type_has_dbname(uint32_t type)
{
    switch (type) {
    case DB_STANDBY: case DB_USER_READ: case DB_USER_WRITE: case DB_USER_DEL:
    case DB_OBJECT_READ: case DB_OBJECT_WRITE: case DB_OBJECT_DEL:
    case DB_FILE_READ: case DB_FILE_WRITE: case DB_HELLO: case DB_FILE_PUSH:
    case DB_USER_PUSH: case DB_OBJECT_PUSH: case DB_RESPONSE: case DB_STATUS:
    case DB_INIT: case DB_READ: case DB_CHECK: case DB_JOIN: case DB_ARCHIVE:
    case DB_RENAME: case DB_LOG_READ: case DB_LOG_WRITE: case DB_LOG_PUSH:
        return true;
    default:
        return false;
    }
}

// "%s/%s" into a KS_PATH_MAX buffer; a path that would not fit is refused
// rather than used truncated.
int join_path(char *out, const char *dir, const char *name)
{
    int n = snprintf(out, KS_PATH_MAX, "%s/%s", dir, name);
    if (n < 0 || n >= KS_PATH_MAX) {
        qelkiod_log(LOG_ERR, "Path %s/%s is too long", dir, name);
        return EINVAL;
    }
    return 0;
}

int check_ksname(const char *name)
{
    if (qelkiod_valid_ksname(name))
        return 0;
    qelkiod_log(LOG_ERR, "Invalid keystore name \"%.63s\"", name ? name : "");
    return EINVAL;
}

// Berkeley DB keeps only regular files in an environment directory (its
// databases, logs and regions).  Anything else found there came from
// outside and is refused before the environment is opened: a FIFO would
// hold the upcall (and every later reload, which waits for the thread) in a
// read for ever, a symlink would have databases read and written elsewhere.
int refuse_env_entries(const char *envpath)
{
    int fd = open(envpath, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;  // what the environment open itself then reports
    DIR *d = fdopendir(fd);
    if (d == nullptr) {
        int err = errno;
        close(fd);
        qelkiod_log(LOG_ERR, "Cannot open environment %s: %s", envpath, strerror(err));
        return err;
    }
    int ret = 0;
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d);
        if (e == nullptr) {
            if (errno != 0) {
                ret = errno;
                qelkiod_log(LOG_ERR, "Cannot open environment %s: %s", envpath, strerror(ret));
            }
            break;
        }
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st;
        if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone meanwhile
        if (!S_ISREG(st.st_mode)) {
            qelkiod_log(LOG_ERR, "Environment %s holds %s, which is not a regular file: refused",
                        envpath, e->d_name);
            ret = EINVAL;
            break;
        }
    }
    closedir(d);
    return ret;
}

// Berkeley DB obeys a "DB_CONFIG" file in the environment directory at
// every open (data directories elsewhere, commits without sync, ...).  The
// daemon never makes one, so one found there came from outside: the
// environment is refused rather than opened under its settings.
int refuse_env_config(const char *envpath)
{
    // The environment is a directory of the keystore directory itself: one
    // reached through a symlink would have the upcall run recovery on, read
    // and write databases of a directory elsewhere.
    struct stat st;
    if (lstat(envpath, &st) == 0 && !S_ISDIR(st.st_mode)) {
        qelkiod_log(LOG_ERR, "Environment %s is not a directory: refused", envpath);
        return EINVAL;
    }
    char path[KS_PATH_MAX];
    int ret = join_path(path, envpath, "DB_CONFIG");
    if (ret != 0)
        return ret;
    if (lstat(path, &st) == 0) {
        qelkiod_log(LOG_ERR, "Environment %s holds a DB_CONFIG file: refused", envpath);
        return EINVAL;
    }
    if (errno != ENOENT) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot open environment %s: %s", envpath, strerror(err));
        return err;
    }
    return refuse_env_entries(envpath);
}

struct dir_fd {
    int fd = -1;
    ~dir_fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Removes the environment directory of a keystore and every file in it.
// The directory is opened without following a symlink and emptied through
// its descriptor: an entry planted in its place that names a directory
// elsewhere is refused, never emptied.
int remove_env_dir(const char *ksdir, const char *name)
{
    char dir[KS_PATH_MAX];
    int ret = join_path(dir, ksdir, name);
    if (ret != 0)
        return ret;
    dir_fd parent, env;
    if ((ret = ksfile_dir_open(ksdir, &parent.fd)) != 0)
        return ret;
    env.fd = openat(parent.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (env.fd < 0) {
        int err = errno;
        if (err == ELOOP || err == ENOTDIR) {
            qelkiod_log(LOG_ERR, "Environment %s is not a directory: refused", dir);
            return EINVAL;
        }
        qelkiod_log(LOG_ERR, "Cannot scan environment contents: %s", strerror(err));
        return err;
    }
    struct dirent **v = nullptr;
    int n = scandirat(env.fd, ".", &v, fcomp, nullptr);
    if (n < 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot scan environment contents: %s", strerror(err));
        return err;
    }
    for (int i = 0; i < n; i++) {
        if (ret == 0 && unlinkat(env.fd, v[i]->d_name, 0) != 0) {
            ret = errno;
            qelkiod_log(LOG_ERR, "Failed to delete %s/%s: %s", dir, v[i]->d_name, strerror(ret));
        }
        free(v[i]);
    }
    free(v);
    if (ret != 0)
        return ret;
    if (unlinkat(parent.fd, name, AT_REMOVEDIR) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failed removing directory %s: %s", dir, strerror(err));
        return err;
    }
    return 0;
}

void close_env(DB_ENV **env)
{
    if (*env != nullptr) {
        (*env)->close(*env, 0);
        *env = nullptr;
    }
}

// Frees a scandir result.
struct dirlist {
    struct dirent **v = nullptr;
    int n = 0;
    ~dirlist()
    {
        for (int i = 0; i < n; i++)
            free(v[i]);
        free(v);
    }
};

}  // namespace

// Sizes of a keystore environment.  Every upcall opens the environment
// with recovery, which rebuilds the shared regions from scratch and
// zero-fills the rest of the current log file, so these sizes are paid on
// every upcall (measured with bench/localks, bare Berkeley DB on tmpfs):
//  - log file 256 KB (default 10 MB): recovery zeroes the current log file
//    from the end of the log to its end; 10 MB cost 15-17 ms per upcall,
//    1 MB 4-6 ms, 256 KB under 2 ms.  A file still holds several of the
//    largest messages (61 KB of data each), no single log record comes
//    near it, and the checkpoint every 1000th open removes the files no
//    longer needed;
//  - log buffer 64 KB: the largest Berkeley DB accepts for a 256 KB file
//    (a quarter of it), and a whole message of records is logged with at
//    most one intermediate write;
//  - cache 256 KB: the cache is rebuilt empty at every open, so a larger
//    one only costs set-up time (1 MB +4 ms, 8 MB +8 ms per upcall).  An
//    upcall touches one B-tree path per record plus the pages it writes;
//    dirty pages of a large deletion are written out under the log;
//  - lock table: Berkeley DB's default.  Every 1000 lock entries set up
//    front cost about 1 ms per upcall (20 000: +18 ms), while the default
//    table grows on demand within the region.  A one-message transaction
//    locks a handful of pages; deleting all objects of one owner in one
//    transaction was measured to hold about 45 000 small objects (30 000 of
//    2 KB), far more than an owner keeps.  Beyond that the deletion fails
//    with ENOMEM and is rolled back whole.
int localks_env_config(DB_ENV *env)
{
    int ret;
    env->set_errcall(env, bdb_errcall);
    if ((ret = env->set_lg_max(env, KS_LG_MAX)) != 0 ||
        (ret = env->set_lg_bsize(env, KS_LG_BSIZE)) != 0 ||
        (ret = env->set_cachesize(env, 0, KS_CACHE_BYTES, 1)) != 0) {
        qelkiod_log(LOG_ERR, "Cannot size DB environment: %s", db_strerror(ret));
        return ret;
    }
    return 0;
}

int localks_open_db(DB_ENV *env, const char *dbname, uint32_t oflags, DB **out)
{
    *out = nullptr;
    DB *db = nullptr;
    int ret = db_create(&db, env, 0);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "DB create failed: %s", db_strerror(ret));
        return ret;
    }
    if ((ret = db->set_lorder(db, KS_DB_LORDER)) != 0) {
        qelkiod_log(LOG_ERR, "Cannot set endianness for DB: %s", db_strerror(ret));
        db->close(db, 0);
        return ret;
    }
    if (is_auditlog(dbname) && (ret = db->set_flags(db, DB_RECNUM)) != 0) {
        qelkiod_log(LOG_ERR, "Cannot set DB_RECNUM flag: %s", db_strerror(ret));
        db->close(db, 0);
        return ret;
    }
    ret = db->open(db, nullptr, dbname, nullptr, DB_BTREE, oflags | DB_AUTO_COMMIT, 0600);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Database open on %s failed: %s", dbname, db_strerror(ret));
        db->close(db, 0);
        return ret;
    }
    *out = db;
    return 0;
}

int localks_txn_begin(DB_ENV *env, DB_TXN **txn)
{
    *txn = nullptr;
    int ret = env->txn_begin(env, nullptr, txn, 0);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Cannot init transaction: %s", db_strerror(ret));
    return ret;
}

int localks_cursor(DB *db, DB_TXN *txn, DBC **cur)
{
    *cur = nullptr;
    int ret = db->cursor(db, txn, cur, 0);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Cannot init DB cursor: %s", db_strerror(ret));
    return ret;
}

int init_db(ks_handle *h)
{
    h->env = nullptr;
    h->db = nullptr;
    DB_ENV *env = nullptr;
    int ret = db_env_create(&env, 0);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "DB environment create failed: %s", db_strerror(ret));
        return ret;
    }
    if ((ret = localks_env_config(env)) != 0 || (ret = refuse_env_config(h->envpath)) != 0) {
        close_env(&env);
        return ret;
    }
    qelkiod_log(LOG_DEBUG, "Opening environment %s", h->envpath);
    ret = env->open(env, h->envpath, KS_ENV_FLAGS, 0);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot open environment %s: %s", h->envpath, db_strerror(ret));
        close_env(&env);
        return ret;
    }
    h->env = env;
    if (h->dbname == nullptr)
        return 0;

    log_removal_check(h);
    qelkiod_log(LOG_DEBUG, "Opening database %s", h->dbname);
    h->oflags |= DB_AUTO_COMMIT;
    DB *db = nullptr;
    if ((ret = localks_open_db(env, h->dbname, h->oflags, &db)) != 0) {
        close_env(&h->env);
        return ret;
    }
    h->db = db;
    return 0;
}

void log_removal_check(ks_handle *h)
{
    kstinfo *ks = qelkiod_self();
    if (ks == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot get TSD value for log_removal_check: %s", strerror(errno));
        return;
    }
    if (++ks->dbopen_count < LOG_REMOVAL_INTERVAL)
        return;
    ks->dbopen_count = 0;

    const char *name = h->dbname ? h->dbname : "";
    int ret = h->env->txn_checkpoint(h->env, 0, 0, 0);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "DB txn checkpoint failed for %s: %s", name, db_strerror(ret));
        return;
    }
    char **unused = nullptr;
    ret = h->env->log_archive(h->env, &unused, DB_ARCH_REMOVE);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "DB log_archive removal failed for %s: %s", name, db_strerror(ret));
        return;
    }
    free(unused);
    qelkiod_log(LOG_DEBUG, "log removal check completed for %s ", name);
}

int ks_handle_open(ks_handle *h, upcall_buf *buf, dbm_kstype_t kstype)
{
    const dbm_header_t *hdr = msg_hdr(buf->msg);
    if (!type_has_dbname(hdr->type)) {
        qelkiod_log(LOG_ERR, "Record type 0x%x does not have a database name", hdr->type);
        return EINVAL;
    }
    if (kstype == DBM_KS_LDAP)
        return connect_bind_ldap(&h->ld);
    if (kstype != DBM_KS_LOCAL) {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", kstype);
        return EINVAL;
    }

    char name[DBM_KSNAME_LEN];
    int ret = qelkiod_msg_ksname(buf->msg, DBM_KSNAME_OFF, name);
    if (ret == 0)
        ret = join_path(h->envpath, buf->ksdir, name);
    if (ret != 0)
        return ret;
    h->oflags = DB_CREATE;
    return init_db(h);
}

void ks_handle_close(ks_handle *h, dbm_kstype_t kstype)
{
    if (kstype == DBM_KS_LOCAL) {
        if (h->db != nullptr) {
            h->db->close(h->db, 0);
            h->db = nullptr;
        }
        close_env(&h->env);
    } else if (kstype == DBM_KS_LDAP) {
        if (h->ld != nullptr) {
            cks_unbind(h->ld);
            h->ld = nullptr;
        }
    } else {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", kstype);
    }
}

int localks_db_make(upcall_buf *buf)
{
    char name[DBM_KSNAME_LEN];
    char path[KS_PATH_MAX];
    int ret = qelkiod_msg_ksname(buf->msg, DBM_KSNAME_OFF, name);
    if (ret == 0)
        ret = join_path(path, buf->ksdir, name);
    if (ret != 0)
        return ret;

    DB_ENV *env = nullptr;
    ret = db_env_create(&env, 0);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "DB environment create failed: %s", db_strerror(ret));
        return ret;
    }
    if (access(path, F_OK) == 0) {
        qelkiod_log(LOG_ERR, "Keystore %s already exists", name);
        close_env(&env);
        return EEXIST;
    }
    if (errno != ENOENT) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Attempt to check %s failed: %s", path, strerror(err));
        close_env(&env);
        return err;
    }
    if (mkdir(path, 0700) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot make environment directory %s: %s", path, strerror(err));
        close_env(&env);
        return err;
    }
    qelkiod_log(LOG_DEBUG, "Created environment directory: %s", path);

    // From here on a failure removes what was made, so that no partial
    // keystore is left behind.  A descriptor is held in reserve and given
    // up just before the removal, which needs one to list the directory
    // even when the failure was running out of descriptors.
    int reserve = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (reserve < 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot open environment %s: %s", path, strerror(err));
        close_env(&env);
        rmdir(path);
        return err;
    }
    qelkiod_log(LOG_DEBUG, "Opening environment %s", path);
    ret = localks_env_config(env);
    if (ret == 0) {
        ret = env->open(env, path, KS_ENV_FLAGS, 0);
        if (ret != 0)
            qelkiod_log(LOG_ERR, "Cannot open environment %s: %s", path, db_strerror(ret));
    }
    for (size_t i = 0; ret == 0 && i < sizeof(ks_databases) / sizeof(ks_databases[0]); i++) {
        qelkiod_log(LOG_DEBUG, "Creating database %s", ks_databases[i]);
        DB *db = nullptr;
        ret = localks_open_db(env, ks_databases[i], DB_CREATE, &db);
        if (ret == 0)
            ret = db->close(db, 0);
    }
    if (ret != 0) {
        close_env(&env);
    } else if ((ret = env->close(env, 0)) != 0) {
        qelkiod_log(LOG_ERR, "Cannot close environment %s: %s", path, db_strerror(ret));
    }
    close(reserve);
    // Only what this call made goes: the environment directory.  A
    // "<name>.conf" already there is not this call's to remove.
    if (ret != 0)
        remove_env_dir(buf->ksdir, name);
    return ret;
}

int kscomp(const struct dirent *d)
{
    // A full keystore name: base.qualifier.{tag}
    const char *last = strrchr(d->d_name, '.');
    if (last == nullptr || last[1] != '{')
        return 0;
    for (const char *p = d->d_name; p < last; p++)
        if (*p == '.')
            return 1;
    return 0;
}

int fcomp(const struct dirent *d)
{
    return strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0;
}

namespace {

// Compares a short name with an entry name cut at its last dot and, failing
// that, at the dot before.
bool short_name_matches(const char *entry, const char *shortname)
{
    // A directory entry's name: at most NAME_MAX bytes.
    char s[NAME_MAX + 1];
    snprintf(s, sizeof(s), "%s", entry);
    for (int cut = 0; cut < 2; cut++) {
        char *dot = strrchr(s, '.');
        if (dot == nullptr)
            return false;
        *dot = '\0';
        if (strcasecmp(s, shortname) == 0)
            return true;
    }
    return false;
}

}  // namespace

int localks_db_check(const char *ksdir, const char *name)
{
    int ret = check_ksname(name);
    if (ret != 0)
        return ret;
    size_t len = strlen(name);
    if (name[len - 1] == '}') {
        char path[KS_PATH_MAX];
        if ((ret = join_path(path, ksdir, name)) != 0)
            return ret;
        struct stat st;
        if (stat(path, &st) != 0) {
            int err = errno;
            if (err == ENOENT)
                return 0;
            qelkiod_log(LOG_ERR, "Cannot stat keystore entry %s: %s", path, strerror(err));
            return err;
        }
        if (!S_ISDIR(st.st_mode)) {
            qelkiod_log(LOG_WARNING, "Node %s exists but is not a directory", path);
            return EEXIST;
        }
        qelkiod_log(LOG_INFO, "Keystore %s exists", name);
        return EEXIST;
    }

    dirlist dl;
    dl.n = scandir(ksdir, &dl.v, kscomp, nullptr);
    if (dl.n < 0) {
        int err = errno;
        dl.n = 0;
        qelkiod_log(LOG_ERR, "Cannot scan environment contents: %s", strerror(err));
        return err;
    }
    int matches = 0;
    for (int i = 0; i < dl.n; i++)
        if (short_name_matches(dl.v[i]->d_name, name))
            matches++;
    if (matches == 0)
        return 0;
    qelkiod_log(LOG_INFO, "Found %d matches for keystore name %s", matches, name);
    return EEXIST;
}

int localks_del_keystore(const char *ksdir, const char *name)
{
    int ret = check_ksname(name);
    if (ret != 0)
        return ret;
    qelkiod_log(LOG_DEBUG, "Removing keystore %s", name);
    if ((ret = remove_env_dir(ksdir, name)) != 0)
        return ret;
    char conf[KS_PATH_MAX];
    int n = snprintf(conf, sizeof(conf), "%s/%s.conf", ksdir, name);
    if (n < 0 || n >= static_cast<int>(sizeof(conf))) {
        qelkiod_log(LOG_ERR, "Path %s/%s.conf is too long", ksdir, name);
        return EINVAL;
    }
    if (unlink(conf) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failed to delete %s: %s", conf, strerror(err));
        return err;
    }
    return 0;
}

int localks_rename_keystore(const char *ksdir, const char *oldname, const char *newname)
{
    int ret = check_ksname(oldname);
    if (ret == 0)
        ret = check_ksname(newname);
    dir_fd d;
    if (ret == 0)
        ret = ksfile_dir_open(ksdir, &d.fd);
    if (ret != 0)
        return ret;
    // Both names are valid keystore names, so their ".conf" entries fit.
    char oldconf[DBM_KSNAME_LEN + 8];
    char newconf[DBM_KSNAME_LEN + 8];
    snprintf(oldconf, sizeof(oldconf), "%s.conf", oldname);
    snprintf(newconf, sizeof(newconf), "%s.conf", newname);
    // Both new entries must be free before anything moves, so that a
    // refusal changes nothing.
    struct stat st;
    for (const char *entry : {newname, static_cast<const char *>(newconf)}) {
        if (fstatat(d.fd, entry, &st, AT_SYMLINK_NOFOLLOW) == 0)
            return EEXIST;
        if (errno != ENOENT)
            return errno;
    }
    bool has_conf = fstatat(d.fd, oldconf, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if ((ret = ksfile_rename_noreplace(d.fd, oldname, newname)) != 0)
        return ret;
    // The configuration file follows its keystore: discovery then finds
    // the keystore under its new name, and the old name is gone for good.
    if (has_conf && (ret = ksfile_rename_noreplace(d.fd, oldconf, newconf)) != 0) {
        if (ksfile_rename_noreplace(d.fd, newname, oldname) != 0)
            qelkiod_log(LOG_ERR, "Cannot move keystore %s back to %s", newname, oldname);
        return ret;
    }
    return 0;
}

int localks_lsn_reset(DB_ENV *env, const char *file)
{
    int ret = env->lsn_reset(env, file, 0);
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Failed to reset LSNs for database %s: %s", file, db_strerror(ret));
    return ret;
}
