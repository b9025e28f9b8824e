// Service user, access check and keystore discovery.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "core_fixture.h"

using kyrtest::CoreTest;

namespace {

class DiscoveryTest : public kyrtest::KeystoreDirTest {
protected:
    void touch(const std::string &name) { kyrtest::write_file(ks_ + "/" + name, ""); }
    std::vector<std::string> names() const
    {
        std::vector<std::string> v;
        for (int i = 0; i < table_.count; i++)
            v.push_back(table_.v[i]->name ? table_.v[i]->name : "<control>");
        std::sort(v.begin(), v.end());
        return v;
    }
};

TEST_F(DiscoveryTest, OnlyExactConfSuffix)
{
    touch("alpha.conf");
    touch("beta.conf.conf");
    touch("gamma.CONF");
    touch("delta");
    touch("epsilon.conf~");
    ASSERT_EQ(mkdir((ks_ + "/alpha").c_str(), 0700), 0);  // the environment itself
    ASSERT_EQ(qelkiod_get_ksnames(&table_), 0);
    ASSERT_EQ(table_.count, 1);
    EXPECT_STREQ(table_.v[0]->name, "alpha");
    EXPECT_EQ(table_.v[0]->kstype, DBM_KS_LOCAL);
    EXPECT_EQ(table_.v[0]->fd, -1);
}

TEST_F(DiscoveryTest, EntryNamedConfAloneIsSkipped)
{
    // A nameless record would stand for the control thread.
    touch(".conf");
    touch("real.conf");
    ASSERT_EQ(qelkiod_get_ksnames(&table_), 0);
    EXPECT_EQ(names(), std::vector<std::string>{"real"});
    EXPECT_TRUE(logged("[ERROR] Invalid keystore name in .conf"));
}

TEST_F(DiscoveryTest, ManyKeystoresAppendToExistingTable)
{
    kstinfo *control = create_kstinfo(nullptr, DBM_KS_LOCAL);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(kstable_append(&table_, control), 0);
    std::vector<std::string> want{"<control>"};
    for (int i = 0; i < 300; i++) {
        std::string n = "ks" + std::to_string(i);
        touch(n + ".conf");
        want.push_back(n);
    }
    std::sort(want.begin(), want.end());
    ASSERT_EQ(qelkiod_get_ksnames(&table_), 0);
    EXPECT_EQ(table_.count, 301);
    EXPECT_EQ(names(), want);
}

TEST_F(DiscoveryTest, DirectoryProblems)
{
    free(mconf.keystoredir);
    mconf.keystoredir = strdup((dir_ + "/absent").c_str());
    EXPECT_EQ(qelkiod_get_ksnames(&table_), ENOENT);
    EXPECT_TRUE(logged("[ERROR] Cannot stat " + dir_ + "/absent: No such file or directory"));

    touch("plainfile");
    free(mconf.keystoredir);
    mconf.keystoredir = strdup((ks_ + "/plainfile").c_str());
    EXPECT_EQ(qelkiod_get_ksnames(&table_), EINVAL);
    EXPECT_TRUE(logged("[ERROR] " + ks_ + "/plainfile is not a directory."));
    EXPECT_EQ(table_.count, 0);
}

TEST_F(DiscoveryTest, CentralFailureSetsDegraded)
{
    touch("local.conf");
    ASSERT_EQ(qelkiod_add_server("ldap://dir.example"), 0);
    ASSERT_TRUE(cks_configured());
    ASSERT_EQ(qelkiod_get_ksnames(&table_), 0);
    EXPECT_EQ(names(), std::vector<std::string>{"local"});
    EXPECT_EQ(mconf.degraded, 1);
    EXPECT_TRUE(logged("[warning] Service will be placed into degraded mode.  Only local keystore access will be available."));

    // Already degraded (no password): the directory is not asked again.
    clear_log();
    kstable_free(&table_);
    ASSERT_EQ(qelkiod_get_ksnames(&table_), 0);
    EXPECT_FALSE(logged("degraded mode"));
}

class ServiceUserTest : public CoreTest {};

TEST_F(ServiceUserTest, UnknownUser)
{
    EXPECT_EQ(qelkiod_change_user("no-such-user-kyr-test"), EINVAL);
    EXPECT_TRUE(logged("[ERROR] Cannot find user no-such-user-kyr-test in password database"));
}

TEST_F(ServiceUserTest, SuperuserAccount)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs to run as the superuser";
    EXPECT_EQ(qelkiod_change_user("root"), 0);
    EXPECT_EQ(getuid(), 0u);
    EXPECT_TRUE(logged("[warning] ** kyrkiod is running with superuser privilege! **"));
    EXPECT_TRUE(logged("[info] Service is running as user root"));
    EXPECT_FALSE(logged("No service user ID specified"));
}

TEST_F(ServiceUserTest, DefaultUserIsDaemonInChild)
{
    // Changing to "daemon" cannot be undone, so it happens in a child.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int rc = qelkiod_change_user(nullptr);
        bool ok = mconf.user != nullptr && strcmp(mconf.user, "daemon") == 0;
        _exit(rc == 0 && ok && getuid() != 0 ? 0 : (rc ? rc : 99));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (getuid() == 0) {
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(logged("[warning] No service user ID specified"));
        EXPECT_TRUE(logged("[warning] kyrkiod will attempt to run as user daemon"));
        EXPECT_TRUE(logged("[info] Service is running as user daemon"));
    } else {
        EXPECT_EQ(WEXITSTATUS(status), EPERM);
        EXPECT_TRUE(logged("[ERROR] Failed to set user to daemon: Operation not permitted"));
    }
}

TEST_F(ServiceUserTest, AccessCheck)
{
    std::string ks = dir_ + "/keydata";
    ASSERT_EQ(mkdir(ks.c_str(), 0700), 0);
    kyrtest::write_file(ks + "/a.conf", "");
    mconf.keystoredir = strdup(ks.c_str());
    int rc = qelkiod_newuid_sanity();
    if (access("/dev/qelctl", R_OK | W_OK) != 0) {
        int err = errno;
        EXPECT_EQ(rc, err);
        EXPECT_TRUE(logged(std::string("[ERROR] Cannot access device /dev/qelctl: ") + strerror(err)));
        EXPECT_FALSE(logged("keystore directory"));
    } else {
        EXPECT_EQ(rc, 0);
        free(mconf.keystoredir);
        mconf.keystoredir = strdup((dir_ + "/absent").c_str());
        EXPECT_EQ(qelkiod_newuid_sanity(), ENOENT);
        EXPECT_TRUE(logged("Cannot access keystore directory " + dir_ + "/absent"));
    }
}

}  // namespace
