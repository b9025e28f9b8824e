// Logging: every message of the daemon goes through qelkiod_log, to syslog
// and, when one is open, to the log file (standard error in foreground).
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "qelkiod.h"

int logmask = 0x3f;
int kyrkiod_disable_syslog = 0;

namespace {

char progname[256];
FILE *logfile = nullptr;

const char *level_tag(int level)
{
    static const char *const tags[] = {
        "[EMERGENCY!!]", "[ALERT!]", "[CRITICAL]", "[ERROR]",
        "[warning]", "[notice]", "[info]", "[debug]",
    };
    if (level < 0 || level > 7)
        return "";
    return tags[level];
}

}  // namespace

void qelkiod_log(int level, const char *fmt, ...)
{
    if ((logmask & (1 << (level & 31))) == 0)
        return;

    char when[64] = "";
    time_t now = time(nullptr);
    struct tm tmv;
    if (localtime_r(&now, &tmv) == nullptr || strftime(when, sizeof(when), "%b %d %T", &tmv) == 0)
        when[0] = '\0';

    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    // Names in messages come from the firmware and the keystore directory:
    // a control character (a newline above all) would let one message pass
    // for several lines of the log, so each is shown as '?'.
    for (char *p = text; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            *p = '?';
    }

    if (!kyrkiod_disable_syslog)
        syslog(level, "%s", text);

    FILE *fp = logfile;
    if (fp != nullptr) {
        fprintf(fp, "%s [%u/%lu]: %s %s\n", when, static_cast<unsigned>(getpid()),
                static_cast<unsigned long>(pthread_self()), level_tag(level), text);
        fflush(fp);
    }
}

void qelkiod_log_init(const char *progpath, int level)
{
    const char *base = progpath ? strrchr(progpath, '/') : nullptr;
    base = base ? base + 1 : (progpath ? progpath : "");
    snprintf(progname, sizeof(progname), "%s", base);
    if (level >= 0)
        logmask = level >= 7 ? 0xff : ((1 << (level + 1)) - 1) & 0xff;
    openlog(progname, LOG_PID | LOG_CONS | LOG_NDELAY, LOG_DAEMON);
    setlogmask(logmask);
}

void qelkiod_set_loglvl(int level)
{
    if (level <= 0)
        return;
    // Levels above 7 enable everything; the shift must stay defined.
    logmask = level >= 7 ? 0xff : (1 << (level + 1)) - 1;
    setlogmask(logmask);
}

int qelkiod_set_logfile()
{
    if (mconf.foreground) {
        logfile = stderr;
        return 0;
    }
    if (mconf.logfile == nullptr) {
        logfile = nullptr;
        return 0;
    }
    FILE *fp = fopen(mconf.logfile, "ae");  // not inherited by tar children
    if (fp == nullptr) {
        int err = errno;
        logfile = nullptr;
        return err;
    }
    logfile = fp;
    return 0;
}

void qelkiod_close_logfile()
{
    if (logfile != nullptr && logfile != stderr)
        fclose(logfile);
    if (logfile != stderr)
        logfile = nullptr;
}
