// Checks on names that arrive from the firmware and are turned into paths
// below the keystore directory.
#include <cstring>

#include "qelkiod.h"

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
    if (name == nullptr || name[0] == '\0' || name[0] == '/')
        return false;
    // Walk the components; any ".." would climb out of the keystore
    // directory.  Other names, sub-directories included, are used as given.
    const char *p = name;
    while (*p != '\0') {
        const char *slash = strchr(p, '/');
        size_t n = slash ? static_cast<size_t>(slash - p) : strlen(p);
        if (n == 2 && p[0] == '.' && p[1] == '.')
            return false;
        if (slash == nullptr)
            break;
        p = slash + 1;
    }
    return true;
}
