// A made local keystore for handler and backend tests: a temporary keystore
// directory holding the keystore `name` (its DB_INIT answered by the
// backend), the in-process firmware installed, syslog off.  A fixture
// derives from it and names its keystore in its constructor.
#ifndef KYR_TEST_LOCAL_KS_FIXTURE_H
#define KYR_TEST_LOCAL_KS_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fake_fw.h"
#include "localks/localks.h"

typedef std::vector<std::pair<std::string, std::string>> kvs;

class LocalKsTest : public ::testing::Test {
protected:
    explicit LocalKsTest(const char *name) : name_(name) {}

    void SetUp() override
    {
        kyrkiod_disable_syslog = 1;
        ASSERT_EQ(fake_ks_init(&ks_, name_, DBM_KS_LOCAL), 0);
        fake_fw_install();
        fw_load(ks_.buf, fw_make_ks_msg(DB_INIT, name_, DBM_KS_LOCAL, false));
        ASSERT_EQ(localks_db_make(ks_.buf), 0);
        env_ = ks_.dir + "/" + name_;
    }
    void TearDown() override
    {
        fake_fw_uninstall();
        fake_ks_fini(&ks_);
    }
    // The records of one database of the keystore's environment.
    kvs dump(const char *db)
    {
        kvs out;
        EXPECT_TRUE(fw_dump_db(env_, db, &out));
        return out;
    }

    const char *name_;
    fake_ks ks_;
    std::string env_;   // the keystore's environment directory
};

#endif  // KYR_TEST_LOCAL_KS_FIXTURE_H
