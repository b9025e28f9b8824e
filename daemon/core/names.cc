// Checks on names that arrive from the firmware and are turned into paths
// below the keystore directory.  Every handler reads its names through
// these, so one rule holds for the upcalls, for discovery and for archives.
#include <cerrno>
#include <cstring>

#include "qelkiod.h"

int msg_get_name(const unsigned char *m, size_t off, char out[DBM_KSNAME_LEN])
{
    const void *nul = memchr(m + off, '\0', DBM_KSNAME_LEN);
    if (nul == nullptr) {
        // Cut short, the name would be another keystore's or file's.
        out[0] = '\0';
        qelkiod_log(LOG_ERR, "Name field at offset %zu of message type 0x%x has no terminator",
                    off, msg_hdr(m)->type);
        return EINVAL;
    }
    memcpy(out, m + off, static_cast<size_t>(static_cast<const unsigned char *>(nul) - (m + off)) + 1);
    return 0;
}

bool qelkiod_valid_ksname(const char *name)
{
    if (name == nullptr)
        return false;
    size_t len = strnlen(name, DBM_KSNAME_LEN);
    if (len == 0 || len >= DBM_KSNAME_LEN)
        return false;
    if (strchr(name, '/') != nullptr)
        return false;
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

bool qelkiod_valid_filename(const char *name)
{
    // One entry of the keystore directory itself: a keystore's environment
    // directory and whatever lies further down are never a file upcall's.
    return qelkiod_valid_ksname(name);
}

int qelkiod_msg_ksname(const unsigned char *m, size_t off, char out[DBM_KSNAME_LEN])
{
    int ret = msg_get_name(m, off, out);
    if (ret != 0)
        return ret;
    if (!qelkiod_valid_ksname(out)) {
        qelkiod_log(LOG_ERR, "Invalid keystore name \"%s\" in message type 0x%x", out,
                    msg_hdr(m)->type);
        return EINVAL;
    }
    return 0;
}

int qelkiod_msg_filename(const unsigned char *m, char out[DBM_KSNAME_LEN])
{
    int ret = msg_get_name(m, DBM_KSNAME_OFF, out);
    if (ret != 0)
        return ret;
    if (!qelkiod_valid_filename(out)) {
        qelkiod_log(LOG_ERR, "Invalid file name \"%s\"", out);
        return EINVAL;
    }
    return 0;
}
