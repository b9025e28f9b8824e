// Local keystores through the production daemon and the card simulator:
// creation, name checks, removal, users and objects, keystore files.
#include <fcntl.h>

#include <atomic>
#include <thread>

#include "ks_disk_check.h"
#include "localks_fixture.h"

namespace {

using namespace kyrlks;

const char kKs[] = "lks.host.{1}";

class LocalKs : public LocalKsTest {
protected:
    void SetUp() override
    {
        LocalKsTest::SetUp();
        if (HasFatalFailure())
            return;
        start();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(0, create(kKs)) << log();
        write_file(std::string(kKs) + ".conf", "configuration");
    }
};

TEST_F(LocalKs, CreationMakesTheDatabasesAndRefusesAnExistingName)
{
    for (const char *db : {"user.db", "object.db", "auditlog.db", "auditlog.old.db"})
        EXPECT_TRUE(exists(ks_path(std::string(kKs) + "/" + db))) << db;
    // The keystore's thread already runs, so no second one says hello.
    std::vector<kyrsim_msg> answer;
    ASSERT_EQ(0, kyrsim_post(sim, "", kyrsim_msg_make(DB_INIT, kKs)));
    ASSERT_EQ(0, kyrsim_collect(sim, "", kWait, &answer)) << log();
    ASSERT_EQ(1u, answer.size());
    EXPECT_EQ(DB_RESPONSE, answer[0].type);
    EXPECT_EQ(EEXIST, answer[0].status);
    // Names that would leave the keystore directory create nothing.
    kyrsim_msg bad = kyrsim_msg_make(DB_INIT, "../outside");
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_post(sim, "", bad));
    ASSERT_EQ(0, kyrsim_collect(sim, "", kWait, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(EINVAL, got[0].status);
    EXPECT_FALSE(exists(dir + "/outside"));
}

// Creation fails part-way when a file that is not a database stands where
// the second database goes: it is planted the moment the first database
// appears.  The failure is answered and leaves nothing behind.
TEST_F(LocalKs, CreationFailingPartWayLeavesNothingBehind)
{
    // The planter races the daemon for the moment between the creation of
    // user.db and object.db; on a loaded machine it may lose many rounds.
    int failures = 0;
    for (int attempt = 0; attempt < 300 && failures == 0; attempt++) {
        std::string name = "part.host.{" + std::to_string(attempt) + "}";
        std::string env = ks_path(name);
        std::atomic<bool> stop{false};
        std::atomic<bool> planted{false};
        std::thread planter([&] {
            while (!stop && !exists(env + "/user.db"))
                ;
            int fd = open((env + "/object.db").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
            if (fd >= 0) {
                std::string junk(8192, 'j');
                planted = write(fd, junk.data(), junk.size()) == static_cast<ssize_t>(junk.size());
                close(fd);
            }
        });
        ASSERT_EQ(0, kyrsim_post(sim, "", kyrsim_msg_make(DB_INIT, name)));
        ASSERT_EQ(0, kyrsim_wait_standby(sim, "", kWait));
        stop = true;
        planter.join();
        kyrsim_msg answer;
        bool answered = kyrsim_next_msg(sim, "", 500, &answer) == 0;
        if (!planted) {
            EXPECT_FALSE(answered);   // the planter was late: created
            continue;
        }
        failures++;
        ASSERT_TRUE(answered);
        EXPECT_EQ(DB_RESPONSE, answer.type);
        EXPECT_NE(0, answer.status);
        EXPECT_FALSE(exists(env)) << log();
    }
    EXPECT_EQ(1, failures);
}

TEST_F(LocalKs, ShortNameCheckIgnoresCaseAndTheLastTwoParts)
{
    kyrsim_msg m = kyrsim_msg_make(DB_CHECK, "LKS");
    EXPECT_EQ(EEXIST, status_of(kKs, m));
    m.ksname = "lks.HOST";
    EXPECT_EQ(EEXIST, status_of(kKs, m));
    m.ksname = "lk";
    EXPECT_EQ(0, status_of(kKs, m));
    m.ksname = "other.host.{7}";
    EXPECT_EQ(0, status_of(kKs, m));
    m.ksname = kKs;
    EXPECT_EQ(EEXIST, status_of(kKs, m));
}

TEST_F(LocalKs, RemovalTakesTheKeystoreAndReportsAMissingConf)
{
    ASSERT_EQ(0, create("bare.host.{2}"));
    EXPECT_EQ(ENOENT, status_of("bare.host.{2}", kyrsim_msg_make(DB_DELETE, "bare.host.{2}")));
    EXPECT_FALSE(exists(ks_path("bare.host.{2}")));

    EXPECT_EQ(0, status_of(kKs, kyrsim_msg_make(DB_DELETE, kKs)));
    EXPECT_FALSE(exists(ks_path(kKs)));
    EXPECT_FALSE(exists(ks_path(std::string(kKs) + ".conf")));
}

TEST_F(LocalKs, UsersAreReplacedAndDeletedWithTheirObjects)
{
    EXPECT_EQ(0, status_of(kKs, users_msg(DB_USER_WRITE, kKs, {{1, "one"}, {2, "two"}})));
    EXPECT_EQ(0, status_of(kKs, users_msg(DB_USER_WRITE, kKs, {{1, "uno"}})));
    auto users = all_users(kKs);
    ASSERT_EQ(2u, users.size());
    EXPECT_EQ("uno", users[0].second);

    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 1, {{1, "a"}, {2, "b"}})));
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 2, {{1, "c"}})));
    // Deleting a missing object succeeds.
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_DEL, kKs, 2, {{99, ""}})));
    // A missing user rolls back the whole message.
    EXPECT_EQ(DB_NOTFOUND, status_of(kKs, users_msg(DB_USER_DEL, kKs, {{1, ""}, {42, ""}})));
    EXPECT_EQ(2u, all_users(kKs).size());
    EXPECT_EQ(2u, object_count(kKs, 1));
    // The user's deletion takes its objects.
    EXPECT_EQ(0, status_of(kKs, users_msg(DB_USER_DEL, kKs, {{1, ""}})));
    EXPECT_EQ(1u, all_users(kKs).size());
    EXPECT_EQ(0u, object_count(kKs, 1));
    EXPECT_EQ(1u, object_count(kKs, 2));
}

TEST_F(LocalKs, AMultiMessageWriteWhoseSecondMessageFailsKeepsTheFirst)
{
    kyrsim_msg part2 = users_msg(DB_USER_WRITE, kKs, {{2, "two"}, {3, "three"}});
    part2.recs[1].len = 60000;   // passes the end of the message
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, part2));
    kyrsim_msg part1 = users_msg(DB_USER_WRITE, kKs, {{1, "one"}});
    part1.flags = DBM_FLAG_MORE;
    std::vector<kyrsim_msg> got = exchange(kKs, part1);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(0, got[0].status);
    EXPECT_NE(0, got.back().status);
    auto users = all_users(kKs);
    ASSERT_EQ(1u, users.size());
    EXPECT_EQ(uid(1), users[0].first);
}

TEST_F(LocalKs, PushesSplitAtTheExactByte)
{
    // 96 + 24 + a + 24 + b = 61423: both users share one push.
    const size_t a = 20000, b = DBM_MAX_MSG - 96 - 48 - a;
    EXPECT_EQ(0, status_of(kKs, users_msg(DB_USER_WRITE, kKs, {{1, std::string(a, 'a')}})));
    EXPECT_EQ(0, status_of(kKs, users_msg(DB_USER_WRITE, kKs, {{2, std::string(b, 'b')}})));
    std::vector<kyrsim_msg> got = exchange(kKs, kyrsim_msg_make(DB_USER_READ, kKs));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(2u, got[0].recs.size());
    EXPECT_EQ(DBM_MAX_MSG, got[0].paramSize);

    EXPECT_EQ(0, status_of(kKs, users_msg(DB_USER_WRITE, kKs, {{2, std::string(b + 1, 'B')}})));
    got = exchange(kKs, kyrsim_msg_make(DB_USER_READ, kKs));
    ASSERT_EQ(2u, got.size());
    EXPECT_TRUE(got[0].flags & DBM_FLAG_MORE);
    EXPECT_FALSE(got[1].flags & DBM_FLAG_MORE);
    ASSERT_EQ(1u, got[1].recs.size());
    EXPECT_EQ(b + 1, got[1].recs[0].data.size());
}

TEST_F(LocalKs, ObjectsOfThreeOwnersArriveInPerOwnerPushes)
{
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 3, {{1, "c1"}, {2, "c2"}})));
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 1, {{1, "a1"}})));
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 2, {{5, "b5"}, {6, "b6"}, {7, "b7"}})));
    std::vector<kyrsim_msg> got = exchange(kKs, objs_msg(DB_OBJECT_READ, kKs, 0, {}));
    ASSERT_EQ(3u, got.size());
    const unsigned owners[] = {1, 2, 3};
    const size_t counts[] = {1, 3, 2};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(DB_OBJECT_PUSH, got[i].type);
        EXPECT_EQ(uid(owners[i]), got[i].owner) << i;
        EXPECT_EQ(counts[i], got[i].recs.size()) << i;
        EXPECT_EQ(i < 2, (got[i].flags & DBM_FLAG_MORE) != 0) << i;
    }
}

// Objects whose owner is all zeros come first in the database; they travel
// in a push of their own that names no owner, not under the next owner.
TEST_F(LocalKs, ObjectsWithoutOwnerArriveInAPushOfTheirOwn)
{
    kyrdisk::plant_canary(dir);
    const auto around = kyrdisk::snapshot(dir, "keys");
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 0, {{1, "z1"}, {2, "z2"}})));
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 2, {{5, "b5"}})));
    EXPECT_EQ(0, status_of(kKs, objs_msg(DB_OBJECT_WRITE, kKs, 1, {{1, "a1"}})));
    std::vector<kyrsim_msg> got = exchange(kKs, objs_msg(DB_OBJECT_READ, kKs, 0, {}));
    ASSERT_EQ(3u, got.size());
    const std::vector<uint8_t> owners[] = {std::vector<uint8_t>(20, 0), uid(1), uid(2)};
    const std::vector<std::string> data[] = {{"z1", "z2"}, {"a1"}, {"b5"}};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(DB_OBJECT_PUSH, got[i].type);
        EXPECT_EQ(owners[i], got[i].owner) << i;
        std::vector<std::string> d;
        for (const kyrsim_rec &r : got[i].recs)
            d.push_back(text(r.data));
        EXPECT_EQ(data[i], d) << i;
        EXPECT_EQ(i < 2, (got[i].flags & DBM_FLAG_MORE) != 0) << i;
    }
    // The next upcall is served; the keystore is sound and nothing beside
    // it changed.
    EXPECT_EQ(2u, object_count(kKs, 1) + object_count(kKs, 2));
    stop();
    EXPECT_EQ(std::vector<std::string>{}, kyrdisk::unsound_dbs(ks_path(kKs)));
    EXPECT_EQ(around, kyrdisk::snapshot(dir, "keys"));
}

TEST_F(LocalKs, FilesAreReadInChunksOfAtMost61327Bytes)
{
    std::string exact(DBM_FILE_CHUNK, 'x'), more(DBM_FILE_CHUNK + 1, 'y');
    write_file("exact.bin", exact);
    write_file("more.bin", more);
    kyrsim_msg r = kyrsim_msg_make(DB_FILE_READ, "exact.bin");
    std::vector<kyrsim_msg> got = exchange(kKs, r);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(DB_FILE_PUSH, got[0].type);
    EXPECT_EQ(exact, text(got[0].filedata));
    EXPECT_FALSE(got[0].flags & DBM_FLAG_MORE);

    r = kyrsim_msg_make(DB_CONFIG_READ, "more.bin");
    got = exchange(kKs, r);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(DB_CONFIG_PUSH, got[0].type);
    EXPECT_TRUE(got[0].flags & DBM_FLAG_MORE);
    EXPECT_EQ(DBM_FILE_CHUNK, got[0].filedata.size());
    EXPECT_EQ(1u, got[1].filedata.size());
    EXPECT_EQ(DBM_FILE_CHUNK + 1u, got[1].filesize);
    EXPECT_EQ(more, text(got[0].filedata) + text(got[1].filedata));
}

TEST_F(LocalKs, AThreePartReplacingWriteKeepsTheOldFileUntilTheLastPart)
{
    write_file("cfg", "old");
    std::string p1(1000, '1'), p2(2000, '2'), p3 = "3";
    uint32_t total = static_cast<uint32_t>(p1.size() + p2.size() + p3.size());
    kyrsim_msg m1 = kyrsim_msg_make(DB_FILE_WRITE, "cfg"), m2 = m1, m3 = m1;
    kyrsim_msg_set_file(&m1, total, bytes(p1));
    kyrsim_msg_set_file(&m2, total, bytes(p2));
    kyrsim_msg_set_file(&m3, total, bytes(p3));
    m1.flags = m2.flags = DBM_FLAG_MORE;
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, m2));
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, m3));
    // Refuse the answer to the third part: that answer goes out only once
    // the new file is in place, so the refusal finds it there already.
    ASSERT_EQ(0, kyrsim_queue_refusal(sim, kKs, 1, EIO));
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_post(sim, kKs, m1));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, kKs, kWait));
    kyrsim_msg one;
    while (kyrsim_next_msg(sim, kKs, 500, &one) == 0)
        got.push_back(one);
    EXPECT_EQ(3u, got.size());
    EXPECT_EQ(p1 + p2 + p3, slurp(ks_path("cfg")));
    write_file("cfg", "old");

    kyrsim_clear_queue(sim, kKs);
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, m2));
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, m3));
    got = exchange(kKs, m1);
    EXPECT_EQ(0, got.back().status);
    ASSERT_EQ(0, kyrsim_wait_standby(sim, kKs, kWait));
    EXPECT_EQ(p1 + p2 + p3, slurp(ks_path("cfg")));
    ASSERT_EQ(3u, got.size());
    // No temporary file stays behind.
    EXPECT_EQ(0, system(("test -z \"$(ls '" + ksdir + "' | grep '^kyr\\.')\"").c_str()));
}

// Names that would leave the keystore directory and file parts of an
// impossible size are refused with EINVAL, and nothing on disk changes.
TEST_F(LocalKs, RefusalsLeaveTheDiskAsItWas)
{
    write_file("cfg", "old");
    std::ofstream(dir + "/victim") << "keep";
    auto listing = [&] {
        std::string cmd = "cd '" + dir + "' && find . -printf '%p %s\\n' | sort > '" + dir + ".list'";
        EXPECT_EQ(0, system(cmd.c_str()));
        return slurp(dir + ".list");
    };
    std::string before = listing();

    kyrsim_msg w = kyrsim_msg_make(DB_FILE_WRITE, "../victim");
    kyrsim_msg_set_file(&w, 3, bytes("bad"));
    EXPECT_EQ(EINVAL, status_of(kKs, w));
    w.flags = DBM_FLAG_APPEND;
    EXPECT_EQ(EINVAL, status_of(kKs, w));
    EXPECT_EQ(EINVAL, status_of(kKs, kyrsim_msg_make(DB_FILE_DEL, "../victim")));
    EXPECT_EQ(EINVAL, status_of(kKs, kyrsim_msg_make(DB_FILE_READ, "/etc/hostname")));

    kyrsim_msg small = kyrsim_msg_make(DB_FILE_WRITE, "cfg");
    kyrsim_msg_set_file(&small, 3, bytes("new"));
    small.paramSize = 95;
    EXPECT_EQ(EINVAL, status_of(kKs, small));

    kyrsim_msg check = kyrsim_msg_make(DB_CHECK, "a/b");
    EXPECT_EQ(EINVAL, status_of(kKs, check));
    EXPECT_EQ(EINVAL, status_of(kKs, kyrsim_msg_make(DB_DELETE, "..")));

    EXPECT_EQ(before, listing());
    EXPECT_EQ("old", slurp(ks_path("cfg")));
    EXPECT_EQ("keep", slurp(dir + "/victim"));
    unlink((dir + ".list").c_str());
}

}  // namespace
