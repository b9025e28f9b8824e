// Confinement of the file upcalls to the keystore directory (see ksfile.h).
#include "ksfile.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qelkiod.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

int ksfile_dir_open(const char *ksdir, int *dirfd)
{
    *dirfd = open(ksdir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (*dirfd < 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot access keystore directory %s: %s", ksdir, strerror(err));
        return err;
    }
    return 0;
}

int ksfile_check_regular(int dirfd, const char *name, bool *exists)
{
    struct stat st;
    *exists = false;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    *exists = true;
    if (!S_ISREG(st.st_mode)) {
        qelkiod_log(LOG_ERR, "File %s is not a regular file", name);
        return EINVAL;
    }
    return 0;
}

// A regular file with a second link is also a file somewhere else: reading
// it would hand that file to the firmware, writing into it would change it
// there.  The daemon never links a file it keeps.
static int refuse_linked(const struct stat &st, const char *name)
{
    if (st.st_nlink <= 1)
        return 0;
    qelkiod_log(LOG_ERR, "File %s has %lu links: refused", name,
                static_cast<unsigned long>(st.st_nlink));
    return EINVAL;
}

int ksfile_open(int dirfd, const char *name, int flags, int *fd)
{
    *fd = -1;
    // Checked before the open, so that no device is opened at all (and no
    // linked file truncated), and after it on the descriptor, in case the
    // entry changed in between.
    bool exists = false;
    int ret = ksfile_check_regular(dirfd, name, &exists);
    if (ret != 0)
        return ret;
    struct stat st;
    if (exists && fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (ret = refuse_linked(st, name)) != 0)
        return ret;
    int f = openat(dirfd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (f < 0)
        return errno;
    if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(f);
        qelkiod_log(LOG_ERR, "File %s is not a regular file", name);
        return EINVAL;
    }
    if ((ret = refuse_linked(st, name)) != 0) {
        close(f);
        return ret;
    }
    int fl = fcntl(f, F_GETFL);
    if (fl >= 0)
        fcntl(f, F_SETFL, fl & ~O_NONBLOCK);
    *fd = f;
    return 0;
}

int ksfile_mktemp(const char *ksdir, char *tmpname, int *fd)
{
    char path[4096];
    int n = snprintf(path, sizeof(path), "%s/kyr.XXXXXX", ksdir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(path))
        return ENAMETOOLONG;
    *fd = mkostemp(path, O_CLOEXEC);
    if (*fd < 0)
        return errno;
    snprintf(tmpname, 16, "%s", strrchr(path, '/') + 1);
    return 0;
}

int ksfile_rename_noreplace(int dirfd, const char *from, const char *to)
{
    if (renameat2(dirfd, from, dirfd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    struct stat st;
    if (fstatat(dirfd, from, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode)) {
        // A link never replaces an entry: it fails when `to` exists.
        if (linkat(dirfd, from, dirfd, to, 0) != 0)
            return errno;
        unlinkat(dirfd, from, 0);
        return 0;
    }
    if (fstatat(dirfd, to, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (errno != ENOENT)
        return errno;
    return renameat(dirfd, from, dirfd, to) == 0 ? 0 : errno;
}

int ksfile_publish(int dirfd, const char *tmp, const char *name, bool no_replace)
{
    int ret = no_replace ? ksfile_rename_noreplace(dirfd, tmp, name)
                         : (renameat(dirfd, tmp, dirfd, name) == 0 ? 0 : errno);
    if (ret != 0)
        return ret;
    // The rename is durable once the directory is.
    if (fsync(dirfd) != 0)
        return errno;
    return 0;
}
