// Message builders, space rules, conversion and the bounded record walk.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "upcall.h"

namespace {

struct Msg {
    std::vector<unsigned char> b = std::vector<unsigned char>(DBM_MSG_AREA, 0);
    unsigned char *p() { return b.data(); }
    dbm_header_t *h() { return msg_hdr(b.data()); }
};

uint32_t be32(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// A host-order user message with the given data lengths, built by hand.
Msg user_msg(dbm_op_t type, const std::vector<int> &lens)
{
    Msg m;
    m.h()->type = type;
    m.h()->handle = 0x01000007;
    m.h()->extent = DBM_MAX_MSG;
    msg_set_name(m.p(), DBM_KSNAME_OFF, "ks.host.{1}");
    size_t pos = DBM_USERS_OFF;
    for (size_t i = 0; i < lens.size(); i++) {
        memset(m.p() + pos, int(0xa0 + i), DBM_USER_ID_LEN);
        msg_put32(m.p(), pos + DBM_USER_ID_LEN, lens[i]);
        memset(m.p() + pos + DBM_USER_HEAD, int(i + 1), size_t(lens[i]));
        pos += DBM_USER_HEAD + size_t(lens[i]);
    }
    msg_put32(m.p(), DBM_NUSERS_OFF, int32_t(lens.size()));
    m.h()->paramSize = int32_t(pos);
    return m;
}

TEST(Builders, ResponseKeepsHandleLdomAndParameterBlock)
{
    Msg m = user_msg(DB_USER_WRITE, {100, 200});
    m.h()->ldom = 42;
    m.h()->flags = DBM_FLAG_MORE;
    make_response(m.h(), EIO);
    EXPECT_EQ(uint32_t(DB_RESPONSE), m.h()->type);
    EXPECT_EQ(EIO, m.h()->status);
    EXPECT_EQ(0u, m.h()->flags);
    EXPECT_EQ(DBM_MAX_MSG, m.h()->extent);
    EXPECT_EQ(DBM_PARAM_SIZE, m.h()->paramSize);
    EXPECT_EQ(0x01000007u, m.h()->handle);
    EXPECT_EQ(42u, m.h()->ldom);
    char name[DBM_KSNAME_LEN];
    ASSERT_EQ(0, msg_get_name(m.p(), DBM_KSNAME_OFF, name));
    EXPECT_STREQ("ks.host.{1}", name);
}

TEST(Builders, PushInitialisersResetCountAndKeepOwner)
{
    Msg m;
    m.h()->status = 9;
    memset(m.p() + DBM_OWNER_OFF, 0x5a, DBM_OWNER_LEN);
    msg_put32(m.p(), DBM_NOBJS_OFF, 77);
    init_db_log_push(m.h());
    EXPECT_EQ(uint32_t(DB_LOG_PUSH), m.h()->type);
    EXPECT_EQ(116, m.h()->paramSize);
    EXPECT_EQ(0, msg_get32(m.p(), DBM_NOBJS_OFF));
    EXPECT_EQ(9, m.h()->status);
    EXPECT_EQ(0x5a, m.p()[DBM_OWNER_OFF + 19]);
    init_db_obj_push(m.h());
    EXPECT_EQ(uint32_t(DB_OBJECT_PUSH), m.h()->type);
    msg_put32(m.p(), DBM_NUSERS_OFF, 5);
    init_db_user_push(m.h());
    EXPECT_EQ(uint32_t(DB_USER_PUSH), m.h()->type);
    EXPECT_EQ(96, m.h()->paramSize);
    EXPECT_EQ(0, msg_get32(m.p(), DBM_NUSERS_OFF));
}

TEST(Builders, UserRecordFitsExactlyAtTheLimit)
{
    Msg m;
    // 96 + 24 + L <= 61423
    EXPECT_TRUE(space_exists_user(m.p(), DBM_USERS_OFF, 61303));
    EXPECT_FALSE(space_exists_user(m.p(), DBM_USERS_OFF, 61304));
    EXPECT_TRUE(space_exists_obj(m.p(), DBM_OBJS_OFF, 61295));
    EXPECT_FALSE(space_exists_obj(m.p(), DBM_OBJS_OFF, 61296));
    EXPECT_FALSE(space_exists_obj(m.p(), DBM_OBJS_OFF, size_t(-1)));
}

TEST(Builders, LoadAdvancesCountAndSize)
{
    Msg m;
    init_db_user_push(m.h());
    unsigned char id[32];
    memset(id, 0x11, sizeof(id));
    unsigned char data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    size_t pos = load_user(m.p(), DBM_USERS_OFF, id, sizeof(id), data, sizeof(data));
    EXPECT_EQ(size_t(DBM_USERS_OFF + 24 + 10), pos);
    pos = load_user(m.p(), pos, id, 4, data, 0);
    EXPECT_EQ(2, msg_get32(m.p(), DBM_NUSERS_OFF));
    EXPECT_EQ(int32_t(96 + 34 + 24), m.h()->paramSize);
    // Only min(ID length, 20) bytes are written.
    EXPECT_EQ(0x11, m.p()[DBM_USERS_OFF + 19]);
    EXPECT_EQ(10, msg_get32(m.p(), DBM_USERS_OFF + 20));

    Msg o;
    init_db_obj_push(o.h());
    unsigned char oid[8] = {0, 0, 0, 1, 0, 0, 0, 2};
    load_obj(o.p(), DBM_OBJS_OFF, oid, 8, data, 3);
    EXPECT_EQ(1, msg_get32(o.p(), DBM_NOBJS_OFF));
    EXPECT_EQ(116 + 15, o.h()->paramSize);
}

TEST(Builders, NullUser)
{
    unsigned char id[20] = {};
    EXPECT_TRUE(is_null_user(id, 20));
    EXPECT_TRUE(is_null_user(id, 0));
    id[19] = 1;
    EXPECT_FALSE(is_null_user(id, 20));
    EXPECT_TRUE(is_null_user(id, 19));
}

TEST(Builders, NameFieldWithoutTerminatorIsRefused)
{
    Msg m;
    memset(m.p() + DBM_KSNAME_OFF, 'k', DBM_KSNAME_LEN);
    char name[DBM_KSNAME_LEN];
    EXPECT_EQ(EINVAL, msg_get_name(m.p(), DBM_KSNAME_OFF, name));
    EXPECT_STREQ("", name);
    m.p()[DBM_KSNAME_OFF + 63] = '\0';
    ASSERT_EQ(0, msg_get_name(m.p(), DBM_KSNAME_OFF, name));
    EXPECT_EQ(63u, strlen(name));
}

TEST(Builders, LogKeyHoldsStandardTimeAndId)
{
    unsigned char rec[DBM_OBJ_HEAD + 40] = {};
    const unsigned char id[8] = {0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 9};
    memcpy(rec, id, 8);
    msg_put32(rec, 8, 40);
    tzset();
    long before = long(time(nullptr) - timezone);
    ASSERT_EQ(0, set_log_key(rec));
    long after = long(time(nullptr) - timezone);
    long stamp = long(be32(rec + DBM_OBJ_HEAD + 4));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(0, memcmp(rec + DBM_OBJ_HEAD + 8, id, 8));
    EXPECT_EQ(0, rec[DBM_OBJ_HEAD + 16]);
}

TEST(Conversion, UserMessageRoundTripsAndOnlyNumbersChange)
{
    Msg m = user_msg(DB_USER_WRITE, {5, 0, 300});
    std::vector<unsigned char> orig = m.b;
    ASSERT_EQ(0, prep_ioctl_bswap(m.p(), BSWAP_TO_NETWORK));
    EXPECT_EQ(uint32_t(DB_USER_WRITE), be32(m.p()));
    EXPECT_EQ(uint32_t(msg_hdr(orig.data())->paramSize), be32(m.p() + 24));
    EXPECT_EQ(3u, be32(m.p() + DBM_NUSERS_OFF));
    EXPECT_EQ(5u, be32(m.p() + DBM_USERS_OFF + 20));
    size_t third = DBM_USERS_OFF + 24 + 5 + 24;
    EXPECT_EQ(300u, be32(m.p() + third + 20));
    // Names, IDs and data are byte strings and stay as they are.
    EXPECT_EQ(0, memcmp(m.p() + DBM_KSNAME_OFF, orig.data() + DBM_KSNAME_OFF, DBM_KSNAME_LEN));
    EXPECT_EQ(0, memcmp(m.p() + third, orig.data() + third, 20));
    EXPECT_EQ(0, memcmp(m.p() + third + 24, orig.data() + third + 24, 300));
    ASSERT_EQ(0, prep_ioctl_bswap(m.p(), BSWAP_TO_HOST));
    EXPECT_EQ(orig, m.b);
}

TEST(Conversion, FamiliesConvertTheirFields)
{
    Msg f;
    f.h()->type = DB_FILE_WRITE;
    f.h()->paramSize = 96;
    msg_put32(f.p(), DBM_FILESIZE_OFF, 0x01020304);
    ASSERT_EQ(0, prep_ioctl_bswap(f.p(), BSWAP_TO_NETWORK));
    EXPECT_EQ(0x01020304u, be32(f.p() + DBM_FILESIZE_OFF));

    Msg k;
    k.h()->type = DB_CHECK;
    k.h()->paramSize = DBM_PARAM_SIZE;
    msg_put32(k.p(), DBM_KSTYPE_OFF, DBM_KS_LDAP);
    ASSERT_EQ(0, prep_ioctl_bswap(k.p(), BSWAP_TO_NETWORK));
    EXPECT_EQ(1u, be32(k.p() + DBM_KSTYPE_OFF));

    Msg r;
    r.h()->type = DB_RENAME;
    r.h()->paramSize = DBM_PARAM_SIZE;
    msg_put32(r.p(), DBM_NEWNAME_OFF, 0x41424344);
    ASSERT_EQ(0, prep_ioctl_bswap(r.p(), BSWAP_TO_NETWORK));
    EXPECT_EQ(0x41424344, msg_get32(r.p(), DBM_NEWNAME_OFF));  // newname is a string

    Msg o;
    o.h()->type = DB_OBJECT_PUSH;
    init_db_obj_push(o.h());
    unsigned char id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    unsigned char data[7] = {};
    size_t pos = load_obj(o.p(), DBM_OBJS_OFF, id, 8, data, 7);
    load_obj(o.p(), pos, id, 8, data, 0);
    ASSERT_EQ(0, prep_ioctl_bswap(o.p(), BSWAP_TO_NETWORK));
    EXPECT_EQ(2u, be32(o.p() + DBM_NOBJS_OFF));
    EXPECT_EQ(7u, be32(o.p() + DBM_OBJS_OFF + 8));
    EXPECT_EQ(0, memcmp(o.p() + DBM_OBJS_OFF, id, 8));
}

TEST(Conversion, UnknownTypesFail)
{
    for (uint32_t t : {0u, 17u, 18u, 35u, 0xffffffffu}) {
        Msg m;
        m.h()->type = t;
        m.h()->paramSize = 28;
        EXPECT_EQ(EINVAL, prep_ioctl_bswap(m.p(), BSWAP_TO_NETWORK)) << t;
        Msg n;
        n.p()[0] = uint8_t(t >> 24);
        n.p()[1] = uint8_t(t >> 16);
        n.p()[2] = uint8_t(t >> 8);
        n.p()[3] = uint8_t(t);
        EXPECT_EQ(EINVAL, prep_ioctl_bswap(n.p(), BSWAP_TO_HOST)) << t;
    }
}

// Network-order bytes as the firmware could send them.
Msg wire_user_msg(uint32_t nusers, uint32_t paramsize, const std::vector<uint32_t> &lens)
{
    Msg m;
    auto put = [&](size_t off, uint32_t v) {
        m.p()[off] = uint8_t(v >> 24);
        m.p()[off + 1] = uint8_t(v >> 16);
        m.p()[off + 2] = uint8_t(v >> 8);
        m.p()[off + 3] = uint8_t(v);
    };
    put(0, DB_USER_WRITE);
    put(20, DBM_MAX_MSG);
    put(24, paramsize);
    put(DBM_NUSERS_OFF, nusers);
    size_t pos = DBM_USERS_OFF;
    for (uint32_t l : lens) {
        put(pos + 20, l);
        pos += 24 + (l < 70000 ? l : 0);
    }
    return m;
}

TEST(Conversion, RecordsPassingTheMessageAreRefused)
{
    // Second record's data passes paramSize.
    Msg a = wire_user_msg(2, 96 + 24 + 10 + 24 + 5, {10, 6});
    EXPECT_EQ(EINVAL, prep_ioctl_bswap(a.p(), BSWAP_TO_HOST));
    // The same message with the right size converts.
    Msg b = wire_user_msg(2, 96 + 24 + 10 + 24 + 6, {10, 6});
    EXPECT_EQ(0, prep_ioctl_bswap(b.p(), BSWAP_TO_HOST));
    // A count that cannot fit.
    Msg c = wire_user_msg(0x7fffffff, DBM_MAX_MSG, {});
    EXPECT_EQ(EINVAL, prep_ioctl_bswap(c.p(), BSWAP_TO_HOST));
    // A negative length would walk backwards.
    Msg d = wire_user_msg(2, DBM_MAX_MSG, {0xfffffff0u, 1});
    EXPECT_EQ(EINVAL, prep_ioctl_bswap(d.p(), BSWAP_TO_HOST));
    // A length that reaches past DBM_MAX_MSG even with a larger paramSize.
    Msg e = wire_user_msg(1, 70000, {61400});
    EXPECT_EQ(EINVAL, prep_ioctl_bswap(e.p(), BSWAP_TO_HOST));
    // Zero or negative counts carry no records.
    Msg f = wire_user_msg(0x80000000u, 96, {});
    EXPECT_EQ(0, prep_ioctl_bswap(f.p(), BSWAP_TO_HOST));
}

TEST(Iterator, WalksRecordsAndStopsAtTheEnd)
{
    Msg m = user_msg(DB_USER_WRITE, {3, 0, 9});
    rec_iter it;
    ASSERT_EQ(0, rec_iter_init(&it, m.p(), REC_USER, false));
    rec_view v;
    std::vector<int> lens;
    int rc;
    while ((rc = rec_iter_next(&it, &v)) == 1) {
        lens.push_back(v.len);
        EXPECT_EQ(v.id + 24, v.data);
    }
    EXPECT_EQ(0, rc);
    EXPECT_EQ((std::vector<int>{3, 0, 9}), lens);
    EXPECT_EQ(0, rec_validate(m.p(), REC_USER, false));

    m.h()->paramSize -= 1;
    EXPECT_EQ(EINVAL, rec_validate(m.p(), REC_USER, false));
}

TEST(Iterator, IdsOnlyStepsByTheHeadSize)
{
    Msg m;
    m.h()->type = DB_OBJECT_DEL;
    msg_put32(m.p(), DBM_NOBJS_OFF, 3);
    // Lengths are not read in an ID-only walk: put garbage there.
    for (int i = 0; i < 3; i++)
        msg_put32(m.p(), DBM_OBJS_OFF + size_t(i) * 12 + 8, 1000000);
    m.h()->paramSize = DBM_OBJS_OFF + 3 * 12;
    rec_iter it;
    ASSERT_EQ(0, rec_iter_init(&it, m.p(), REC_OBJ, true));
    rec_view v;
    size_t n = 0;
    while (rec_iter_next(&it, &v) == 1) {
        EXPECT_EQ(DBM_OBJS_OFF + n * 12, v.pos);
        EXPECT_EQ(nullptr, v.data);
        n++;
    }
    EXPECT_EQ(3u, n);
    m.h()->paramSize = DBM_OBJS_OFF + 2 * 12;
    EXPECT_EQ(EINVAL, rec_validate(m.p(), REC_OBJ, true));
}

}  // namespace
