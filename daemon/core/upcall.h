// Upcall buffer, message builders, byte-order conversion and the bounded
// record iterator.  All operations except the conversion work on a message
// in host byte order.
#ifndef KYR_UPCALL_H
#define KYR_UPCALL_H

#include <cstddef>
#include <cstdint>

#include "dbm_msg.h"

// One per service thread: descriptor, keystore directory, then the message.
struct upcall_buf {
    int fd;
    const char *ksdir;
    unsigned char msg[DBM_MSG_AREA];
};
static_assert(sizeof(upcall_buf) <= DBM_UPCALL_BUFSZ, "upcall buffer must fit 61440 bytes");

// ---- field access (host order, message base pointer) ----
inline dbm_header_t *msg_hdr(unsigned char *m) { return reinterpret_cast<dbm_header_t *>(m); }
inline const dbm_header_t *msg_hdr(const unsigned char *m) { return reinterpret_cast<const dbm_header_t *>(m); }
int32_t msg_get32(const unsigned char *m, size_t off);
void msg_put32(unsigned char *m, size_t off, int32_t v);

// Reads a 64-byte name field (ksname, newname) into out (DBM_KSNAME_LEN
// bytes): 0, or EINVAL (logged, out empty) for a field without its NUL.
[[nodiscard]] int msg_get_name(const unsigned char *m, size_t off, char out[DBM_KSNAME_LEN]);
// Writes a name into a 64-byte field, truncated to 63 characters, NUL-padded.
void msg_set_name(unsigned char *m, size_t off, const char *name);

// ---- builders ----
void make_response(dbm_header_t *hdr, int status);
void init_db_user_push(dbm_header_t *hdr);
void init_db_obj_push(dbm_header_t *hdr);
void init_db_log_push(dbm_header_t *hdr);
bool space_exists_user(const unsigned char *buf, size_t pos, size_t datalen);
bool space_exists_obj(const unsigned char *buf, size_t pos, size_t datalen);
// Append a record at pos; the caller has checked space. Returns the position
// just past the record.
size_t load_user(unsigned char *buf, size_t pos, const void *id, size_t idlen,
                 const void *data, size_t datalen);
size_t load_obj(unsigned char *buf, size_t pos, const void *id, size_t idlen,
                const void *data, size_t datalen);
bool is_null_user(const void *id, int n);
// Stamps bytes 4..7 (local standard time, big-endian) and 8..15 (the ID) of a
// log record's data.  rec points at a dbm_obj_rec head; the record's data
// must hold at least DBM_LOG_KEY_LEN bytes (callers check first).
int set_log_key(unsigned char *rec);

// ---- conversion ----
enum { BSWAP_TO_NETWORK = 0, BSWAP_TO_HOST = 1 };
// Converting to host order refuses (EINVAL, logged) a message whose
// paramSize passes DBM_MAX_MSG or falls short of its type's fixed fields,
// and one whose records pass paramSize; the header is converted even then.
int prep_ioctl_bswap(unsigned char *msg, int direction);
// True for the types the conversion knows (1 to 34 but 17 and 18).
bool msg_type_known(uint32_t type);
uint32_t bswap_host(uint32_t w);
uint32_t bswap_ntwk(uint32_t w);

// ---- bounded record iterator ----
// Walks the records of a host-order message without ever leaving it: a
// record whose head or data would pass paramSize (or DBM_MAX_MSG) stops the
// walk with EINVAL.  Used by the conversion and by every handler.
enum rec_kind { REC_USER = 0, REC_OBJ = 1 };
struct rec_iter {
    const unsigned char *msg;
    size_t limit;      // end of the valid message bytes
    size_t pos;        // position of the next record head
    int remaining;     // records left
    int kind;
    bool ids_only;     // fixed stride (read/delete requests): lengths ignored
};
struct rec_view {
    size_t pos;                 // offset of the record head in the message
    const unsigned char *id;    // 20 or 8 bytes
    const unsigned char *data;  // nullptr for ids_only walks
    int32_t len;                // data length (0 for ids_only walks)
};
// Starts a walk over the message's records (count from nusers or nobjs).
// ids_only: step by the fixed head size, as read and delete requests do.
int rec_iter_init(rec_iter *it, const unsigned char *msg, int kind, bool ids_only);
// Returns 1 with *out filled, 0 at the end, EINVAL (22) on a record that
// passes the end of the message (logged).
int rec_iter_next(rec_iter *it, rec_view *out);
// Checks every record of the message up front; 0 or EINVAL.
int rec_validate(const unsigned char *msg, int kind, bool ids_only);

#endif  // KYR_UPCALL_H
