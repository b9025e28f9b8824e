// Secure connections to a 389 Directory Server with TLS: ldaps with a
// simple bind, a server certificate that the CA directory does not vouch
// for, and client-certificate binds (SASL EXTERNAL) that must end up as
// this host's binddn.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "../core/core_fixture.h"
#include "cks/cks_int.h"
#include "ds389.h"
#include "tcp_proxy.h"

namespace {

using kyrtest::count_of;

class CksTls : public kyrtest::CoreTest {
protected:
    ds389 *ds = nullptr;
    std::string certs;

    void SetUp() override
    {
        CoreTest::SetUp();
        std::string why;
        ds = ds389_shared(true, &why);
        if (ds == nullptr)
            GTEST_SKIP() << why;
        static bool ready = false;
        if (!ready) {
            ASSERT_EQ(0, ds389_add_host(*ds, "hostA", "secretA"));
            ASSERT_EQ(0, ds389_add_host(*ds, "hostB", "secretB"));
            ASSERT_EQ(0, ds389_client_certs(ds));
            ready = true;
        }
        certs = ds->certs;
        mconf.basedn = strdup(DS389_SUFFIX);
        mconf.binddn = strdup(ds389_host_dn("hostA").c_str());
        mconf.password = strdup("secretA");
        mconf.certdb = strdup(certs.c_str());
        mconf.certname = strdup("hostA");
        qelkiod_server &s = mconf.servers[mconf.nservers++];
        s.host = strdup("localhost");
        s.port = ds->sport;
        s.ssl = 1;
    }
    int connect_as(const char *authtype)
    {
        free(mconf.authtype);
        mconf.authtype = strdup(authtype);
        LDAP *ld = nullptr;
        int rc = connect_bind_ldap(&ld);
        if (rc == 0) {
            // The connection works: a search as this host.
            LDAPMessage *res = nullptr;
            rc = cks_search(ld, DS389_KEYSTORES, LDAP_SCOPE_BASE, "(objectclass=*)", nullptr, &res);
            ldap_msgfree(res);
            cks_unbind(ld);
        }
        EXPECT_TRUE(rc != 0 || ld != nullptr);
        return rc;
    }
    // connect_bind_ldap in a child process, so that a call that does not
    // return fails the test instead of hanging it: its result, or -1 when
    // it has not returned within limit_ms.
    int connect_in_child(int limit_ms)
    {
        pid_t pid = fork();
        if (pid == 0) {
            LDAP *ld = nullptr;
            int rc = connect_bind_ldap(&ld);
            cks_unbind(ld);
            _exit(rc & 0xff);
        }
        for (int waited = 0; pid > 0 && waited < limit_ms; waited += 20) {
            int st = 0;
            if (waitpid(pid, &st, WNOHANG) == pid)
                return WIFEXITED(st) ? WEXITSTATUS(st) : -2;
            usleep(20000);
        }
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return -1;
    }
};

TEST_F(CksTls, LdapsWithSimpleBind)
{
    EXPECT_EQ(0, connect_as("simple"));
    EXPECT_NE(std::string::npos,
              log().find("Attempting LDAPS connection to localhost:" + std::to_string(ds->sport)));
}

// A CA directory without the server's CA: no connection, and the reason is
// logged at error level, not only as "cannot contact".
TEST_F(CksTls, UntrustedServerCertificateIsAnError)
{
    free(mconf.certdb);
    mconf.certdb = strdup((certs + "/none").c_str());
    ASSERT_EQ(0, system(("mkdir -p " + certs + "/none").c_str()));
    EXPECT_EQ(EINVAL, connect_as("simple"));
    std::string l = log();
    EXPECT_NE(std::string::npos, l.find("[ERROR] TLS connection to localhost:")) << l;
    EXPECT_NE(std::string::npos, l.find("Cannot connect to any LDAP server")) << l;
}

TEST_F(CksTls, ClientCertificateBindsAsThisHost)
{
    EXPECT_EQ(0, connect_as("ClientAuth"));
    EXPECT_NE(std::string::npos,
              log().find("Successfully bound as " + ds389_host_dn("hostA")));
}

// hostB's certificate binds as hostB: configured as hostA, the daemon
// refuses the connection, since hostA's log locks would lock it out.
TEST_F(CksTls, ClientCertificateOfAnotherIdentityIsRefused)
{
    free(mconf.certname);
    mconf.certname = strdup("hostB");
    free(mconf.password);
    mconf.password = strdup("secretB");
    EXPECT_EQ(LDAP_INVALID_CREDENTIALS, connect_as("clientauth"));
    EXPECT_NE(std::string::npos, log().find("Client certificate binds as "))
        << log();

    // A key that the password does not open.
    free(mconf.certname);
    mconf.certname = strdup("hostA");
    EXPECT_NE(0, connect_as("clientauth"));
    EXPECT_NE(std::string::npos, log().find("Failed enabling SSL Client Authentication"));
}

// A server that takes the TLS connection and never answers the handshake
// is closed after the time-outs and passed over like one that cannot be
// reached; the next server binds.
TEST_F(CksTls, SilentTlsServerIsPassedOver)
{
    tcp_proxy *p = nullptr;
    ASSERT_EQ(0, tcp_proxy_start(ds->sport, PROXY_STALL, &p));
    mconf.servers[1] = mconf.servers[0];
    mconf.servers[1].host = strdup("localhost");
    mconf.servers[0].port = tcp_proxy_port(p);
    mconf.nservers = 2;
    free(mconf.authtype);
    mconf.authtype = strdup("simple");
    int net = cks_net_timeout_ms, op = cks_op_timeout_ms;
    cks_net_timeout_ms = 300;
    cks_op_timeout_ms = 700;
    EXPECT_EQ(0, connect_in_child(30000));
    cks_net_timeout_ms = net;
    cks_op_timeout_ms = op;
    EXPECT_LT(0, tcp_proxy_accepted(p));
    tcp_proxy_stop(p);
    std::string first = "localhost:" + std::to_string(mconf.servers[0].port);
    std::string l = log();
    EXPECT_NE(std::string::npos, l.find("Connection to " + first + " not set up within 1000 ms"))
        << l;
    EXPECT_NE(std::string::npos, l.find("Cannot contact server " + first)) << l;
    EXPECT_NE(std::string::npos, l.find("Successfully bound as " + ds389_host_dn("hostA"))) << l;
}

}  // namespace
