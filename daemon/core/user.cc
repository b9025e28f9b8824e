// Service user, access check of the device and keystore directory, and
// keystore discovery.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cks/cks.h"
#include "qelkiod.h"

namespace {

struct free_deleter {
    void operator()(char *p) const { free(p); }
};

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;

const char kConfSuffix[] = ".conf";
constexpr size_t kConfSuffixLen = sizeof(kConfSuffix) - 1;

// The keystore name of a ".conf" entry, when the first ".conf" in the name is
// its ending; false for every other entry.  A name too long for a keystore
// name is taken whole (cut, it would name another keystore) and refused by
// add_local_keystore.
bool ksname_of_entry(const char *entry, char name[DBM_KSNAME_LEN + 1])
{
    const char *p = strstr(entry, kConfSuffix);
    if (p == nullptr || p[kConfSuffixLen] != '\0')
        return false;
    size_t n = static_cast<size_t>(p - entry);
    if (n > DBM_KSNAME_LEN)
        n = DBM_KSNAME_LEN;
    memcpy(name, entry, n);
    name[n] = '\0';
    return true;
}

void add_local_keystore(kstable *t, const char *name, const char *entry)
{
    // The names every upcall accepts, no others: a nameless record would be
    // taken for the control thread, "." is the keystore directory itself,
    // and a longer name would not fit a hello.
    if (!qelkiod_valid_ksname(name)) {
        qelkiod_log(LOG_ERR, "Invalid keystore name in %s", entry);
        return;
    }
    kstinfo *ks = create_kstinfo(name, DBM_KS_LOCAL);
    if (ks == nullptr || kstable_append(t, ks) != 0) {
        free_kstinfo(ks);
        qelkiod_log(LOG_ERR, "Cannot add keystore %s to list", name);
    }
}

}  // namespace

int qelkiod_change_user(const char *user)
{
    if (user == nullptr) {
        qelkiod_log(LOG_WARNING, "No service user ID specified");
        char *copy = strdup(QELKIOD_USER_DEFAULT);
        if (copy == nullptr) {
            int err = errno;
            qelkiod_log(LOG_ERR, "Cannot set default user %s in config: %s", QELKIOD_USER_DEFAULT,
                        strerror(err));
            return err;
        }
        free(mconf.user);
        mconf.user = copy;
        user = copy;
        qelkiod_log(LOG_WARNING, "kyrkiod will attempt to run as user %s", user);
    }

    // The entry's strings live in buf, which grows while the lookup asks
    // for more room (up to 1 MiB).
    long sz = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t bufsize = sz > 0 ? static_cast<size_t>(sz) : 16384;
    struct passwd pw;
    struct passwd *found = nullptr;
    std::unique_ptr<char, free_deleter> buf;
    int rc = ERANGE;
    while (rc == ERANGE && bufsize <= (1u << 20)) {
        buf.reset(static_cast<char *>(malloc(bufsize)));
        if (!buf) {
            rc = ENOMEM;
            break;
        }
        rc = getpwnam_r(user, &pw, buf.get(), bufsize, &found);
        bufsize *= 2;
    }
    if (found == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot find user %s in password database", user);
        return EINVAL;
    }

    // The group and the supplementary groups go first, while the process
    // may still change them; the daemon keeps none of the groups it was
    // started with (root's among them).  A daemon started by the service
    // user itself has nothing to change and keeps its own groups.
    if (geteuid() != found->pw_uid || geteuid() == 0) {
        if (setgid(found->pw_gid) != 0 || initgroups(found->pw_name, found->pw_gid) != 0) {
            int err = errno;
            qelkiod_log(LOG_ERR, "Failed to set groups of user %s: %s", user, strerror(err));
            return err;
        }
    }
    if (setuid(found->pw_uid) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failed to set user to %s: %s", user, strerror(err));
        return err;
    }
    if (found->pw_uid == 0)
        qelkiod_log(LOG_WARNING, "** kyrkiod is running with superuser privilege! **");
    qelkiod_log(LOG_INFO, "Service is running as user %s", user);
    return 0;
}

int qelkiod_newuid_sanity()
{
    if (access(QELKIOD_DEVICE, R_OK | W_OK) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot access device %s: %s", QELKIOD_DEVICE, strerror(err));
        return err;
    }
    const char *dir = qelkiod_ksdir();
    if (access(dir, R_OK | W_OK | X_OK) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot access keystore directory %s: %s", dir, strerror(err));
        return err;
    }
    dir_ptr d(opendir(dir));
    if (!d) {
        qelkiod_log(LOG_WARNING, "Cannot check contents of %s directory for access: %s", dir,
                    strerror(errno));
        return 0;
    }
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d.get());
        if (e == nullptr)
            break;
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        if (faccessat(dirfd(d.get()), e->d_name, R_OK | W_OK, 0) != 0)
            qelkiod_log(LOG_WARNING, "Cannot access file %s/%s: %s", dir, e->d_name,
                        strerror(errno));
    }
    if (errno != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failure obtaining directory contents: %s", strerror(err));
        return err;
    }
    return 0;
}

int qelkiod_get_ksnames(kstable *t)
{
    const char *dir = qelkiod_ksdir();
    struct stat st;
    if (stat(dir, &st) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot stat %s: %s", dir, strerror(err));
        return err;
    }
    if (!S_ISDIR(st.st_mode)) {
        qelkiod_log(LOG_ERR, "%s is not a directory.", dir);
        return EINVAL;
    }
    dir_ptr d(opendir(dir));
    if (!d) {
        qelkiod_log(LOG_ERR, "Cannot open keystore directory %s: %s", dir, strerror(errno));
        return EINVAL;
    }

    char name[DBM_KSNAME_LEN + 1];
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d.get());
        if (e == nullptr)
            break;
        if (ksname_of_entry(e->d_name, name))
            add_local_keystore(t, name, e->d_name);
    }
    if (errno != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failed reading keystore directory %s: %s", dir, strerror(err));
        qelkiod_log(LOG_WARNING, "Local keystores may not be accessible");
    }

    if (cks_configured() && get_cent_ksnames(t) != 0) {
        mconf.degraded = 1;
        qelkiod_log(LOG_WARNING,
                    "Service will be placed into degraded mode.  Only local keystore access will be available.");
    }
    return 0;
}
