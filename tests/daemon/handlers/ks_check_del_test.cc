// DB_CHECK and DB_DELETE on local keystores, and their refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "fake_fw.h"
#include "localks/localks.h"

namespace {

const char kName[] = "del.host.{1}";

class KsCheckDel : public ::testing::Test {
protected:
    void SetUp() override
    {
        kyrkiod_disable_syslog = 1;
        ASSERT_EQ(fake_ks_init(&ks_, kName, DBM_KS_LOCAL), 0);
        fake_fw_install();
    }
    void TearDown() override
    {
        fake_fw_uninstall();
        fake_ks_fini(&ks_);
    }
    int check(const std::string &name, uint32_t kstype)
    {
        fw_load(ks_.buf, fw_make_ks_msg(DB_CHECK, name, kstype, false));
        return task_db_check(ks_.buf);
    }
    int del(const std::string &name)
    {
        fw_load(ks_.buf, fw_make_ks_msg(DB_DELETE, name, 0, false));
        return task_db_del(ks_.buf);
    }
    void create(const std::string &name)
    {
        fw_load(ks_.buf, fw_make_ks_msg(DB_INIT, name, DBM_KS_LOCAL, false));
        ASSERT_EQ(localks_db_make(ks_.buf), 0);
        ASSERT_TRUE(fw_write_file(ks_.dir + "/" + name + ".conf", "cfg"));
    }
    fake_ks ks_;
};

TEST_F(KsCheckDel, AFreeNameIsAnsweredByTheHandlerATakenOneIsReturned)
{
    EXPECT_EQ(check("del", DBM_KS_LOCAL), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    fw_hdr h = fw_header(fake_fw_sent(0));
    EXPECT_EQ(h.type, DB_RESPONSE);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(fw_name(fake_fw_sent(0), DBM_KSNAME_OFF), "del");

    create(kName);
    fake_fw_reset();
    EXPECT_EQ(check("DEL", DBM_KS_LOCAL), EEXIST);
    EXPECT_EQ(check(kName, DBM_KS_LOCAL), EEXIST);
    EXPECT_EQ(fake_fw_count(), 0u);
}

TEST_F(KsCheckDel, CheckRefusesUnknownTypesAndUnconfiguredDirectories)
{
    EXPECT_EQ(check("x", DBM_KS_DEVICE), EINVAL);
    mconf.nservers = 0;
    EXPECT_EQ(check("x", DBM_KS_LDAP), EOPNOTSUPP);
    EXPECT_EQ(check("../x", DBM_KS_LOCAL), EINVAL);
    EXPECT_EQ(fake_fw_count(), 0u);
}

TEST_F(KsCheckDel, DeleteRemovesTheKeystoreAndAnswers)
{
    create(kName);
    create("other.host.{2}");
    fake_fw_reset();
    EXPECT_EQ(del(kName), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).status, 0);
    EXPECT_EQ(fw_list_dir(ks_.dir), (std::vector<std::string>{"other.host.{2}", "other.host.{2}.conf"}));
}

TEST_F(KsCheckDel, DeleteFailuresAreReturnedAndBadNamesTouchNothing)
{
    create(kName);
    std::vector<std::string> before = fw_list_dir(ks_.dir);
    for (const char *bad : {"", ".", "..", "x/y"})
        EXPECT_EQ(del(bad), EINVAL) << bad;
    // Only the thread's own keystore.
    EXPECT_EQ(del("absent.host.{3}"), EINVAL);
    EXPECT_EQ(fake_fw_count(), 0u);
    EXPECT_EQ(fw_list_dir(ks_.dir), before);

    ASSERT_EQ(pthread_setspecific(ptconfkey, nullptr), 0);
    EXPECT_NE(del(kName), 0);
    ASSERT_EQ(pthread_setspecific(ptconfkey, ks_.ks), 0);
    EXPECT_EQ(fw_list_dir(ks_.dir), before);
}

}  // namespace
