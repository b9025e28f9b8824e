// Files of the keystore directory as the firmware names them.  A name is
// one entry of the keystore directory itself (qelkiod_valid_filename), and
// every operation works relative to a descriptor of that directory: no
// symlink is followed, only regular files are opened, and no open blocks
// (a FIFO or device node planted there is refused, not waited on).
#ifndef KYR_KSFILE_H
#define KYR_KSFILE_H

#include <fcntl.h>
#include <sys/types.h>

// Opens the keystore directory; 0 with *dirfd, or the errno (logged).
int ksfile_dir_open(const char *ksdir, int *dirfd);

// Opens the entry `name` with `flags` (O_RDONLY; or O_WRONLY with O_APPEND,
// O_CREAT, O_TRUNC), created with mode 0600.  An existing entry that is not
// a regular file, or is one with more than one link, is refused with EINVAL
// (logged); other failures return the errno, for the caller to log.
int ksfile_open(int dirfd, const char *name, int flags, int *fd);

// EINVAL (logged) when `name` exists and is not a regular file, 0 when it
// is one or is absent; *exists tells which.
int ksfile_check_regular(int dirfd, const char *name, bool *exists);

// A new temporary file "kyr.XXXXXX" (mode 0600) in the keystore directory
// `ksdir`; its entry name goes to `tmpname` (at least 16 bytes).
int ksfile_mktemp(const char *ksdir, char *tmpname, int *fd);

// Renames an entry without ever replacing one: EEXIST when `to` exists.
// Uses the kernel's no-replace rename, else (older kernels, file systems
// without it) a hard link and unlink for files, a check and rename for
// directories.
int ksfile_rename_noreplace(int dirfd, const char *from, const char *to);

// Puts the written and synced temporary file in place of `name` (replacing
// it, or with no_replace never) and syncs the directory, so that once this
// returns 0 the file is durably in place.  The temporary entry is gone
// afterwards on success only.
int ksfile_publish(int dirfd, const char *tmp, const char *name, bool no_replace);

#endif  // KYR_KSFILE_H
