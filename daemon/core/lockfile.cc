// The daemon's lock file.  flock is used: the lock belongs to the open file
// description, so it survives the fork into the background (the child
// shares the description) and lasts exactly as long as a descriptor of it
// is open, and every kernel the daemon runs on has it (open-file-description
// record locks are refused by kernels before 3.15).  Such a lock does not
// name its holder, so the holder writes its pid into the file once it is the
// final daemon process.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qelkiod.h"

namespace {

// The pid written in the lock file, or 0 when none can be read.
pid_t read_holder_pid(int fd)
{
    char text[32];
    ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || v <= 0 || v > INT32_MAX)
        return 0;
    if (*end != '\0' && *end != '\n')
        return 0;
    return static_cast<pid_t>(v);
}

}  // namespace

const char *qelkiod_lockfile_path()
{
    const char *env = getenv("KYRKIOD_LOCKFILE");
    return (env != nullptr && env[0] != '\0') ? env : QELKIOD_LOCKFILE;
}

int qelkiod_take_lockfile(const char *path, int *fd_out)
{
    *fd_out = -1;
    qelkiod_log(LOG_INFO, "Setting lockfile %s", path);
    // Close-on-exec: a shell started by a handler must not inherit (and so
    // prolong) the lock.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot open lockfile %s: %s", path, strerror(err));
        return err;
    }

    int rc;
    while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc == 0) {
        qelkiod_log(LOG_DEBUG, "Got exclusive lock");
        // Forget a previous holder's pid until ours is known.
        if (ftruncate(fd, 0) != 0)
            qelkiod_log(LOG_WARNING, "Cannot clear lockfile %s: %s", path, strerror(errno));
        *fd_out = fd;
        return 0;
    }

    int err = errno;
    if (err == EWOULDBLOCK || err == EAGAIN) {
        pid_t holder = read_holder_pid(fd);
        if (holder > 0)
            qelkiod_log(LOG_WARNING, "kyrkiod pid %d already running", static_cast<int>(holder));
        else
            qelkiod_log(LOG_ERR, "Unable to determine PID for kyrkiod");
        close(fd);
        return err;
    }
    // Without the lock nothing keeps a second daemon from serving the same
    // keystores, which would corrupt them: start-up stops.
    qelkiod_log(LOG_ERR, "Cannot lock lockfile %s: %s", path, strerror(err));
    close(fd);
    return err;
}

int qelkiod_lockfile_write_pid(int fd)
{
    if (fd < 0)
        return EBADF;
    char text[32];
    int n = snprintf(text, sizeof(text), "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0)
        return errno;
    ssize_t w = pwrite(fd, text, static_cast<size_t>(n), 0);
    if (w < 0)
        return errno;
    return w == n ? 0 : EIO;
}
