// DB_LOG_WRITE and DB_LOG_READ handlers: the once-per-upcall rotation test,
// key-set writes, refusal before rotation, and the choice of log.
#include <gtest/gtest.h>

#include <cstring>

#include "fake_fw.h"
#include "localks/localks.h"

namespace {

fw_rec log_entry(uint32_t seq)
{
    fw_rec r;
    r.id = fw_oid(0x10, seq);
    std::string d(DBM_LOG_KEY_LEN + 4, 'p');
    d.replace(0, 4, std::string{char(seq >> 24), char(seq >> 16), char(seq >> 8), char(seq)});
    d.replace(4, 4, std::string(4, '\0'));
    d.replace(8, 8, r.id);
    r.data = d;
    return r;
}

std::vector<fw_rec> entries(uint32_t first, uint32_t n)
{
    std::vector<fw_rec> v;
    for (uint32_t i = first; i < first + n; i++)
        v.push_back(log_entry(i));
    return v;
}

class LogOps : public ::testing::Test {
protected:
    fake_ks k;
    int saved_limit = 0;

    void SetUp() override
    {
        saved_limit = mconf.auditloglimit;
        mconf.auditloglimit = 500;
        ASSERT_EQ(0, fake_ks_init(&k, "logs.host.{2}", DBM_KS_LOCAL));
        fake_fw_install();
        fw_load(k.buf, fw_make_ks_msg(DB_INIT, k.name, DBM_KS_LOCAL, false));
        ASSERT_EQ(0, localks_db_make(k.buf));
    }
    void TearDown() override
    {
        fake_fw_uninstall();
        fake_ks_fini(&k);
        mconf.auditloglimit = saved_limit;
    }
    int log_write(const std::vector<fw_rec> &recs, uint32_t flags)
    {
        fw_load(k.buf, fw_make_obj_msg(DB_LOG_WRITE, k.name, flags, std::string(20, '\0'), recs,
                                       false, false));
        return task_log_write(k.buf);
    }
    // Entry count of one log, read through the backend's own handle.
    uint32_t count(const char *dbname)
    {
        ks_handle h;
        memset(&h, 0, sizeof(h));
        h.dbname = dbname;
        upcall_buf *b = static_cast<upcall_buf *>(calloc(1, DBM_UPCALL_BUFSZ));
        b->ksdir = k.buf->ksdir;
        fw_load(b, fw_make_ks_msg(DB_READ, k.name, 0, false));
        uint32_t n = UINT32_MAX;
        if (ks_handle_open(&h, b, DBM_KS_LOCAL) == 0) {
            DB_BTREE_STAT *st = nullptr;
            if (h.db->stat(h.db, nullptr, &st, 0) == 0) {
                n = st->bt_nkeys;
                free(st);
            }
            ks_handle_close(&h, DBM_KS_LOCAL);
        }
        free(b);
        return n;
    }
    std::vector<uint32_t> read_seqs(int32_t r, uint32_t flags)
    {
        fw_load(k.buf, fw_make_obj_msg(DB_LOG_READ, k.name, flags, std::string(20, '\0'), {},
                                       true, false));
        msg_put32(k.buf->msg, DBM_NOBJS_OFF, r);
        size_t before = fake_fw_count();
        EXPECT_EQ(0, task_log_read(k.buf));
        std::vector<uint32_t> seqs;
        for (size_t i = before; i < fake_fw_count(); i++) {
            EXPECT_EQ(flags & DBM_FLAG_OLD_LOG, fw_header(fake_fw_sent(i)).flags & DBM_FLAG_OLD_LOG);
            std::string owner;
            std::vector<fw_rec> recs;
            EXPECT_TRUE(fw_obj_parse(fake_fw_sent(i), &owner, &recs));
            for (const fw_rec &rec : recs)
                seqs.push_back(fw_be32(fw_bytes(rec.data.begin(), rec.data.end()), 0));
        }
        return seqs;
    }
};

TEST_F(LogOps, WritePastTheLimitRotatesFirst)
{
    ASSERT_EQ(0, log_write(entries(1, 495), 0));
    ASSERT_EQ(0, log_write(entries(1000, 6), 0));
    EXPECT_EQ(6u, count(KS_AUDITLOG_DB));
    EXPECT_EQ(495u, count(KS_AUDITLOG_OLD_DB));
    // The 6 are the whole new log (keys stamped: compare by ID).
    std::vector<uint32_t> ids;
    fw_load(k.buf, fw_make_obj_msg(DB_LOG_READ, k.name, 0, std::string(20, '\0'), {}, true, false));
    size_t before = fake_fw_count();
    ASSERT_EQ(0, task_log_read(k.buf));
    for (size_t i = before; i < fake_fw_count(); i++) {
        std::string owner;
        std::vector<fw_rec> recs;
        ASSERT_TRUE(fw_obj_parse(fake_fw_sent(i), &owner, &recs));
        for (const fw_rec &rec : recs)
            ids.push_back(fw_be32(fw_bytes(rec.id.begin(), rec.id.end()), 4));
    }
    EXPECT_EQ(std::vector<uint32_t>({1000, 1001, 1002, 1003, 1004, 1005}), ids);
}

TEST_F(LogOps, ContinuationMessagesAreNotTestedAgain)
{
    ASSERT_EQ(0, log_write(entries(1, 495), DBM_FLAG_KEY_SET));
    fake_fw_queue_msg(fw_make_obj_msg(DB_LOG_WRITE, k.name, 0, std::string(20, '\0'),
                                      entries(2000, 10), false, true));
    ASSERT_EQ(0, log_write(entries(1000, 5), DBM_FLAG_MORE));
    EXPECT_EQ(510u, count(KS_AUDITLOG_DB));
    EXPECT_EQ(0u, count(KS_AUDITLOG_OLD_DB));
}

TEST_F(LogOps, MalformedWriteIsRefusedBeforeRotation)
{
    ASSERT_EQ(0, log_write(entries(1, 495), DBM_FLAG_KEY_SET));
    std::vector<fw_rec> recs = entries(1000, 6);
    recs[3].data.resize(31);
    EXPECT_EQ(EINVAL, log_write(recs, 0));
    EXPECT_EQ(495u, count(KS_AUDITLOG_DB));
    EXPECT_EQ(0u, count(KS_AUDITLOG_OLD_DB));
}

TEST_F(LogOps, OldLogFlagSelectsThePreviousLog)
{
    ASSERT_EQ(0, log_write(entries(1, 3), DBM_FLAG_KEY_SET));
    ASSERT_EQ(0, log_write(entries(50, 2), DBM_FLAG_KEY_SET | DBM_FLAG_OLD_LOG));
    EXPECT_EQ(std::vector<uint32_t>({1, 2, 3}), read_seqs(0, 0));
    EXPECT_EQ(std::vector<uint32_t>({50, 51}), read_seqs(0, DBM_FLAG_OLD_LOG));
    EXPECT_EQ(std::vector<uint32_t>({2, 3}), read_seqs(2, 0));
    EXPECT_EQ(std::vector<uint32_t>({50}), read_seqs(-1, DBM_FLAG_OLD_LOG));
}

TEST_F(LogOps, ReadOfMissingOldLogCreatesItEmpty)
{
    std::string old = k.dir + "/" + k.name + "/" + KS_AUDITLOG_OLD_DB;
    ASSERT_EQ(0, unlink(old.c_str()));
    EXPECT_TRUE(read_seqs(0, DBM_FLAG_OLD_LOG).empty());
    EXPECT_EQ(0, access(old.c_str(), F_OK));
}

TEST(LogReadConversion, CountIsNotARecordCount)
{
    // A log read asks for the newest r entries and carries no records: the
    // conversion must take nobjs as a number, not walk r records.
    for (int32_t r : {3, -3, 0, 1000000}) {
        fw_bytes net = fw_make_obj_msg(DB_LOG_READ, "ks.h.{1}", DBM_FLAG_OLD_LOG,
                                       std::string(20, '\0'), {}, true, true);
        net.resize(DBM_OBJS_OFF, 0);
        uint32_t be = __builtin_bswap32(static_cast<uint32_t>(r));
        memcpy(&net[DBM_NOBJS_OFF], &be, 4);
        std::vector<unsigned char> m(DBM_MSG_AREA, 0);
        memcpy(m.data(), net.data(), net.size());
        ASSERT_EQ(0, prep_ioctl_bswap(m.data(), BSWAP_TO_HOST)) << r;
        EXPECT_EQ(r, msg_get32(m.data(), DBM_NOBJS_OFF));
        EXPECT_EQ(uint32_t(DB_LOG_READ), msg_hdr(m.data())->type);
        ASSERT_EQ(0, prep_ioctl_bswap(m.data(), BSWAP_TO_NETWORK));
        EXPECT_EQ(0, memcmp(m.data(), net.data(), net.size())) << r;
    }
}

TEST_F(LogOps, WithoutKeystoreInformationTheHandlersFail)
{
    pthread_setspecific(ptconfkey, nullptr);
    fw_load(k.buf, fw_make_obj_msg(DB_LOG_READ, k.name, 0, std::string(20, '\0'), {}, true, false));
    EXPECT_NE(0, task_log_read(k.buf));
    EXPECT_NE(0, log_write(entries(1, 1), 0));
    EXPECT_EQ(0u, fake_fw_count());
    pthread_setspecific(ptconfkey, k.ks);
    EXPECT_EQ(0u, count(KS_AUDITLOG_DB));
}

}  // namespace
