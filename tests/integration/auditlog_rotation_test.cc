// Audit logs of a local keystore through the card test bed and the
// production daemon: rotation at the limit, generations, key-set writes,
// reads by count and the old-log mark on every push.
#include "ks_disk_check.h"
#include "ks_ops_fixture.h"

namespace ksit {
namespace {

const char *const KS = "audit.host.{3}";

TEST_F(KsDaemon, WritingUpToTheLimitDoesNotRotate)
{
    start(500);
    create(KS);
    log_fill(KS, 1, 495);
    ASSERT_EQ(0, log_write(KS, 1000, 5));
    EXPECT_EQ(500u, log_read(KS, 0, false).size());
    EXPECT_TRUE(log_read(KS, 0, true).empty());
}

TEST_F(KsDaemon, WritingPastTheLimitRotatesFirst)
{
    start(500);
    create(KS);
    log_fill(KS, 1, 495);
    ASSERT_EQ(0, log_write(KS, 1000, 6));
    EXPECT_EQ(seq(1000, 1005), log_read(KS, 0, false));  // the 6 are the whole new log
    EXPECT_EQ(seq(1, 495), log_read(KS, 0, true));
}

TEST_F(KsDaemon, TwoRotationsKeepOnlyThePreviousGeneration)
{
    start(10);
    create(KS);
    ASSERT_EQ(0, log_write(KS, 1, 8));
    ASSERT_EQ(0, log_write(KS, 100, 5));   // rotation 1: old = 1..8
    ASSERT_EQ(0, log_write(KS, 200, 7));   // rotation 2: old = 100..104
    EXPECT_EQ(seq(200, 206), log_read(KS, 0, false));
    EXPECT_EQ(seq(100, 104), log_read(KS, 0, true));
}

TEST_F(KsDaemon, KeySetWritesNeverRotate)
{
    start(10);
    create(KS);
    ASSERT_EQ(0, log_write(KS, 1, 8, DBM_FLAG_KEY_SET));
    ASSERT_EQ(0, log_write(KS, 100, 30, DBM_FLAG_KEY_SET));
    EXPECT_EQ(38u, log_read(KS, 0, false).size());
    EXPECT_TRUE(log_read(KS, 0, true).empty());
}

// A write into the previous log never rotates: a rotation would remove the
// log being written to.  The current log rotates on its own count only.
TEST_F(KsDaemon, OldLogWritesNeverRotate)
{
    kyrdisk::plant_canary(dir);
    start(3);
    create(KS);
    const auto around = kyrdisk::snapshot(dir, "keydata");
    ASSERT_EQ(0, log_write(KS, 1, 3));    // current 1..3, at the limit
    ASSERT_EQ(0, log_write(KS, 10, 3));   // rotation: old 1..3, current 10..12
    // Either log's count plus 2 is past the limit.
    ASSERT_EQ(0, log_write(KS, 20, 2, DBM_FLAG_OLD_LOG));
    std::vector<uint32_t> old = seq(1, 3);
    old.push_back(20);
    old.push_back(21);
    EXPECT_EQ(old, log_read(KS, 0, true));
    EXPECT_EQ(seq(10, 12), log_read(KS, 0, false));
    // The current log at the limit: one more entry rotates it, whatever the
    // previous log holds.
    ASSERT_EQ(0, log_write(KS, 30, 1));
    EXPECT_EQ(seq(30, 30), log_read(KS, 0, false));
    EXPECT_EQ(seq(10, 12), log_read(KS, 0, true));

    stop();
    EXPECT_EQ(std::vector<std::string>{}, kyrdisk::unsound_dbs(ksdir + "/" + KS));
    EXPECT_EQ(around, kyrdisk::snapshot(dir, "keydata"));
}

// A negative limit would mean "never rotate": it is refused for the default.
TEST_F(KsDaemon, NegativeLimitGivesTheDefault)
{
    start(-1);
    EXPECT_NE(std::string::npos,
              log().find("[warning] Invalid audit log limit value of -1: Using default value of 500"))
        << log();
    create(KS);
    log_fill(KS, 1, 495);
    ASSERT_EQ(0, log_write(KS, 1000, 6));  // 495 + 6 > 500
    EXPECT_EQ(seq(1000, 1005), log_read(KS, 0, false));
    EXPECT_EQ(seq(1, 495), log_read(KS, 0, true));
}

TEST_F(KsDaemon, ReadsByCountInOrder)
{
    start(500);
    create(KS);
    ASSERT_EQ(0, log_write(KS, 1, 10));
    EXPECT_EQ(seq(8, 10), log_read(KS, 3, false));
    EXPECT_EQ(seq(1, 3), log_read(KS, -3, false));
    EXPECT_EQ(seq(1, 10), log_read(KS, 0, false));
    EXPECT_EQ(seq(1, 10), log_read(KS, 10, false));
    EXPECT_EQ(seq(1, 10), log_read(KS, 25, false));
}

TEST_F(KsDaemon, OldLogMarkOnEveryPush)
{
    start(4);
    create(KS);
    // Four entries of 15 000 bytes fill one push; nine need three.
    for (uint32_t i = 1; i <= 9; i += 3)
        ASSERT_EQ(0, log_write(KS, i, 3, DBM_FLAG_KEY_SET, 15000));
    ASSERT_EQ(0, log_write(KS, 50, 1));  // 9 + 1 > 4: rotates
    size_t pushes = 0;
    EXPECT_EQ(seq(1, 9), log_read(KS, 0, true, &pushes));
    EXPECT_EQ(3u, pushes);
    EXPECT_EQ(seq(4, 9), log_read(KS, 6, true, &pushes));
    EXPECT_EQ(2u, pushes);
    EXPECT_EQ(seq(50, 50), log_read(KS, 0, false));
}

TEST_F(KsDaemon, EmptyLogSendsOneEmptyPush)
{
    start(500);
    create(KS);
    size_t pushes = 0;
    EXPECT_TRUE(log_read(KS, 0, false, &pushes).empty());
    EXPECT_EQ(1u, pushes);
    EXPECT_TRUE(log_read(KS, 3, true, &pushes).empty());
    EXPECT_EQ(1u, pushes);
}

TEST_F(KsDaemon, ShortLogEntryIsRefusedWhole)
{
    start(500);
    create(KS);
    kyrsim_msg m = kyrsim_msg_make(DB_LOG_WRITE, KS);
    kyrsim_msg_add_obj(&m, 0x77, 1, log_entry(1));
    kyrsim_msg_add_obj(&m, 0x77, 2, std::vector<uint8_t>(20, 'x'));  // shorter than its key
    EXPECT_EQ(EINVAL, status_of(xchg(KS, m)));
    EXPECT_TRUE(log_read(KS, 0, false).empty());
}

}  // namespace
}  // namespace ksit
