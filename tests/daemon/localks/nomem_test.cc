// Allocation failures on the local backend's upcall paths: with every
// throwing allocation refused, the name check against the keystore
// directory, a rename and the refusal of an oversized stored record still
// return their statuses; no exception leaves them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "fail_new.h"
#include "local_ks_fixture.h"

namespace {

const char kName[] = "nomem.host.{3}";

class LocalNoMem : public LocalKsTest {
protected:
    LocalNoMem() : LocalKsTest(kName) {}
    void SetUp() override
    {
        LocalKsTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(fw_write_file(ks_.dir + "/" + kName + ".conf", "conf"));
    }
};

TEST_F(LocalNoMem, KeystoreOperationsAnswerWithoutAllocating)
{
    // A directory entry far longer than any short name.
    const std::string longname = "averyveryverylongbasename.qualifier.{1}";
    ASSERT_EQ(mkdir((ks_.dir + "/" + longname).c_str(), 0700), 0);
    const std::string newname = "renamed.host.{4}";
    int check_taken = -1, check_free = -1, renamed = -1;
    {
        fail_new::scope nomem;
        check_taken = localks_db_check(ks_.dir.c_str(), "averyveryverylongbasename");
        check_free = localks_db_check(ks_.dir.c_str(), "nothing");
        renamed = localks_rename_keystore(ks_.dir.c_str(), kName, newname.c_str());
    }
    EXPECT_EQ(check_taken, EEXIST);
    EXPECT_EQ(check_free, 0);
    EXPECT_EQ(renamed, 0);
    EXPECT_EQ(access((ks_.dir + "/" + newname + ".conf").c_str(), F_OK), 0);
    EXPECT_EQ(access((ks_.dir + "/" + newname).c_str(), F_OK), 0);
}

TEST_F(LocalNoMem, AnOversizedStoredRecordIsRefusedWithoutAllocating)
{
    const std::string env = ks_.dir + "/" + kName;
    ASSERT_TRUE(fw_put_db(env, KS_USER_DB, fw_uid(1), std::string(DBM_MAX_USER_DATA + 1, 'x')));
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_READ, kName, 0, {}, true, false));
    fake_fw_reset();
    int ret = -1;
    {
        fail_new::scope nomem;
        ret = task_user_read(ks_.buf);
    }
    EXPECT_EQ(ret, EINVAL);
    EXPECT_EQ(fake_fw_count(), 0u);
}

}  // namespace
