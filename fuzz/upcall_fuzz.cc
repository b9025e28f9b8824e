// The byte-order conversion and the bounded record walk on a whole upcall
// buffer, as the device leaves it: the input is the message in network
// order at the start of a zeroed message area.
//
// Checked, for a message the conversion accepts:
//  - the conversion towards the host leaves every byte past the parameter
//    block and past paramSize as it was;
//  - converting back to network order gives the input again (round trip);
//  - the record walk, with lengths and with the fixed stride of read and
//    delete requests, returns exactly the records that a walk over the
//    network-order bytes finds inside min(paramSize, DBM_MAX_MSG), every
//    one with its head and data inside the message, and refuses (EINVAL)
//    exactly when a record would pass the end.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_daemon.h"

namespace {

unsigned char area[DBM_MSG_AREA];
unsigned char net[DBM_MSG_AREA];

uint32_t be32(const unsigned char *m, size_t off)
{
    uint32_t v;
    memcpy(&v, m + off, 4);
    return ntohl(v);
}

struct model_rec {
    size_t pos;
    int32_t len;
};

// Records of a network-order message; false when one passes the end.
bool model_walk(const unsigned char *m, int kind, bool ids_only, std::vector<model_rec> *out)
{
    int32_t ps = static_cast<int32_t>(be32(m, 24));
    size_t limit = ps <= 0 ? 0 : (ps > DBM_MAX_MSG ? DBM_MAX_MSG : static_cast<size_t>(ps));
    int32_t count = static_cast<int32_t>(be32(m, kind == REC_USER ? DBM_NUSERS_OFF : DBM_NOBJS_OFF));
    size_t head = kind == REC_USER ? DBM_USER_HEAD : DBM_OBJ_HEAD;
    size_t pos = kind == REC_USER ? DBM_USERS_OFF : DBM_OBJS_OFF;
    out->clear();
    for (int32_t i = 0; i < count; i++) {
        if (pos + head > limit)
            return false;
        int32_t len = static_cast<int32_t>(be32(m, pos + head - 4));
        if (!ids_only && (len < 0 || static_cast<size_t>(len) > limit - pos - head))
            return false;
        out->push_back({pos, ids_only ? 0 : len});
        pos += head + (ids_only ? 0 : static_cast<size_t>(len));
    }
    return true;
}

int kind_of(uint32_t type)
{
    switch (type) {
    case DB_USER_READ: case DB_USER_WRITE: case DB_USER_DEL: case DB_USER_PUSH:
        return REC_USER;
    case DB_OBJECT_READ: case DB_OBJECT_WRITE: case DB_OBJECT_DEL: case DB_OBJECT_PUSH:
    case DB_LOG_WRITE: case DB_LOG_PUSH:
        return REC_OBJ;
    default:
        return -1;
    }
}

void check_walk(int kind, bool ids_only)
{
    std::vector<model_rec> want;
    bool fits = model_walk(net, kind, ids_only, &want);
    int32_t ps = msg_hdr(area)->paramSize;
    size_t limit = ps <= 0 ? 0 : (ps > DBM_MAX_MSG ? DBM_MAX_MSG : static_cast<size_t>(ps));
    size_t head = kind == REC_USER ? DBM_USER_HEAD : DBM_OBJ_HEAD;

    rec_iter it;
    int rc = rec_iter_init(&it, area, kind, ids_only);
    size_t n = 0;
    if (rc == 0) {
        rec_view v;
        while ((rc = rec_iter_next(&it, &v)) == 1) {
            FUZZ_CHECK(n < want.size());
            FUZZ_CHECK(v.pos == want[n].pos);
            FUZZ_CHECK(v.id == area + v.pos);
            FUZZ_CHECK(v.pos + head <= limit);
            if (ids_only) {
                FUZZ_CHECK(v.data == nullptr && v.len == 0);
            } else {
                FUZZ_CHECK(v.len == want[n].len && v.len >= 0);
                FUZZ_CHECK(v.data == area + v.pos + head);
                FUZZ_CHECK(v.pos + head + static_cast<size_t>(v.len) <= limit);
            }
            n++;
        }
    }
    FUZZ_CHECK(rc == 0 || rc == EINVAL);
    if (fits) {
        FUZZ_CHECK(rc == 0);
        FUZZ_CHECK(n == want.size());
    } else {
        FUZZ_CHECK(rc == EINVAL);
    }
    FUZZ_CHECK(rec_validate(area, kind, ids_only) == rc);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_daemon_log_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > DBM_MAX_MSG)
        return -1;  // the device never delivers more
    memset(net, 0, sizeof(net));
    memcpy(net, data, size);
    memcpy(area, net, sizeof(area));

    if (prep_ioctl_bswap(area, BSWAP_TO_HOST) != 0)
        return 0;
    int32_t ps = msg_hdr(area)->paramSize;
    size_t limit = ps <= 0 ? 0 : (ps > DBM_MAX_MSG ? DBM_MAX_MSG : static_cast<size_t>(ps));
    size_t untouched = limit > DBM_PARAM_SIZE ? limit : DBM_PARAM_SIZE;
    FUZZ_CHECK(memcmp(area + untouched, net + untouched, sizeof(area) - untouched) == 0);

    int kind = kind_of(msg_hdr(area)->type);
    if (kind >= 0) {
        check_walk(kind, false);
        check_walk(kind, true);
    }

    FUZZ_CHECK(prep_ioctl_bswap(area, BSWAP_TO_NETWORK) == 0);
    FUZZ_CHECK(memcmp(area, net, sizeof(area)) == 0);
    return 0;
}
