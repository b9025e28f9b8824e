// The configuration reader and the password file reader on one buffer:
// the input is read as a configuration file (from the buffer and, through
// a stream, again) and as a password file.
//
// Checked: the buffer and stream readers give the same record; every
// stored value is one token (no blank, tab, newline or '#'); the servers
// are well formed; the debug level is one of the three; a password is a
// non-empty token taken from the input, and a failed read means degraded
// mode.  Leaks and memory errors are the sanitizers' part.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_daemon.h"

namespace {

int passfd = -1;
char passpath[64];

void check_token(const char *s)
{
    if (s == nullptr)
        return;
    FUZZ_CHECK(*s != '\0');
    for (const char *p = s; *p != '\0'; p++)
        FUZZ_CHECK(*p != ' ' && *p != '\t' && *p != '\n' && *p != '#');
}

bool same_string(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    return strcmp(a, b) == 0;
}

char *const *strings_of(const qelkiod_config &c, int i)
{
    char *const *all[] = {&c.user,   &c.logfile, &c.keystoredir, &c.basedn,  &c.binddn,
                          &c.authtype, &c.certdb, &c.certname,  &c.passfile};
    return i < 9 ? all[i] : nullptr;
}

void check_record(const qelkiod_config &c)
{
    for (int i = 0; strings_of(c, i) != nullptr; i++)
        check_token(*strings_of(c, i));
    FUZZ_CHECK(c.debuglevel == LOG_NOTICE || c.debuglevel == LOG_INFO ||
               c.debuglevel == LOG_DEBUG);
    FUZZ_CHECK(c.nservers >= 0 && c.nservers <= QELKIOD_MAX_SERVERS);
    for (int i = 0; i < c.nservers; i++) {
        const qelkiod_server &s = c.servers[i];
        FUZZ_CHECK(s.host != nullptr);
        for (const char *p = s.host; *p != '\0'; p++)
            FUZZ_CHECK(isalnum(static_cast<unsigned char>(*p)) || *p == '.' || *p == '-');
        FUZZ_CHECK(s.port >= 0 && s.port <= 65535);
        FUZZ_CHECK(s.ssl == 0 || s.ssl == 1);
    }
    for (int i = c.nservers; i < QELKIOD_MAX_SERVERS; i++)
        FUZZ_CHECK(c.servers[i].host == nullptr);
}

void check_same(const qelkiod_config &a, const qelkiod_config &b)
{
    for (int i = 0; strings_of(a, i) != nullptr; i++)
        FUZZ_CHECK(same_string(*strings_of(a, i), *strings_of(b, i)));
    FUZZ_CHECK(a.debuglevel == b.debuglevel);
    FUZZ_CHECK(a.auditloglimit == b.auditloglimit);
    FUZZ_CHECK(a.nservers == b.nservers);
    for (int i = 0; i < a.nservers; i++) {
        FUZZ_CHECK(same_string(a.servers[i].host, b.servers[i].host));
        FUZZ_CHECK(a.servers[i].port == b.servers[i].port);
        FUZZ_CHECK(a.servers[i].ssl == b.servers[i].ssl);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_daemon_log_init();
    passfd = memfd_create("passfile", 0);
    if (passfd < 0) {
        perror("memfd_create");
        abort();
    }
    snprintf(passpath, sizeof(passpath), "/proc/self/fd/%d", passfd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);

    // As a configuration file, from the buffer.
    qelkiod_reset_config(0, 0);
    FUZZ_CHECK(qelkiod_process_config_buf(text, size) == 0);
    check_record(mconf);
    qelkiod_config first = mconf;
    memset(&mconf, 0, sizeof(mconf));  // `first` owns the strings now

    // The same through a stream.
    qelkiod_reset_config(0, 0);
    if (size > 0) {
        FILE *fp = fmemopen(const_cast<char *>(text), size, "r");
        FUZZ_CHECK(fp != nullptr);
        FUZZ_CHECK(qelkiod_process_config(fp) == 0);
        fclose(fp);
        check_same(first, mconf);
    }
    free_config_data(&first);

    // As a password file.
    qelkiod_reset_config(0, 0);
    FUZZ_CHECK(ftruncate(passfd, 0) == 0);
    FUZZ_CHECK(pwrite(passfd, data, size, 0) == static_cast<ssize_t>(size));
    mconf.passfile = strdup(passpath);
    FUZZ_CHECK(mconf.passfile != nullptr);
    int rc = read_passfile();
    if (rc == 0) {
        check_token(mconf.password);
        FUZZ_CHECK(mconf.password != nullptr);
        FUZZ_CHECK(memmem(data, size, mconf.password, strlen(mconf.password)) != nullptr);
        FUZZ_CHECK(mconf.degraded == 0);
    } else {
        FUZZ_CHECK(mconf.password == nullptr);
        FUZZ_CHECK(mconf.degraded == 1);
    }
    qelkiod_reset_config(0, 0);
    return 0;
}
