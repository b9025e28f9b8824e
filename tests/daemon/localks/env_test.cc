// Local keystore layout: creation, name checks, removal, opening with the
// keystore settings and the periodic log removal.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <string>

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include "fake_fw.h"
#include "localks/localks.h"

namespace {

const char kName[] = "ks.host.{1}";

class LocalEnv : public ::testing::Test {
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
    int make(const std::string &name)
    {
        fw_load(ks_.buf, fw_make_ks_msg(DB_INIT, name, DBM_KS_LOCAL, false));
        return localks_db_make(ks_.buf);
    }
    std::string path(const std::string &rel) const { return ks_.dir + "/" + rel; }
    bool exists(const std::string &rel) const { return access(path(rel).c_str(), F_OK) == 0; }

    fake_ks ks_;
};

TEST_F(LocalEnv, CreateMakesFourDatabasesAndRefusesAnExistingName)
{
    ASSERT_EQ(make(kName), 0);
    for (const char *db : {"user.db", "object.db", "auditlog.db", "auditlog.old.db"})
        EXPECT_TRUE(exists(std::string(kName) + "/" + db)) << db;
    struct stat st;
    ASSERT_EQ(stat(path(kName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::vector<std::string> before = fw_list_dir(path(kName));
    EXPECT_EQ(make(kName), EEXIST);
    EXPECT_EQ(fw_list_dir(path(kName)), before);
    EXPECT_EQ(fw_list_dir(ks_.dir), std::vector<std::string>{kName});
}

// Fails every file open Berkeley DB makes from the Nth on (counting from
// 1) with EIO; Berkeley DB retries some opens, so a single failure could
// be absorbed.
int g_open_calls = 0;
int g_fail_at = 0;
int failing_open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int mode = va_arg(ap, int);
    va_end(ap);
    if (++g_open_calls >= g_fail_at) {
        errno = EIO;
        return -1;
    }
    return open(path, flags, mode);
}

// Every failure after the environment directory was made must remove it
// again.  Creation is repeated with its opens failing from the 1st, 2nd, ... on
// until it succeeds, so each point where it opens a file is tried.
TEST_F(LocalEnv, CreationFailingPartWayLeavesNothingBehind)
{
    ASSERT_EQ(db_env_set_func_open(failing_open), 0);
#ifdef __SANITIZE_ADDRESS__
    // Berkeley DB itself keeps a file handle record when a database open
    // fails on an injected I/O error (a bare program shows the same); that
    // is not ours to report.
    __lsan_disable();
#endif
    // A configuration file already there is not the creation's: a failed
    // creation removes only what it made.
    const std::string conf = std::string(kName) + ".conf";
    ASSERT_TRUE(fw_write_file(ks_.dir + "/" + conf, "firmware's"));
    int failures = 0;
    int ret = -1;
    for (g_fail_at = 1; g_fail_at < 200 && ret != 0; g_fail_at++) {
        g_open_calls = 0;
        ret = make(kName);
        if (ret != 0) {
            failures++;
            EXPECT_EQ(fw_list_dir(ks_.dir), std::vector<std::string>{conf})
                << "after failure " << ret << " at open " << g_fail_at;
        }
    }
    EXPECT_EQ(fw_read_file(ks_.dir + "/" + conf), "firmware's");
    db_env_set_func_open(nullptr);
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
    EXPECT_EQ(ret, 0);
    EXPECT_GT(failures, 4);
    EXPECT_TRUE(exists(std::string(kName) + "/auditlog.old.db"));
}

TEST_F(LocalEnv, NamesThatWouldLeaveTheKeystoreDirectoryAreRefused)
{
    std::string sub = ks_.dir + "/inner";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    ks_.buf->ksdir = sub.c_str();
    EXPECT_EQ(localks_db_check(sub.c_str(), std::string(64, 'k').c_str()), EINVAL);
    EXPECT_EQ(localks_del_keystore(sub.c_str(), std::string(64, 'k').c_str()), EINVAL);
    const std::string bad[] = {"", ".", "..", "a/b", "../escape", "/abs"};
    for (const std::string &name : bad) {
        EXPECT_EQ(make(name), EINVAL) << name;
        EXPECT_EQ(localks_db_check(sub.c_str(), name.c_str()), EINVAL) << name;
        EXPECT_EQ(localks_del_keystore(sub.c_str(), name.c_str()), EINVAL) << name;
        fw_load(ks_.buf, fw_make_user_msg(DB_USER_READ, name, 0, {}, true, false));
        ks_handle h;
        memset(&h, 0, sizeof(h));
        h.dbname = KS_USER_DB;
        EXPECT_EQ(ks_handle_open(&h, ks_.buf, DBM_KS_LOCAL), EINVAL) << name;
        EXPECT_EQ(h.env, nullptr);
    }
    EXPECT_TRUE(fw_list_dir(sub).empty());
    EXPECT_EQ(fw_list_dir(ks_.dir), std::vector<std::string>{"inner"});
    // 63 characters is still a valid name; 64 leave the field without its
    // terminator and are refused, not cut to the 63 of another keystore.
    EXPECT_EQ(make(std::string(63, 'k')), 0);
    EXPECT_EQ(make(std::string(64, 'k')), EINVAL);
}

TEST_F(LocalEnv, ShortNamesMatchCaseInsensitivelyAtEitherCut)
{
    ASSERT_EQ(mkdir(path("ABC.host.{1}").c_str(), 0700), 0);
    ASSERT_TRUE(fw_write_file(path("plain.txt"), "x"));
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "abc"), EEXIST);
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "abc.host"), EEXIST);
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "ab"), 0);
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "host"), 0);
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "plain"), 0);
}

TEST_F(LocalEnv, FullNamesAreLookedUpDirectly)
{
    ASSERT_TRUE(fw_write_file(path("x.y.{2}"), "not a directory"));
    ASSERT_EQ(mkdir(path("d.y.{3}").c_str(), 0700), 0);
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "x.y.{2}"), EEXIST);
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "d.y.{3}"), EEXIST);
    EXPECT_EQ(localks_db_check(ks_.dir.c_str(), "m.y.{4}"), 0);
}

TEST_F(LocalEnv, RemovalTakesDirectoryAndConfAndReportsAMissingConf)
{
    ASSERT_EQ(make(kName), 0);
    ASSERT_TRUE(fw_write_file(path(std::string(kName) + ".conf"), "conf"));
    ASSERT_TRUE(fw_write_file(path("other.conf"), "keep"));
    // Names beginning with a dot are removed too.
    ASSERT_TRUE(fw_write_file(path(std::string(kName) + "/.hidden"), "x"));
    EXPECT_EQ(localks_del_keystore(ks_.dir.c_str(), kName), 0);
    EXPECT_EQ(fw_list_dir(ks_.dir), std::vector<std::string>{"other.conf"});

    ASSERT_EQ(make(kName), 0);
    EXPECT_EQ(localks_del_keystore(ks_.dir.c_str(), kName), ENOENT);
    EXPECT_FALSE(exists(kName));
    EXPECT_EQ(localks_del_keystore(ks_.dir.c_str(), "never.made.{9}"), ENOENT);
}

// An environment directory replaced by a symlink to a directory elsewhere
// is refused: removing the keystore empties nothing through it, and no
// upcall opens an environment there.
TEST_F(LocalEnv, AnEnvironmentThatIsASymlinkIsNeitherEmptiedNorOpened)
{
    char tmpl[] = "/tmp/kyr_outside.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string outside = tmpl;
    ASSERT_TRUE(fw_write_file(outside + "/precious", "keep"));
    ASSERT_EQ(symlink(outside.c_str(), path("victim").c_str()), 0);
    ASSERT_TRUE(fw_write_file(path("victim.conf"), "conf"));
    EXPECT_EQ(localks_del_keystore(ks_.dir.c_str(), "victim"), EINVAL);
    EXPECT_EQ(fw_read_file(outside + "/precious"), "keep");
    EXPECT_TRUE(exists("victim.conf"));

    // A whole environment out of the keystore directory, linked in.
    ASSERT_EQ(make("moved"), 0);
    ASSERT_EQ(rename(path("moved").c_str(), (outside + "/env").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/env").c_str(), path("linked").c_str()), 0);
    std::vector<std::string> before = fw_list_dir(outside + "/env");
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_READ, "linked", 0, {}, true, false));
    ks_handle h;
    memset(&h, 0, sizeof(h));
    h.dbname = KS_USER_DB;
    EXPECT_EQ(ks_handle_open(&h, ks_.buf, DBM_KS_LOCAL), EINVAL);
    EXPECT_EQ(h.env, nullptr);
    ks_handle_close(&h, DBM_KS_LOCAL);
    EXPECT_EQ(fw_list_dir(outside + "/env"), before);
    std::filesystem::remove_all(outside);
}

// Entries Berkeley DB never makes in an environment: a FIFO in place of a
// database (its read would wait for ever, and every later reload with it,
// which waits for the thread) and a symlink to a database elsewhere.  The
// upcall is refused before the environment is opened.  The open runs in a
// child with an alarm, so that a wait for ever shows as a failure.
TEST_F(LocalEnv, AnEnvironmentHoldingAFifoOrASymlinkIsRefused)
{
    ASSERT_EQ(make(kName), 0);
    const std::string db = path(std::string(kName) + "/user.db");
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_READ, kName, 0, {}, true, false));
    auto open_in_child = [&]() -> int {
        pid_t pid = fork();
        if (pid == 0) {
            alarm(10);
            ks_handle h;
            memset(&h, 0, sizeof(h));
            h.dbname = KS_USER_DB;
            int ret = ks_handle_open(&h, ks_.buf, DBM_KS_LOCAL);
            ks_handle_close(&h, DBM_KS_LOCAL);
            _exit(ret == EINVAL ? 0 : 1);
        }
        int status = -1;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return status;
    };

    char tmpl[] = "/tmp/kyr_outside.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string moved = std::string(tmpl) + "/user.db";
    ASSERT_EQ(rename(db.c_str(), moved.c_str()), 0);
    ASSERT_EQ(mkfifo(db.c_str(), 0600), 0);
    int st = open_in_child();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "FIFO: wait status " << st;

    ASSERT_EQ(unlink(db.c_str()), 0);
    ASSERT_EQ(symlink(moved.c_str(), db.c_str()), 0);
    st = open_in_child();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "symlink: wait status " << st;
    std::filesystem::remove_all(tmpl);
}

TEST_F(LocalEnv, OpeningCreatesAMissingAuditLogWithRecordNumbers)
{
    ASSERT_EQ(make(kName), 0);
    ASSERT_EQ(unlink(path(std::string(kName) + "/auditlog.old.db").c_str()), 0);
    fw_load(ks_.buf, fw_make_obj_msg(DB_LOG_READ, kName, DBM_FLAG_OLD_LOG, "", {}, true, false));
    ks_handle h;
    memset(&h, 0, sizeof(h));
    h.dbname = KS_AUDITLOG_OLD_DB;
    ASSERT_EQ(ks_handle_open(&h, ks_.buf, DBM_KS_LOCAL), 0);
    ASSERT_NE(h.db, nullptr);
    u_int32_t flags = 0;
    int lorder = 0;
    EXPECT_EQ(h.db->get_flags(h.db, &flags), 0);
    EXPECT_NE(flags & DB_RECNUM, 0u);
    EXPECT_EQ(h.db->get_lorder(h.db, &lorder), 0);
    EXPECT_EQ(lorder, 4321);
    ks_handle_close(&h, DBM_KS_LOCAL);
    EXPECT_EQ(h.env, nullptr);
    EXPECT_TRUE(exists(std::string(kName) + "/auditlog.old.db"));
}

TEST_F(LocalEnv, MessageTypesWithoutAKeystoreNameAreRefused)
{
    ASSERT_EQ(make(kName), 0);
    for (uint32_t type : std::initializer_list<uint32_t>{DB_HANDSHAKE, DB_GOODBYE, DB_DELETE, DB_UNARCHIVE, DB_CONFIG_READ, 40u}) {
        fw_load(ks_.buf, fw_make_ks_msg(type, kName, 0, false));
        ks_handle h;
        memset(&h, 0, sizeof(h));
        EXPECT_EQ(ks_handle_open(&h, ks_.buf, DBM_KS_LOCAL), EINVAL) << type;
    }
    fw_load(ks_.buf, fw_make_ks_msg(DB_READ, kName, 0, false));
    ks_handle h;
    memset(&h, 0, sizeof(h));
    EXPECT_EQ(ks_handle_open(&h, ks_.buf, DBM_KS_DEVICE), EINVAL);
}

int count_logs(const std::string &dir)
{
    int n = 0;
    for (const std::string &f : fw_list_dir(dir))
        n += f.rfind("log.", 0) == 0;
    return n;
}

// Every 1000th named open checkpoints and removes the log files no longer
// needed; opens of the environment alone do not count.
TEST_F(LocalEnv, EveryThousandthDatabaseOpenRemovesOldLogs)
{
    ASSERT_EQ(make(kName), 0);
    fw_load(ks_.buf, fw_make_user_msg(DB_USER_READ, kName, 0, {}, true, false));
    auto open_close = [&](const char *db) {
        ks_handle h;
        memset(&h, 0, sizeof(h));
        h.dbname = db;
        ASSERT_EQ(ks_handle_open(&h, ks_.buf, DBM_KS_LOCAL), 0);
        ks_handle_close(&h, DBM_KS_LOCAL);
    };
    // Fill several log files.
    {
        ks_handle h;
        memset(&h, 0, sizeof(h));
        h.dbname = KS_USER_DB;
        ASSERT_EQ(ks_handle_open(&h, ks_.buf, DBM_KS_LOCAL), 0);
        std::string data(60000, 'd');
        for (unsigned i = 0; i < 3 * KS_LG_MAX / data.size(); i++) {
            std::string id = fw_uid(i);
            DBT k, v;
            memset(&k, 0, sizeof(k));
            memset(&v, 0, sizeof(v));
            k.data = &id[0];
            k.size = static_cast<u_int32_t>(id.size());
            v.data = &data[0];
            v.size = static_cast<u_int32_t>(data.size());
            ASSERT_EQ(h.db->put(h.db, nullptr, &k, &v, DB_AUTO_COMMIT), 0);
        }
        ks_handle_close(&h, DBM_KS_LOCAL);
    }
    ks_.ks->dbopen_count = 0;
    for (int i = 0; i < 5; i++)
        open_close(KS_USER_DB);
    open_close(nullptr);
    EXPECT_EQ(ks_.ks->dbopen_count, 5u);
    int before = count_logs(path(kName));
    ASSERT_GE(before, 3);

    ks_.ks->dbopen_count = LOG_REMOVAL_INTERVAL - 2;
    open_close(KS_USER_DB);
    EXPECT_EQ(ks_.ks->dbopen_count, LOG_REMOVAL_INTERVAL - 1u);
    open_close(KS_USER_DB);
    EXPECT_EQ(ks_.ks->dbopen_count, 0u);
    EXPECT_EQ(count_logs(path(kName)), 1);
}

}  // namespace
