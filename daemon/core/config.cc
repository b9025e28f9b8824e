// Configuration file reader, directory server list, password file and the
// degraded-mode decision.  The reader takes pieces of at most 1023 bytes,
// from a stream or from a buffer (tests, fuzzing), and holds no more than
// one piece at a time: nothing here allocates except the values it stores,
// so a file without end (a device, say) cannot exhaust the memory.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "qelkiod.h"

namespace {

// Lines are read in pieces of at most this many characters; a longer line
// is taken as several lines.
constexpr size_t kPieceMax = 1023;
// A configuration is a few dozen lines (at most 256 servers); reading stops
// after this much, so that a file without end does not keep the daemon from
// starting.
constexpr size_t kConfigMax = 1u << 20;
constexpr const char *kBlanks = " \t";

// Replace *slot with a copy of value.  On allocation failure the old value
// stays and ENOMEM is returned.
int store_string(char **slot, const char *value)
{
    char *copy = strdup(value);
    if (copy == nullptr)
        return ENOMEM;
    free(*slot);
    *slot = copy;
    return 0;
}

// Next piece of the buffer as fgets would return it: up to kPieceMax bytes,
// ending after the first newline, NUL-terminated in `out`.  Embedded NULs
// end the text early, as they would for any C string reader.  Returns the
// number of bytes taken.
size_t next_piece(const char *data, size_t len, size_t pos, char (&out)[kPieceMax + 1])
{
    size_t n = 0;
    while (pos + n < len && n < kPieceMax) {
        char c = data[pos + n];
        out[n++] = c;
        if (c == '\n')
            break;
    }
    out[n] = '\0';
    return n;
}

// The same from a stream; 0 at its end (or on a read error).
size_t next_stream_piece(FILE *fp, char (&out)[kPieceMax + 1])
{
    size_t n = 0;
    int c;
    while (n < kPieceMax && (c = getc(fp)) != EOF) {
        out[n++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    out[n] = '\0';
    return n;
}

// Strip a comment (a '#' and everything after it) or else the trailing
// newline.  Works on the C-string view of the piece.
void strip_line(char *line)
{
    char *hash = strchr(line, '#');
    if (hash != nullptr) {
        *hash = '\0';
        return;
    }
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n')
        line[n - 1] = '\0';
}

void set_debuglevel(const char *value)
{
    // An earlier -d or debuglevel line that raised the level wins.
    if (mconf.debuglevel != LOG_NOTICE)
        return;
    if (strcasecmp(value, "notice") == 0) {
        mconf.debuglevel = LOG_NOTICE;
    } else if (strcasecmp(value, "info") == 0) {
        mconf.debuglevel = LOG_INFO;
    } else if (strcasecmp(value, "debug") == 0) {
        mconf.debuglevel = LOG_DEBUG;
    } else {
        qelkiod_log(LOG_WARNING, "Unknown DebugLevel value of %s: Log level set to default (NOTICE)",
                    value);
        mconf.debuglevel = LOG_NOTICE;
    }
}

void set_auditloglimit(const char *value)
{
    long v = 0;
    // The limit is a count of entries: a negative one would be taken as a
    // huge limit and the log would never rotate.  A value that does not fit
    // an int is as invalid as text.
    if (strtol_strict(value, &v) != 0 || v < 0 || v > INT_MAX) {
        qelkiod_log(LOG_WARNING, "Invalid audit log limit value of %s: Using default value of %d",
                    value, QELKIOD_AUDIT_DEFAULT);
        mconf.auditloglimit = QELKIOD_AUDIT_DEFAULT;
        return;
    }
    mconf.auditloglimit = static_cast<int>(v);
}

// The keystore directory is stored absolute: archives are made by tar run
// inside it, which would resolve a relative archive path from there.  The
// daemon never changes its working directory, so the directory meant is the
// one the daemon was started in, also at a reload.
int store_keystoredir(const char *value)
{
    if (value[0] == '/')
        return store_string(&mconf.keystoredir, value);
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        int err = errno;
        qelkiod_log(LOG_WARNING, "Cannot make keystore directory %s absolute: %s", value,
                    strerror(err));
        return err == ENOMEM ? ENOMEM : store_string(&mconf.keystoredir, value);
    }
    size_t len = strlen(cwd) + 1 + strlen(value) + 1;
    char *path = static_cast<char *>(malloc(len));
    if (path != nullptr)
        snprintf(path, len, "%s/%s", strcmp(cwd, "/") == 0 ? "" : cwd, value);
    free(cwd);
    if (path == nullptr)
        return ENOMEM;
    free(mconf.keystoredir);
    mconf.keystoredir = path;
    return 0;
}

bool is_host_char(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
}

// Applies one directive with its value.  Returns false when the directive is
// unknown; an allocation failure is reported through *nomem.
bool apply_directive(const char *name, const char *value, bool *nomem)
{
    struct string_directive {
        const char *name;
        char **slot;
    };
    const string_directive strings[] = {
        {"logfile", &mconf.logfile},   {"user", &mconf.user},
        {"basedn", &mconf.basedn},     {"authtype", &mconf.authtype},
        {"binddn", &mconf.binddn},     {"certdb", &mconf.certdb},
        {"certname", &mconf.certname}, {"passfile", &mconf.passfile},
    };
    *nomem = false;
    if (strcasecmp(name, "keystoredir") == 0) {
        *nomem = store_keystoredir(value) != 0;
        return true;
    }
    for (const auto &d : strings) {
        if (strcasecmp(name, d.name) == 0) {
            *nomem = store_string(d.slot, value) != 0;
            return true;
        }
    }
    if (strcasecmp(name, "debuglevel") == 0) {
        set_debuglevel(value);
        return true;
    }
    if (strcasecmp(name, "auditloglimit") == 0) {
        set_auditloglimit(value);
        return true;
    }
    if (strcasecmp(name, "serverlist") == 0) {
        qelkiod_add_server(value);
        return true;
    }
    return false;
}

void process_line(char *line, int lineno)
{
    strip_line(line);
    char *save = nullptr;
    char *name = strtok_r(line, kBlanks, &save);
    if (name == nullptr)
        return;  // empty line
    char *value = strtok_r(nullptr, kBlanks, &save);
    bool nomem = false;
    if (value == nullptr || !apply_directive(name, value, &nomem)) {
        qelkiod_log(LOG_WARNING, "Config file - line %d: Unknown config directive %s found",
                    lineno, name);
        return;
    }
    if (nomem)
        qelkiod_log(LOG_WARNING, "Config file - line %d: Internal error:  name = %p, value = %p",
                    lineno, static_cast<void *>(name), static_cast<void *>(value));
}

}  // namespace

int strtol_strict(const char *text, long *out)
{
    if (text == nullptr || out == nullptr)
        return EINVAL;
    const char *p = text;
    if (*p == '+' || *p == '-')
        p++;
    if (*p == '\0')
        return EINVAL;
    for (const char *q = p; *q != '\0'; q++) {
        if (!isdigit(static_cast<unsigned char>(*q)))
            return EINVAL;
    }
    errno = 0;
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (errno == ERANGE || end == text || *end != '\0')
        return EINVAL;
    *out = v;
    return 0;
}

int qelkiod_add_server(const char *value)
{
    if (mconf.nservers >= QELKIOD_MAX_SERVERS) {
        qelkiod_log(LOG_WARNING,
                    "Maximum number of host bindings reached [%d]: Server registration for %s will be skipped.",
                    QELKIOD_MAX_SERVERS, value);
        return ENOSPC;
    }
    const char *delim = strstr(value, "://");
    if (delim == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot find protocol delimiter");
        return EINVAL;
    }
    size_t proto_len = static_cast<size_t>(delim - value);

    // The host begins at the first letter or digit after the delimiter.
    const char *host = delim;
    while (*host != '\0' && !isalnum(static_cast<unsigned char>(*host)))
        host++;
    const char *colon = strchr(host, ':');
    const char *hend = host;
    while (is_host_char(*hend))
        hend++;

    int ssl;
    if (proto_len == 4 && strncasecmp(value, "ldap", 4) == 0) {
        ssl = 0;
    } else if (proto_len == 5 && strncasecmp(value, "ldaps", 5) == 0) {
        ssl = 1;
    } else {
        qelkiod_log(LOG_ERR, "Invalid protocol type: %.*s",
                    proto_len > INT_MAX ? INT_MAX : static_cast<int>(proto_len), value);
        return EINVAL;
    }

    int port = ssl ? 636 : 389;
    if (colon != nullptr) {
        // The port text is the digits after the colon (none: invalid).  A
        // port is a 16-bit number; larger values would be cut silently.
        const char *p = colon + 1;
        long v = 0;
        for (; isdigit(static_cast<unsigned char>(*p)) && v <= 65535; p++)
            v = v * 10 + (*p - '0');
        if (p == colon + 1 || v > 65535) {
            qelkiod_log(LOG_ERR, "Invalid port: %s", colon + 1);
            return EINVAL;
        }
        port = static_cast<int>(v);
    }

    char *hcopy = strndup(host, static_cast<size_t>(hend - host));
    if (hcopy == nullptr) {
        qelkiod_log(LOG_ERR, "Invalid host value: %s", host);
        return ENOMEM;
    }
    qelkiod_server &s = mconf.servers[mconf.nservers];
    s.host = hcopy;
    s.port = port;
    s.ssl = ssl;
    mconf.nservers++;
    return 0;
}

namespace {

// Pieces read so far; false once the configuration is too long to go on.
bool config_continues(size_t *total, size_t n, int lineno)
{
    *total += n;
    if (*total <= kConfigMax)
        return true;
    qelkiod_log(LOG_WARNING, "Config file - line %d: more than %zu bytes, the rest is ignored",
                lineno, kConfigMax);
    return false;
}

}  // namespace

int qelkiod_process_config_buf(const char *data, size_t len)
{
    if (data == nullptr)
        return 0;
    char piece[kPieceMax + 1];
    size_t pos = 0, total = 0;
    int lineno = 0;
    while (pos < len) {
        size_t n = next_piece(data, len, pos, piece);
        pos += n;
        lineno++;
        if (!config_continues(&total, n, lineno))
            break;
        process_line(piece, lineno);
    }
    return 0;
}

int qelkiod_process_config(FILE *fp)
{
    if (fp == nullptr)
        return 0;
    char piece[kPieceMax + 1];
    size_t n, total = 0;
    int lineno = 0;
    while ((n = next_stream_piece(fp, piece)) > 0) {
        lineno++;
        if (!config_continues(&total, n, lineno))
            break;
        process_line(piece, lineno);
    }
    return 0;
}

int qelkiod_load_config()
{
    const char *path = cfile ? cfile : QELKIOD_CONF_DEFAULT;
    qelkiod_log(LOG_INFO, "Using config file %s", path);
    FILE *fp = fopen(path, "r");
    if (fp == nullptr) {
        qelkiod_log(LOG_WARNING, "Cannot open config file %s: %s", path, strerror(errno));
        qelkiod_log(LOG_WARNING, "Service will use default values.");
        return 0;
    }
    qelkiod_process_config(fp);
    fclose(fp);
    return 0;
}

int read_passfile()
{
    if (mconf.passfile == nullptr || mconf.passfile[0] == '\0') {
        qelkiod_log(LOG_ERR, "The passfile config directive must have a value");
        mconf.degraded = 1;
        return EINVAL;
    }
    FILE *fp = fopen(mconf.passfile, "r");
    if (fp == nullptr) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot open password file %s: %s", mconf.passfile, strerror(err));
        mconf.degraded = 1;
        return err;
    }
    char line[kPieceMax + 1];
    int rc = ENOENT;
    while (fgets(line, sizeof(line), fp) != nullptr) {
        char *hash = strchr(line, '#');
        if (hash != nullptr)
            *hash = '\0';
        char *save = nullptr;
        // The newline is a separator too: it is never part of a password.
        char *tok = strtok_r(line, " \t\n", &save);
        if (tok == nullptr)
            continue;
        if (store_string(&mconf.password, tok) != 0) {
            qelkiod_log(LOG_ERR, "Cannot add password to config: %s", strerror(ENOMEM));
            continue;
        }
        rc = 0;
        break;
    }
    // Do not leave the secret lying around in the stack buffer.
    explicit_bzero(line, sizeof(line));
    fclose(fp);
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Password file %s must have a password value set", mconf.passfile);
        mconf.degraded = 1;
    }
    return rc;
}

void qelkiod_report_degraded()
{
    if (mconf.nservers < 1)
        qelkiod_log(LOG_INFO,
                    "Centralized keystore support is disabled.  Local keystore support is enabled.");
    else if (mconf.degraded == 1)
        qelkiod_log(LOG_WARNING,
                    "Service is running in degraded mode.  Centralized keystore support is disabled.");
}

void qelkiod_settle_cks()
{
    if (cks_configured() && read_passfile() != 0)
        mconf.degraded = 1;
    qelkiod_report_degraded();
}

void free_config_data(qelkiod_config *c)
{
    if (c == nullptr)
        return;
    char **strings[] = {&c->user,   &c->logfile, &c->keystoredir, &c->basedn,
                        &c->binddn, &c->authtype, &c->certdb,     &c->certname,
                        &c->passfile};
    for (char **s : strings) {
        free(*s);
        *s = nullptr;
    }
    if (c->password != nullptr) {
        explicit_bzero(c->password, strlen(c->password));
        free(c->password);
    }
    for (int i = 0; i < QELKIOD_MAX_SERVERS; i++)
        free(c->servers[i].host);
    memset(c, 0, sizeof(*c));
}

void qelkiod_reset_config(int debugcount, int foreground)
{
    free_config_data(&mconf);
    mconf.debug = debugcount;
    mconf.foreground = foreground ? 1 : 0;
    mconf.auditloglimit = QELKIOD_AUDIT_DEFAULT;
    mconf.debuglevel = qelkiod_debuglevel_for(debugcount);
}

int qelkiod_debuglevel_for(int debugcount)
{
    // Each -d raises the level by one; beyond debug there is nothing more to
    // show, and larger values would overflow the log mask.
    int level = LOG_NOTICE + (debugcount > 0 ? debugcount : 0);
    return level > LOG_DEBUG ? LOG_DEBUG : level;
}
