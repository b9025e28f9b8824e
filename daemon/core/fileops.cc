// Files the firmware keeps in the keystore directory (keystore ".conf"
// files and others it names): read in chunked pushes, written by replacing
// (through a temporary file and one rename), appending or refusing to
// overwrite, and deleted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qelkiod.h"

namespace {

#define FILE_PATH_MAX 4096

// The file's path from the name in the message; names that would leave the
// keystore directory are refused.
int file_path(const upcall_buf *buf, char path[FILE_PATH_MAX])
{
    char name[DBM_KSNAME_LEN];
    msg_get_name(buf->msg, DBM_KSNAME_OFF, name);
    if (!qelkiod_valid_filename(name)) {
        qelkiod_log(LOG_ERR, "Invalid file name \"%s\"", name);
        return EINVAL;
    }
    int n = snprintf(path, FILE_PATH_MAX, "%s/%s", buf->ksdir, name);
    if (n < 0 || n >= FILE_PATH_MAX) {
        qelkiod_log(LOG_ERR, "Path %s/%s is too long", buf->ksdir, name);
        return EINVAL;
    }
    return 0;
}

struct fd_closer {
    int fd = -1;
    ~fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Reads the whole file into a heap block of its size.
int load_file(const char *path, std::unique_ptr<unsigned char[]> *out, size_t *size)
{
    fd_closer f;
    f.fd = open(path, O_RDONLY);
    if (f.fd < 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot open file %s: %s", path, strerror(err));
        return err;
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
// in the keystore directory that replaces it at the end.
struct write_target {
    int fd = -1;
    bool replacing = false;
    char tmp[FILE_PATH_MAX] = "";

    // Drops the temporary file and closes; the old file stays as it was.
    void discard()
    {
        if (replacing && tmp[0] != '\0')
            unlink(tmp);
        tmp[0] = '\0';
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    ~write_target() { discard(); }
};

int open_target(const upcall_buf *buf, const char *path, write_target *t)
{
    uint32_t flags = msg_hdr(buf->msg)->flags;
    if (flags & DBM_FLAG_APPEND) {
        t->fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0600);
        if (t->fd < 0) {
            int err = errno;
            qelkiod_log(LOG_ERR, "Cannot open for %s for append: %s", path, strerror(err));
            return err;
        }
        return 0;
    }
    if ((flags & DBM_FLAG_NO_OVERWRITE) && access(path, F_OK) == 0) {
        qelkiod_log(LOG_ERR, "File %s exists and firmware requested not to overwrite", path);
        return EEXIST;
    }
    int n = snprintf(t->tmp, sizeof(t->tmp), "%s/kyr.XXXXXX", buf->ksdir);
    if (n < 0 || n >= static_cast<int>(sizeof(t->tmp))) {
        t->tmp[0] = '\0';
        qelkiod_log(LOG_ERR, "Cannot create temp file: %s", buf->ksdir);
        return EIO;
    }
    t->fd = mkstemp(t->tmp);
    if (t->fd < 0) {
        qelkiod_log(LOG_ERR, "Cannot create temp file: %s", t->tmp);
        t->tmp[0] = '\0';
        return EIO;
    }
    t->replacing = true;
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
    char path[FILE_PATH_MAX];
    int ret = file_path(buf, path);
    if (ret != 0)
        return ret;
    std::unique_ptr<unsigned char[]> block;
    size_t size = 0;
    if ((ret = load_file(path, &block, &size)) != 0)
        return ret;

    dbm_header_t *hdr = msg_hdr(buf->msg);
    const uint32_t type = hdr->type == DB_CONFIG_READ ? DB_CONFIG_PUSH : DB_FILE_PUSH;
    size_t sent = 0;
    while (sent < size) {
        size_t chunk = size - sent < DBM_FILE_CHUNK ? size - sent : DBM_FILE_CHUNK;
        hdr->type = type;
        hdr->extent = DBM_MAX_MSG;
        if (sent + chunk < size)
            hdr->flags |= DBM_FLAG_MORE;
        else
            hdr->flags &= ~DBM_FLAG_MORE;
        msg_put32(buf->msg, DBM_FILESIZE_OFF, static_cast<int32_t>(size));
        memcpy(buf->msg + DBM_FILE_DATA_OFF, block.get() + sent, chunk);
        hdr->paramSize = static_cast<int32_t>(DBM_FILE_DATA_OFF + chunk);
        if ((ret = submit_message(buf)) != 0)
            return ret;
        sent += chunk;
    }
    return 0;
}

int task_file_write(upcall_buf *buf)
{
    char path[FILE_PATH_MAX];
    int ret = file_path(buf, path);
    size_t len = 0;
    if (ret == 0)
        ret = part_length(buf, &len);
    if (ret != 0)
        return ret;

    write_target t;
    if ((ret = open_target(buf, path, &t)) != 0)
        return ret;

    dbm_header_t *hdr = msg_hdr(buf->msg);
    const uint32_t type = hdr->type;
    for (;;) {
        uint32_t flags = hdr->flags;
        if ((ret = write_all(t.fd, buf->msg + DBM_FILE_DATA_OFF, len)) != 0) {
            qelkiod_log(LOG_ERR, "Failed on write: %s", strerror(ret));
            return ret;
        }
        make_response(hdr, 0);
        if (submit_message(buf) != 0)
            return ECANCELED;
        if ((flags & DBM_FLAG_MORE) == 0)
            break;
        // The reply is the next part; it must be one, with a sane length.
        if (hdr->type != type) {
            qelkiod_log(LOG_ERR, "Expected continuation of message type 0x%x, received 0x%x", type,
                        hdr->type);
            return EINVAL;
        }
        if ((ret = part_length(buf, &len)) != 0)
            return ret;
    }
    if (!t.replacing)
        return 0;

    // The new contents reach the disk before they take the old file's
    // place, so a crash leaves either the old file or the whole new one.
    if (fsync(t.fd) != 0) {
        ret = errno;
        qelkiod_log(LOG_ERR, "Failed on write: %s", strerror(ret));
        return ret;
    }
    if (rename(t.tmp, path) != 0) {
        ret = errno;
        qelkiod_log(LOG_ERR, "Failed renaming %s to %s: %s", t.tmp, path, strerror(ret));
        return ret;
    }
    t.tmp[0] = '\0';
    return 0;
}

int task_file_del(upcall_buf *buf)
{
    char path[FILE_PATH_MAX];
    int ret = file_path(buf, path);
    if (ret != 0)
        return ret;
    if (unlink(path) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Failed to delete file %s: %s", path, strerror(err));
        return err;
    }
    make_response(msg_hdr(buf->msg), 0);
    submit_message(buf);
    return 0;
}
