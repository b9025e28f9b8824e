// User and object upcalls of a local keystore, answered through the
// in-process firmware: stored state is read back with a Berkeley DB open of
// the test's own, answers are decoded from the network-order messages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "local_ks_fixture.h"

namespace {

const char kName[] = "rec.host.{1}";

class RecordOps : public LocalKsTest {
protected:
    RecordOps() : LocalKsTest(kName) {}

    int users(uint32_t type, const std::vector<fw_rec> &recs, uint32_t flags = 0)
    {
        bool ids = type != DB_USER_WRITE;
        fw_load(ks_.buf, fw_make_user_msg(type, kName, flags, recs, ids, false));
        switch (type) {
        case DB_USER_READ: return task_user_read(ks_.buf);
        case DB_USER_WRITE: return task_user_write(ks_.buf);
        default: return task_user_del(ks_.buf);
        }
    }
    int objs(uint32_t type, const std::string &owner, const std::vector<fw_rec> &recs,
             uint32_t flags = 0)
    {
        bool ids = type != DB_OBJECT_WRITE;
        fw_load(ks_.buf, fw_make_obj_msg(type, kName, flags, owner, recs, ids, false));
        switch (type) {
        case DB_OBJECT_READ: return task_obj_read(ks_.buf);
        case DB_OBJECT_WRITE: return task_obj_write(ks_.buf);
        default: return task_obj_del(ks_.buf);
        }
    }
    // Every submitted message must be a push of `type`; all but the last
    // carry DBM_FLAG_MORE.
    void expect_push_series(uint32_t type)
    {
        ASSERT_GT(fake_fw_count(), 0u);
        for (size_t i = 0; i < fake_fw_count(); i++) {
            fw_hdr h = fw_header(fake_fw_sent(i));
            EXPECT_EQ(h.type, type) << i;
            EXPECT_EQ(h.extent, DBM_MAX_MSG);
            EXPECT_EQ((h.flags & DBM_FLAG_MORE) != 0, i + 1 < fake_fw_count()) << i;
        }
    }
    std::vector<fw_rec> pushed_users(size_t i)
    {
        std::vector<fw_rec> r;
        EXPECT_TRUE(fw_user_parse(fake_fw_sent(i), &r));
        return r;
    }
    void expect_single_ok_response()
    {
        ASSERT_EQ(fake_fw_count(), 1u);
        fw_hdr h = fw_header(fake_fw_sent(0));
        EXPECT_EQ(h.type, DB_RESPONSE);
        EXPECT_EQ(h.status, 0);
        EXPECT_EQ(h.paramSize, DBM_PARAM_SIZE);
        EXPECT_EQ(h.handle, 0x01000007u);
    }
    static std::string okey(const std::string &owner, const std::string &oid) { return owner + oid; }
};

TEST_F(RecordOps, WritingAnExistingUserReplacesItsData)
{
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}, {fw_uid(2), "two"}}), 0);
    expect_single_ok_response();
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "uno, longer"}}), 0);
    EXPECT_EQ(dump(KS_USER_DB), (kvs{{fw_uid(1), "uno, longer"}, {fw_uid(2), "two"}}));

    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_READ, {}), 0);
    expect_push_series(DB_USER_PUSH);
    ASSERT_EQ(fake_fw_count(), 1u);
    std::vector<fw_rec> got = pushed_users(0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].id, fw_uid(1));
    EXPECT_EQ(got[0].data, "uno, longer");
    EXPECT_EQ(got[1].data, "two");
}

TEST_F(RecordOps, ReadingAllUsersOfAnEmptyKeystoreSendsOneEmptyPush)
{
    ASSERT_EQ(users(DB_USER_READ, {}), 0);
    expect_push_series(DB_USER_PUSH);
    EXPECT_EQ(fake_fw_count(), 1u);
    EXPECT_TRUE(pushed_users(0).empty());
    EXPECT_EQ(fw_header(fake_fw_sent(0)).paramSize, DBM_USERS_OFF);
}

// Two records share a push exactly when the second ends at byte 61423.
TEST_F(RecordOps, UserPushesSplitExactlyWhereARecordNoLongerFits)
{
    const size_t a = 30000;
    const size_t b = DBM_MAX_MSG - DBM_USERS_OFF - 2 * DBM_USER_HEAD - a;
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), std::string(a, 'a')}}), 0);
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(2), std::string(b, 'b')}}), 0);
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_READ, {}), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    EXPECT_EQ(pushed_users(0).size(), 2u);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).paramSize, DBM_MAX_MSG);

    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(2), std::string(b + 1, 'B')}}), 0);
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_READ, {}), 0);
    expect_push_series(DB_USER_PUSH);
    ASSERT_EQ(fake_fw_count(), 2u);
    ASSERT_EQ(pushed_users(0).size(), 1u);
    ASSERT_EQ(pushed_users(1).size(), 1u);
    EXPECT_EQ(pushed_users(1)[0].data, std::string(b + 1, 'B'));

    // The largest record a push can carry travels alone.
    const size_t biggest = DBM_MAX_MSG - DBM_USERS_OFF - DBM_USER_HEAD;
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(3), std::string(biggest, 'c')}}), 0);
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_READ, {{fw_uid(3), ""}}), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    EXPECT_EQ(pushed_users(0)[0].data.size(), biggest);
}

TEST_F(RecordOps, AStoredRecordNoPushCanCarryFailsTheRead)
{
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "small"}}), 0);
    ASSERT_TRUE(fw_put_db(env_, KS_USER_DB, fw_uid(2), std::string(DBM_MAX_USER_DATA + 1, 'x')));
    fake_fw_reset();
    EXPECT_EQ(users(DB_USER_READ, {}), EINVAL);
    EXPECT_EQ(fake_fw_count(), 0u);

    ASSERT_TRUE(fw_put_db(env_, KS_OBJECT_DB, okey(fw_uid(1), fw_oid(1, 1)),
                          std::string(DBM_MAX_OBJ_DATA + 1, 'o')));
    EXPECT_EQ(objs(DB_OBJECT_READ, "", {}), EINVAL);
    EXPECT_EQ(objs(DB_OBJECT_READ, fw_uid(1), {}), EINVAL);
    EXPECT_EQ(fake_fw_count(), 0u);
}

TEST_F(RecordOps, ReadingUsersByIdAnswersInRequestOrderAndFailsOnAMissingOne)
{
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}, {fw_uid(2), "two"}}), 0);
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_READ, {{fw_uid(2), ""}, {fw_uid(1), ""}}), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    std::vector<fw_rec> got = pushed_users(0);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, "two");
    EXPECT_EQ(got[1].data, "one");
    // The request's ksname and handle travel back in the push.
    EXPECT_EQ(fw_name(fake_fw_sent(0), DBM_KSNAME_OFF), kName);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).handle, 0x01000007u);

    fake_fw_reset();
    EXPECT_EQ(users(DB_USER_READ, {{fw_uid(1), ""}, {fw_uid(9), ""}}), DB_NOTFOUND);
    EXPECT_EQ(fake_fw_count(), 0u);
}

TEST_F(RecordOps, DeletingAMissingUserRollsBackTheWholeMessage)
{
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}, {fw_uid(2), "two"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(1, 1), "o"}}), 0);
    fake_fw_reset();
    EXPECT_EQ(users(DB_USER_DEL, {{fw_uid(1), ""}, {fw_uid(9), ""}}), DB_NOTFOUND);
    EXPECT_EQ(fake_fw_count(), 0u);
    EXPECT_EQ(dump(KS_USER_DB).size(), 2u);
    EXPECT_EQ(dump(KS_OBJECT_DB).size(), 1u);
}

TEST_F(RecordOps, DeletingAUserTakesItsObjectsAndOnlyThose)
{
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}, {fw_uid(2), "two"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(1, 1), "a"}, {fw_oid(1, 2), "b"}, {fw_oid(7, 3), "c"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(2), {{fw_oid(1, 1), "d"}}), 0);
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_DEL, {{fw_uid(1), ""}}), 0);
    expect_single_ok_response();
    EXPECT_EQ(dump(KS_USER_DB), (kvs{{fw_uid(2), "two"}}));
    EXPECT_EQ(dump(KS_OBJECT_DB), (kvs{{okey(fw_uid(2), fw_oid(1, 1)), "d"}}));
}

TEST_F(RecordOps, DeletingMissingObjectsSucceeds)
{
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(1, 1), "a"}}), 0);
    fake_fw_reset();
    ASSERT_EQ(objs(DB_OBJECT_DEL, fw_uid(1), {{fw_oid(5, 5), ""}, {fw_oid(1, 1), ""}}), 0);
    expect_single_ok_response();
    EXPECT_TRUE(dump(KS_OBJECT_DB).empty());

    // All objects of an owner who has none.
    fake_fw_reset();
    ASSERT_EQ(objs(DB_OBJECT_DEL, fw_uid(3), {}), 0);
    expect_single_ok_response();
}

TEST_F(RecordOps, DeletingAllObjectsOfAnOwnerKeepsTheOthers)
{
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(1, 1), "a"}, {fw_oid(2, 2), "b"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(2), {{fw_oid(1, 1), "c"}}), 0);
    fake_fw_reset();
    ASSERT_EQ(objs(DB_OBJECT_DEL, fw_uid(1), {}), 0);
    expect_single_ok_response();
    EXPECT_EQ(dump(KS_OBJECT_DB), (kvs{{okey(fw_uid(2), fw_oid(1, 1)), "c"}}));
}

TEST_F(RecordOps, AMultiMessageWriteKeepsThePartsAlreadyAnswered)
{
    // Part 2 arrives as the reply to the answer of part 1; part 3 claims
    // two records but carries one.
    fake_fw_queue_msg(fw_make_user_msg(DB_USER_WRITE, kName, DBM_FLAG_MORE, {{fw_uid(2), "two"}}, false, true));
    fw_bytes bad = fw_make_user_msg(DB_USER_WRITE, kName, 0, {{fw_uid(3), "three"}}, false, true);
    bad[DBM_NUSERS_OFF + 3] = 2;
    fake_fw_queue_msg(bad);
    EXPECT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}}, DBM_FLAG_MORE), EINVAL);
    EXPECT_EQ(fake_fw_count(), 2u);
    EXPECT_EQ(dump(KS_USER_DB), (kvs{{fw_uid(1), "one"}, {fw_uid(2), "two"}}));
}

TEST_F(RecordOps, AMultiMessageObjectWriteStoresEveryPart)
{
    fake_fw_queue_msg(fw_make_obj_msg(DB_OBJECT_WRITE, kName, DBM_FLAG_MORE, fw_uid(1), {{fw_oid(0, 2), "b"}}, false, true));
    fake_fw_queue_msg(fw_make_obj_msg(DB_OBJECT_WRITE, kName, 0, fw_uid(1), {{fw_oid(0, 3), "c"}}, false, true));
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(0, 1), "a"}}, DBM_FLAG_MORE), 0);
    EXPECT_EQ(fake_fw_count(), 3u);
    for (size_t i = 0; i < fake_fw_count(); i++)
        EXPECT_EQ(fw_header(fake_fw_sent(i)).type, DB_RESPONSE);
    EXPECT_EQ(dump(KS_OBJECT_DB).size(), 3u);
}

TEST_F(RecordOps, AReplyThatIsNotTheNextPartEndsTheExchange)
{
    fake_fw_queue_msg(fw_make_user_msg(DB_USER_DEL, kName, 0, {{fw_uid(1), ""}}, true, true));
    EXPECT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}}, DBM_FLAG_MORE), EINVAL);
    EXPECT_EQ(dump(KS_USER_DB), (kvs{{fw_uid(1), "one"}}));
}

TEST_F(RecordOps, ObjectsOfThreeOwnersTravelInPerOwnerPushes)
{
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(3), {{fw_oid(0, 1), "c1"}, {fw_oid(0, 2), "c2"}, {fw_oid(0, 3), "c3"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(0, 1), "a1"}, {fw_oid(0, 2), "a2"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(2), {{fw_oid(0xabc, 7), "b1"}}), 0);
    fake_fw_reset();
    ASSERT_EQ(objs(DB_OBJECT_READ, std::string(20, '\0'), {}), 0);
    expect_push_series(DB_OBJECT_PUSH);
    ASSERT_EQ(fake_fw_count(), 3u);
    const std::string owners[] = {fw_uid(1), fw_uid(2), fw_uid(3)};
    const size_t counts[] = {2, 1, 3};
    for (size_t i = 0; i < 3; i++) {
        std::string owner;
        std::vector<fw_rec> recs;
        ASSERT_TRUE(fw_obj_parse(fake_fw_sent(i), &owner, &recs));
        EXPECT_EQ(owner, owners[i]) << i;
        EXPECT_EQ(recs.size(), counts[i]) << i;
    }
    std::string owner;
    std::vector<fw_rec> recs;
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(1), &owner, &recs));
    EXPECT_EQ(recs[0].id, fw_oid(0xabc, 7));
    EXPECT_EQ(recs[0].data, "b1");

    // One owner's objects only.
    fake_fw_reset();
    ASSERT_EQ(objs(DB_OBJECT_READ, fw_uid(3), {}), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(0), &owner, &recs));
    EXPECT_EQ(owner, fw_uid(3));
    EXPECT_EQ(recs.size(), 3u);

    // An owner without objects gets one empty push.
    fake_fw_reset();
    ASSERT_EQ(objs(DB_OBJECT_READ, fw_uid(9), {}), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(0), &owner, &recs));
    EXPECT_TRUE(recs.empty());
    EXPECT_EQ(owner, fw_uid(9));
}

// One owner's objects that need two pushes: the second push still names
// the owner, whatever the firmware's reply left in the buffer.
TEST_F(RecordOps, AnOwnerSplitOverPushesIsNamedInEach)
{
    std::string big(40000, 'z');
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(4), {{fw_oid(0, 1), big}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(4), {{fw_oid(0, 2), big}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(5), {{fw_oid(0, 1), "small"}}), 0);
    fake_fw_reset();
    // A reply whose parameter block names some other owner.
    fake_fw_queue_msg(fw_make_obj_msg(DB_RESPONSE, kName, 0, fw_uid(77), {}, true, true));
    ASSERT_EQ(objs(DB_OBJECT_READ, "", {}), 0);
    expect_push_series(DB_OBJECT_PUSH);
    ASSERT_EQ(fake_fw_count(), 3u);
    const std::string owners[] = {fw_uid(4), fw_uid(4), fw_uid(5)};
    for (size_t i = 0; i < 3; i++) {
        std::string owner;
        std::vector<fw_rec> recs;
        ASSERT_TRUE(fw_obj_parse(fake_fw_sent(i), &owner, &recs));
        EXPECT_EQ(owner, owners[i]) << i;
        EXPECT_EQ(recs.size(), 1u) << i;
    }
}

TEST_F(RecordOps, ReadingObjectsByIdFailsOnAMissingOne)
{
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(0, 1), "a"}, {fw_oid(0, 2), "b"}}), 0);
    fake_fw_reset();
    ASSERT_EQ(objs(DB_OBJECT_READ, fw_uid(1), {{fw_oid(0, 2), ""}}), 0);
    std::string owner;
    std::vector<fw_rec> recs;
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(0), &owner, &recs));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].data, "b");
    fake_fw_reset();
    EXPECT_EQ(objs(DB_OBJECT_READ, fw_uid(1), {{fw_oid(0, 1), ""}, {fw_oid(0, 3), ""}}), DB_NOTFOUND);
    EXPECT_EQ(fake_fw_count(), 0u);
}

TEST_F(RecordOps, RecordsPassingTheEndOfTheMessageAreRefusedBeforeAnyChange)
{
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(0, 1), "a"}}), 0);
    fake_fw_reset();

    // A count larger than the records present.
    fw_bytes m = fw_make_user_msg(DB_USER_WRITE, kName, 0, {{fw_uid(2), "two"}}, false, false);
    int32_t two = 2;
    memcpy(&m[DBM_NUSERS_OFF], &two, 4);
    fw_load(ks_.buf, m);
    EXPECT_EQ(task_user_write(ks_.buf), EINVAL);

    // A length past paramSize.
    m = fw_make_obj_msg(DB_OBJECT_WRITE, kName, 0, fw_uid(1), {{fw_oid(0, 2), "b"}, {fw_oid(0, 3), "c"}}, false, false);
    int32_t huge = 60000;
    memcpy(&m[DBM_OBJS_OFF + DBM_OBJ_ID_LEN], &huge, 4);
    fw_load(ks_.buf, m);
    EXPECT_EQ(task_obj_write(ks_.buf), EINVAL);

    // Deletes naming more IDs than the message holds.
    m = fw_make_user_msg(DB_USER_DEL, kName, 0, {{fw_uid(1), ""}}, true, false);
    int32_t many = 5;
    memcpy(&m[DBM_NUSERS_OFF], &many, 4);
    fw_load(ks_.buf, m);
    EXPECT_EQ(task_user_del(ks_.buf), EINVAL);
    m = fw_make_obj_msg(DB_OBJECT_DEL, kName, 0, fw_uid(1), {{fw_oid(0, 1), ""}}, true, false);
    memcpy(&m[DBM_NOBJS_OFF], &many, 4);
    fw_load(ks_.buf, m);
    EXPECT_EQ(task_obj_del(ks_.buf), EINVAL);

    EXPECT_EQ(fake_fw_count(), 0u);
    EXPECT_EQ(dump(KS_USER_DB), (kvs{{fw_uid(1), "one"}}));
    EXPECT_EQ(dump(KS_OBJECT_DB), (kvs{{okey(fw_uid(1), fw_oid(0, 1)), "a"}}));
}

TEST_F(RecordOps, DeletingAllUsersEmptiesBothDatabases)
{
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}}), 0);
    ASSERT_EQ(objs(DB_OBJECT_WRITE, fw_uid(1), {{fw_oid(0, 1), "a"}}), 0);
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_DEL, {}), 0);
    expect_single_ok_response();
    EXPECT_NE(access((env_ + "/user.db").c_str(), F_OK), 0);
    EXPECT_NE(access((env_ + "/object.db").c_str(), F_OK), 0);
    // With user.db gone, removing all users again fails.
    EXPECT_EQ(users(DB_USER_DEL, {}), ENOENT);

    // The next open creates them again, empty.
    fake_fw_reset();
    ASSERT_EQ(users(DB_USER_READ, {}), 0);
    EXPECT_TRUE(pushed_users(0).empty());
    ASSERT_EQ(objs(DB_OBJECT_READ, "", {}), 0);
    EXPECT_TRUE(dump(KS_USER_DB).empty());
    EXPECT_TRUE(dump(KS_OBJECT_DB).empty());
}

TEST_F(RecordOps, AFirmwareRefusalOfAPushEndsTheRead)
{
    std::string big(40000, 'q');
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(1), big}}), 0);
    ASSERT_EQ(users(DB_USER_WRITE, {{fw_uid(2), big}}), 0);
    fake_fw_reset();
    fake_fw_queue_refuse(5);
    EXPECT_EQ(users(DB_USER_READ, {}), 5);
    EXPECT_EQ(fake_fw_count(), 1u);
}

TEST_F(RecordOps, AThreadWithoutKeystoreInformationIsRefused)
{
    ASSERT_EQ(pthread_setspecific(ptconfkey, nullptr), 0);
    errno = 0;
    EXPECT_EQ(users(DB_USER_WRITE, {{fw_uid(1), "one"}}), ENOENT);
    EXPECT_EQ(fake_fw_count(), 0u);
    ASSERT_EQ(pthread_setspecific(ptconfkey, ks_.ks), 0);
}

}  // namespace
