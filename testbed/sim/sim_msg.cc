// The simulator's own message encoder and decoder (host struct <-> network
// bytes).  Written from the wire layout alone, sharing no code with the
// daemon's conversion, so that tests through the simulator really check the
// daemon's byte order and layout.
#include <cstdio>
#include <cstring>

#include "kyrsim.h"

namespace {

void put_be32(std::vector<uint8_t> &b, size_t off, uint32_t v)
{
    b[off] = static_cast<uint8_t>(v >> 24);
    b[off + 1] = static_cast<uint8_t>(v >> 16);
    b[off + 2] = static_cast<uint8_t>(v >> 8);
    b[off + 3] = static_cast<uint8_t>(v);
}

uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void put_bytes(std::vector<uint8_t> &b, size_t off, const void *src, size_t n)
{
    if (n)
        memcpy(b.data() + off, src, n);
}

// A name field: at most len-1 characters, NUL-padded.
void put_name(std::vector<uint8_t> &b, size_t off, const std::string &s, size_t len)
{
    size_t n = s.size() < len - 1 ? s.size() : len - 1;
    put_bytes(b, off, s.data(), n);
}

std::string get_name(const uint8_t *p, size_t len)
{
    size_t n = 0;
    while (n < len && p[n])
        n++;
    return std::string(reinterpret_cast<const char *>(p), n);
}

const char *const kNames[] = {
    nullptr, "DB_STANDBY", "DB_USER_READ", "DB_USER_WRITE", "DB_USER_DEL",
    "DB_OBJECT_READ", "DB_OBJECT_WRITE", "DB_OBJECT_DEL", "DB_FILE_READ",
    "DB_FILE_WRITE", "DB_HELLO", "DB_FILE_PUSH", "DB_USER_PUSH",
    "DB_OBJECT_PUSH", "DB_RESPONSE", "DB_HANDSHAKE", "DB_STATUS",
    "DB_PROVIDER_REGISTER", "DB_PROVIDER_UNREGISTER", "DB_INIT", "DB_GOODBYE",
    "DB_READ", "DB_DELETE", "DB_CHECK", "DB_JOIN", "DB_ARCHIVE",
    "DB_UNARCHIVE", "DB_RENAME", "DB_CONFIG_READ", "DB_CONFIG_WRITE",
    "DB_CONFIG_PUSH", "DB_LOG_READ", "DB_LOG_WRITE", "DB_LOG_PUSH",
    "DB_FILE_DEL"};

size_t head_size(int fam) { return fam == KYRSIM_FAM_USER ? DBM_USER_HEAD : DBM_OBJ_HEAD; }
size_t id_size(int fam) { return fam == KYRSIM_FAM_USER ? DBM_USER_ID_LEN : DBM_OBJ_ID_LEN; }
size_t recs_off(int fam) { return fam == KYRSIM_FAM_USER ? DBM_USERS_OFF : DBM_OBJS_OFF; }

}  // namespace

int kyrsim_family_of(uint32_t type)
{
    switch (type) {
    case DB_STANDBY: case DB_RESPONSE: case DB_STATUS: case DB_GOODBYE:
        return KYRSIM_FAM_HEADER;
    case DB_HELLO:
        return KYRSIM_FAM_HELLO;
    case DB_USER_READ: case DB_USER_WRITE: case DB_USER_DEL: case DB_USER_PUSH:
        return KYRSIM_FAM_USER;
    case DB_OBJECT_READ: case DB_OBJECT_WRITE: case DB_OBJECT_DEL: case DB_OBJECT_PUSH:
    case DB_LOG_READ: case DB_LOG_WRITE: case DB_LOG_PUSH:
        return KYRSIM_FAM_OBJ;
    case DB_FILE_READ: case DB_FILE_WRITE: case DB_FILE_PUSH: case DB_CONFIG_READ:
    case DB_CONFIG_WRITE: case DB_CONFIG_PUSH: case DB_FILE_DEL:
        return KYRSIM_FAM_FILE;
    case DB_INIT: case DB_READ: case DB_DELETE: case DB_CHECK: case DB_JOIN:
    case DB_ARCHIVE: case DB_UNARCHIVE: case DB_RENAME:
        return KYRSIM_FAM_KEYSTORE;
    case DB_HANDSHAKE:
        return KYRSIM_FAM_HANDSHAKE;
    default:
        return KYRSIM_FAM_UNKNOWN;
    }
}

const char *kyrsim_type_name(uint32_t type)
{
    static thread_local char buf[16];
    if (type >= 1 && type <= DB_FILE_DEL)
        return kNames[type];
    snprintf(buf, sizeof buf, "0x%x", type);
    return buf;
}

kyrsim_msg kyrsim_msg_make(uint32_t type, const std::string &ksname)
{
    kyrsim_msg m;
    m.type = type;
    m.ksname = ksname;
    return m;
}

void kyrsim_msg_add_user(kyrsim_msg *m, const std::vector<uint8_t> &id20, const std::vector<uint8_t> &data)
{
    kyrsim_rec r;
    r.id = id20;
    r.id.resize(DBM_USER_ID_LEN, 0);
    r.data = data;
    m->recs.push_back(r);
}

void kyrsim_msg_add_obj(kyrsim_msg *m, uint32_t id_hi, uint32_t id_lo, const std::vector<uint8_t> &data)
{
    kyrsim_rec r;
    r.id.resize(DBM_OBJ_ID_LEN);
    for (int i = 0; i < 4; i++) {
        r.id[i] = static_cast<uint8_t>(id_hi >> (24 - 8 * i));
        r.id[4 + i] = static_cast<uint8_t>(id_lo >> (24 - 8 * i));
    }
    r.data = data;
    m->recs.push_back(r);
}

void kyrsim_msg_set_file(kyrsim_msg *m, uint32_t filesize, const std::vector<uint8_t> &data)
{
    m->filesize = filesize;
    m->filedata = data;
}

std::vector<uint8_t> kyrsim_user_id(const std::string &text)
{
    std::vector<uint8_t> id(text.begin(), text.end());
    id.resize(DBM_USER_ID_LEN, 0);
    return id;
}

int kyrsim_msg_encode(const kyrsim_msg &m, std::vector<uint8_t> *out)
{
    int fam = kyrsim_family_of(m.type);
    size_t size = DBM_PARAM_SIZE;
    std::vector<uint8_t> b(DBM_MAX_MSG, 0);

    put_be32(b, 0, m.type);
    put_be32(b, 4, m.handle);
    put_be32(b, 8, m.ldom);
    put_be32(b, 12, static_cast<uint32_t>(m.status));
    put_be32(b, 16, m.flags);
    put_be32(b, 20, static_cast<uint32_t>(m.extent));
    put_name(b, DBM_KSNAME_OFF, m.ksname, DBM_KSNAME_LEN);

    switch (fam) {
    case KYRSIM_FAM_HELLO:
        put_name(b, DBM_DOMAIN_OFF, m.domain, DBM_DOMAIN_LEN + 1);
        break;
    case KYRSIM_FAM_USER:
    case KYRSIM_FAM_OBJ: {
        size_t pos = recs_off(fam);
        int32_t count = m.count.value_or(static_cast<int32_t>(m.recs.size()));
        if (fam == KYRSIM_FAM_USER) {
            put_be32(b, DBM_NUSERS_OFF, static_cast<uint32_t>(count));
        } else {
            put_bytes(b, DBM_OWNER_OFF, m.owner.data(),
                      m.owner.size() < DBM_OWNER_LEN ? m.owner.size() : DBM_OWNER_LEN);
            put_be32(b, DBM_NOBJS_OFF, static_cast<uint32_t>(count));
        }
        for (const kyrsim_rec &r : m.recs) {
            size_t need = head_size(fam) + r.data.size();
            if (pos + need > DBM_MAX_MSG)
                return EINVAL;
            put_bytes(b, pos, r.id.data(), r.id.size() < id_size(fam) ? r.id.size() : id_size(fam));
            int32_t len = r.len.value_or(static_cast<int32_t>(r.data.size()));
            put_be32(b, pos + id_size(fam), static_cast<uint32_t>(len));
            put_bytes(b, pos + head_size(fam), r.data.data(), r.data.size());
            pos += need;
        }
        size = pos;
        break;
    }
    case KYRSIM_FAM_FILE:
        if (DBM_FILE_DATA_OFF + m.filedata.size() > DBM_MAX_MSG)
            return EINVAL;
        put_be32(b, DBM_FILESIZE_OFF, m.filesize);
        put_bytes(b, DBM_FILE_DATA_OFF, m.filedata.data(), m.filedata.size());
        size = DBM_FILE_DATA_OFF + m.filedata.size();
        break;
    case KYRSIM_FAM_KEYSTORE:
        if (m.type == DB_RENAME)
            put_name(b, DBM_NEWNAME_OFF, m.newname, DBM_NEWNAME_LEN);
        else if (m.type == DB_INIT || m.type == DB_CHECK || m.type == DB_JOIN)
            put_be32(b, DBM_KSTYPE_OFF, m.kstype);
        break;
    case KYRSIM_FAM_HANDSHAKE:
        put_be32(b, DBM_HANDSHAKE0_OFF, m.hs[0]);
        put_be32(b, DBM_HANDSHAKE1_OFF, m.hs[1]);
        break;
    default:
        break;
    }
    int32_t psize = m.paramSize.value_or(static_cast<int32_t>(size));
    put_be32(b, 24, static_cast<uint32_t>(psize));
    // The bytes sent are paramSize bytes when that is a usable length, else
    // the message's own length: a stated paramSize below the header or
    // negative still travels with the message it describes.
    size_t n = size;
    if (psize >= DBM_HDR_SIZE)
        n = psize < DBM_MAX_MSG ? static_cast<size_t>(psize) : DBM_MAX_MSG;
    b.resize(n);
    *out = std::move(b);
    return 0;
}

int kyrsim_msg_decode(const uint8_t *p, size_t n, kyrsim_msg *m)
{
    *m = kyrsim_msg();
    m->raw.assign(p, p + n);
    m->count = 0;
    if (n < DBM_HDR_SIZE)
        return EINVAL;
    m->type = get_be32(p);
    m->handle = get_be32(p + 4);
    m->ldom = get_be32(p + 8);
    m->status = static_cast<int32_t>(get_be32(p + 12));
    m->flags = get_be32(p + 16);
    m->extent = static_cast<int32_t>(get_be32(p + 20));
    const int32_t psize = static_cast<int32_t>(get_be32(p + 24));
    m->paramSize = psize;
    if (n < DBM_KSNAME_OFF + DBM_KSNAME_LEN)
        return 0;
    m->ksname = get_name(p + DBM_KSNAME_OFF, DBM_KSNAME_LEN);

    int fam = kyrsim_family_of(m->type);
    switch (fam) {
    case KYRSIM_FAM_HELLO:
        if (n >= DBM_DOMAIN_OFF + DBM_DOMAIN_LEN)
            m->domain = get_name(p + DBM_DOMAIN_OFF, DBM_DOMAIN_LEN);
        break;
    case KYRSIM_FAM_USER:
    case KYRSIM_FAM_OBJ: {
        size_t pos = recs_off(fam);
        if (n < pos)
            return EINVAL;
        if (fam == KYRSIM_FAM_USER) {
            m->count = static_cast<int32_t>(get_be32(p + DBM_NUSERS_OFF));
        } else {
            m->owner.assign(p + DBM_OWNER_OFF, p + DBM_OWNER_OFF + DBM_OWNER_LEN);
            m->count = static_cast<int32_t>(get_be32(p + DBM_NOBJS_OFF));
        }
        // Records are read only within the bytes that arrived and within
        // paramSize: a count or length pointing past them is a fault.
        size_t end = n;
        if (psize >= DBM_HDR_SIZE && static_cast<size_t>(psize) < end)
            end = static_cast<size_t>(psize);
        const int32_t count = *m->count;
        for (int32_t i = 0; i < count; i++) {
            if (pos + head_size(fam) > end)
                return EINVAL;
            kyrsim_rec r;
            r.id.assign(p + pos, p + pos + id_size(fam));
            const int32_t len = static_cast<int32_t>(get_be32(p + pos + id_size(fam)));
            r.len = len;
            pos += head_size(fam);
            if (len < 0 || static_cast<size_t>(len) > end - pos)
                return EINVAL;
            r.data.assign(p + pos, p + pos + len);
            pos += static_cast<size_t>(len);
            m->recs.push_back(r);
        }
        break;
    }
    case KYRSIM_FAM_FILE: {
        if (n < DBM_FILE_DATA_OFF)
            return EINVAL;
        m->filesize = get_be32(p + DBM_FILESIZE_OFF);
        size_t end = n;
        if (psize >= DBM_FILE_DATA_OFF && static_cast<size_t>(psize) < end)
            end = static_cast<size_t>(psize);
        if (psize < DBM_FILE_DATA_OFF)
            end = DBM_FILE_DATA_OFF;
        m->filedata.assign(p + DBM_FILE_DATA_OFF, p + end);
        break;
    }
    case KYRSIM_FAM_KEYSTORE:
        if (n >= DBM_KSTYPE_OFF + DBM_NEWNAME_LEN) {
            if (m->type == DB_RENAME)
                m->newname = get_name(p + DBM_NEWNAME_OFF, DBM_NEWNAME_LEN);
            else
                m->kstype = get_be32(p + DBM_KSTYPE_OFF);
        }
        break;
    case KYRSIM_FAM_HANDSHAKE:
        m->hs[0] = get_be32(p + DBM_HANDSHAKE0_OFF);
        m->hs[1] = get_be32(p + DBM_HANDSHAKE1_OFF);
        break;
    default:
        break;
    }
    return 0;
}

std::string kyrsim_msg_describe(const kyrsim_msg &m)
{
    char buf[256];
    snprintf(buf, sizeof buf, "%s ks=\"%s\" status=%d flags=0x%x handle=0x%x paramSize=%d",
             kyrsim_type_name(m.type), m.ksname.c_str(), m.status, m.flags, m.handle,
             m.paramSize.value_or(-1));
    std::string s = buf;
    int fam = kyrsim_family_of(m.type);
    if (fam == KYRSIM_FAM_USER || fam == KYRSIM_FAM_OBJ) {
        snprintf(buf, sizeof buf, " records=%d", m.count.value_or(-1));
        s += buf;
    } else if (fam == KYRSIM_FAM_FILE) {
        snprintf(buf, sizeof buf, " filesize=%u data=%zu", m.filesize, m.filedata.size());
        s += buf;
    } else if (fam == KYRSIM_FAM_HELLO) {
        s += " domain=\"" + m.domain + "\"";
    }
    return s;
}
