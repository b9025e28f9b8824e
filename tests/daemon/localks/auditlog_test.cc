// Local audit log: rotation test and rotation, stamped and key-set writes,
// refusal of malformed messages, and reads of all / newest / oldest entries.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "fake_fw.h"
#include "localks/localks.h"

namespace {

// A log entry whose key sorts by `seq`: key bytes 0..3 = seq (big-endian),
// 8..15 = the ID, then `extra` payload bytes after the 32-byte key.
fw_rec log_entry(uint32_t seq, size_t extra = 8)
{
    fw_rec r;
    r.id = fw_oid(0xab, seq);
    std::string d(DBM_LOG_KEY_LEN + extra, '\0');
    d[0] = char(seq >> 24);
    d[1] = char(seq >> 16);
    d[2] = char(seq >> 8);
    d[3] = char(seq);
    d.replace(8, 8, r.id);
    for (size_t i = DBM_LOG_KEY_LEN; i < d.size(); i++)
        d[i] = char('a' + (seq + i) % 26);
    r.data = d;
    return r;
}

uint32_t seq_of(const fw_rec &r)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(r.data.data());
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

class AuditLog : public ::testing::Test {
protected:
    fake_ks k;
    ks_handle h;
    int saved_limit = 0;

    void SetUp() override
    {
        saved_limit = mconf.auditloglimit;
        mconf.auditloglimit = 500;
        ASSERT_EQ(0, fake_ks_init(&k, "audit.host.{1}", DBM_KS_LOCAL));
        fake_fw_install();
        fw_load(k.buf, fw_make_ks_msg(DB_INIT, k.name, DBM_KS_LOCAL, false));
        ASSERT_EQ(0, localks_db_make(k.buf));
        open_log(KS_AUDITLOG_DB);
    }
    void TearDown() override
    {
        ks_handle_close(&h, DBM_KS_LOCAL);
        fake_fw_uninstall();
        fake_ks_fini(&k);
        mconf.auditloglimit = saved_limit;
    }
    void open_log(const char *dbname)
    {
        memset(&h, 0, sizeof(h));
        h.dbname = dbname;
        fw_load(k.buf, fw_make_ks_msg(DB_READ, k.name, 0, false));
        ASSERT_EQ(0, ks_handle_open(&h, k.buf, DBM_KS_LOCAL));
    }
    int write(const std::vector<fw_rec> &recs, uint32_t flags)
    {
        fw_load(k.buf, fw_make_obj_msg(DB_LOG_WRITE, k.name, flags, std::string(20, '\0'), recs,
                                       false, false));
        return write_log_entries(h.env, h.db, k.buf);
    }
    void fill(uint32_t first, uint32_t n)
    {
        std::vector<fw_rec> recs;
        for (uint32_t i = first; i < first + n; i++)
            recs.push_back(log_entry(i));
        ASSERT_EQ(0, write(recs, DBM_FLAG_KEY_SET));
    }
    uint32_t count(DB *db)
    {
        DB_BTREE_STAT *st = nullptr;
        EXPECT_EQ(0, db->stat(db, nullptr, &st, 0));
        uint32_t n = st ? st->bt_nkeys : 0;
        free(st);
        return n;
    }
    // Reads with count r and returns the sequence numbers received.
    std::vector<uint32_t> read(int32_t r, uint32_t flags, size_t *pushes = nullptr)
    {
        fw_load(k.buf, fw_make_obj_msg(DB_LOG_READ, k.name, flags, std::string(20, '\0'), {},
                                       true, false));
        msg_put32(k.buf->msg, DBM_NOBJS_OFF, r);
        size_t before = fake_fw_count();
        EXPECT_EQ(0, read_log_entries(h.db, k.buf));
        std::vector<uint32_t> seqs;
        for (size_t i = before; i < fake_fw_count(); i++) {
            const fw_bytes &m = fake_fw_sent(i);
            fw_hdr hd = fw_header(m);
            EXPECT_EQ(uint32_t(DB_LOG_PUSH), hd.type);
            EXPECT_EQ(flags & DBM_FLAG_OLD_LOG, hd.flags & DBM_FLAG_OLD_LOG);
            // only the last push lacks DBM_FLAG_MORE
            EXPECT_EQ(i + 1 < fake_fw_count(), (hd.flags & DBM_FLAG_MORE) != 0);
            std::string owner;
            std::vector<fw_rec> recs;
            EXPECT_TRUE(fw_obj_parse(m, &owner, &recs));
            for (const fw_rec &rec : recs) {
                EXPECT_EQ(rec.data.substr(8, 8), rec.id);  // ID from key bytes 8..15
                seqs.push_back(seq_of(rec));
            }
        }
        if (pushes)
            *pushes = fake_fw_count() - before;
        return seqs;
    }
};

std::vector<uint32_t> range(uint32_t a, uint32_t b)
{
    std::vector<uint32_t> v;
    for (uint32_t i = a; i <= b; i++)
        v.push_back(i);
    return v;
}

TEST_F(AuditLog, RotationNeededOnlyPastTheLimit)
{
    fill(1, 495);
    EXPECT_EQ(0, localks_rotation_req(h.db, 5));
    EXPECT_EQ(1, localks_rotation_req(h.db, 6));
    EXPECT_EQ(0, localks_rotation_req(h.db, 0));
    EXPECT_EQ(0, localks_rotation_req(h.db, -7));  // no records
    // A huge count must not wrap around below the limit.
    mconf.auditloglimit = -1;  // 0xffffffff as unsigned
    EXPECT_EQ(0, localks_rotation_req(h.db, 1000));
    mconf.auditloglimit = 500;
    EXPECT_EQ(1, localks_rotation_req(h.db, INT_MAX));
}

TEST_F(AuditLog, RotateKeepsOnlyThePreviousGeneration)
{
    fill(1, 3);
    ASSERT_EQ(0, localks_log_rotate(&h));
    EXPECT_STREQ(KS_AUDITLOG_DB, h.dbname);
    ASSERT_NE(nullptr, h.db);
    EXPECT_EQ(0u, count(h.db));
    fill(10, 2);
    ASSERT_EQ(0, localks_log_rotate(&h));
    fill(20, 1);
    EXPECT_EQ(std::vector<uint32_t>({20}), read(0, 0));
    ks_handle_close(&h, DBM_KS_LOCAL);
    open_log(KS_AUDITLOG_OLD_DB);
    EXPECT_EQ(std::vector<uint32_t>({10, 11}), read(0, DBM_FLAG_OLD_LOG));
}

TEST_F(AuditLog, RotateWithoutOldLogFile)
{
    ks_handle_close(&h, DBM_KS_LOCAL);
    ASSERT_EQ(0, unlink((k.dir + "/" + k.name + "/" + KS_AUDITLOG_OLD_DB).c_str()));
    open_log(KS_AUDITLOG_DB);
    fill(1, 2);
    ASSERT_EQ(0, localks_log_rotate(&h));
    EXPECT_EQ(0u, count(h.db));
}

TEST_F(AuditLog, WriteStampsKeyUnlessKeySet)
{
    fw_rec e = log_entry(7);
    tzset();
    time_t before = time(nullptr) - timezone;
    ASSERT_EQ(0, write({e}, 0));
    time_t after = time(nullptr) - timezone;
    // The answer is one DB_RESPONSE with status 0.
    ASSERT_EQ(1u, fake_fw_count());
    EXPECT_EQ(uint32_t(DB_RESPONSE), fw_header(fake_fw_sent(0)).type);
    EXPECT_EQ(0, fw_header(fake_fw_sent(0)).status);

    DBC *cur = nullptr;
    ASSERT_EQ(0, h.db->cursor(h.db, nullptr, &cur, 0));
    DBT key, val;
    memset(&key, 0, sizeof(key));
    memset(&val, 0, sizeof(val));
    ASSERT_EQ(0, cur->get(cur, &key, &val, DB_FIRST));
    ASSERT_EQ(32u, key.size);
    ASSERT_EQ(e.data.size(), val.size);
    const unsigned char *d = static_cast<unsigned char *>(val.data);
    uint32_t stamp = (uint32_t(d[4]) << 24) | (uint32_t(d[5]) << 16) | (uint32_t(d[6]) << 8) | d[7];
    EXPECT_GE(stamp, uint32_t(before));
    EXPECT_LE(stamp, uint32_t(after));
    EXPECT_EQ(0, memcmp(d + 8, e.id.data(), 8));
    EXPECT_EQ(0, memcmp(key.data, val.data, 32));
    EXPECT_EQ(0, memcmp(d + 32, e.data.data() + 32, e.data.size() - 32));
    cur->close(cur);

    // Key set: stored exactly as sent, and the same key replaces the entry.
    fw_rec f = log_entry(9);
    f.data[5] = 0x5a;
    ASSERT_EQ(0, write({f}, DBM_FLAG_KEY_SET));
    f.data[40] = 'Z';
    ASSERT_EQ(0, write({f}, DBM_FLAG_KEY_SET));
    EXPECT_EQ(2u, count(h.db));
    DBT k2, v2;
    memset(&k2, 0, sizeof(k2));
    memset(&v2, 0, sizeof(v2));
    k2.data = &f.data[0];
    k2.size = 32;
    ASSERT_EQ(0, h.db->get(h.db, nullptr, &k2, &v2, 0));
    EXPECT_EQ(f.data, std::string(static_cast<char *>(v2.data), v2.size));
}

TEST_F(AuditLog, ShortEntryRefusesWholeMessage)
{
    fw_rec good = log_entry(1);
    fw_rec shortrec;
    shortrec.id = fw_oid(1, 2);
    shortrec.data = std::string(20, 'x');
    EXPECT_EQ(EINVAL, write({good, shortrec}, 0));
    EXPECT_EQ(0u, count(h.db));
    EXPECT_EQ(0u, fake_fw_count());  // nothing answered: the service loop does it
}

TEST_F(AuditLog, MultiMessageWriteStoresEveryPart)
{
    fw_bytes second = fw_make_obj_msg(DB_LOG_WRITE, k.name, DBM_FLAG_KEY_SET,
                                      std::string(20, '\0'), {log_entry(3), log_entry(4)}, false,
                                      true);
    fake_fw_queue_msg(second);
    ASSERT_EQ(0, write({log_entry(1), log_entry(2)}, DBM_FLAG_KEY_SET | DBM_FLAG_MORE));
    EXPECT_EQ(2u, fake_fw_count());
    EXPECT_EQ(range(1, 4), read(0, 0));
}

TEST_F(AuditLog, ReadSelectsNewestOldestOrAll)
{
    fill(1, 10);
    EXPECT_EQ(range(8, 10), read(3, 0));
    EXPECT_EQ(range(1, 3), read(-3, 0));
    EXPECT_EQ(range(1, 10), read(0, 0));
    EXPECT_EQ(range(1, 10), read(10, 0));
    EXPECT_EQ(range(1, 10), read(11, 0));
    EXPECT_EQ(range(1, 10), read(-10, 0));
    EXPECT_EQ(range(1, 10), read(INT_MIN, 0));
    EXPECT_EQ(range(10, 10), read(1, 0));
    EXPECT_EQ(range(2, 10), read(9, DBM_FLAG_OLD_LOG));  // flag kept, same database here
}

TEST_F(AuditLog, EmptyLogSendsOneEmptyPush)
{
    size_t pushes = 0;
    EXPECT_TRUE(read(0, DBM_FLAG_OLD_LOG, &pushes).empty());
    EXPECT_EQ(1u, pushes);
    EXPECT_TRUE(read(5, 0, &pushes).empty());
    EXPECT_EQ(1u, pushes);
}

TEST_F(AuditLog, LargeEntriesSpreadOverPushesWhole)
{
    for (uint32_t i = 1; i <= 12; i += 3)
        ASSERT_EQ(0, write({log_entry(i, 15000), log_entry(i + 1, 15000), log_entry(i + 2, 15000)},
                           DBM_FLAG_KEY_SET));
    size_t pushes = 0;
    EXPECT_EQ(range(1, 12), read(0, DBM_FLAG_OLD_LOG, &pushes));
    EXPECT_EQ(3u, pushes);  // four records of 15044 bytes fill one push
    EXPECT_EQ(range(5, 12), read(8, 0, &pushes));
    EXPECT_EQ(2u, pushes);
}

TEST_F(AuditLog, OversizedStoredEntryFailsTheRead)
{
    fill(1, 2);
    std::string big(DBM_MAX_OBJ_DATA + 1, 'q');
    big[0] = 0x7f;  // sorts last
    DBT key, val;
    memset(&key, 0, sizeof(key));
    memset(&val, 0, sizeof(val));
    key.data = &big[0];
    key.size = 32;
    val.data = &big[0];
    val.size = static_cast<uint32_t>(big.size());
    ASSERT_EQ(0, h.db->put(h.db, nullptr, &key, &val, 0));
    fw_load(k.buf, fw_make_obj_msg(DB_LOG_READ, k.name, 0, std::string(20, '\0'), {}, true, false));
    size_t before = fake_fw_count();
    EXPECT_EQ(EINVAL, read_log_entries(h.db, k.buf));
    EXPECT_LE(fake_fw_count() - before, 1u);  // never a stream of empty pushes
}

TEST_F(AuditLog, RefusedPushEndsTheRead)
{
    for (uint32_t i = 1; i <= 6; i += 3)
        ASSERT_EQ(0, write({log_entry(i, 15000), log_entry(i + 1, 15000), log_entry(i + 2, 15000)},
                           DBM_FLAG_KEY_SET));
    fake_fw_reset();
    fake_fw_queue_refuse(EIO);
    fw_load(k.buf, fw_make_obj_msg(DB_LOG_READ, k.name, 0, std::string(20, '\0'), {}, true, false));
    EXPECT_EQ(EIO, read_log_entries(h.db, k.buf));
    EXPECT_EQ(1u, fake_fw_count());
}

}  // namespace
