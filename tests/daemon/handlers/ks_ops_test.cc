// Keystore-level handlers: archive and unarchive through tar without a
// shell, rename, join refusals and the four-pass whole-keystore read.
#include <gtest/gtest.h>

#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include "cmd_lines.h"
#include "fake_fw.h"
#include "localks/localks.h"

namespace {

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// Runs fn in a service thread of its own: entered in the thread list under
// `name` with `ks` as its keystore information, marked dead afterwards and
// reaped, as the daemon's threads are.
struct served_job {
    kstinfo *ks;
    std::string name;
    std::function<void()> fn;
    sem_t done;
};

void *served_main(void *arg)
{
    served_job *job = static_cast<served_job *>(arg);
    pthread_setspecific(ptconfkey, job->ks);
    kstinfo *entry = create_kstinfo(job->name.c_str(), job->ks->kstype);
    EXPECT_EQ(0, tlist_add(pthread_self(), entry));
    free_kstinfo(entry);
    job->fn();
    EXPECT_EQ(0, tlist_mark_self_dead());
    pthread_setspecific(ptconfkey, nullptr);
    sem_post(&job->done);
    return nullptr;
}

void run_served(kstinfo *ks, const std::string &name, std::function<void()> fn)
{
    served_job job{ks, name, std::move(fn), {}};
    sem_init(&job.done, 0, 0);
    pthread_t tid;
    ASSERT_EQ(0, pthread_create(&tid, nullptr, served_main, &job));
    while (sem_wait(&job.done) != 0) {
    }
    tlist_reap();  // joins the thread
    sem_destroy(&job.done);
}

class KsOps : public ::testing::Test {
protected:
    fake_ks k;

    void SetUp() override
    {
        ASSERT_EQ(0, fake_ks_init(&k, "vault.host.{7}", DBM_KS_LOCAL));
        fake_fw_install();
    }
    void TearDown() override
    {
        fake_fw_uninstall();
        fake_ks_fini(&k);
    }
    void make_keystore(const std::string &name)
    {
        fw_load(k.buf, fw_make_ks_msg(DB_INIT, name, DBM_KS_LOCAL, false));
        ASSERT_EQ(0, localks_db_make(k.buf));
        ASSERT_TRUE(fw_write_file(k.dir + "/" + name + ".conf", "config of " + name));
    }
    std::string path(const std::string &rel) const { return k.dir + "/" + rel; }
    // Archived by the keystore's own thread.
    int archive(const std::string &name)
    {
        free(k.ks->name);
        k.ks->name = strdup(name.c_str());
        fw_load(k.buf, fw_make_ks_msg(DB_ARCHIVE, name, 0, false));
        return task_db_archive(k.buf);
    }
    int unarchive(const std::string &name)
    {
        fw_load(k.buf, fw_make_ks_msg(DB_UNARCHIVE, name, 0, false));
        return task_db_unarchive(k.buf);
    }
    int rename_to(const std::string &from, const std::string &to)
    {
        fw_bytes m = fw_make_ks_msg(DB_RENAME, from, 0, false);
        m.resize(DBM_PARAM_SIZE, 0);
        memcpy(&m[DBM_NEWNAME_OFF], to.c_str(), std::min<size_t>(to.size(), 63));
        fw_load(k.buf, m);
        return task_db_rename(k.buf);
    }
    const fw_bytes &last_sent() { return fake_fw_sent(fake_fw_count() - 1); }
};

TEST_F(KsOps, ArchiveHoldsExactlyTheKeystoreFiles)
{
    make_keystore(k.name);
    ASSERT_EQ(0, archive(k.name));
    ASSERT_EQ(1u, fake_fw_count());
    fw_hdr hd = fw_header(last_sent());
    EXPECT_EQ(uint32_t(DB_RESPONSE), hd.type);
    EXPECT_EQ(0, hd.status);
    EXPECT_EQ(k.name + ".tar", fw_name(last_sent(), DBM_KSNAME_OFF));
    std::vector<std::string> want = {k.name + ".conf", k.name + "/auditlog.db",
                                     k.name + "/auditlog.old.db", k.name + "/object.db",
                                     k.name + "/user.db"};
    EXPECT_EQ(want, tar_members(path(k.name + ".tar")));
}

TEST_F(KsOps, ArchiveFailsWhenTarFails)
{
    make_keystore(k.name);
    ASSERT_EQ(0, unlink(path(k.name + ".conf").c_str()));  // tar cannot find a member
    int st = archive(k.name);
    EXPECT_NE(0, st);
    EXPECT_NE(ECANCELED, st);
    EXPECT_EQ(0u, fake_fw_count());  // the service loop answers the failure
}

// A ".conf" or database hard-linked to a file elsewhere is another place's
// file too: the archive would carry it to the firmware.  Refused, no archive.
TEST_F(KsOps, ArchiveOfAHardLinkedFileIsRefused)
{
    make_keystore(k.name);
    char tmpl[] = "/tmp/kyr_linked.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string outside = std::string(tmpl) + "/secret";
    ASSERT_TRUE(fw_write_file(outside, "secret"));
    ASSERT_EQ(0, unlink(path(k.name + ".conf").c_str()));
    if (link(outside.c_str(), path(k.name + ".conf").c_str()) != 0)
        GTEST_SKIP() << "no hard link from " << tmpl << " to " << k.dir;
    EXPECT_EQ(EINVAL, archive(k.name));
    EXPECT_FALSE(exists(path(k.name + ".tar")));

    // The ".conf" its own again, a database linked out instead.
    ASSERT_EQ(0, unlink(path(k.name + ".conf").c_str()));
    ASSERT_TRUE(fw_write_file(path(k.name + ".conf"), "config"));
    const std::string db = path(k.name + "/auditlog.old.db");
    const std::string db_out = std::string(tmpl) + "/auditlog.old.db";
    ASSERT_EQ(0, link(db.c_str(), db_out.c_str()));
    EXPECT_EQ(EINVAL, archive(k.name));
    EXPECT_FALSE(exists(path(k.name + ".tar")));
    EXPECT_EQ(0u, fake_fw_count());
    unlink(outside.c_str());
    unlink(db_out.c_str());
    rmdir(tmpl);
}

TEST_F(KsOps, ArchiveOfCentralizedKeystoreIsRefused)
{
    k.ks->kstype = DBM_KS_LDAP;
    EXPECT_EQ(EOPNOTSUPP, archive(k.name));
    EXPECT_FALSE(exists(path(k.name + ".tar")));
}

TEST_F(KsOps, ArchiveNameThatWouldNotFitTheAnswerIsRefused)
{
    std::string longname(60, 'n');  // "nnn...n.tar" needs 64 characters
    make_keystore(longname);
    EXPECT_EQ(ENAMETOOLONG, archive(longname));
    EXPECT_FALSE(exists(path(longname + ".tar")));
}

TEST_F(KsOps, ShellMetacharactersRunNothing)
{
    for (const std::string &name : {std::string("x;touch pwned1"), std::string("$(touch pwned2)"),
                                   std::string("`touch pwned3`"), std::string("a' 'b|touch pwned4")}) {
        SCOPED_TRACE(name);
        make_keystore(name);
        ASSERT_EQ(0, archive(name));
        EXPECT_EQ(name + ".tar", fw_name(last_sent(), DBM_KSNAME_OFF));
        EXPECT_EQ(5u, tar_members(path(name + ".tar")).size());
        ASSERT_EQ(0, localks_del_keystore(k.dir.c_str(), name.c_str()));
        ASSERT_EQ(0, unarchive(name + ".tar"));
        EXPECT_TRUE(exists(path(name + "/user.db")));
        EXPECT_FALSE(exists(path(name + ".tar")));
        kstinfo *own = create_kstinfo(name.c_str(), DBM_KS_LOCAL);
        run_served(own, name, [&] {
            EXPECT_EQ(0, rename_to(name, name + "2")) << "rename of a keystore with such a name";
            EXPECT_TRUE(tlist_is_served((name + "2").c_str(), DBM_KS_LOCAL));
        });
        free_kstinfo(own);
        EXPECT_TRUE(exists(path(name + "2/user.db")));
    }
    for (int i = 1; i <= 4; i++) {
        std::string marker = "pwned" + std::to_string(i);
        EXPECT_FALSE(exists(path(marker))) << marker;
        EXPECT_FALSE(exists(marker)) << marker;
    }
}

TEST_F(KsOps, UnarchiveRestoresKeystoreAndRemovesArchive)
{
    make_keystore(k.name);
    std::string conf_before = fw_read_file(path(k.name + ".conf"));
    std::string users_before = fw_read_file(path(k.name + "/user.db"));
    ASSERT_EQ(0, archive(k.name));
    ASSERT_EQ(0, localks_del_keystore(k.dir.c_str(), k.name.c_str()));
    ASSERT_FALSE(exists(path(k.name)));
    fake_fw_reset();
    ASSERT_EQ(0, unarchive(k.name + ".tar"));
    ASSERT_EQ(1u, fake_fw_count());
    EXPECT_EQ(0, fw_header(last_sent()).status);
    EXPECT_EQ(conf_before, fw_read_file(path(k.name + ".conf")));
    EXPECT_EQ(users_before, fw_read_file(path(k.name + "/user.db")));
    EXPECT_FALSE(exists(path(k.name + ".tar")));
}

TEST_F(KsOps, FailingUnarchiveKeepsTheArchive)
{
    ASSERT_TRUE(fw_write_file(path("broken.tar"), std::string(3000, 'z')));
    int st = unarchive("broken.tar");
    EXPECT_NE(0, st);
    EXPECT_NE(ECANCELED, st);
    EXPECT_TRUE(exists(path("broken.tar")));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_NE(0, unarchive("missing.tar"));
}

TEST_F(KsOps, UnarchiveNamesOutsideTheKeystoreDirectoryAreRefused)
{
    for (const char *bad : {"../x.tar", "/etc/passwd", "a/../../x.tar", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(EINVAL, unarchive(bad));
    }
    EXPECT_EQ(0u, fake_fw_count());
}

TEST_F(KsOps, UnarchiveNeverWritesOutsideTheKeystoreDirectory)
{
    // An archive whose members climb out with ".." or are absolute.
    std::string outside = k.dir + "-outside";
    ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
    ASSERT_TRUE(fw_write_file(path("victim"), "payload"));
    std::string cmd = "cd '" + k.dir + "' && tar -cPf evil.tar --transform 's,^,../" +
                      outside.substr(outside.rfind('/') + 1) + "/,' victim && tar -rPf evil.tar "
                      "--transform 's,^," + outside + "/abs-,' victim";
    ASSERT_EQ(0, system(cmd.c_str()));
    ASSERT_EQ(0, unlink(path("victim").c_str()));
    unarchive("evil.tar");  // tar may succeed after stripping, or refuse
    EXPECT_FALSE(exists(outside + "/victim"));
    EXPECT_FALSE(exists(outside + "/abs-victim"));
    rmdir(outside.c_str());
}

TEST_F(KsOps, RenameMovesDirectoryThreadListAndThreadName)
{
    make_keystore(k.name);
    run_served(k.ks, k.name, [&] {
        ASSERT_EQ(0, rename_to(k.name, "renamed.host.{7}"));
        EXPECT_TRUE(tlist_is_served("renamed.host.{7}", DBM_KS_LOCAL));
        EXPECT_FALSE(tlist_is_served(k.name.c_str(), DBM_KS_LOCAL));
    });
    EXPECT_EQ(0, fw_header(last_sent()).status);
    EXPECT_TRUE(exists(path("renamed.host.{7}/user.db")));
    EXPECT_FALSE(exists(path(k.name)));
    // The configuration follows, so that discovery finds the new name only.
    EXPECT_TRUE(exists(path("renamed.host.{7}.conf")));
    EXPECT_FALSE(exists(path(k.name + ".conf")));
    EXPECT_STREQ("renamed.host.{7}", k.ks->name);
}

TEST_F(KsOps, RenameRefusesNamesThatAreNotKeystoreNames)
{
    make_keystore(k.name);
    for (const char *bad : {"../escape", "", "a/b", ".."}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(EINVAL, rename_to(k.name, bad));
    }
    EXPECT_TRUE(exists(path(k.name + "/user.db")));
    EXPECT_FALSE(exists(k.dir + "/../escape"));
}

TEST_F(KsOps, RenameOfAnotherKeystoreIsRefused)
{
    make_keystore(k.name);
    make_keystore("other.host.{8}");
    run_served(k.ks, k.name, [&] {
        EXPECT_EQ(EINVAL, rename_to("other.host.{8}", "stolen.host.{8}"));
        EXPECT_TRUE(tlist_is_served(k.name.c_str(), DBM_KS_LOCAL));
    });
    EXPECT_TRUE(exists(path("other.host.{8}/user.db")));
    EXPECT_FALSE(exists(path("stolen.host.{8}")));
    EXPECT_EQ(k.name, k.ks->name);
    // The control thread serves no keystore and renames none.
    kstinfo *control = create_kstinfo(nullptr, DBM_KS_LOCAL);
    pthread_setspecific(ptconfkey, control);
    EXPECT_EQ(EINVAL, rename_to(k.name, "stolen.host.{7}"));
    pthread_setspecific(ptconfkey, k.ks);
    free_kstinfo(control);
    EXPECT_TRUE(exists(path(k.name + "/user.db")));
}

TEST_F(KsOps, RenameWithoutThreadListEntryLeavesTheDirectory)
{
    make_keystore(k.name);
    // Not entered in the thread list: the list rename fails, and the
    // directory must not stay renamed behind the list's back.
    EXPECT_EQ(ENOENT, rename_to(k.name, "renamed.host.{7}"));
    EXPECT_TRUE(exists(path(k.name + "/user.db")));
    EXPECT_FALSE(exists(path("renamed.host.{7}")));
    EXPECT_EQ(k.name, k.ks->name);
}

TEST_F(KsOps, JoinRefusesBadNamesAndTypes)
{
    fw_load(k.buf, fw_make_ks_msg(DB_JOIN, "../up", DBM_KS_LOCAL, false));
    EXPECT_EQ(EINVAL, task_db_join(k.buf));
    fw_load(k.buf, fw_make_ks_msg(DB_JOIN, k.name, DBM_KS_DEVICE, false));
    EXPECT_EQ(EINVAL, task_db_join(k.buf));
    fw_load(k.buf, fw_make_ks_msg(DB_JOIN, k.name, DBM_KS_LDAP, false));
    EXPECT_EQ(EOPNOTSUPP, task_db_join(k.buf));  // no directory servers configured
    EXPECT_EQ(0u, fake_fw_count());
}

TEST_F(KsOps, ReadSendsUsersObjectsAndBothLogs)
{
    make_keystore(k.name);
    fw_load(k.buf, fw_make_user_msg(DB_USER_WRITE, k.name, 0, {{fw_uid(1), "alice"}}, false, false));
    ASSERT_EQ(0, task_user_write(k.buf));
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_WRITE, k.name, 0, fw_uid(1), {{fw_oid(1, 2), "key"}},
                                   false, false));
    ASSERT_EQ(0, task_obj_write(k.buf));
    std::string entry(40, 'e');
    fw_load(k.buf, fw_make_obj_msg(DB_LOG_WRITE, k.name, DBM_FLAG_KEY_SET, std::string(20, '\0'),
                                   {{fw_oid(0, 1), entry}}, false, false));
    ASSERT_EQ(0, task_log_write(k.buf));
    fake_fw_reset();
    // The firmware's replies to the pushes carry no keystore name: the read
    // must still stay with the requested keystore.
    for (int i = 0; i < 3; i++) {
        fw_bytes reply = fw_make_ks_msg(DB_RESPONSE, "", 0, true);
        reply.resize(DBM_PARAM_SIZE, 0);
        fake_fw_queue_msg(reply);
    }
    fw_load(k.buf, fw_make_ks_msg(DB_READ, k.name, 0, false));
    ASSERT_EQ(0, task_db_read(k.buf));
    ASSERT_EQ(4u, fake_fw_count());
    std::vector<fw_rec> users, objs, logs, old;
    std::string owner;
    ASSERT_TRUE(fw_user_parse(fake_fw_sent(0), &users));
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(1), &owner, &objs));
    EXPECT_EQ(fw_uid(1), owner);
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(2), &owner, &logs));
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(3), &owner, &old));
    ASSERT_EQ(1u, users.size());
    EXPECT_EQ("alice", users[0].data);
    ASSERT_EQ(1u, objs.size());
    EXPECT_EQ("key", objs[0].data);
    ASSERT_EQ(1u, logs.size());
    EXPECT_EQ(entry, logs[0].data);
    EXPECT_TRUE(old.empty());
    // Nothing was created in the keystore directory itself.
    EXPECT_FALSE(exists(path("object.db")));
    EXPECT_FALSE(exists(path("auditlog.db")));
}

}  // namespace
