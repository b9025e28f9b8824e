// Message builders, byte-order conversion and the bounded record iterator.
//
// Counts and record lengths come from the firmware.  Every walk over the
// records of a message goes through rec_iter, which refuses a record whose
// head or data would pass the end of the message, so no handler ever reads
// or writes outside the bytes the firmware actually sent.
#include "upcall.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "qelkiod.h"

int32_t msg_get32(const unsigned char *m, size_t off)
{
    int32_t v;
    memcpy(&v, m + off, sizeof(v));
    return v;
}

void msg_put32(unsigned char *m, size_t off, int32_t v)
{
    memcpy(m + off, &v, sizeof(v));
}


void msg_set_name(unsigned char *m, size_t off, const char *name)
{
    memset(m + off, 0, DBM_KSNAME_LEN);
    size_t n = strnlen(name, DBM_KSNAME_LEN - 1);
    memcpy(m + off, name, n);
}

uint32_t bswap_host(uint32_t w) { return __builtin_bswap32(w); }
uint32_t bswap_ntwk(uint32_t w) { return __builtin_bswap32(w); }

// ---- builders ----

void make_response(dbm_header_t *hdr, int status)
{
    hdr->type = DB_RESPONSE;
    hdr->status = status;
    hdr->flags = 0;
    hdr->extent = DBM_MAX_MSG;
    hdr->paramSize = DBM_PARAM_SIZE;
}

static void init_push(dbm_header_t *hdr, dbm_op_t type, int32_t size, size_t countoff)
{
    hdr->type = type;
    hdr->flags = 0;
    hdr->extent = DBM_MAX_MSG;
    hdr->paramSize = size;
    msg_put32(reinterpret_cast<unsigned char *>(hdr), countoff, 0);
}

void init_db_user_push(dbm_header_t *hdr)
{
    init_push(hdr, DB_USER_PUSH, DBM_USERS_OFF, DBM_NUSERS_OFF);
}

void init_db_obj_push(dbm_header_t *hdr)
{
    init_push(hdr, DB_OBJECT_PUSH, DBM_OBJS_OFF, DBM_NOBJS_OFF);
}

void init_db_log_push(dbm_header_t *hdr)
{
    init_push(hdr, DB_LOG_PUSH, DBM_OBJS_OFF, DBM_NOBJS_OFF);
}

static bool space_exists(size_t pos, size_t head, size_t datalen)
{
    if (pos > DBM_MAX_MSG || datalen > DBM_MAX_MSG)
        return false;
    return pos + head + datalen <= DBM_MAX_MSG;
}

bool space_exists_user(const unsigned char *, size_t pos, size_t datalen)
{
    return space_exists(pos, DBM_USER_HEAD, datalen);
}

bool space_exists_obj(const unsigned char *, size_t pos, size_t datalen)
{
    return space_exists(pos, DBM_OBJ_HEAD, datalen);
}

static size_t load_record(unsigned char *buf, size_t pos, size_t idfield, const void *id,
                          size_t idlen, const void *data, size_t datalen, size_t countoff)
{
    // A stored key shorter than the ID field (not one this daemon wrote)
    // leaves the rest of the field zero, not what an earlier message left.
    memset(buf + pos, 0, idfield);
    memcpy(buf + pos, id, idlen < idfield ? idlen : idfield);
    msg_put32(buf, pos + idfield, static_cast<int32_t>(datalen));
    if (datalen > 0)
        memcpy(buf + pos + idfield + 4, data, datalen);
    msg_put32(buf, countoff, msg_get32(buf, countoff) + 1);
    dbm_header_t *hdr = msg_hdr(buf);
    hdr->paramSize += static_cast<int32_t>(idfield + 4 + datalen);
    return pos + idfield + 4 + datalen;
}

size_t load_user(unsigned char *buf, size_t pos, const void *id, size_t idlen, const void *data,
                 size_t datalen)
{
    return load_record(buf, pos, DBM_USER_ID_LEN, id, idlen, data, datalen, DBM_NUSERS_OFF);
}

size_t load_obj(unsigned char *buf, size_t pos, const void *id, size_t idlen, const void *data,
                size_t datalen)
{
    return load_record(buf, pos, DBM_OBJ_ID_LEN, id, idlen, data, datalen, DBM_NOBJS_OFF);
}

bool is_null_user(const void *id, int n)
{
    if (n < 1)
        return true;
    const unsigned char *p = static_cast<const unsigned char *>(id);
    for (int i = 0; i < n; i++)
        if (p[i] != 0)
            return false;
    return true;
}

int set_log_key(unsigned char *rec)
{
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot get time: %s", strerror(err));
        return err;
    }
    tzset();
    // Local standard time: no daylight-saving correction.
    uint32_t stamp = static_cast<uint32_t>(ts.tv_sec - timezone);
    unsigned char *data = rec + DBM_OBJ_HEAD;
    data[4] = static_cast<unsigned char>(stamp >> 24);
    data[5] = static_cast<unsigned char>(stamp >> 16);
    data[6] = static_cast<unsigned char>(stamp >> 8);
    data[7] = static_cast<unsigned char>(stamp);
    memcpy(data + 8, rec, DBM_OBJ_ID_LEN);
    return 0;
}

// ---- bounded record iterator ----

static size_t msg_limit(const unsigned char *msg)
{
    int32_t ps = msg_hdr(msg)->paramSize;
    if (ps <= 0)
        return 0;
    return ps > DBM_MAX_MSG ? DBM_MAX_MSG : static_cast<size_t>(ps);
}

static int rec_iter_start(rec_iter *it, const unsigned char *msg, int kind, bool ids_only,
                          size_t limit, int count)
{
    it->msg = msg;
    it->limit = limit;
    it->kind = kind;
    it->ids_only = ids_only;
    it->pos = kind == REC_USER ? DBM_USERS_OFF : DBM_OBJS_OFF;
    it->remaining = count > 0 ? count : 0;
    size_t head = kind == REC_USER ? DBM_USER_HEAD : DBM_OBJ_HEAD;
    size_t room = limit > it->pos ? limit - it->pos : 0;
    if (static_cast<size_t>(it->remaining) > room / head) {
        qelkiod_log(LOG_ERR, "Record count %d of message type 0x%x does not fit the message",
                    count, msg_hdr(msg)->type);
        return EINVAL;
    }
    return 0;
}

int rec_iter_init(rec_iter *it, const unsigned char *msg, int kind, bool ids_only)
{
    int count = msg_get32(msg, kind == REC_USER ? DBM_NUSERS_OFF : DBM_NOBJS_OFF);
    return rec_iter_start(it, msg, kind, ids_only, msg_limit(msg), count);
}

// Steps over the record at it->pos whose data length is len (host order).
static int rec_iter_step(rec_iter *it, int32_t len, rec_view *out)
{
    size_t head = it->kind == REC_USER ? DBM_USER_HEAD : DBM_OBJ_HEAD;
    size_t dlen = it->ids_only ? 0 : static_cast<size_t>(len);
    if ((!it->ids_only && len < 0) || it->pos + head > it->limit ||
        dlen > it->limit - it->pos - head) {
        qelkiod_log(LOG_ERR, "Record at offset %zu of message type 0x%x passes the end of the message",
                    it->pos, msg_hdr(it->msg)->type);
        return EINVAL;
    }
    if (out != nullptr) {
        out->pos = it->pos;
        out->id = it->msg + it->pos;
        out->data = it->ids_only ? nullptr : it->msg + it->pos + head;
        out->len = it->ids_only ? 0 : len;
    }
    it->pos += head + dlen;
    it->remaining--;
    return 0;
}

int rec_iter_next(rec_iter *it, rec_view *out)
{
    if (it->remaining <= 0)
        return 0;
    size_t idlen = it->kind == REC_USER ? DBM_USER_ID_LEN : DBM_OBJ_ID_LEN;
    int32_t len = 0;
    if (it->pos + idlen + 4 <= it->limit)
        len = msg_get32(it->msg, it->pos + idlen);
    int rc = rec_iter_step(it, len, out);
    return rc == 0 ? 1 : rc;
}

int rec_validate(const unsigned char *msg, int kind, bool ids_only)
{
    rec_iter it;
    int rc = rec_iter_init(&it, msg, kind, ids_only);
    if (rc != 0)
        return rc;
    rec_view v;
    while ((rc = rec_iter_next(&it, &v)) == 1)
        ;
    return rc;
}

// ---- conversion ----

static void swap_word(unsigned char *m, size_t off)
{
    uint32_t w;
    memcpy(&w, m + off, sizeof(w));
    w = __builtin_bswap32(w);
    memcpy(m + off, &w, sizeof(w));
}

// Converts the count and the record lengths.  The walk uses host-order
// values: read after conversion towards the host, before it towards the
// network.  It never leaves the message.
static int bswap_records(unsigned char *msg, int kind, int direction, size_t limit)
{
    size_t countoff = kind == REC_USER ? DBM_NUSERS_OFF : DBM_NOBJS_OFF;
    size_t idlen = kind == REC_USER ? DBM_USER_ID_LEN : DBM_OBJ_ID_LEN;
    int32_t count;
    if (direction == BSWAP_TO_HOST) {
        swap_word(msg, countoff);
        count = msg_get32(msg, countoff);
    } else {
        count = msg_get32(msg, countoff);
        swap_word(msg, countoff);
    }
    rec_iter it;
    int rc = rec_iter_start(&it, msg, kind, false, limit, count);
    while (rc == 0 && it.remaining > 0) {
        if (it.pos + idlen + 4 > limit)
            return rec_iter_step(&it, 0, nullptr);  // logs and refuses
        size_t lenoff = it.pos + idlen;
        int32_t len;
        if (direction == BSWAP_TO_HOST) {
            swap_word(msg, lenoff);
            len = msg_get32(msg, lenoff);
        } else {
            len = msg_get32(msg, lenoff);
        }
        rc = rec_iter_step(&it, len, nullptr);
        if (rc == 0 && direction == BSWAP_TO_NETWORK)
            swap_word(msg, lenoff);
    }
    return rc;
}

// The fewest bytes a message of the type must carry: its fixed fields.
// 0 for a type the conversion does not know.
static int32_t msg_min_size(uint32_t type)
{
    switch (type) {
    case DB_STANDBY: case DB_RESPONSE: case DB_STATUS: case DB_GOODBYE:
    case DB_HELLO: case DB_HANDSHAKE:
        // Nothing beyond the header is read from these.
        return DBM_HDR_SIZE;
    case DB_READ: case DB_DELETE: case DB_ARCHIVE: case DB_UNARCHIVE:
        return DBM_KSNAME_OFF + DBM_KSNAME_LEN;
    case DB_INIT: case DB_CHECK: case DB_JOIN:
        return DBM_KSTYPE_OFF + 4;
    case DB_RENAME:
        return DBM_NEWNAME_OFF + DBM_NEWNAME_LEN;
    case DB_USER_READ: case DB_USER_WRITE: case DB_USER_DEL: case DB_USER_PUSH:
        return DBM_USERS_OFF;
    case DB_OBJECT_READ: case DB_OBJECT_WRITE: case DB_OBJECT_DEL: case DB_OBJECT_PUSH:
    case DB_LOG_READ: case DB_LOG_WRITE: case DB_LOG_PUSH:
        return DBM_OBJS_OFF;
    case DB_FILE_READ: case DB_FILE_WRITE: case DB_FILE_PUSH: case DB_CONFIG_READ:
    case DB_CONFIG_WRITE: case DB_CONFIG_PUSH: case DB_FILE_DEL:
        return DBM_FILE_DATA_OFF;
    default:
        return 0;
    }
}

bool msg_type_known(uint32_t type)
{
    return msg_min_size(type) > 0;
}

int prep_ioctl_bswap(unsigned char *msg, int direction)
{
    uint32_t first;
    memcpy(&first, msg, sizeof(first));
    uint32_t type = direction == BSWAP_TO_HOST ? __builtin_bswap32(first) : first;

    int32_t ps = 0;
    if (direction == BSWAP_TO_NETWORK)
        ps = msg_hdr(msg)->paramSize;
    for (size_t off = 0; off < DBM_HDR_SIZE; off += 4)
        swap_word(msg, off);
    if (direction == BSWAP_TO_HOST)
        ps = msg_hdr(msg)->paramSize;
    size_t limit = ps <= 0 ? 0 : (ps > DBM_MAX_MSG ? DBM_MAX_MSG : static_cast<size_t>(ps));
    // A message from the firmware must lie within the largest message and
    // hold the fixed fields of its type; nothing of it is used otherwise.
    int32_t least = msg_min_size(type);
    if (direction == BSWAP_TO_HOST && least > 0 && (ps > DBM_MAX_MSG || ps < least)) {
        qelkiod_log(LOG_ERR, "Message type 0x%x with invalid size %d", type, ps);
        return EINVAL;
    }

    switch (type) {
    case DB_STANDBY: case DB_HELLO: case DB_RESPONSE: case DB_STATUS: case DB_GOODBYE:
    case DB_READ: case DB_DELETE: case DB_ARCHIVE: case DB_UNARCHIVE: case DB_RENAME:
        return 0;
    case DB_USER_READ: case DB_USER_WRITE: case DB_USER_DEL: case DB_USER_PUSH:
        return bswap_records(msg, REC_USER, direction, limit);
    case DB_OBJECT_READ: case DB_OBJECT_WRITE: case DB_OBJECT_DEL: case DB_OBJECT_PUSH:
    case DB_LOG_WRITE: case DB_LOG_PUSH:
        return bswap_records(msg, REC_OBJ, direction, limit);
    case DB_LOG_READ:
        // nobjs is the number of newest (or oldest) entries wanted, not a
        // record count: the request carries no records to walk.
        swap_word(msg, DBM_NOBJS_OFF);
        return 0;
    case DB_FILE_READ: case DB_FILE_WRITE: case DB_FILE_PUSH: case DB_CONFIG_READ:
    case DB_CONFIG_WRITE: case DB_CONFIG_PUSH: case DB_FILE_DEL:
        swap_word(msg, DBM_FILESIZE_OFF);
        return 0;
    case DB_HANDSHAKE:
        swap_word(msg, DBM_HANDSHAKE0_OFF);
        swap_word(msg, DBM_HANDSHAKE1_OFF);
        return 0;
    case DB_INIT: case DB_CHECK: case DB_JOIN:
        swap_word(msg, DBM_KSTYPE_OFF);
        return 0;
    default:
        qelkiod_log(LOG_ERR, "Cannot byte-swap unknown message type: 0x%x", type);
        return EINVAL;
    }
}
