// Keystore archive check (see archive_check.h).  The archive arrives from
// the firmware: any member that is not a plain file of one keystore (links,
// symlinks, devices, FIFOs, directories, extended headers, names outside
// the keystore's own layout) refuses the whole archive, so tar is only
// ever run on archives whose every member lands where DB_ARCHIVE took it.
#include "archive_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "handler_util.h"

namespace {

constexpr size_t BLOCK = 512;
// Header fields (POSIX ustar layout; the GNU layout agrees on these).
constexpr size_t NAME_OFF = 0, NAME_LEN = 100;
constexpr size_t MODE_OFF = 100, MODE_LEN = 8;
constexpr size_t SIZE_OFF = 124, SIZE_LEN = 12;
constexpr size_t CHKSUM_OFF = 148, CHKSUM_LEN = 8;
constexpr size_t TYPE_OFF = 156;
constexpr size_t LINK_OFF = 157;
constexpr size_t MAGIC_OFF = 257;
constexpr size_t PREFIX_OFF = 345;
// Members a keystore archive can hold: the ".conf" file and the four
// databases.
constexpr int MAX_MEMBERS = 5;
const char *const kDatabases[] = {KS_USER_DB, KS_OBJECT_DB, KS_AUDITLOG_DB, KS_AUDITLOG_OLD_DB};

bool all_zero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

// An octal number field: optional leading blanks, digits, then NUL or
// blanks to its end.
bool parse_octal(const unsigned char *p, size_t n, uint64_t *out)
{
    size_t i = 0;
    while (i < n && p[i] == ' ')
        i++;
    size_t digits = 0;
    uint64_t v = 0;
    for (; i < n && p[i] >= '0' && p[i] <= '7'; i++, digits++) {
        if (v > (UINT64_MAX >> 3))
            return false;
        v = (v << 3) | (p[i] - '0');
    }
    for (; i < n; i++)
        if (p[i] != '\0' && p[i] != ' ')
            return false;
    *out = v;
    return digits > 0;
}

bool checksum_ok(const unsigned char *h)
{
    uint64_t want = 0;
    if (!parse_octal(h + CHKSUM_OFF, CHKSUM_LEN, &want))
        return false;
    uint64_t sum = 0;
    for (size_t i = 0; i < BLOCK; i++)
        sum += (i >= CHKSUM_OFF && i < CHKSUM_OFF + CHKSUM_LEN) ? ' ' : h[i];
    return sum == want;
}

// The keystore a member name belongs to: "<ks>.conf" or "<ks>/<database>".
bool member_keystore(const char *name, char ks[DBM_KSNAME_LEN], bool *env_file)
{
    const char *slash = strchr(name, '/');
    size_t n;
    if (slash != nullptr) {
        bool known = false;
        for (const char *db : kDatabases)
            known = known || strcmp(slash + 1, db) == 0;
        if (!known)
            return false;
        n = static_cast<size_t>(slash - name);
        *env_file = true;
    } else {
        size_t len = strlen(name);
        const size_t sfx = strlen(".conf");
        if (len <= sfx || strcmp(name + len - sfx, ".conf") != 0)
            return false;
        n = len - sfx;
        *env_file = false;
    }
    if (n >= DBM_KSNAME_LEN)
        return false;
    memcpy(ks, name, n);
    ks[n] = '\0';
    return qelkiod_valid_ksname(ks);
}

int refuse(const char *what, const char *member, const char *why)
{
    qelkiod_log(LOG_ERR, "Unarchive of %s refused: member \"%s\" %s", what, member, why);
    return EINVAL;
}

}  // namespace

int archive_check(int fd, const char *what, archive_content *out)
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Unarchive of %s failed: %s", what, strerror(err));
        return err;
    }
    const uint64_t fsize = static_cast<uint64_t>(st.st_size);
    char names[MAX_MEMBERS][NAME_LEN + 1];
    int members = 0;
    out->ksname[0] = '\0';
    out->has_env_files = false;
    uint64_t off = 0;
    for (;;) {
        unsigned char h[BLOCK];
        if (off + BLOCK > fsize ||
            pread(fd, h, BLOCK, static_cast<off_t>(off)) != static_cast<ssize_t>(BLOCK))
            return refuse(what, "", "missing: the archive ends without its end marker");
        if (all_zero(h, BLOCK))
            break;  // end of the archive; tar reads no further
        char name[NAME_LEN + 1];
        memcpy(name, h + NAME_OFF, NAME_LEN);
        name[NAME_LEN] = '\0';
        if (!checksum_ok(h) || memcmp(h + MAGIC_OFF, "ustar", 5) != 0)
            return refuse(what, name, "has no valid ustar header");
        if (h[TYPE_OFF] != '0' && h[TYPE_OFF] != '\0')
            return refuse(what, name, "is not a regular file");
        if (memchr(h + NAME_OFF, '\0', NAME_LEN) == nullptr || h[LINK_OFF] != '\0' ||
            h[PREFIX_OFF] != '\0')
            return refuse(what, name, "has a name beyond the header's name field");
        uint64_t mode = 0, size = 0;
        if (!parse_octal(h + MODE_OFF, MODE_LEN, &mode) || (mode & ~uint64_t(0777)) != 0)
            return refuse(what, name, "has special mode bits");
        if (!parse_octal(h + SIZE_OFF, SIZE_LEN, &size))
            return refuse(what, name, "has no valid size");
        char ks[DBM_KSNAME_LEN];
        bool env_file = false;
        if (!member_keystore(name, ks, &env_file))
            return refuse(what, name, "is not a file of a keystore archive");
        if (members > 0 && strcmp(ks, out->ksname) != 0)
            return refuse(what, name, "belongs to a second keystore");
        for (int i = 0; i < members; i++)
            if (strcmp(names[i], name) == 0)
                return refuse(what, name, "appears twice");
        if (members == MAX_MEMBERS)
            return refuse(what, name, "is one member too many");
        memcpy(names[members++], name, sizeof(name));
        memcpy(out->ksname, ks, sizeof(ks));
        out->has_env_files = out->has_env_files || env_file;
        uint64_t data = (size + BLOCK - 1) / BLOCK * BLOCK;
        if (data > fsize || off + BLOCK + data > fsize)
            return refuse(what, name, "passes the end of the archive");
        off += BLOCK + data;
    }
    if (members == 0)
        return refuse(what, "", "missing: the archive is empty");
    return 0;
}
