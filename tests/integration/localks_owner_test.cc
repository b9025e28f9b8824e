// A keystore thread never opens or removes another served keystore: two
// threads opening one environment with recovery at the same time could
// corrupt it.
#include "localks_fixture.h"

namespace kyrlks {
namespace {

TEST_F(LocalKsTest, MessageNamingAnotherServedKeystoreIsRefused)
{
    start();
    ASSERT_EQ(0, create("alpha.h.{1}"));
    ASSERT_EQ(0, create("beta.h.{1}"));
    ASSERT_EQ(0, status_of("beta.h.{1}", users_msg(DB_USER_WRITE, "beta.h.{1}", {{1, "b1"}})));

    // Upcalls posted to alpha's thread that name beta.
    EXPECT_EQ(EINVAL, status_of("alpha.h.{1}", users_msg(DB_USER_WRITE, "beta.h.{1}", {{2, "x"}})));
    EXPECT_EQ(EINVAL, status_of("alpha.h.{1}", kyrsim_msg_make(DB_DELETE, "beta.h.{1}")));
    EXPECT_NE(std::string::npos, log().find("for keystore beta.h.{1} refused: not the keystore of this thread"));

    // beta is untouched and still served; alpha's own requests still work.
    EXPECT_TRUE(exists(ks_path("beta.h.{1}/user.db")));
    auto users = all_users("beta.h.{1}");
    ASSERT_EQ(1u, users.size());
    EXPECT_EQ("b1", users[0].second);
    EXPECT_EQ(0, status_of("alpha.h.{1}", users_msg(DB_USER_WRITE, "alpha.h.{1}", {{3, "a"}})));

    kill_daemon();
}

}  // namespace
}  // namespace kyrlks
