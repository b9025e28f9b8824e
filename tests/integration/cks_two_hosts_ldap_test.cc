// Two hosts share a centralized keystore on one 389 Directory Server: host
// A is a kyrkiod on this test's simulator, host B a kyrkiod on a simulator
// of its own (the standalone kyrsim playing a firmware script), each with
// its own bind DN, keystore directory, password file and lock file.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "ds389.h"
#include "threads_daemon_fixture.h"

namespace {

using namespace kyrit;

const char *kKs = "shared.host.{1}";

class TwoHosts : public DaemonTest {
protected:
    ds389 *ds = nullptr;

    void SetUp() override
    {
        std::string why;
        ds = ds389_shared(false, &why);
        if (ds == nullptr)
            GTEST_SKIP() << why;
        DaemonTest::SetUp();
        ASSERT_EQ(0, ds389_add_host(*ds, "hostA", "secretA"));
        ASSERT_EQ(0, ds389_add_host(*ds, "hostB", "secretB"));
    }
    void TearDown() override
    {
        if (ds == nullptr)
            return;
        DaemonTest::TearDown();
        EXPECT_EQ(0, ds389_clear_below(*ds, DS389_KEYSTORES));
    }
    // Configuration of host h; `first` is a server listed before the real one.
    std::string host_conf(const std::string &h, const std::string &keys, int first_port)
    {
        write_file(dir + "/pass" + h, "# directory password\nsecret" + h + "\n");
        std::string c = "user root\nkeystoredir " + keys + "\n";
        if (first_port != 0)
            c += "serverlist ldap://127.0.0.1:" + std::to_string(first_port) + "\n";
        c += "serverlist ldap://127.0.0.1:" + std::to_string(ds->port) +
             "\nbasedn " DS389_SUFFIX "\nbinddn " + ds389_host_dn("host" + h) +
             "\nauthtype simple\npassfile " + dir + "/pass" + h + "\n";
        return c;
    }
    kyrsim_msg msg(uint32_t type, const std::string &name, uint32_t kstype = 0)
    {
        kyrsim_msg m = kyrsim_msg_make(type, name);
        m.kstype = kstype;
        return m;
    }
};

int closed_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

TEST_F(TwoHosts, CreateCheckJoinDiscoverShareConfigurationAndDelete)
{
    // Host A, whose first server cannot be reached.
    int dead = closed_port();
    write_file(conf, host_conf("A", ksdir, dead));
    start();
    ASSERT_EQ(0, hello(""));
    ASSERT_TRUE(log_has("Cannot contact server 127.0.0.1:" + std::to_string(dead)));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "", 20000));
    ASSERT_EQ(0, kyrsim_post(sim, "", msg(DB_INIT, kKs, DBM_KS_LDAP)));
    ASSERT_EQ(0, hello(kKs)) << log();
    ASSERT_EQ(4u, ds389_dns(*ds, "ou=" + std::string(kKs) + "," DS389_KEYSTORES, false).size());

    std::string blob;
    for (int i = 0; i < 5000; ++i)
        blob.push_back(static_cast<char>((i * 31) ^ (i >> 8)));
    kyrsim_msg w = msg(DB_CONFIG_WRITE, std::string(kKs) + ".conf");
    kyrsim_msg_set_file(&w, static_cast<uint32_t>(blob.size()),
                        std::vector<uint8_t>(blob.begin(), blob.end()));
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_exchange(sim, kKs, w, 20000, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(DB_RESPONSE), got[0].type);
    EXPECT_EQ(0, got[0].status);

    // Host B: its own simulator, directories, password and lock file.
    std::string bdir = dir + "/b", bkeys = bdir + "/keys";
    ASSERT_EQ(0, mkdir(bdir.c_str(), 0700));
    ASSERT_EQ(0, mkdir(bkeys.c_str(), 0700));
    write_file(bdir + "/kyrkiod.conf", host_conf("B", bkeys, 0));
    write_file(bdir + "/blob", blob);
    std::string run = std::string("run ") + kyrkiod_path() + " -F -s -d -d -f " + bdir +
                      "/kyrkiod.conf\n";
    std::string ks = std::string("\"") + kKs + "\"";
    // Each run is a simulator of its own: the second is B restarted.
    auto run_b = [&](const std::string &name, const std::string &steps) {
        write_file(bdir + "/" + name, "timeout 20000\n" + run + steps + "signal INT\nexit 0\n");
        std::string cmd = "KYRKIOD_LOCKFILE=" + bdir + "/lock " KYR_BUILD_DIR
                          "/testbed/sim/kyrsim --script " + bdir + "/" + name + " >" + bdir +
                          "/" + name + ".out 2>&1";
        int rc = system(cmd.c_str());
        std::string out = kyrsim_read_file(bdir + "/" + name + ".out");
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << out;
        EXPECT_NE(std::string::npos, out.find("kyrsim: PASS")) << out;
        return out;
    };
    run_b("join", "hello -\nstandby -\n"
                  "upcall - CHECK ksname=" + ks + " kstype=ldap\n"
                  "expect - RESPONSE status=EEXIST end\n"
                  "upcall - JOIN ksname=" + ks + " kstype=ldap\n"
                  "expect - RESPONSE status=0 end\n"
                  "hello " + ks + "\nstandby " + ks + "\n"
                  "upcall - JOIN ksname=" + ks + " kstype=ldap\n"
                  "expect - RESPONSE status=0 end\n");
    // Restarted, B finds the keystore it joined in the directory.
    std::string out = run_b("restart", "hello -\nhello " + ks + "\nstandby " + ks + "\n"
                            "upcall " + ks + " CONFIG_READ ksname=" +
                            ks.substr(0, ks.size() - 1) + ".conf\"\n"
                            "expect " + ks + " CONFIG_PUSH filesize=" +
                            std::to_string(blob.size()) + " data=@" + bdir + "/blob end\n");
    EXPECT_NE(std::string::npos, out.find("Spawning thread for centralized keystore shared.host.{1}"))
        << out;

    // A deletes the keystore: the whole subtree goes, and its thread ends.
    got.clear();
    ASSERT_EQ(0, kyrsim_exchange(sim, kKs, msg(DB_DELETE, kKs), 20000, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0, got[0].status);
    EXPECT_TRUE(ds389_dns(*ds, DS389_KEYSTORES, true).empty());
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

}  // namespace
