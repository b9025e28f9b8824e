// Deleting a user and its objects when the object walk fails part-way: a
// cursor step that fails for any reason but the end of the data aborts the
// whole message, so the user and every one of its objects stay.  (A failing
// step cannot be brought about through the daemon's own upcalls; here the
// test opens the keystore itself and hands the deletion a cursor whose
// forward step fails after the first object.)
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "local_ks_fixture.h"

namespace {

const char kName[] = "rec.host.{7}";

// The cursor methods of the wrapped database: DB_NEXT fails with EIO once
// `next_left` steps have been taken.
int (*real_cursor)(DB *, DB_TXN *, DBC **, u_int32_t);
int (*real_get)(DBC *, DBT *, DBT *, u_int32_t);
int next_left = 0;
int next_failed = 0;

int failing_get(DBC *c, DBT *key, DBT *data, u_int32_t flags)
{
    if ((flags & DB_OPFLAGS_MASK) == DB_NEXT && next_left-- <= 0) {
        next_failed++;
        return EIO;
    }
    return real_get(c, key, data, flags);
}

int failing_cursor(DB *db, DB_TXN *txn, DBC **c, u_int32_t flags)
{
    int ret = real_cursor(db, txn, c, flags);
    if (ret == 0) {
        real_get = (*c)->get;
        (*c)->get = failing_get;
    }
    return ret;
}

class UserDeletion : public LocalKsTest {
protected:
    UserDeletion() : LocalKsTest(kName) {}
    bool verified(const char *db)
    {
        std::string cmd = "db5.3_verify -q -h '" + env_ + "' '" + env_ + "/" + db + "'";
        return system(cmd.c_str()) == 0;
    }
};

TEST_F(UserDeletion, AFailingObjectWalkAbortsTheWholeMessage)
{
    const std::string u1 = fw_uid(1), u2 = fw_uid(2);
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_WRITE, kName, 0, {{u1, "one"}, {u2, "two"}}, false, false));
    ASSERT_EQ(task_user_write(ks_.buf), 0);
    fw_load(ks_.buf, fw_make_obj_msg(DB_OBJECT_WRITE, kName, 0, u1,
                                     {{fw_oid(1, 1), "a"}, {fw_oid(1, 2), "b"}, {fw_oid(1, 3), "c"}},
                                     false, false));
    ASSERT_EQ(task_obj_write(ks_.buf), 0);
    const kvs users0 = dump(KS_USER_DB), objs0 = dump(KS_OBJECT_DB);
    ASSERT_EQ(users0.size(), 2u);
    ASSERT_EQ(objs0.size(), 3u);

    // The keystore as the deletion handler opens it, but with the failing
    // cursor on "object.db".
    DB_ENV *env = nullptr;
    ASSERT_EQ(db_env_create(&env, 0), 0);
    ASSERT_EQ(localks_env_config(env), 0);
    ASSERT_EQ(env->open(env, env_.c_str(), KS_ENV_FLAGS, 0600), 0);
    DB *udb = nullptr, *odb = nullptr;
    ASSERT_EQ(localks_open_db(env, KS_USER_DB, DB_CREATE, &udb), 0);
    ASSERT_EQ(localks_open_db(env, KS_OBJECT_DB, DB_CREATE, &odb), 0);
    real_cursor = odb->cursor;
    odb->cursor = failing_cursor;
    next_left = 0;
    next_failed = 0;

    fake_fw_reset();
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_DEL, kName, 0, {{u2, ""}, {u1, ""}}, true, false));
    EXPECT_EQ(delete_user_byid(env, udb, odb, ks_.buf), EIO);
    EXPECT_EQ(next_failed, 1);
    EXPECT_EQ(fake_fw_count(), 0u) << "a failed deletion is not answered as done";
    odb->close(odb, 0);
    udb->close(udb, 0);
    env->close(env, 0);

    // Nothing of the message took effect, and the databases are sound.
    EXPECT_EQ(dump(KS_USER_DB), users0);
    EXPECT_EQ(dump(KS_OBJECT_DB), objs0);
    EXPECT_TRUE(verified(KS_USER_DB));
    EXPECT_TRUE(verified(KS_OBJECT_DB));

    // The next upcall is served: the same deletion, without the fault.
    fake_fw_reset();
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_DEL, kName, 0, {{u1, ""}}, true, false));
    EXPECT_EQ(task_user_del(ks_.buf), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).status, 0);
    EXPECT_EQ(dump(KS_USER_DB), (kvs{{u2, "two"}}));
    EXPECT_TRUE(dump(KS_OBJECT_DB).empty());
}

// A keystore's databases may hold keys this daemon never wrote (a planted or
// damaged file): a user key shorter than a user ID, an object key too short
// to hold an object ID.  Their records go out with the rest of the ID field
// zero, never with what an earlier message left in the upcall buffer.
TEST_F(UserDeletion, ShortStoredKeysAreSentWithZeroFilledIds)
{
    ASSERT_TRUE(fw_put_db(env_, KS_USER_DB, "short", "u-data"));
    ASSERT_TRUE(fw_put_db(env_, KS_OBJECT_DB, "own", "o-data"));

    // What the buffer holds past the request, as an earlier message left it.
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_READ, kName, 0, {}, true, false));
    memset(ks_.buf->msg + DBM_USERS_OFF, 0xAA, sizeof(ks_.buf->msg) - DBM_USERS_OFF);
    fake_fw_reset();
    EXPECT_EQ(task_user_read(ks_.buf), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    std::vector<fw_rec> users;
    ASSERT_TRUE(fw_user_parse(fake_fw_sent(0), &users));
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].id, std::string("short") + std::string(DBM_USER_ID_LEN - 5, '\0'));
    EXPECT_EQ(users[0].data, "u-data");

    fw_load(ks_.buf, fw_make_obj_msg(DB_OBJECT_READ, kName, 0, std::string(DBM_OWNER_LEN, '\0'),
                                     {}, true, false));
    memset(ks_.buf->msg + DBM_OBJS_OFF, 0xAA, sizeof(ks_.buf->msg) - DBM_OBJS_OFF);
    fake_fw_reset();
    EXPECT_EQ(task_obj_read(ks_.buf), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    std::string owner;
    std::vector<fw_rec> objs;
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(0), &owner, &objs));
    ASSERT_EQ(objs.size(), 1u);
    EXPECT_EQ(objs[0].id, std::string(DBM_OBJ_ID_LEN, '\0'));
    EXPECT_EQ(objs[0].data, "o-data");
}

}  // namespace
