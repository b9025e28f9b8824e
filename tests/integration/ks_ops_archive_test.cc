// Keystore-level upcalls through the card test bed and the production
// daemon: archive, unarchive, rename, join and the whole-keystore read, and
// names that a shell would have run.
#include <db.h>

#include <algorithm>

#include "cmd_lines.h"
#include "ks_disk_check.h"
#include "ks_ops_fixture.h"

namespace ksit {
namespace {

const char *const KS = "vault.host.{5}";

class KsOpsDaemon : public KsDaemon {
protected:
    void fill(const std::string &ks)
    {
        kyrsim_msg u = kyrsim_msg_make(DB_USER_WRITE, ks);
        kyrsim_msg_add_user(&u, kyrsim_user_id("alice"), bytes("officer"));
        kyrsim_msg_add_user(&u, kyrsim_user_id("bob"), bytes("user"));
        ASSERT_EQ(0, status_of(xchg(ks, u)));
        kyrsim_msg o = kyrsim_msg_make(DB_OBJECT_WRITE, ks);
        o.owner = kyrsim_user_id("alice");
        kyrsim_msg_add_obj(&o, 1, 2, bytes("key material"));
        ASSERT_EQ(0, status_of(xchg(ks, o)));
        ASSERT_EQ(0, log_write(ks, 1, 4));
    }
    // The records of a DB_READ, message by message (types, flags, records).
    std::vector<std::string> read_all(const std::string &ks)
    {
        std::vector<kyrsim_msg> got = read_db(ks);
        std::vector<std::string> out;
        for (const kyrsim_msg &m : got) {
            std::string line = std::string(kyrsim_type_name(m.type)) + " flags=" +
                               std::to_string(m.flags) + " n=" + std::to_string(m.recs.size());
            for (const kyrsim_rec &r : m.recs)
                line += " " + std::string(r.id.begin(), r.id.end()) + "=" +
                        std::string(r.data.begin(), r.data.end());
            out.push_back(line);
        }
        return out;
    }
    int32_t archive(const std::string &ks, std::string *name = nullptr)
    {
        std::vector<kyrsim_msg> got = xchg(ks, kyrsim_msg_make(DB_ARCHIVE, ks));
        if (name != nullptr && got.size() == 1)
            *name = got[0].ksname;
        return status_of(got);
    }
    int32_t unarchive(const std::string &file)
    {
        return status_of(xchg("", kyrsim_msg_make(DB_UNARCHIVE, file)));
    }
    int32_t rename_ks(const std::string &ks, const std::string &to)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_RENAME, ks);
        m.newname = to;
        return status_of(xchg(ks, m));
    }
    int32_t join(const std::string &ks)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_JOIN, ks);
        m.kstype = DBM_KS_LOCAL;
        return status_of(xchg("", m));
    }
};

TEST_F(KsOpsDaemon, ArchiveListsExactlyTheExpectedMembers)
{
    start();
    create(KS);
    fill(KS);
    std::string name;
    ASSERT_EQ(0, archive(KS, &name));
    EXPECT_EQ(std::string(KS) + ".tar", name);
    std::string k = KS;
    EXPECT_EQ(std::vector<std::string>({k + ".conf", k + "/auditlog.db", k + "/auditlog.old.db",
                                        k + "/object.db", k + "/user.db"}),
              tar_members(ksdir + "/" + k + ".tar"));
}

// A keystore directory configured relative to the daemon's working
// directory is kept absolute: the archive is made inside it by tar, which
// would resolve a relative archive path from there.
TEST_F(KsOpsDaemon, ArchiveWithARelativeKeystoreDirectory)
{
    kyrdisk::plant_canary(dir);
    ksdir_conf = "keydata";  // the daemon runs in dir
    start();
    create(KS);
    fill(KS);
    const auto around = kyrdisk::snapshot(dir, "keydata");
    std::string name;
    ASSERT_EQ(0, archive(KS, &name)) << log();
    std::string k = KS;
    EXPECT_EQ(std::vector<std::string>({k + ".conf", k + "/auditlog.db", k + "/auditlog.old.db",
                                        k + "/object.db", k + "/user.db"}),
              tar_members(ksdir + "/" + k + ".tar"));
    EXPECT_EQ(4u, read_all(KS).size()) << "the next upcall is served";
    EXPECT_EQ(around, kyrdisk::snapshot(dir, "keydata"));
}

TEST_F(KsOpsDaemon, ArchiveWithoutOldLogLeavesItOut)
{
    start();
    create(KS);
    // Between upcalls nothing holds the environment open: remove the old
    // log the way a keystore from before its introduction would lack it.
    DB_ENV *env = nullptr;
    ASSERT_EQ(0, db_env_create(&env, 0));
    ASSERT_EQ(0, env->open(env, (ksdir + "/" + KS).c_str(),
                           DB_CREATE | DB_RECOVER | DB_INIT_LOCK | DB_INIT_LOG | DB_INIT_MPOOL |
                               DB_INIT_TXN, 0));
    ASSERT_EQ(0, env->dbremove(env, nullptr, "auditlog.old.db", nullptr, DB_AUTO_COMMIT));
    env->close(env, 0);
    ASSERT_EQ(0, archive(KS));
    std::string k = KS;
    EXPECT_EQ(std::vector<std::string>({k + ".conf", k + "/auditlog.db", k + "/object.db",
                                        k + "/user.db"}),
              tar_members(ksdir + "/" + k + ".tar"));
}

TEST_F(KsOpsDaemon, UnarchiveRestoresAKeystoreThatReadsTheSame)
{
    start();
    create(KS);
    fill(KS);
    std::vector<std::string> before = read_all(KS);
    ASSERT_EQ(4u, before.size());
    ASSERT_EQ(0, archive(KS));
    ASSERT_EQ(0, status_of(xchg(KS, kyrsim_msg_make(DB_DELETE, KS))));
    ASSERT_FALSE(exists(ksdir + "/" + KS));
    ASSERT_EQ(0, unarchive(std::string(KS) + ".tar"));
    EXPECT_TRUE(gone_soon(ksdir + "/" + KS + ".tar"));
    ASSERT_EQ(0, join(KS));
    ASSERT_EQ(0, kyrsim_wait_hello(sim, KS, kWait)) << log();
    EXPECT_EQ(before, read_all(KS));
}

TEST_F(KsOpsDaemon, FailingUnarchiveLeavesTheArchive)
{
    start();
    std::ofstream(ksdir + "/broken.tar") << std::string(2048, 'z');
    int32_t st = unarchive("broken.tar");
    EXPECT_NE(0, st);
    EXPECT_NE(-1000, st);
    EXPECT_TRUE(exists(ksdir + "/broken.tar"));
    EXPECT_EQ(EINVAL, unarchive("../outside.tar"));
}

TEST_F(KsOpsDaemon, RenameOntoNonEmptyDirectoryFailsAndChangesNothing)
{
    start();
    create(KS);
    fill(KS);
    ASSERT_EQ(0, mkdir((ksdir + "/taken").c_str(), 0700));
    std::ofstream(ksdir + "/taken/file") << "x";
    int32_t st = rename_ks(KS, "taken");
    EXPECT_TRUE(st == ENOTEMPTY || st == EEXIST) << st;
    EXPECT_TRUE(exists(ksdir + "/" + KS + "/user.db"));
    // The thread list still names the keystore: a join finds it served and
    // starts no second thread.
    ASSERT_EQ(0, join(KS));
    EXPECT_EQ(1, kyrsim_hello_count(sim, KS));
    EXPECT_EQ(4u, read_all(KS).size());
}

TEST_F(KsOpsDaemon, RenameMovesTheEnvironmentAndTheThreadListEntry)
{
    start();
    create(KS);
    fill(KS);
    ASSERT_EQ(0, rename_ks(KS, "moved.host.{5}"));
    EXPECT_TRUE(exists(ksdir + "/moved.host.{5}/user.db"));
    EXPECT_FALSE(exists(ksdir + "/" + KS));
    ASSERT_EQ(0, join("moved.host.{5}"));  // already served under its new name
    EXPECT_EQ(0, kyrsim_hello_count(sim, "moved.host.{5}"));
}

TEST_F(KsOpsDaemon, EmptyKeystoreReadSendsFourEmptyPushes)
{
    start();
    create(KS);
    std::vector<kyrsim_msg> got = read_db(KS);
    ASSERT_EQ(4u, got.size());
    const uint32_t types[] = {DB_USER_PUSH, DB_OBJECT_PUSH, DB_LOG_PUSH, DB_LOG_PUSH};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(types[i], got[i].type) << i;
        EXPECT_EQ(0, got[i].count) << i;
        EXPECT_EQ(0u, got[i].flags & DBM_FLAG_MORE) << i;
        EXPECT_EQ(i == 3, (got[i].flags & DBM_FLAG_OLD_LOG) != 0) << i;
    }
}

TEST_F(KsOpsDaemon, ShellMetacharactersInNamesRunNothing)
{
    start();
    const std::string a = "x;touch pwned-a";
    create(a);
    std::string name;
    EXPECT_EQ(0, archive(a, &name));
    EXPECT_EQ(a + ".tar", name);
    EXPECT_EQ(5u, tar_members(ksdir + "/" + a + ".tar").size());
    EXPECT_EQ(0, rename_ks(a, "$(touch pwned-b)"));
    EXPECT_TRUE(exists(ksdir + "/$(touch pwned-b)/user.db"));
    std::ofstream(ksdir + "/`touch pwned-c`.tar") << "not an archive";
    EXPECT_NE(0, unarchive("`touch pwned-c`.tar"));
    EXPECT_NE(0, unarchive("$(touch pwned-d).tar"));
    // Names with a slash are no keystore names at all; as an archive name
    // it is a missing file in a sub-directory.  Nothing runs either way.
    // (The thread stays registered with the simulator under its first name.)
    const std::string abs_marker = dir + "/pwned-abs";
    const std::string slashed = "x;touch " + abs_marker;
    if (slashed.size() < 60) {
        EXPECT_EQ(EINVAL, status_of(xchg(a, kyrsim_msg_make(DB_ARCHIVE, slashed))));
        kyrsim_msg r = kyrsim_msg_make(DB_RENAME, "$(touch pwned-b)");
        r.newname = slashed;
        EXPECT_EQ(EINVAL, status_of(xchg(a, r)));
        EXPECT_NE(0, unarchive(slashed + ".tar"));
    }
    kyrsim_msg r = kyrsim_msg_make(DB_RENAME, "$(touch pwned-b)");
    r.newname = "$(id)";
    EXPECT_EQ(0, status_of(xchg(a, r)));
    std::ofstream(ksdir + "/$(id).conf") << "renamed";  // the configuration keeps its name
    std::vector<kyrsim_msg> got = xchg(a, kyrsim_msg_make(DB_ARCHIVE, "$(id)"));
    EXPECT_EQ(0, status_of(got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("$(id).tar", got[0].ksname);
    EXPECT_FALSE(exists(abs_marker));
    for (const char *m : {"pwned-a", "pwned-b", "pwned-c", "pwned-d"}) {
        EXPECT_FALSE(exists(ksdir + "/" + m)) << m;
        EXPECT_FALSE(exists(dir + "/" + m)) << m;
        EXPECT_FALSE(exists(std::string("/") + m)) << m;
    }
}

}  // namespace
}  // namespace ksit
