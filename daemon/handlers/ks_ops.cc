// Keystore-level upcalls: DB_JOIN, DB_RENAME, DB_ARCHIVE, DB_UNARCHIVE and
// DB_READ.  Names from the firmware become paths and tar arguments, so every
// one is validated first, and tar runs without a shell.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../cks/cks.h"
#include "handler_util.h"

namespace {

// Archive paths and the equivalent tar command line were always formed in
// 1024-byte buffers, rename paths in 4097-byte ones; anything longer is
// refused rather than cut short.
constexpr size_t ARCHIVE_BUF = 1024;
constexpr size_t RENAME_BUF = 4097;

// The databases of a keystore: the members of its archive, and the passes of
// DB_READ in this order.
const char *const kKeystoreDbs[] = {KS_USER_DB, KS_OBJECT_DB, KS_AUDITLOG_DB, KS_AUDITLOG_OLD_DB};

// Formats into a std::string; fails with ENAMETOOLONG when the result would
// not fit a C buffer of `cap` bytes.
int format_bounded(std::string *out, size_t cap, const char *fmt, const char *a,
                   const char *b = "", const char *c = "")
{
    std::vector<char> tmp(cap);
    int n = snprintf(tmp.data(), cap, fmt, a, b, c);
    if (n < 0 || static_cast<size_t>(n) >= cap)
        return ENAMETOOLONG;
    out->assign(tmp.data(), static_cast<size_t>(n));
    return 0;
}

// Runs tar with the given arguments in directory `dir`, without a shell:
// stdin from /dev/null, no descriptor of the daemon inherited.  Returns 0
// with the raw wait status in *wstatus, or the errno of the failed fork or
// wait.  The daemon keeps SIGCHLD at its default, so waitpid sees the child.
int run_tar(const char *dir, const std::vector<std::string> &args, int *wstatus)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

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
        if (dup2(devnull, STDIN_FILENO) < 0)
            _exit(127);
        if (close_range(3, ~0U, 0) != 0) {
            for (int fd = 3; fd < 1024; fd++)
                close(fd);
        }
        execvp(argv[0], argv.data());
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
                            std::vector<std::string> *members)
{
    ks_handle h;
    int ret = handler_open(&h, buf, ks->kstype, nullptr);
    if (ret != 0)
        return ret;
    for (const char *file : kKeystoreDbs) {
        std::string path;
        ret = format_bounded(&path, KS_PATH_MAX, "%s/%s/%s", buf->ksdir, ksname, file);
        if (ret != 0)
            break;
        if (access(path.c_str(), F_OK) != 0)
            continue;  // missing databases are left out of the archive
        ret = localks_lsn_reset(h.env, file);
        if (ret != 0)
            break;
        members->push_back(std::string(ksname) + "/" + file);
    }
    ks_handle_close(&h, ks->kstype);
    return ret;
}

// Length of the shell command line the archive used to be made with,
// "(cd D; tar cf A N.conf N/f ...)"; kept as a limit so that what was
// refused before is refused now.
size_t legacy_archive_cmd_len(const char *ksdir, const std::string &archive, const char *ksname,
                              const std::vector<std::string> &members)
{
    size_t len = strlen("(cd ; tar cf  .conf") + strlen(ksdir) + archive.size() + strlen(ksname);
    for (const std::string &m : members)
        len += 1 + m.size();
    return len + 1;  // ")"
}

int read_pass(upcall_buf *buf, kstinfo *ks, const char *ksname, int pass)
{
    unsigned char *msg = buf->msg;
    // From the second pass on the buffer holds the firmware's reply to the
    // previous pass's last push; the keystore is still the one requested.
    msg_set_name(msg, DBM_KSNAME_OFF, ksname);
    ks_handle h;
    int ret = handler_open(&h, buf, ks->kstype, kKeystoreDbs[pass]);
    if (ret != 0)
        return ret;
    dbm_header_t *hdr = msg_hdr(msg);
    switch (pass) {
    case 0:
        init_db_user_push(hdr);
        ret = read_all_users(h.db, buf);
        break;
    case 1:
        init_db_obj_push(hdr);
        memset(msg + DBM_OWNER_OFF, 0, DBM_OWNER_LEN);
        ret = read_all_objs(h.db, buf);
        break;
    case 2:
        init_db_log_push(hdr);
        ret = read_log_entries(h.db, buf);
        break;
    default:
        init_db_log_push(hdr);
        hdr->flags |= DBM_FLAG_OLD_LOG;
        ret = read_log_entries(h.db, buf);
        break;
    }
    ks_handle_close(&h, ks->kstype);
    return ret;
}

}  // namespace

int task_db_join(upcall_buf *buf)
{
    unsigned char *msg = buf->msg;
    char ksname[DBM_KSNAME_LEN];
    msg_get_name(msg, DBM_KSNAME_OFF, ksname);
    dbm_kstype_t kstype = static_cast<dbm_kstype_t>(msg_get32(msg, DBM_KSTYPE_OFF));
    if (!qelkiod_valid_ksname(ksname)) {
        qelkiod_log(LOG_ERR, "Invalid keystore name for DB_JOIN");
        return EINVAL;
    }
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
    int ret = 0;
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
    int err = 0;
    kstinfo *ks = handler_self("DB_RENAME", &err);
    if (ks == nullptr)
        return err;
    unsigned char *msg = buf->msg;
    char oldname[DBM_KSNAME_LEN];
    char newname[DBM_NEWNAME_LEN];
    msg_get_name(msg, DBM_KSNAME_OFF, oldname);
    msg_get_name(msg, DBM_NEWNAME_OFF, newname);
    if (!qelkiod_valid_ksname(oldname) || !qelkiod_valid_ksname(newname)) {
        qelkiod_log(LOG_ERR, "Rename of keystore %s to %s failed: %s", oldname, newname,
                    strerror(EINVAL));
        return EINVAL;
    }
    // Only this thread's own keystore: another keystore's directory and
    // thread-list entry are not this thread's to change, and the control
    // thread serves no keystore.
    if (ks->name == nullptr || strcmp(ks->name, oldname) != 0) {
        qelkiod_log(LOG_ERR, "Rename of keystore %s to %s failed: %s", oldname, newname,
                    "not the keystore of this thread");
        return EINVAL;
    }
    std::string from, to;
    if (ks->kstype == DBM_KS_LOCAL) {
        int ret = format_bounded(&from, RENAME_BUF, "%s/%s", buf->ksdir, oldname);
        if (ret == 0)
            ret = format_bounded(&to, RENAME_BUF, "%s/%s", buf->ksdir, newname);
        if (ret == 0 && rename(from.c_str(), to.c_str()) != 0)
            ret = errno;
        if (ret != 0) {
            qelkiod_log(LOG_ERR, "Rename of keystore %s to %s failed: %s", oldname, newname,
                        strerror(ret));
            return ret;
        }
    } else if (ks->kstype != DBM_KS_LDAP) {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", ks->kstype);
        return EINVAL;
    }
    int ret = tlist_rename(oldname, newname);
    if (ret != 0) {
        // Keep directory and thread list in step: undo the directory rename.
        if (ks->kstype == DBM_KS_LOCAL)
            rename(to.c_str(), from.c_str());
        return ret;
    }
    char *copy = strdup(newname);
    if (copy == nullptr) {
        ret = errno;
        qelkiod_log(LOG_ERR, "Cannot duplicate new keystore name [TSD]: %s", strerror(ret));
        return ret;
    }
    free(ks->name);
    ks->name = copy;
    return answer_ok(buf);
}

int task_db_archive(upcall_buf *buf)
{
    int err = 0;
    kstinfo *ks = handler_self("DB_ARCHIVE", &err);
    if (ks == nullptr)
        return err;
    if (ks->kstype != DBM_KS_LOCAL) {
        qelkiod_log(LOG_ERR, "DB_ARCHIVE is only supported for local keystores");
        return EOPNOTSUPP;
    }
    char ksname[DBM_KSNAME_LEN];
    msg_get_name(buf->msg, DBM_KSNAME_OFF, ksname);
    if (!qelkiod_valid_ksname(ksname)) {
        qelkiod_log(LOG_ERR, "Invalid keystore name for DB_ARCHIVE");
        return EINVAL;
    }
    std::string archive;
    int ret = format_bounded(&archive, ARCHIVE_BUF, "%s/%s.tar", buf->ksdir, ksname);
    // The answer names the archive in the 64-byte ksname field; a name that
    // would not fit is refused rather than answered truncated.
    std::string tarname = std::string(ksname) + ".tar";
    if (ret == 0 && tarname.size() >= DBM_KSNAME_LEN)
        ret = ENAMETOOLONG;
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Archival of %s failed: %s", ksname, strerror(ret));
        return ret;
    }

    std::vector<std::string> members;
    ret = prepare_archive_members(buf, ks, ksname, &members);
    if (ret != 0)
        return ret;
    if (legacy_archive_cmd_len(buf->ksdir, archive, ksname, members) >= ARCHIVE_BUF) {
        qelkiod_log(LOG_ERR, "Archival of %s failed: %s", archive.c_str(),
                    strerror(ENAMETOOLONG));
        return ENAMETOOLONG;
    }

    std::vector<std::string> args = {"tar", "--create", "--force-local", "--file", archive, "--",
                                     std::string(ksname) + ".conf"};
    args.insert(args.end(), members.begin(), members.end());
    int wstatus = 0;
    ret = run_tar(buf->ksdir, args, &wstatus);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Failed issuing archival command: %s", strerror(ret));
        return ret;
    }
    if (!tar_succeeded(wstatus)) {
        qelkiod_log(LOG_ERR, "Archival of %s failed: 0x%x", archive.c_str(), wstatus);
        return EIO;
    }
    make_response(msg_hdr(buf->msg), 0);
    msg_set_name(buf->msg, DBM_KSNAME_OFF, tarname.c_str());
    submit_message(buf);
    return 0;
}

int task_db_unarchive(upcall_buf *buf)
{
    char name[DBM_KSNAME_LEN];
    msg_get_name(buf->msg, DBM_KSNAME_OFF, name);
    // The archive must be a file inside the keystore directory.
    if (!qelkiod_valid_filename(name)) {
        qelkiod_log(LOG_ERR, "Unarchive of %s failed: invalid archive name", name);
        return EINVAL;
    }
    std::string archive, cmd;
    int ret = format_bounded(&archive, ARCHIVE_BUF, "%s/%s", buf->ksdir, name);
    if (ret == 0)
        ret = format_bounded(&cmd, ARCHIVE_BUF, "(cd %s; tar xf %s)", buf->ksdir, name);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Unarchive of %s failed: %s", name, strerror(ret));
        return ret;
    }
    // Extraction stays inside the keystore directory: tar strips leading
    // "/" and refuses members with ".." unless told otherwise, and is never
    // told.  Restored files belong to the service user, whatever the archive
    // records.
    std::vector<std::string> args = {"tar", "--extract", "--force-local", "--no-same-owner",
                                     "--file", archive};
    int wstatus = 0;
    ret = run_tar(buf->ksdir, args, &wstatus);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Failed issuing unarchive command: %s", strerror(ret));
        return ret;
    }
    if (!tar_succeeded(wstatus)) {
        qelkiod_log(LOG_ERR, "Unarchive of %s failed: 0x%x", name, wstatus);
        return EIO;  // the archive stays for another attempt
    }
    answer_ok(buf);
    unlink(archive.c_str());  // the outcome does not change the answer
    return 0;
}

int task_db_read(upcall_buf *buf)
{
    int err = 0;
    kstinfo *ks = handler_self("DB_READ", &err);
    if (ks == nullptr)
        return err;
    if (ks->kstype == DBM_KS_LDAP) {
        return cks_refused("cks_read_all_users");
    }
    if (ks->kstype != DBM_KS_LOCAL) {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", ks->kstype);
        return EINVAL;
    }
    char ksname[DBM_KSNAME_LEN];
    msg_get_name(buf->msg, DBM_KSNAME_OFF, ksname);
    for (int pass = 0; pass < 4; pass++) {
        int ret = read_pass(buf, ks, ksname, pass);
        if (ret != 0)
            return ret;
    }
    return 0;
}
