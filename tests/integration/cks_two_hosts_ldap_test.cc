// Two hosts share a centralized keystore on one 389 Directory Server: host
// A is a kyrkiod on this test's simulator, host B a kyrkiod on a simulator
// of its own (the standalone kyrsim playing a firmware script), each with
// its own bind DN, keystore directory, password file and lock file.  The
// same daemons connect through small proxies that play unreachable,
// resetting and stalling servers, and over TLS with simple binds and client
// certificates.  The one instance of the program has TLS.
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "ds389.h"
#include "tcp_proxy.h"
#include "threads_daemon_fixture.h"

namespace {

using namespace kyrit;

const char *kKs = "shared.host.{1}";
// The classic code of a client-side time-out.
const int CKS_TIMEOUT_CODE = 85;

class TwoHosts : public DaemonTest {
protected:
    ds389 *ds = nullptr;
    std::string bdir;

    void SetUp() override
    {
        std::string why;
        ds = ds389_shared(true, &why);
        if (ds == nullptr)
            GTEST_SKIP() << why;
        DaemonTest::SetUp();
        static bool hosts = false;
        if (!hosts) {
            ASSERT_EQ(0, ds389_add_host(*ds, "hostA", "secretA"));
            ASSERT_EQ(0, ds389_add_host(*ds, "hostB", "secretB"));
            hosts = true;
        }
        bdir = dir + "/b";
        ASSERT_EQ(0, mkdir(bdir.c_str(), 0700));
        ASSERT_EQ(0, mkdir((bdir + "/keys").c_str(), 0700));
    }
    void TearDown() override
    {
        if (ds == nullptr)
            return;
        DaemonTest::TearDown();
        EXPECT_EQ(0, ds389_clear_below(*ds, DS389_KEYSTORES));
    }
    std::string plain(int port) { return "ldap://127.0.0.1:" + std::to_string(port); }
    // Configuration of host h with these server list entries and further
    // directives.
    std::string host_conf(const std::string &h, const std::string &keys,
                          const std::vector<std::string> &servers,
                          const std::string &extra = "authtype simple\n")
    {
        std::string pass = (h == "A" ? dir : bdir) + "/pass" + h;
        write_file(pass, "# directory password\nsecret" + h + "\n");
        std::string c = "user root\nkeystoredir " + keys + "\n";
        for (const std::string &s : servers)
            c += "serverlist " + s + "\n";
        return c + "basedn " DS389_SUFFIX "\nbinddn " + ds389_host_dn("host" + h) + "\n" + extra +
               "passfile " + pass + "\n";
    }
    kyrsim_msg msg(uint32_t type, const std::string &name, uint32_t kstype = 0)
    {
        kyrsim_msg m = kyrsim_msg_make(type, name);
        m.kstype = kstype;
        return m;
    }
    // One upcall of host A on the thread of ks ("" the control thread):
    // the status of its one answer.
    int upcall(const std::string &ks, const kyrsim_msg &m, uint32_t answer = DB_RESPONSE)
    {
        std::vector<kyrsim_msg> got;
        int rc = kyrsim_exchange(sim, ks, m, 60000, &got);
        EXPECT_EQ(0, rc);
        EXPECT_EQ(1u, got.size());
        if (rc != 0 || got.size() != 1)
            return -1;
        EXPECT_EQ(answer, got[0].type);
        return got[0].status;
    }
    // Host B: a kyrsim of its own plays `steps` against a kyrkiod with the
    // configuration `conf` (each run a fresh simulator and daemon); its
    // output.
    std::string run_b(const std::string &name, const std::string &conf, const std::string &steps)
    {
        write_file(bdir + "/kyrkiod.conf", conf);
        std::string run = std::string("run ") + kyrkiod_path() + " -F -s -d -d -f " + bdir +
                          "/kyrkiod.conf\n";
        write_file(bdir + "/" + name, "timeout 20000\n" + run + steps + "signal INT\nexit 0\n");
        std::string cmd = "KYRKIOD_LOCKFILE=" + bdir + "/lock " KYR_BUILD_DIR
                          "/testbed/sim/kyrsim --script " + bdir + "/" + name + " >" + bdir +
                          "/" + name + ".out 2>&1";
        int rc = system(cmd.c_str());
        std::string out = kyrsim_read_file(bdir + "/" + name + ".out");
        EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << out;
        EXPECT_NE(std::string::npos, out.find("kyrsim: PASS")) << out;
        return out;
    }
    std::string blob_of(size_t n)
    {
        std::string blob;
        for (size_t i = 0; i < n; ++i)
            blob.push_back(static_cast<char>((i * 31) ^ (i >> 8)));
        return blob;
    }
    // Host A started with `text` as its configuration and its firmware's
    // keystore made in the directory.
    void start_with_keystore(const std::string &text)
    {
        write_file(conf, text);
        start();
        ASSERT_EQ(0, hello(""));
        ASSERT_EQ(0, kyrsim_wait_standby(sim, "", 20000));
        ASSERT_EQ(0, kyrsim_post(sim, "", msg(DB_INIT, kKs, DBM_KS_LDAP)));
        ASSERT_EQ(0, hello(kKs)) << log();
    }
    int write_config(const std::string &ks, const std::string &blob)
    {
        kyrsim_msg w = msg(DB_CONFIG_WRITE, ks + ".conf");
        kyrsim_msg_set_file(&w, static_cast<uint32_t>(blob.size()),
                            std::vector<uint8_t>(blob.begin(), blob.end()));
        return upcall(ks, w);
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
    write_file(conf, host_conf("A", ksdir, {plain(dead), plain(ds->port)}));
    start();
    ASSERT_EQ(0, hello(""));
    ASSERT_TRUE(log_has("Cannot contact server 127.0.0.1:" + std::to_string(dead)));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "", 20000));
    ASSERT_EQ(0, kyrsim_post(sim, "", msg(DB_INIT, kKs, DBM_KS_LDAP)));
    ASSERT_EQ(0, hello(kKs)) << log();
    ASSERT_EQ(4u, ds389_dns(*ds, "ou=" + std::string(kKs) + "," DS389_KEYSTORES, false).size());

    std::string blob = blob_of(5000);
    ASSERT_EQ(0, write_config(kKs, blob));

    // Host B: its own simulator, directories, password and lock file.
    std::string bconf = host_conf("B", bdir + "/keys", {plain(ds->port)});
    write_file(bdir + "/blob", blob);
    std::string ks = std::string("\"") + kKs + "\"";
    // Each run is a simulator of its own: the second is B restarted.
    run_b("join", bconf, "hello -\nstandby -\n"
                  "upcall - CHECK ksname=" + ks + " kstype=ldap\n"
                  "expect - RESPONSE status=EEXIST end\n"
                  "upcall - JOIN ksname=" + ks + " kstype=ldap\n"
                  "expect - RESPONSE status=0 end\n"
                  "hello " + ks + "\nstandby " + ks + "\n"
                  "upcall - JOIN ksname=" + ks + " kstype=ldap\n"
                  "expect - RESPONSE status=0 end\n");
    // Restarted, B finds the keystore it joined in the directory.
    std::string out = run_b("restart", bconf, "hello -\nhello " + ks + "\nstandby " + ks + "\n"
                            "upcall " + ks + " CONFIG_READ ksname=" +
                            ks.substr(0, ks.size() - 1) + ".conf\"\n"
                            "expect " + ks + " CONFIG_PUSH filesize=" +
                            std::to_string(blob.size()) + " data=@" + bdir + "/blob end\n");
    EXPECT_NE(std::string::npos, out.find("Spawning thread for centralized keystore shared.host.{1}"))
        << out;

    // A deletes the keystore: the whole subtree goes, and its thread ends.
    EXPECT_EQ(0, upcall(kKs, msg(DB_DELETE, kKs)));
    EXPECT_TRUE(ds389_dns(*ds, DS389_KEYSTORES, true).empty());
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

// Each server list entry is a proxy.  A first server that is down (the port
// refused, then each connection reset) is passed and the second binds; a
// server that refuses the bind ends the attempt; a server that never answers
// fails the upcall after the operation time-out, without trying the next.
TEST_F(TwoHosts, FailOverThroughProxies)
{
    tcp_proxy *p1 = nullptr, *p2 = nullptr;
    ASSERT_EQ(0, tcp_proxy_start(ds->port, PROXY_REFUSE, &p1));
    ASSERT_EQ(0, tcp_proxy_start(ds->port, PROXY_FORWARD, &p2));
    struct stopper {
        tcp_proxy *a, *b;
        ~stopper()
        {
            tcp_proxy_stop(a);
            tcp_proxy_stop(b);
        }
    } stop_both{p1, p2};
    std::string s1 = "127.0.0.1:" + std::to_string(tcp_proxy_port(p1));
    std::string s2 = "127.0.0.1:" + std::to_string(tcp_proxy_port(p2));
    std::string a_dn = ds389_host_dn("hostA");
    write_file(conf, host_conf("A", ksdir, {"ldap://" + s1, "ldap://" + s2}));
    start();
    ASSERT_EQ(0, hello(""));
    ASSERT_TRUE(log_has("Successfully bound as " + a_dn)) << log();
    {
        // Discovery: two attempts, one cannot-contact line, success.
        std::string l = log();
        size_t at1 = l.find("Attempting LDAP connection to " + s1);
        size_t down = l.find("Cannot contact server " + s1 + ": Can't contact LDAP server");
        size_t at2 = l.find("Attempting LDAP connection to " + s2);
        size_t ok = l.find("Successfully bound as " + a_dn);
        ASSERT_NE(std::string::npos, at1) << l;
        EXPECT_LT(at1, down) << l;
        EXPECT_LT(down, at2) << l;
        EXPECT_LT(at2, ok) << l;
        EXPECT_EQ(1u, count_of(l, "Cannot contact server"));
        EXPECT_EQ(0, tcp_proxy_accepted(p1));
    }
    ASSERT_EQ(0, kyrsim_wait_standby(sim, "", 20000));
    ASSERT_EQ(0, kyrsim_post(sim, "", msg(DB_INIT, kKs, DBM_KS_LDAP)));
    ASSERT_EQ(0, hello(kKs)) << log();
    const kyrsim_msg check = msg(DB_CHECK, kKs, DBM_KS_LDAP);

    tcp_proxy_set_mode(p1, PROXY_RESET);
    int before = tcp_proxy_accepted(p1);
    EXPECT_EQ(EEXIST, upcall("", check));
    EXPECT_LT(before, tcp_proxy_accepted(p1));
    EXPECT_EQ(3u, count_of(log(), "Cannot contact server " + s1));

    // The first server answers and refuses the password: no further server.
    tcp_proxy_set_mode(p1, PROXY_FORWARD);
    const std::string pw = "dn: " + a_dn + "\nchangetype: modify\nreplace: userPassword\n"
                           "userPassword: ";
    ASSERT_EQ(0, ds389_ldif(*ds, pw + "another\n"));
    before = tcp_proxy_accepted(p2);
    EXPECT_EQ(LDAP_INVALID_CREDENTIALS, upcall("", check));
    ASSERT_EQ(0, ds389_ldif(*ds, pw + "secretA\n"));
    EXPECT_EQ(before, tcp_proxy_accepted(p2));
    EXPECT_EQ(1u, count_of(log(), "Failed binding to server " + s1 + ": Invalid credentials"));
    EXPECT_EQ(EEXIST, upcall("", check));
    EXPECT_EQ(before, tcp_proxy_accepted(p2));

    // Accepted and never answered: the operation time-out ends the bind
    // (the upcall's own limit of a minute only guards against a hang).
    tcp_proxy_set_mode(p1, PROXY_STALL);
    EXPECT_EQ(CKS_TIMEOUT_CODE, upcall("", check));
    EXPECT_EQ(before, tcp_proxy_accepted(p2));
    EXPECT_EQ(1u, count_of(log(), "Failed binding to server " + s1 + ": Timed out"));

    tcp_proxy_set_mode(p1, PROXY_FORWARD);
    EXPECT_EQ(0, upcall(kKs, msg(DB_DELETE, kKs)));
    EXPECT_TRUE(ds389_dns(*ds, DS389_KEYSTORES, true).empty());
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

// Over TLS: host A binds with its password on the ldaps port, host B with
// its client certificate; B joins, and reads the blob A wrote.
TEST_F(TwoHosts, LdapsWithPasswordAndClientCertificate)
{
    ASSERT_EQ(0, ds389_client_certs(ds));
    std::string tls = "ldaps://localhost:" + std::to_string(ds->sport);
    std::string extra = "authtype simple\ncertdb " + ds->certs + "\n";
    ASSERT_NO_FATAL_FAILURE(start_with_keystore(host_conf("A", ksdir, {tls}, extra)));
    EXPECT_TRUE(log_has("Attempting LDAPS connection to localhost:" + std::to_string(ds->sport)));
    std::string blob = blob_of(3000);
    ASSERT_EQ(0, write_config(kKs, blob));

    write_file(bdir + "/blob", blob);
    std::string ks = std::string("\"") + kKs + "\"";
    std::string out = run_b("tls",
                            host_conf("B", bdir + "/keys", {tls},
                                      "authtype ClientAuth\ncertdb " + ds->certs +
                                          "\ncertname hostB\n"),
                            "hello -\nstandby -\n"
                            "upcall - JOIN ksname=" + ks + " kstype=ldap\n"
                            "expect - RESPONSE status=0 end\n"
                            "hello " + ks + "\nstandby " + ks + "\n"
                            "upcall " + ks + " CONFIG_READ ksname=" +
                            ks.substr(0, ks.size() - 1) + ".conf\"\n"
                            "expect " + ks + " CONFIG_PUSH filesize=" +
                            std::to_string(blob.size()) + " data=@" + bdir + "/blob end\n");
    EXPECT_NE(std::string::npos, out.find("Attempting LDAPS connection to localhost:")) << out;
    EXPECT_NE(std::string::npos, out.find("Successfully bound as " + ds389_host_dn("hostB")))
        << out;

    EXPECT_EQ(0, upcall(kKs, msg(DB_DELETE, kKs)));
    EXPECT_TRUE(ds389_dns(*ds, DS389_KEYSTORES, true).empty());
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

std::vector<uint8_t> bytes_of(unsigned seed, size_t n)
{
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i)
        d[i] = static_cast<uint8_t>(i * 13 + seed * 101 + (i >> 8));
    return d;
}

TEST_F(TwoHosts, UsersAndObjectsWrittenOnAReadBackOnB)
{
    ASSERT_NO_FATAL_FAILURE(start_with_keystore(host_conf("A", ksdir, {plain(ds->port)})));
    // Every record's data also in a file, for B's checks.
    std::string checks_users, checks_a, checks_b;
    auto keep = [&](const std::string &name, const std::vector<uint8_t> &d) {
        write_file(bdir + "/" + name, std::string(d.begin(), d.end()));
        return "@" + bdir + "/" + name;
    };

    // A writes users in three batches; ua is written twice, the second
    // data stays.
    std::vector<kyrsim_msg> w(3, msg(DB_USER_WRITE, kKs));
    const char *names[] = {"ua", "ub", "uc", "ud"};
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> d = bytes_of(i, 2000 + 700 * i);
        kyrsim_msg_add_user(&w[i < 2 ? 0 : i - 1], kyrsim_user_id(names[i]), d);
        checks_users += std::string(" user=") + names[i] + ":" + keep(names[i], d);
    }
    std::vector<uint8_t> again = bytes_of(9, 300);
    kyrsim_msg_add_user(&w[2], kyrsim_user_id("ua"), again);
    checks_users += " user=ua:" + keep("ua", again);
    w[0].flags = w[1].flags = DBM_FLAG_MORE;
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, w[1]));
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, w[2]));
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_exchange(sim, kKs, w[0], 20000, &got));
    ASSERT_EQ(3u, got.size()) << log();
    for (const kyrsim_msg &r : got)
        EXPECT_EQ(0, r.status) << log();

    // Objects of ua in two batches and of ub in one.
    auto objects = [&](const char *owner, uint32_t hi, std::vector<std::vector<int>> batches,
                       std::string *checks) {
        std::vector<kyrsim_msg> m(batches.size(), msg(DB_OBJECT_WRITE, kKs));
        for (size_t b = 0; b < batches.size(); ++b) {
            m[b].owner = kyrsim_user_id(owner);
            m[b].flags = b + 1 < batches.size() ? DBM_FLAG_MORE : 0;
            for (int lo : batches[b]) {
                std::vector<uint8_t> d = bytes_of(hi * 10 + lo, 1000 + 97 * lo);
                kyrsim_msg_add_obj(&m[b], hi, lo, d);
                char id[32];
                snprintf(id, sizeof(id), "%x/%d", hi, lo);
                *checks += std::string(" obj=") + id + ":" +
                           keep(std::string(owner) + "-" + std::to_string(lo), d);
            }
            if (b > 0) {
                EXPECT_EQ(0, kyrsim_queue_part(sim, kKs, m[b]));
            }
        }
        std::vector<kyrsim_msg> ans;
        EXPECT_EQ(0, kyrsim_exchange(sim, kKs, m[0], 20000, &ans));
        EXPECT_EQ(batches.size(), ans.size());
        for (const kyrsim_msg &r : ans)
            EXPECT_EQ(0, r.status) << log();
    };
    objects("ua", 0xa1, {{1, 2, 3}, {4, 5}}, &checks_a);
    objects("ub", 0xb2, {{1, 2}}, &checks_b);

    // B joins and reads: all users in one push, then every object, one
    // push per owner in the owners' order, each naming its owner; then the
    // same within the whole-keystore read.
    std::string ks = std::string("\"") + kKs + "\"";
    std::string out = run_b("read", host_conf("B", bdir + "/keys", {plain(ds->port)}),
                            "hello -\nstandby -\n"
                            "upcall - JOIN ksname=" + ks + " kstype=ldap\n"
                            "expect - RESPONSE status=0 end\n"
                            "hello " + ks + "\nstandby " + ks + "\n"
                            "upcall " + ks + " USER_READ\n"
                            "expect " + ks + " USER_PUSH last records=4" + checks_users + " end\n"
                            "upcall " + ks + " OBJECT_READ\n"
                            "expect " + ks + " OBJECT_PUSH more owner=ua records=5" + checks_a +
                            "\nexpect " + ks + " OBJECT_PUSH last owner=ub records=2" + checks_b +
                            " end\n"
                            "upcall " + ks + " OBJECT_READ owner=ub obj=b2/2\n"
                            "expect " + ks + " OBJECT_PUSH last owner=ub records=1 obj=b2/2:@" +
                            bdir + "/ub-2 end\n"
                            // The whole keystore: users, one push per
                            // owner, the current and the old log.
                            "upcall " + ks + " READ\n"
                            "expect " + ks + " USER_PUSH last records=4" + checks_users + "\n"
                            "expect " + ks + " OBJECT_PUSH more owner=ua records=5" + checks_a +
                            "\nexpect " + ks + " OBJECT_PUSH last owner=ub records=2" + checks_b +
                            "\nexpect " + ks + " LOG_PUSH flags=0 records=0\n"
                            "expect " + ks + " LOG_PUSH flags=0x800 records=0 end\n");
    EXPECT_NE(std::string::npos, out.find("OBJECT_PUSH")) << out;
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

// The audit log through both daemons: A writes two batches (the first
// stamped by the daemon, the second with its keys set), B reads the whole
// log, the newest entry and the empty old log.
TEST_F(TwoHosts, LogWrittenOnAReadOnB)
{
    ASSERT_NO_FATAL_FAILURE(start_with_keystore(host_conf("A", ksdir, {plain(ds->port)})));
    // Record i: bytes 0-3 its number (the key's order), 8-15 its ID.
    auto rec = [](uint32_t i) {
        std::vector<uint8_t> d = bytes_of(i, DBM_LOG_KEY_LEN + 200 * i);
        for (int b = 0; b < 4; ++b) {
            d[b] = static_cast<uint8_t>(i >> (24 - 8 * b));
            d[8 + b] = static_cast<uint8_t>(0xa >> (24 - 8 * b));
            d[12 + b] = static_cast<uint8_t>(i >> (24 - 8 * b));
        }
        return d;
    };
    std::vector<kyrsim_msg> w(2, msg(DB_LOG_WRITE, kKs));
    kyrsim_msg_add_obj(&w[0], 0xa, 1, rec(1));
    kyrsim_msg_add_obj(&w[0], 0xa, 2, rec(2));
    kyrsim_msg_add_obj(&w[1], 0xa, 3, rec(3));
    w[0].flags = DBM_FLAG_MORE;
    w[1].flags = DBM_FLAG_KEY_SET;
    std::vector<uint8_t> r3 = rec(3);
    write_file(bdir + "/r3", std::string(r3.begin(), r3.end()));
    ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, w[1]));
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_exchange(sim, kKs, w[0], 20000, &got));
    ASSERT_EQ(2u, got.size()) << log();
    for (const kyrsim_msg &r : got)
        EXPECT_EQ(0, r.status) << log();

    std::string ks = std::string("\"") + kKs + "\"";
    run_b("log", host_conf("B", bdir + "/keys", {plain(ds->port)}),
          "hello -\nstandby -\n"
          "upcall - JOIN ksname=" + ks + " kstype=ldap\n"
          "expect - RESPONSE status=0 end\n"
          "hello " + ks + "\nstandby " + ks + "\n"
          "upcall " + ks + " LOG_READ\n"
          "expect " + ks + " LOG_PUSH last records=3 obj=a/1 obj=a/2 obj=a/3:@" + bdir +
          "/r3 end\n"
          "upcall " + ks + " LOG_READ count=1\n"
          "expect " + ks + " LOG_PUSH last records=1 obj=a/3:@" + bdir + "/r3 end\n"
          "upcall " + ks + " LOG_READ flags=0x800\n"
          "expect " + ks + " LOG_PUSH flags=0x800 records=0 end\n");
    EXPECT_EQ(0, stop());
    expect_sanitizers_quiet();
}

}  // namespace
