// In-process firmware for unit tests and benchmarks; see fake_fw.h.
#include "fake_fw.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>

#include <db.h>

#include "qelctl.h"

namespace {

enum reply_kind { R_MSG, R_ACCEPT, R_REFUSE, R_ERRNO };
struct reply {
    reply_kind kind;
    fw_bytes msg;
    int32_t value;
};

struct fw_state {
    std::vector<fw_bytes> sent;
    std::deque<reply> queue;
    std::function<void(size_t, const fw_bytes &)> hook;
    bool record = true;
    size_t total = 0;
    qelkiod_ioctl_fn previous = nullptr;
    bool installed = false;
};
fw_state g_fw;

void put_be32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t get_be32(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void put32(fw_bytes &m, size_t off, uint32_t v, bool net)
{
    if (m.size() < off + 4)
        m.resize(off + 4, 0);
    if (net)
        put_be32(&m[off], v);
    else
        memcpy(&m[off], &v, 4);
}

// The acceptance the card gives to a response or push: a DB_RESPONSE with
// status 0 echoing the parameter block.
void make_accept(unsigned char *m, int32_t status)
{
    put_be32(m + 0, DB_RESPONSE);
    put_be32(m + 12, static_cast<uint32_t>(status));
    put_be32(m + 16, 0);
    put_be32(m + 20, DBM_MAX_MSG);
    put_be32(m + 24, DBM_PARAM_SIZE);
}

int fake_ioctl(int, unsigned long cmd, void *arg)
{
    if (cmd != QELCTLUPCALL) {
        errno = ENOTTY;
        return -1;
    }
    unsigned char *m = static_cast<unsigned char *>(arg);
    int32_t psize = static_cast<int32_t>(get_be32(m + 24));
    size_t n = static_cast<size_t>(std::clamp<int32_t>(psize, DBM_HDR_SIZE, DBM_MAX_MSG));
    fw_bytes copy(m, m + n);
    size_t index = g_fw.total++;
    if (g_fw.hook)
        g_fw.hook(index, copy);
    if (g_fw.record)
        g_fw.sent.push_back(std::move(copy));

    reply r{R_ACCEPT, {}, 0};
    if (!g_fw.queue.empty()) {
        r = std::move(g_fw.queue.front());
        g_fw.queue.pop_front();
    }
    switch (r.kind) {
    case R_MSG:
        memset(m, 0, DBM_MAX_MSG);
        if (!r.msg.empty())
            memcpy(m, r.msg.data(), std::min<size_t>(r.msg.size(), DBM_MAX_MSG));
        return 0;
    case R_ERRNO:
        errno = r.value;
        return -1;
    case R_REFUSE:
        make_accept(m, r.value);
        return 0;
    case R_ACCEPT:
    default:
        make_accept(m, 0);
        return 0;
    }
}

int rm_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

pthread_once_t key_once = PTHREAD_ONCE_INIT;
void make_key() { pthread_key_create(&ptconfkey, nullptr); }

}  // namespace

void fake_fw_install()
{
    if (!g_fw.installed) {
        g_fw.previous = qelkiod_ioctl;
        g_fw.installed = true;
    }
    qelkiod_ioctl = fake_ioctl;
    fake_fw_reset();
}

void fake_fw_uninstall()
{
    if (g_fw.installed) {
        qelkiod_ioctl = g_fw.previous;
        g_fw.installed = false;
    }
    fake_fw_reset();
    g_fw.hook = nullptr;
    g_fw.record = true;
}

void fake_fw_reset()
{
    g_fw.sent.clear();
    g_fw.queue.clear();
    g_fw.total = 0;
}

size_t fake_fw_count() { return g_fw.sent.size(); }
size_t fake_fw_total() { return g_fw.total; }
const fw_bytes &fake_fw_sent(size_t i) { return g_fw.sent.at(i); }
void fake_fw_queue_msg(const fw_bytes &net) { g_fw.queue.push_back({R_MSG, net, 0}); }
void fake_fw_queue_accept() { g_fw.queue.push_back({R_ACCEPT, {}, 0}); }
void fake_fw_queue_refuse(int32_t status) { g_fw.queue.push_back({R_REFUSE, {}, status}); }
void fake_fw_queue_errno(int err) { g_fw.queue.push_back({R_ERRNO, {}, err}); }
void fake_fw_set_hook(std::function<void(size_t, const fw_bytes &)> hook) { g_fw.hook = std::move(hook); }
void fake_fw_set_record(bool on) { g_fw.record = on; }

uint32_t fw_be32(const fw_bytes &m, size_t off)
{
    if (off + 4 > m.size())
        return 0;
    return get_be32(&m[off]);
}

fw_hdr fw_header(const fw_bytes &m)
{
    fw_hdr h;
    h.type = fw_be32(m, 0);
    h.handle = fw_be32(m, 4);
    h.ldom = fw_be32(m, 8);
    h.status = static_cast<int32_t>(fw_be32(m, 12));
    h.flags = fw_be32(m, 16);
    h.extent = static_cast<int32_t>(fw_be32(m, 20));
    h.paramSize = static_cast<int32_t>(fw_be32(m, 24));
    return h;
}

std::string fw_name(const fw_bytes &m, size_t off)
{
    std::string s;
    for (size_t i = off; i < off + DBM_KSNAME_LEN && i < m.size() && m[i] != 0; i++)
        s.push_back(static_cast<char>(m[i]));
    return s;
}

namespace {

bool parse_records(const fw_bytes &m, size_t count_off, size_t first, size_t idlen,
                   std::vector<fw_rec> *out)
{
    out->clear();
    int32_t count = static_cast<int32_t>(fw_be32(m, count_off));
    size_t limit = std::min<size_t>(m.size(), static_cast<size_t>(std::max(fw_header(m).paramSize, 0)));
    size_t pos = first;
    for (int32_t i = 0; i < count; i++) {
        if (pos + idlen + 4 > limit)
            return false;
        int32_t len = static_cast<int32_t>(get_be32(&m[pos + idlen]));
        if (len < 0 || pos + idlen + 4 + static_cast<size_t>(len) > limit)
            return false;
        fw_rec r;
        r.id.assign(reinterpret_cast<const char *>(&m[pos]), idlen);
        r.data.assign(reinterpret_cast<const char *>(&m[pos + idlen + 4]), static_cast<size_t>(len));
        out->push_back(std::move(r));
        pos += idlen + 4 + static_cast<size_t>(len);
    }
    return pos == limit;
}

}  // namespace

bool fw_user_parse(const fw_bytes &m, std::vector<fw_rec> *out)
{
    return parse_records(m, DBM_NUSERS_OFF, DBM_USERS_OFF, DBM_USER_ID_LEN, out);
}

bool fw_obj_parse(const fw_bytes &m, std::string *owner, std::vector<fw_rec> *out)
{
    if (owner != nullptr && m.size() >= DBM_OWNER_OFF + DBM_OWNER_LEN)
        owner->assign(reinterpret_cast<const char *>(&m[DBM_OWNER_OFF]), DBM_OWNER_LEN);
    return parse_records(m, DBM_NOBJS_OFF, DBM_OBJS_OFF, DBM_OBJ_ID_LEN, out);
}

std::string fw_uid(unsigned n)
{
    std::string id(DBM_USER_ID_LEN, '\0');
    id[0] = 'U';
    for (int i = 0; i < 4; i++)
        id[16 + i] = static_cast<char>((n >> (24 - 8 * i)) & 0xff);
    return id;
}

std::string fw_oid(uint32_t hi, uint32_t lo)
{
    unsigned char b[8];
    put_be32(b, hi);
    put_be32(b + 4, lo);
    return std::string(reinterpret_cast<char *>(b), 8);
}

namespace {

fw_bytes make_base(uint32_t type, const std::string &name, uint32_t flags, bool net)
{
    fw_bytes m(DBM_PARAM_SIZE, 0);
    put32(m, 0, type, net);
    put32(m, 4, 0x01000007u, net);   // handle: device 1, request 7
    put32(m, 8, 3, net);             // ldom
    put32(m, 16, flags, net);
    put32(m, 20, DBM_MAX_MSG, net);
    memcpy(&m[DBM_KSNAME_OFF], name.data(), std::min<size_t>(name.size(), DBM_KSNAME_LEN));
    return m;
}

void append_records(fw_bytes &m, size_t first, size_t idlen, const std::vector<fw_rec> &recs,
                    bool ids_only, bool net)
{
    m.resize(first);
    for (const fw_rec &r : recs) {
        size_t pos = m.size();
        m.resize(pos + idlen + 4, 0);
        memcpy(&m[pos], r.id.data(), std::min(r.id.size(), idlen));
        uint32_t len = ids_only ? 0 : static_cast<uint32_t>(r.data.size());
        put32(m, pos + idlen, len, net);
        if (!ids_only)
            m.insert(m.end(), r.data.begin(), r.data.end());
    }
}

}  // namespace

fw_bytes fw_make_user_msg(uint32_t type, const std::string &ksname, uint32_t flags,
                          const std::vector<fw_rec> &recs, bool ids_only, bool net)
{
    fw_bytes m = make_base(type, ksname, flags, net);
    put32(m, DBM_NUSERS_OFF, static_cast<uint32_t>(recs.size()), net);
    append_records(m, DBM_USERS_OFF, DBM_USER_ID_LEN, recs, ids_only, net);
    if (m.size() < DBM_PARAM_SIZE)
        m.resize(DBM_PARAM_SIZE, 0);
    size_t used = DBM_USERS_OFF;
    for (const fw_rec &r : recs)
        used += DBM_USER_HEAD + (ids_only ? 0 : r.data.size());
    put32(m, 24, static_cast<uint32_t>(used), net);
    return m;
}

fw_bytes fw_make_obj_msg(uint32_t type, const std::string &ksname, uint32_t flags,
                         const std::string &owner, const std::vector<fw_rec> &recs,
                         bool ids_only, bool net)
{
    fw_bytes m = make_base(type, ksname, flags, net);
    memcpy(&m[DBM_OWNER_OFF], owner.data(), std::min<size_t>(owner.size(), DBM_OWNER_LEN));
    put32(m, DBM_NOBJS_OFF, static_cast<uint32_t>(recs.size()), net);
    append_records(m, DBM_OBJS_OFF, DBM_OBJ_ID_LEN, recs, ids_only, net);
    size_t used = DBM_OBJS_OFF;
    for (const fw_rec &r : recs)
        used += DBM_OBJ_HEAD + (ids_only ? 0 : r.data.size());
    if (m.size() < DBM_PARAM_SIZE)
        m.resize(DBM_PARAM_SIZE, 0);
    put32(m, 24, static_cast<uint32_t>(used), net);
    return m;
}

fw_bytes fw_make_file_msg(uint32_t type, const std::string &file, uint32_t flags,
                          uint32_t filesize, const std::string &data, bool net)
{
    fw_bytes m = make_base(type, file, flags, net);
    put32(m, DBM_FILESIZE_OFF, filesize, net);
    m.resize(DBM_FILE_DATA_OFF);
    m.insert(m.end(), data.begin(), data.end());
    put32(m, 24, static_cast<uint32_t>(DBM_FILE_DATA_OFF + data.size()), net);
    if (m.size() < DBM_PARAM_SIZE)
        m.resize(DBM_PARAM_SIZE, 0);
    return m;
}

fw_bytes fw_make_ks_msg(uint32_t type, const std::string &ksname, uint32_t kstype, bool net)
{
    fw_bytes m = make_base(type, ksname, 0, net);
    put32(m, DBM_KSTYPE_OFF, kstype, net);
    put32(m, 24, DBM_PARAM_SIZE, net);
    return m;
}

void fw_load(upcall_buf *buf, const fw_bytes &host)
{
    memset(buf->msg, 0, sizeof(buf->msg));
    memcpy(buf->msg, host.data(), std::min(host.size(), sizeof(buf->msg)));
}

int fake_ks_init(fake_ks *k, const std::string &name, dbm_kstype_t kstype)
{
    pthread_once(&key_once, make_key);
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kyrks.XXXXXX";
    std::vector<char> t(templ.begin(), templ.end());
    t.push_back('\0');
    if (mkdtemp(t.data()) == nullptr)
        return errno;
    k->dir = t.data();
    k->name = name;
    k->buf = static_cast<upcall_buf *>(calloc(1, DBM_UPCALL_BUFSZ));
    k->ks = create_kstinfo(name.c_str(), kstype);
    if (k->buf == nullptr || k->ks == nullptr)
        return ENOMEM;
    k->buf->fd = -1;
    k->buf->ksdir = k->dir.c_str();
    return pthread_setspecific(ptconfkey, k->ks);
}

void fake_ks_fini(fake_ks *k)
{
    if (k->ks != nullptr && pthread_getspecific(ptconfkey) == k->ks)
        pthread_setspecific(ptconfkey, nullptr);
    free_kstinfo(k->ks);
    k->ks = nullptr;
    free(k->buf);
    k->buf = nullptr;
    if (!k->dir.empty())
        nftw(k->dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
    k->dir.clear();
}

std::vector<std::string> fw_list_dir(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string fw_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool fw_write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

namespace {

// Opens an environment and one database for a test's own look at the disk.
bool open_env_db(const std::string &envdir, const char *dbname, DB_ENV **env, DB **db)
{
    *env = nullptr;
    *db = nullptr;
    if (db_env_create(env, 0) != 0)
        return false;
    u_int32_t fl = DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL | DB_INIT_TXN;
    if ((*env)->open(*env, envdir.c_str(), fl, 0) != 0 || db_create(db, *env, 0) != 0) {
        (*env)->close(*env, 0);
        *env = nullptr;
        return false;
    }
    if ((*db)->open(*db, nullptr, dbname, nullptr, DB_UNKNOWN, DB_AUTO_COMMIT, 0) != 0) {
        (*db)->close(*db, 0);
        (*env)->close(*env, 0);
        *env = nullptr;
        *db = nullptr;
        return false;
    }
    return true;
}

}  // namespace

bool fw_dump_db(const std::string &envdir, const char *dbname,
                std::vector<std::pair<std::string, std::string>> *out)
{
    out->clear();
    DB_ENV *env;
    DB *db;
    if (!open_env_db(envdir, dbname, &env, &db))
        return false;
    DBC *c = nullptr;
    bool ok = db->cursor(db, nullptr, &c, 0) == 0;
    if (ok) {
        DBT k, v;
        memset(&k, 0, sizeof(k));
        memset(&v, 0, sizeof(v));
        int ret;
        while ((ret = c->get(c, &k, &v, DB_NEXT)) == 0)
            out->emplace_back(std::string(static_cast<char *>(k.data), k.size),
                              std::string(static_cast<char *>(v.data), v.size));
        ok = ret == DB_NOTFOUND;
        c->close(c);
    }
    db->close(db, 0);
    env->close(env, 0);
    return ok;
}

bool fw_put_db(const std::string &envdir, const char *dbname, const std::string &key,
               const std::string &data)
{
    DB_ENV *env;
    DB *db;
    if (!open_env_db(envdir, dbname, &env, &db))
        return false;
    DBT k, v;
    memset(&k, 0, sizeof(k));
    memset(&v, 0, sizeof(v));
    k.data = const_cast<char *>(key.data());
    k.size = static_cast<u_int32_t>(key.size());
    v.data = const_cast<char *>(data.data());
    v.size = static_cast<u_int32_t>(data.size());
    bool ok = db->put(db, nullptr, &k, &v, DB_AUTO_COMMIT) == 0;
    db->close(db, 0);
    env->close(env, 0);
    return ok;
}
