// Keystore-level upcalls: DB_JOIN, DB_RENAME, DB_ARCHIVE, DB_UNARCHIVE and
// DB_READ.  Names from the firmware become paths and tar arguments, so every
// one is validated first, and tar runs without a shell.  Paths and argument
// lists live in fixed buffers: nothing here allocates on the way to an
// answer, so no allocation failure can leave a handler other than as a
// status.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdarg>
#include <cstring>

#include "../cks/cks.h"
#include "../core/ksfile.h"
#include "archive_check.h"
#include "handler_util.h"

namespace {

// Archive paths and the equivalent tar command line were always formed in
// 1024-byte buffers; anything longer is
// refused rather than cut short.
constexpr size_t ARCHIVE_BUF = 1024;

// The databases of a keystore: the members of its archive, and the passes of
// DB_READ in this order.
const char *const kKeystoreDbs[] = {KS_USER_DB, KS_OBJECT_DB, KS_AUDITLOG_DB, KS_AUDITLOG_OLD_DB};

// The members of a keystore archive besides its ".conf": "<ksname>/<db>".
constexpr int MAX_DB_MEMBERS = 4;
struct archive_members {
    char m[MAX_DB_MEMBERS][DBM_KSNAME_LEN + 32];
    int n;
};

// Formats into out[cap]; fails with ENAMETOOLONG when the result would not
// fit, so that nothing is used cut short.
__attribute__((format(printf, 3, 4))) int format_bounded(char *out, size_t cap, const char *fmt,
                                                         ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out, cap, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= cap)
        return ENAMETOOLONG;
    return 0;
}

// Runs tar with the arguments argv (tar first, null-terminated) in
// directory `dir`, without a shell: stdin from `in` (-1: /dev/null), stdout
// to `out` (-1: as the daemon's), no other descriptor of the daemon
// inherited.  Returns 0 with the raw wait status in *wstatus, or the errno
// of the failed fork or wait.  The daemon keeps SIGCHLD at its default, so
// waitpid sees the child.
int run_tar(const char *dir, const char *const *argv, int in, int out, int *wstatus)
{
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devnull < 0)
        return errno;
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(devnull);
        return e;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls until exec.  The service
        // thread blocks SIGHUP, SIGINT and SIGCHLD and the daemon ignores
        // SIGPIPE and others; tar starts with a clean mask and defaults.
        struct sigaction dfl;
        memset(&dfl, 0, sizeof(dfl));
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; sig++) {
            if (sig != SIGKILL && sig != SIGSTOP)
                sigaction(sig, &dfl, nullptr);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (chdir(dir) != 0)
            _exit(127);
        if (dup2(in >= 0 ? in : devnull, STDIN_FILENO) < 0)
            _exit(127);
        if (out >= 0 && dup2(out, STDOUT_FILENO) < 0)
            _exit(127);
        if (close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < 1024; fd++)
                close(fd);
        }
        execvp(argv[0], const_cast<char *const *>(argv));
        _exit(127);
    }
    close(devnull);
    for (;;) {
        if (waitpid(pid, wstatus, 0) == pid)
            return 0;
        if (errno != EINTR)
            return errno;
    }
}

bool tar_succeeded(int wstatus)
{
    return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
}

// Open environment alone, LSN reset of every database file that exists, and
// the list of archive members relative to the keystore directory.
int prepare_archive_members(upcall_buf *buf, kstinfo *ks, const char *ksname,
                            archive_members *members)
{
    members->n = 0;
    ks_handle h;
    int ret = handler_open(&h, buf, ks->kstype, nullptr);
    if (ret != 0)
        return ret;
    for (const char *file : kKeystoreDbs) {
        char path[KS_PATH_MAX];
        ret = format_bounded(path, sizeof(path), "%s/%s/%s", buf->ksdir, ksname, file);
        if (ret != 0)
            break;
        // tar would store a symlink as one, which no restore accepts; a
        // file with a second link is also another place's file.
        struct stat st;
        if (lstat(path, &st) != 0)
            continue;  // missing databases are left out of the archive
        if (!S_ISREG(st.st_mode) || st.st_nlink > 1) {
            qelkiod_log(LOG_ERR, "Archival of %s failed: %s is not a regular file of its own",
                        ksname, path);
            ret = EINVAL;
            break;
        }
        ret = localks_lsn_reset(h.env, file);
        if (ret != 0)
            break;
        // A valid keystore name and a database name always fit.
        snprintf(members->m[members->n], sizeof(members->m[0]), "%s/%s", ksname, file);
        members->n++;
    }
    ks_handle_close(&h, ks->kstype);
    return ret;
}

// Length of the shell command line the archive used to be made with,
// "(cd D; tar cf A N.conf N/f ...)"; kept as a limit so that what was
// refused before is refused now.
size_t legacy_archive_cmd_len(const char *ksdir, const char *archive, const char *ksname,
                              const archive_members &members)
{
    size_t len = strlen("(cd ; tar cf  .conf") + strlen(ksdir) + strlen(archive) + strlen(ksname);
    for (int i = 0; i < members.n; i++)
        len += 1 + strlen(members.m[i]);
    return len + 1;  // ")"
}

// Prepares the push of one pass of DB_READ.  From the second pass on the
// buffer holds the firmware's reply to the previous pass's last push; the
// keystore is still the one requested.
void start_pass(unsigned char *msg, const char *ksname, int pass)
{
    msg_set_name(msg, DBM_KSNAME_OFF, ksname);
    dbm_header_t *hdr = msg_hdr(msg);
    if (pass == 0) {
        init_db_user_push(hdr);
    } else if (pass == 1) {
        init_db_obj_push(hdr);
        memset(msg + DBM_OWNER_OFF, 0, DBM_OWNER_LEN);
    } else {
        init_db_log_push(hdr);
        if (pass == 3)
            hdr->flags |= DBM_FLAG_OLD_LOG;
    }
}

int read_pass(upcall_buf *buf, kstinfo *ks, const char *ksname, int pass)
{
    unsigned char *msg = buf->msg;
    msg_set_name(msg, DBM_KSNAME_OFF, ksname);
    ks_handle h;
    int ret = handler_open(&h, buf, ks->kstype, kKeystoreDbs[pass]);
    if (ret != 0)
        return ret;
    start_pass(msg, ksname, pass);
    if (pass == 0)
        ret = read_all_users(h.db, buf);
    else if (pass == 1)
        ret = read_all_objs(h.db, buf);
    else
        ret = read_log_entries(h.db, buf);
    ks_handle_close(&h, ks->kstype);
    return ret;
}

// A centralized keystore: the message type is checked and the connection
// made once, and the four passes run on that connection.
int cks_read_keystore(upcall_buf *buf, const char *ksname)
{
    ks_handle h;
    int ret = handler_open(&h, buf, DBM_KS_LDAP, kKeystoreDbs[0]);
    for (int pass = 0; ret == 0 && pass < 4; pass++) {
        start_pass(buf->msg, ksname, pass);
        if (pass == 0)
            ret = cks_read_all_users(h.ld, buf);
        else if (pass == 1)
            ret = cks_read_all_objs(h.ld, buf);
        else
            ret = cks_read_log_entries(h.ld, buf);
    }
    ks_handle_close(&h, DBM_KS_LDAP);
    return ret;
}

}  // namespace

int task_db_join(upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    char ksname[DBM_KSNAME_LEN];
    int ret = qelkiod_msg_ksname(msg, DBM_KSNAME_OFF, ksname);
    if (ret != 0)
        return ret;
    dbm_kstype_t kstype = static_cast<dbm_kstype_t>(msg_get32(msg, DBM_KSTYPE_OFF));
    if (kstype != DBM_KS_LOCAL && kstype != DBM_KS_LDAP) {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", kstype);
        return EINVAL;
    }
    // One thread per keystore: a second one would open the same environment
    // with recovery while the first is using it.
    if (tlist_is_served(ksname, kstype)) {
        qelkiod_log(LOG_INFO, "Keystore %s is already served", ksname);
        return answer_ok(buf);
    }
    kstinfo *ks = create_kstinfo(ksname, kstype);
    if (ks == nullptr)
        return ENOMEM;
    if (kstype == DBM_KS_LDAP) {
        if (!cks_configured()) {
            qelkiod_log(LOG_ERR,
                        "Keystore join failed: Centralized keystore support not configured");
            free_kstinfo(ks);
            return EOPNOTSUPP;
        }
        LDAP *ld = nullptr;
        ret = connect_bind_ldap(&ld);
        if (ret == 0)
            ret = cks_join_keystore(ld, ksname);
        if (ret == 0)
            ret = spawn_ks_thread(ks);
        if (ld != nullptr)
            cks_unbind(ld);
    } else {
        ret = spawn_ks_thread(ks);
    }
    if (ret != 0) {
        free_kstinfo(ks);  // no thread took it over
        return ret;
    }
    return answer_ok(buf);
}

int task_db_rename(upcall_buf *buf)
{
    int ret = 0;
    char oldname[DBM_KSNAME_LEN];
    char newname[DBM_NEWNAME_LEN];
    kstinfo *ks = handler_own_keystore(buf, "DB_RENAME", oldname, &ret);
    if (ks == nullptr)
        return ret;
    if ((ret = qelkiod_msg_ksname(buf->msg, DBM_NEWNAME_OFF, newname)) != 0)
        return ret;
    if (ks->kstype != DBM_KS_LOCAL && ks->kstype != DBM_KS_LDAP) {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", ks->kstype);
        return EINVAL;
    }
    char *copy = strdup(newname);
    if (copy == nullptr) {
        ret = errno;
        qelkiod_log(LOG_ERR, "Cannot duplicate new keystore name [TSD]: %s", strerror(ret));
        return ret;
    }
    // The thread list takes the new name first, under its lock, so that no
    // other thread can start for it (and none serves it: two threads of one
    // name would refuse every upcall); the keystore's files follow.
    ret = tlist_rename(oldname, newname);
    if (ret == 0 && ks->kstype == DBM_KS_LOCAL) {
        ret = localks_rename_keystore(buf->ksdir, oldname, newname);
        if (ret != 0)
            tlist_rename(newname, oldname);
    }
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Rename of keystore %s to %s failed: %s", oldname, newname,
                    strerror(ret));
        free(copy);
        return ret;
    }
    free(ks->name);
    ks->name = copy;
    return answer_ok(buf);
}

int task_db_archive(upcall_buf *buf)
{
    int err = 0;
    char ksname[DBM_KSNAME_LEN];
    kstinfo *ks = handler_own_keystore(buf, "DB_ARCHIVE", ksname, &err);
    if (ks == nullptr)
        return err;
    if (ks->kstype != DBM_KS_LOCAL) {
        qelkiod_log(LOG_ERR, "DB_ARCHIVE is only supported for local keystores");
        return EOPNOTSUPP;
    }
    char archive[ARCHIVE_BUF];
    int ret = format_bounded(archive, sizeof(archive), "%s/%s.tar", buf->ksdir, ksname);
    // The answer names the archive in the 64-byte ksname field; a name that
    // would not fit is refused rather than answered truncated.
    char tarname[DBM_KSNAME_LEN];
    if (ret == 0)
        ret = format_bounded(tarname, sizeof(tarname), "%s.tar", ksname);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Archival of %s failed: %s", ksname, strerror(ret));
        return ret;
    }
    // What goes in must be the keystore's own files: its environment a
    // directory of the keystore directory, its ".conf" a regular file with
    // no other link (else the archive would carry another place's file).
    struct stat st;
    char conf[DBM_KSNAME_LEN + 8];
    snprintf(conf, sizeof(conf), "%s.conf", ksname);
    int dirfd = -1;
    if ((ret = ksfile_dir_open(buf->ksdir, &dirfd)) != 0)
        return ret;
    bool conf_exists = false;
    ret = ksfile_check_regular(dirfd, conf, &conf_exists);
    if (ret == 0 && conf_exists &&
        (fstatat(dirfd, conf, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_nlink > 1))
        ret = EINVAL;
    if (ret == 0 && (fstatat(dirfd, ksname, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)))
        ret = EINVAL;
    close(dirfd);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Archival of %s failed: not a keystore of the keystore directory",
                    ksname);
        return ret;
    }

    archive_members members;
    ret = prepare_archive_members(buf, ks, ksname, &members);
    if (ret != 0)
        return ret;
    if (legacy_archive_cmd_len(buf->ksdir, archive, ksname, members) >= ARCHIVE_BUF) {
        qelkiod_log(LOG_ERR, "Archival of %s failed: %s", archive, strerror(ENAMETOOLONG));
        return ENAMETOOLONG;
    }

    // The archive is made in a temporary file and put in place when whole:
    // tar never opens (or follows) whatever "<ksname>.tar" is now.
    if ((ret = ksfile_dir_open(buf->ksdir, &dirfd)) != 0)
        return ret;
    char tmp[16];
    int out = -1;
    if ((ret = ksfile_mktemp(buf->ksdir, tmp, &out)) != 0) {
        close(dirfd);
        qelkiod_log(LOG_ERR, "Cannot create temp file: %s", strerror(ret));
        return ret;
    }
    const char *args[6 + MAX_DB_MEMBERS + 1] = {"tar", "--create", "--format=gnu", "--file=-",
                                                "--", conf};
    for (int i = 0; i < members.n; i++)
        args[6 + i] = members.m[i];
    args[6 + members.n] = nullptr;
    int wstatus = 0;
    ret = run_tar(buf->ksdir, args, -1, out, &wstatus);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Failed issuing archival command: %s", strerror(ret));
    } else if (!tar_succeeded(wstatus)) {
        qelkiod_log(LOG_ERR, "Archival of %s failed: 0x%x", archive, wstatus);
        ret = EIO;
    } else if (fsync(out) != 0 ||
               (ret = ksfile_publish(dirfd, tmp, tarname, false)) != 0) {
        ret = ret != 0 ? ret : errno;
        qelkiod_log(LOG_ERR, "Archival of %s failed: %s", archive, strerror(ret));
    }
    if (ret != 0)
        unlinkat(dirfd, tmp, 0);
    close(out);
    close(dirfd);
    if (ret != 0)
        return ret;
    make_response(msg_hdr(buf->msg), 0);
    msg_set_name(buf->msg, DBM_KSNAME_OFF, tarname);
    submit_message(buf);
    return 0;
}

namespace {

// Where the archive's keystore lands must be free: its environment
// directory absent (restoring over a live environment would mix its logs
// with the restored files), its ".conf" absent or a regular file.  The
// environment directory is made here, mode 0700, when the archive fills it.
int prepare_restore(int dirfd, const char *what, const archive_content &c)
{
    struct stat st;
    if (fstatat(dirfd, c.ksname, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
        qelkiod_log(LOG_ERR, "Unarchive of %s refused: keystore %s exists", what, c.ksname);
        return EEXIST;
    }
    bool exists = false;
    char conf[DBM_KSNAME_LEN + 8];
    snprintf(conf, sizeof(conf), "%s.conf", c.ksname);
    int ret = ksfile_check_regular(dirfd, conf, &exists);
    if (ret != 0)
        return ret;
    if (c.has_env_files && mkdirat(dirfd, c.ksname, 0700) != 0) {
        ret = errno;
        qelkiod_log(LOG_ERR, "Cannot make environment directory %s: %s", c.ksname, strerror(ret));
        return ret;
    }
    return 0;
}

}  // namespace

int task_db_unarchive(upcall_buf *buf)
{
    char name[DBM_KSNAME_LEN];
    // The archive is one file of the keystore directory.
    int ret = qelkiod_msg_filename(buf->msg, name);
    if (ret != 0)
        return ret;
    char archive[ARCHIVE_BUF], cmd[ARCHIVE_BUF];
    ret = format_bounded(archive, sizeof(archive), "%s/%s", buf->ksdir, name);
    if (ret == 0)
        ret = format_bounded(cmd, sizeof(cmd), "(cd %s; tar xf %s)", buf->ksdir, name);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Unarchive of %s failed: %s", name, strerror(ret));
        return ret;
    }
    int dirfd = -1;
    if ((ret = ksfile_dir_open(buf->ksdir, &dirfd)) != 0)
        return ret;
    int in = -1;
    if ((ret = ksfile_open(dirfd, name, O_RDONLY, &in)) != 0) {
        qelkiod_log(LOG_ERR, "Unarchive of %s failed: %s", name, strerror(ret));
        close(dirfd);
        return ret;
    }
    // Every member is checked before anything is extracted, and tar reads
    // the very file that was checked.  Restored files belong to the
    // service user and get no mode bits from the archive beyond its umask.
    archive_content c;
    ret = archive_check(in, name, &c);
    if (ret == 0)
        ret = prepare_restore(dirfd, name, c);
    int wstatus = 0;
    if (ret == 0) {
        const char *const args[] = {"tar", "--extract", "--no-same-owner",
                                    "--no-same-permissions", "--file=-", nullptr};
        ret = run_tar(buf->ksdir, args, in, -1, &wstatus);
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Failed issuing unarchive command: %s", strerror(ret));
        } else if (!tar_succeeded(wstatus)) {
            qelkiod_log(LOG_ERR, "Unarchive of %s failed: 0x%x", name, wstatus);
            ret = EIO;  // the archive stays for another attempt
        }
    }
    close(in);
    if (ret == 0) {
        answer_ok(buf);
        unlinkat(dirfd, name, 0);  // the outcome does not change the answer
    }
    close(dirfd);
    return ret;
}

int task_db_read(upcall_buf *buf)
{
    int err = 0;
    char ksname[DBM_KSNAME_LEN];
    kstinfo *ks = handler_own_keystore(buf, "DB_READ", ksname, &err);
    if (ks == nullptr)
        return err;
    if (ks->kstype == DBM_KS_LDAP)
        return cks_read_keystore(buf, ksname);
    if (ks->kstype != DBM_KS_LOCAL) {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", ks->kstype);
        return EINVAL;
    }
    for (int pass = 0; pass < 4; pass++) {
        int ret = read_pass(buf, ks, ksname, pass);
        if (ret != 0)
            return ret;
    }
    return 0;
}
