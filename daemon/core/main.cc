// kyrkiod: the keystore I/O daemon.  main reads the command line and the
// configuration, becomes the service user, takes the lock file, detaches
// and hands over to the keystore threads and the supervision loop.
#include <fcntl.h>
#include <libintl.h>
#include <locale.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qelkiod.h"

namespace {

constexpr rlim_t kFileLimit = 1024;

int lock_fd = -1;

const char *tr(const char *msgid)
{
    return dcgettext(QELKIOD_TEXTDOMAIN, msgid, LC_MESSAGES);
}

void print_version()
{
    fputs(tr("kyrkiod (Vantor) 1.1\n"), stderr);
    fputs(tr("Keystore I/O daemon for the Vantor cryptographic accelerator.\n"), stderr);
    fputs(tr("Copyright (c) the Vantor authors. All rights reserved.\n"), stderr);
    fputs(tr("Use is subject to the terms of the product licence.\n"), stderr);
}

void print_usage(const char *argv0)
{
    const char *prog = "kyrkiod";
    if (argv0 != nullptr && argv0[0] != '\0') {
        const char *slash = strrchr(argv0, '/');
        prog = slash ? slash + 1 : argv0;
    }
    fprintf(stderr, "%s: %s [-FVs] [-f %s]\n", tr("Usage"), prog, tr("config-file"));
    fputs("\t-F\tForeground\n", stderr);
    fputs("\t-V\tPrint out version\n", stderr);
    fputs("\t-s\tDo not send messages to the syslog\n\n", stderr);
}

// Everything main owns is released before the process ends, on every path.
int finish(int status)
{
    if (lock_fd >= 0) {
        close(lock_fd);
        lock_fd = -1;
    }
    qelkiod_close_logfile();
    free_config_data(&mconf);
    free(cfile);
    cfile = nullptr;
    return status;
}

// Descriptors 0, 1 and 2 must be taken before anything is opened: a closed
// one would otherwise be reused for the lock file, which the child closes
// when it detaches from the terminal, releasing the lock.
void ensure_std_fds()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        int nfd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (nfd >= 0 && nfd != fd) {
            dup2(nfd, fd);
            close(nfd);
        }
    }
}

// Returns -1 to go on, else the exit status.
int parse_options(int argc, char **argv)
{
    int c;
    while ((c = getopt(argc, argv, "df:FVs")) != -1) {
        switch (c) {
        case 'd':
            mconf.debug++;
            mconf.debuglevel = qelkiod_debuglevel_for(mconf.debug);
            break;
        case 'f':
            free(cfile);
            cfile = strdup(optarg);
            if (cfile == nullptr)
                return ENOMEM;
            break;
        case 'F':
            mconf.foreground = 1;
            break;
        case 'V':
            print_version();
            return 0;
        case 's':
            kyrkiod_disable_syslog = 1;
            break;
        default:
            print_usage(argc > 0 ? argv[0] : nullptr);
            return 1;
        }
    }
    return -1;
}

// Background: the parent ends with 0 once the child has recorded its pid in
// the lock file (so that a second start right after us can name it); the
// child drops the terminal.  Returns -1 in the process that goes on, else
// the parent's exit status.
int detach(int *ready_fd)
{
    int pfd[2];
    if (pipe2(pfd, O_CLOEXEC) != 0) {
        perror("pipe");
        return 1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        close(pfd[0]);
        close(pfd[1]);
        return 1;
    }
    if (pid > 0) {
        close(pfd[1]);
        char c;
        // EOF (the child ended early) is as good as the signal here.
        while (read(pfd[0], &c, 1) < 0 && errno == EINTR) {
        }
        close(pfd[0]);
        return 0;
    }
    close(pfd[0]);
    *ready_fd = pfd[1];
    close(0);
    close(1);
    close(2);
    // The lowest free descriptors are taken, so these become 0, 1 and 2.
    if (open("/dev/null", O_RDONLY) < 0 || open("/dev/null", O_WRONLY) < 0 ||
        open("/dev/null", O_WRONLY) < 0)
        qelkiod_log(LOG_WARNING, "Cannot attach standard streams to /dev/null: %s",
                    strerror(errno));
    setsid();
    return -1;
}

}  // namespace

// Stand-in until the thread layer is linked: wait for SIGINT and stop.
__attribute__((weak)) int qelkiod_run_service()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    qelkiod_log(LOG_INFO, "Starting keystore I/O handler");
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            return 1;
        if (sig == SIGINT)
            return 0;
    }
}

int main(int argc, char **argv)
{
    ensure_std_fds();

    // 1. Start-up values of the configuration record.
    qelkiod_reset_config(0, 0);

    // 2. Message catalogue for the version and usage texts, in the
    // operator's language.  Only the message category follows the
    // environment for good; the character type does so only while the
    // command line is read (the translated texts are printed then), so
    // that the configuration is always parsed with the plain C rules.
    setlocale(LC_MESSAGES, "");
    setlocale(LC_CTYPE, "");
    bindtextdomain(QELKIOD_TEXTDOMAIN, QELKIOD_LOCALEDIR);
    textdomain(QELKIOD_TEXTDOMAIN);

    // 3. Limit on open files: at least 1024.  Every keystore thread keeps
    // a device descriptor, so a higher limit the operator granted is kept
    // (and used in full) rather than cut back, or keystores past the
    // thousandth could not be served.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_max < kFileLimit)
        rl.rlim_max = kFileLimit;
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);

    // 4. Command line.
    int rc = parse_options(argc, argv);
    if (rc >= 0)
        return finish(rc);
    setlocale(LC_CTYPE, "C");

    // 5. Logging; in the foreground standard error is the log file.
    qelkiod_log_init(argc > 0 ? argv[0] : nullptr, mconf.debuglevel);
    if (mconf.foreground)
        qelkiod_set_logfile();

    // 6. Configuration file.
    if (cfile == nullptr) {
        cfile = strdup(QELKIOD_CONF_DEFAULT);
        if (cfile == nullptr)
            return finish(ENOMEM);
    }
    qelkiod_load_config();

    // 7. Configured debug level.
    qelkiod_set_loglvl(mconf.debuglevel);

    // 8. Service user.
    rc = qelkiod_change_user(mconf.user);
    if (rc != 0)
        return finish(rc);

    // 9. Log file, opened as the service user.
    if (!mconf.foreground && mconf.logfile != nullptr) {
        rc = qelkiod_set_logfile();
        if (rc != 0) {
            qelkiod_log(LOG_ERR, "Cannot set logfile: %s", strerror(rc));
            return finish(rc);
        }
        qelkiod_log(LOG_INFO, "Using log file %s", mconf.logfile);
    }

    // 10, 11. Lock file.
    rc = qelkiod_take_lockfile(qelkiod_lockfile_path(), &lock_fd);
    if (rc != 0)
        return finish(rc);

    // 12. Device and keystore directory access.
    rc = qelkiod_newuid_sanity();
    if (rc != 0)
        return finish(rc);

    // 13. Directory password and degraded mode.
    qelkiod_settle_cks();

    // 14. Into the background.
    int ready_fd = -1;
    if (!mconf.foreground) {
        rc = detach(&ready_fd);
        if (rc >= 0) {
            // The parent: the child keeps the lock from here on (it belongs
            // to the open file description both share).
            return finish(rc);
        }
    }
    rc = qelkiod_lockfile_write_pid(lock_fd);
    if (rc != 0)
        qelkiod_log(LOG_WARNING, "Cannot record pid in lockfile: %s", strerror(rc));
    if (ready_fd >= 0) {
        ssize_t w = write(ready_fd, "1", 1);
        (void)w;  // the parent ends either way
        close(ready_fd);
    }

    // 15-19. Threads and supervision loop.
    rc = qelkiod_run_service();

    // 20. Shutdown.
    return finish(rc);
}
