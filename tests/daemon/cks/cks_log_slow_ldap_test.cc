// A log lock that its holder never releases: a writer gives up with ETIME
// after 60 refusals a second apart, having stored and answered nothing.
// About a minute; labelled ldap_slow.
#include <chrono>

#include "cks_log_fixture.h"

namespace {

using namespace kyrlog;

TEST_F(CksLog, HolderThatNeverReleasesGivesEtimeAfterSixtyAttempts)
{
    ASSERT_EQ(1000, cks_lock_wait_ms);
    LDAP *c = bind_as(*ds, ds389_host_dn("hostC"), "secretC");
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(0, set_aci(c, lock_value("hostC")));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ETIME, write(recs(7, 1, 3)));
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::seconds(CKS_LOCK_ATTEMPTS));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_EQ(1u, kyrtest::count_of(log(), "Log lock timeout exceeded for keystore log.host.{1}"));
    EXPECT_EQ(0, set_aci(c, ""));
    EXPECT_EQ(0u, entries(CKS_LOGCUR_RDN));
    ldap_unbind_ext_s(c, nullptr, nullptr);
}

}  // namespace
