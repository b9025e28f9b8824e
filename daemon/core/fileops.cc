// Files the firmware keeps in the keystore directory (keystore ".conf"
// files and others it names): read in chunked pushes, written by replacing
// (through a temporary file and one rename), appending or refusing to
// overwrite, and deleted.  Every name is one entry of the keystore
// directory and every access goes through ksfile (no symlink followed,
// regular files only, no blocking open).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ksfile.h"
#include "qelkiod.h"

namespace {

struct fd_closer {
    int fd = -1;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

#define FILE_PATH_MAX 4096

// The file name of the message, its path (for log lines) and a descriptor
// of the keystore directory.
int file_dir(const upcall_buf *buf, char name[DBM_KSNAME_LEN], char path[FILE_PATH_MAX],
             fd_closer *dir)
{
    int ret = qelkiod_msg_filename(buf->msg, name);
    if (ret != 0)
        return ret;
    int n = snprintf(path, FILE_PATH_MAX, "%s/%s", buf->ksdir, name);
    if (n < 0 || n >= FILE_PATH_MAX) {
        qelkiod_log(LOG_ERR, "Path %s/%s is too long", buf->ksdir, name);
        return EINVAL;
    }
    return ksfile_dir_open(buf->ksdir, &dir->fd);
}

// Reads the whole file into a heap block of its size.
int load_file(int dirfd, const char *name, const char *path, std::unique_ptr<unsigned char[]> *out, size_t *size)
{
    fd_closer f;
    int ret = ksfile_open(dirfd, name, O_RDONLY, &f.fd);
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Cannot open file %s: %s", path, strerror(ret));
        return ret;
    }
    struct stat st;
    if (fstat(f.fd, &st) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot get file size for %s: %s", path, strerror(err));
        return err;
    }
    // The size travels as a 32-bit field.
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        qelkiod_log(LOG_ERR, "Cannot get file size for %s: %s", path, strerror(EFBIG));
        return EFBIG;
    }
    size_t want = static_cast<size_t>(st.st_size);
    std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[want ? want : 1]);
    if (!block) {
        qelkiod_log(LOG_ERR, "Cannot allocate space for file: %s", strerror(ENOMEM));
        return ENOMEM;
    }
    size_t got = 0;
    while (got < want) {
        ssize_t n = read(f.fd, block.get() + got, want - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            qelkiod_log(LOG_ERR, "Read error for config %s: %s", path, strerror(err));
            return err;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got < want) {
        qelkiod_log(LOG_ERR, "Truncated read on config %s", path);
        return EIO;
    }
    *out = std::move(block);
    *size = want;
    return 0;
}

int write_all(int fd, const unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// A part's data length is paramSize - 96; anything outside the message is
// refused before a byte is written.
int part_length(const upcall_buf *buf, size_t *len)
{
    int32_t ps = msg_hdr(buf->msg)->paramSize;
    if (ps < DBM_FILE_DATA_OFF || ps > DBM_MAX_MSG) {
        qelkiod_log(LOG_ERR, "File write part with invalid size %d", ps);
        return EINVAL;
    }
    *len = static_cast<size_t>(ps - DBM_FILE_DATA_OFF);
    return 0;
}

// The open target of a write: the file itself (append) or a temporary file
// in the keystore directory that takes the file's place at the end.
struct write_target {
    int dirfd = -1;
    int fd = -1;
    bool replacing = false;
    bool no_replace = false;
    char tmp[16] = "";

    // Drops the temporary file and closes; the old file stays as it was.
    ~write_target()
    {
        if (replacing && tmp[0] != '\0')
            unlinkat(dirfd, tmp, 0);
        if (fd >= 0)
            close(fd);
    }
};

int open_target(const upcall_buf *buf, const char *name, const char *path, write_target *t)
{
    uint32_t flags = msg_hdr(buf->msg)->flags;
    if (flags & DBM_FLAG_APPEND) {
        int ret = ksfile_open(t->dirfd, name, O_WRONLY | O_APPEND | O_CREAT, &t->fd);
        if (ret != 0)
            qelkiod_log(LOG_ERR, "Cannot open for %s for append: %s", path, strerror(ret));
        return ret;
    }
    // Only a regular file is replaced.  Without overwriting, an existing
    // file refuses the write at once; the rename at the end refuses one
    // made in the meantime.
    bool exists = false;
    int ret = ksfile_check_regular(t->dirfd, name, &exists);
    if (ret != 0)
        return ret;
    t->no_replace = (flags & DBM_FLAG_NO_OVERWRITE) != 0;
    if (t->no_replace && exists) {
        qelkiod_log(LOG_ERR, "File %s exists and firmware requested not to overwrite", path);
        return EEXIST;
    }
    if ((ret = ksfile_mktemp(buf->ksdir, t->tmp, &t->fd)) != 0) {
        t->tmp[0] = '\0';
        qelkiod_log(LOG_ERR, "Cannot create temp file: %s/kyr.XXXXXX: %s", buf->ksdir,
                    strerror(ret));
        return EIO;
    }
    t->replacing = true;
    return 0;
}

// After the last part: the data on disk and, for a replacing write, the
// file in its place, before the last part is answered.
int make_durable(write_target *t, const upcall_buf *buf, const char *name, const char *path)
{
    if (fsync(t->fd) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failed on write: %s", strerror(err));
        return err;
    }
    if (!t->replacing)
        return 0;
    int ret = ksfile_publish(t->dirfd, t->tmp, name, t->no_replace);
    if (ret == EEXIST && t->no_replace) {
        qelkiod_log(LOG_ERR, "File %s exists and firmware requested not to overwrite", path);
        return ret;
    }
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "Failed renaming %s/%s to %s: %s", buf->ksdir, t->tmp, path,
                    strerror(ret));
        return ret;
    }
    t->tmp[0] = '\0';
    return 0;
}

}  // namespace

int task_file_read(upcall_buf *buf)
{
    if (access(buf->ksdir, R_OK | W_OK | X_OK) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot access keystore directory %s: %s", buf->ksdir, strerror(err));
        return err;
    }
    char name[DBM_KSNAME_LEN];
    char path[FILE_PATH_MAX];
    fd_closer dir;
    int ret = file_dir(buf, name, path, &dir);
    if (ret != 0)
        return ret;
    std::unique_ptr<unsigned char[]> block;
    size_t size = 0;
    if ((ret = load_file(dir.fd, name, path, &block, &size)) != 0)
        return ret;

    // Chunks of at most DBM_FILE_CHUNK bytes; an empty file is one empty
    // push, so that every read is answered.
    dbm_header_t *hdr = msg_hdr(buf->msg);
    const uint32_t type = hdr->type == DB_CONFIG_READ ? DB_CONFIG_PUSH : DB_FILE_PUSH;
    size_t sent = 0;
    do {
        size_t chunk = size - sent < DBM_FILE_CHUNK ? size - sent : DBM_FILE_CHUNK;
        hdr->type = type;
        hdr->extent = DBM_MAX_MSG;
        if (sent + chunk < size)
            hdr->flags |= DBM_FLAG_MORE;
        else
            hdr->flags &= ~DBM_FLAG_MORE;
        msg_put32(buf->msg, DBM_FILESIZE_OFF, static_cast<int32_t>(size));
        if (chunk > 0)
            memcpy(buf->msg + DBM_FILE_DATA_OFF, block.get() + sent, chunk);
        hdr->paramSize = static_cast<int32_t>(DBM_FILE_DATA_OFF + chunk);
        if ((ret = submit_message(buf)) != 0)
            return ret;
        sent += chunk;
    } while (sent < size);
    return 0;
}

int task_file_write(upcall_buf *buf)
{
    char name[DBM_KSNAME_LEN];
    char path[FILE_PATH_MAX];
    fd_closer dir;
    size_t len = 0;
    int ret = file_dir(buf, name, path, &dir);
    if (ret == 0)
        ret = part_length(buf, &len);
    if (ret != 0)
        return ret;

    write_target t;
    t.dirfd = dir.fd;
    if ((ret = open_target(buf, name, path, &t)) != 0)
        return ret;

    dbm_header_t *hdr = msg_hdr(buf->msg);
    const uint32_t type = hdr->type;
    for (;;) {
        uint32_t flags = hdr->flags;
        if ((ret = write_all(t.fd, buf->msg + DBM_FILE_DATA_OFF, len)) != 0) {
            qelkiod_log(LOG_ERR, "Failed on write: %s", strerror(ret));
            return ret;
        }
        bool last = (flags & DBM_FLAG_MORE) == 0;
        // The last part is answered only once the file is durably in
        // place: a failure here is the one answer the firmware gets.
        if (last && (ret = make_durable(&t, buf, name, path)) != 0)
            return ret;
        make_response(hdr, 0);
        bool malformed = false;
        ret = submit_message_in(buf, &malformed);
        if (last)
            return 0;
        if (ret != 0)
            return malformed ? EINVAL : ECANCELED;
        // The reply is the next part; it must be one, with a sane length.
        if (hdr->type != type) {
            qelkiod_log(LOG_ERR, "Expected continuation of message type 0x%x, received 0x%x", type,
                        hdr->type);
            return EINVAL;
        }
        if ((ret = part_length(buf, &len)) != 0)
            return ret;
    }
}

int task_file_del(upcall_buf *buf)
{
    char name[DBM_KSNAME_LEN];
    char path[FILE_PATH_MAX];
    fd_closer dir;
    int ret = file_dir(buf, name, path, &dir);
    if (ret != 0)
        return ret;
    // Removes the entry itself, a symlink included, never what it names.
    if (unlinkat(dir.fd, name, 0) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failed to delete file %s: %s", path, strerror(err));
        return err;
    }
    return qelkiod_answer(buf, 0);
}
