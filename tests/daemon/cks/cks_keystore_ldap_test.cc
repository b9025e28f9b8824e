// The directory backend against a real 389 Directory Server: two hosts
// (bind DNs) on one instance, keystore nodes, the configuration blob, the
// hostile names, and connecting with fail-over past refusing, resetting and
// stalling servers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "../core/core_fixture.h"
#include "cks_ds_fixture.h"

namespace {

using kyrtest::count_of;

// A local TCP end that misbehaves: resets every connection, or accepts and
// never answers.  Its port is free for "refused" once it is gone.
struct bad_server {
    int fd = -1;
    int port = 0;
    bool reset = false;
    std::atomic<bool> stop{false};
    std::thread t;
    std::vector<int> held;
};

int bad_server_start(bad_server *s, bool reset)
{
    s->reset = reset;
    s->fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (s->fd < 0 || bind(s->fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        listen(s->fd, 16) != 0 ||
        getsockname(s->fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return -1;
    s->port = ntohs(a.sin_port);
    s->t = std::thread([s] {
        while (!s->stop) {
            pollfd p = {s->fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept(s->fd, nullptr, nullptr);
            if (c < 0)
                continue;
            if (s->reset) {
                linger l = {1, 0};
                setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
                close(c);
            } else {
                s->held.push_back(c);  // stalled: read nothing, answer nothing
            }
        }
    });
    return 0;
}

void bad_server_stop(bad_server *s)
{
    s->stop = true;
    if (s->t.joinable())
        s->t.join();
    for (int c : s->held)
        close(c);
    if (s->fd >= 0)
        close(s->fd);
}

int unused_port()
{
    bad_server s;
    bad_server_start(&s, true);
    int port = s.port;
    bad_server_stop(&s);
    return port;
}

class CksLdap : public kyrtest::CoreTest {
protected:
    ds389 *ds = nullptr;
    fake_ks k;

    void SetUp() override
    {
        CoreTest::SetUp();
        std::string why;
        ds = ds389_shared(false, &why);
        if (ds == nullptr)
            GTEST_SKIP() << why;
        static bool hosts = false;
        if (!hosts) {
            ASSERT_EQ(0, ds389_add_host(*ds, "hostA", "secretA"));
            ASSERT_EQ(0, ds389_add_host(*ds, "hostB", "secretB"));
            hosts = true;
        }
        kyrcks::configure(ds->port, "Simple");
        ASSERT_EQ(0, kyrcks::keystore_up(&k, "ks", false));
    }
    void TearDown() override
    {
        if (ds != nullptr)
            kyrcks::keystore_down(*ds, &k);
        CoreTest::TearDown();
    }
    void add_server(int port, const char *host = "127.0.0.1", int ssl = 0)
    {
        kyrcks::add_server(port, host, ssl);
    }
    void clear_servers()
    {
        for (int i = 0; i < mconf.nservers; ++i) {
            free(mconf.servers[i].host);
            mconf.servers[i].host = nullptr;
        }
        mconf.nservers = 0;
    }
    void as_host(const std::string &h) { kyrcks::as_host(h); }
    int make(const std::string &name)
    {
        fw_load(k.buf, fw_make_ks_msg(DB_INIT, name, DBM_KS_LDAP, false));
        return cks_db_make(k.buf);
    }
    template <class F> int with_conn(F f)
    {
        LDAP *ld = nullptr;
        int rc = connect_bind_ldap(&ld);
        if (rc != 0)
            return rc;
        rc = f(ld);
        cks_unbind(ld);
        return rc;
    }
    int check(const std::string &name)
    {
        return with_conn([&](LDAP *ld) { return cks_db_check(ld, name.c_str()); });
    }
    int join(const std::string &name)
    {
        return with_conn([&](LDAP *ld) { return cks_join_keystore(ld, name.c_str()); });
    }
    int del(const std::string &name)
    {
        return with_conn([&](LDAP *ld) { return cks_del_keystore(ld, name.c_str()); });
    }
    std::vector<std::string> listed()
    {
        kstable t = {nullptr, 0, 0};
        std::vector<std::string> names;
        EXPECT_EQ(0, get_cent_ksnames(&t));
        for (int i = 0; i < t.count; ++i) {
            EXPECT_EQ(DBM_KS_LDAP, t.v[i]->kstype);
            names.emplace_back(t.v[i]->name);
        }
        kstable_free(&t);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string ks_dn(const std::string &escaped_name)
    {
        return "ou=" + escaped_name + "," DS389_KEYSTORES;
    }
    size_t subtree_size(const std::string &dn) { return ds389_dns(*ds, dn, false).size(); }
    // This thread serves keystore `name` from now on.
    void serve(const std::string &name)
    {
        fake_ks_fini(&k);
        ASSERT_EQ(0, fake_ks_init(&k, name, DBM_KS_LDAP));
    }
    int write_config(const std::string &file, const std::string &blob)
    {
        fw_load(k.buf, fw_make_file_msg(DB_CONFIG_WRITE, file, 0,
                                        static_cast<uint32_t>(blob.size()), blob, false));
        return cks_config_write(k.buf);
    }
};

TEST_F(CksLdap, TwoHostsMakeCheckJoinListShareConfigurationAndDelete)
{
    const std::string name = "alpha.h.{1}";
    ASSERT_EQ(0, make(name));
    EXPECT_EQ(4u, subtree_size(ks_dn(name)));
    EXPECT_EQ(EEXIST, check(name));
    EXPECT_EQ(EEXIST, check("alpha"));  // a base name stands for its full names
    EXPECT_EQ(0, check("beta"));
    EXPECT_EQ(0, check("alpha.h.{2}"));
    EXPECT_NE(std::string::npos, log().find("Found 1 matches for keystore name alpha"));
    EXPECT_EQ(std::vector<std::string>{name}, listed());

    as_host("B");
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(0, join(name));
    EXPECT_EQ(0, join(name));  // already joined: still success
    EXPECT_EQ(std::vector<std::string>{name}, listed());

    // A's configuration blob, every byte value, read back on B.
    as_host("A");
    serve(name);
    std::string blob;
    for (int i = 0; i < 3000; ++i)
        blob.push_back(static_cast<char>(i * 7));
    ASSERT_EQ(0, write_config(name + ".conf", blob));
    ASSERT_EQ(1u, fake_fw_count());
    EXPECT_EQ(uint32_t(DB_RESPONSE), fw_header(fake_fw_sent(0)).type);
    EXPECT_EQ(0, fw_header(fake_fw_sent(0)).status);

    as_host("B");
    fake_fw_reset();
    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_READ, name + ".conf", 0, 0, "", false));
    ASSERT_EQ(0, cks_config_read(k.buf));
    ASSERT_EQ(1u, fake_fw_count());
    const fw_bytes &push = fake_fw_sent(0);
    fw_hdr h = fw_header(push);
    EXPECT_EQ(uint32_t(DB_CONFIG_PUSH), h.type);
    ASSERT_EQ(static_cast<int32_t>(DBM_FILE_DATA_OFF + blob.size()), h.paramSize);
    EXPECT_EQ(blob.size(), fw_be32(push, DBM_FILESIZE_OFF));
    EXPECT_EQ(blob, std::string(push.begin() + DBM_FILE_DATA_OFF,
                                push.begin() + DBM_FILE_DATA_OFF + blob.size()));

    EXPECT_EQ(0, del(name));
    EXPECT_EQ(0u, subtree_size(ks_dn(name)));
    EXPECT_EQ(LDAP_NO_SUCH_OBJECT, del(name));
}

// The keystore name "Users,ou=victim" must name a keystore of its own, not
// the victim's users node, for every operation; a ")" or "*" in a name is
// a character, not filter syntax.
TEST_F(CksLdap, HostileNamesReachOnlyTheirOwnEntries)
{
    // Full names (ending in a brace) are searched for exactly.
    ASSERT_EQ(0, make("v.h.{1}"));
    size_t before = subtree_size(ks_dn("v.h.{1}"));
    EXPECT_EQ(0, make("Users,ou=v.h.{1}"));
    EXPECT_EQ(EEXIST, check("Users,ou=v.h.{1}"));
    EXPECT_EQ(0, del("Users,ou=v.h.{1}"));
    EXPECT_EQ(before, subtree_size(ks_dn("v.h.{1}")));
    EXPECT_EQ(0u, subtree_size(ks_dn("Users\\2Cou=v.h.{1}")));

    EXPECT_EQ(0, check("x)"));
    EXPECT_EQ(0, check("*.*.{*}"));
    EXPECT_EQ(0, check("v*"));
    EXPECT_EQ(EEXIST, check("v"));
    EXPECT_EQ(0, make("p.q.{a)(b}"));
    EXPECT_EQ(EEXIST, check("p.q.{a)(b}"));
}

// A configuration blob too long for one push is refused and nothing is
// pushed; a write whose paramSize is out of range is refused.
TEST_F(CksLdap, ConfigurationBlobsThatDoNotFitAreRefused)
{
    ASSERT_EQ(0, make("big"));
    std::string big(DBM_FILE_CHUNK + 1, 'z');
    LDAP *root = ds389_root(*ds);
    ASSERT_NE(nullptr, root);
    berval v = {static_cast<ber_len_t>(big.size()), &big[0]};
    berval *vals[] = {&v, nullptr};
    LDAPMod m{};
    m.mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
    m.mod_type = const_cast<char *>(CKS_DATA_ATTR);
    m.mod_bvalues = vals;
    LDAPMod *mods[] = {&m, nullptr};
    ASSERT_EQ(0, ldap_modify_ext_s(root, ks_dn("big").c_str(), mods, nullptr, nullptr));
    ldap_unbind_ext_s(root, nullptr, nullptr);
    serve("big");
    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_READ, "big.conf", 0, 0, "", false));
    EXPECT_EQ(EFBIG, cks_config_read(k.buf));
    EXPECT_EQ(0u, fake_fw_count());

    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_WRITE, "big.conf", 0, 0, "", false));
    msg_hdr(k.buf->msg)->paramSize = DBM_MAX_MSG + 1;
    EXPECT_EQ(EINVAL, cks_config_write(k.buf));
    msg_hdr(k.buf->msg)->paramSize = 10;
    EXPECT_EQ(EINVAL, cks_config_write(k.buf));
    EXPECT_EQ(0u, fake_fw_count());

    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_READ, "big", 0, 0, "", false));
    EXPECT_EQ(EFBIG, cks_config_read(k.buf));  // no dot: the whole name
    serve("nothing");
    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_READ, "nothing.conf", 0, 0, "", false));
    EXPECT_EQ(LDAP_NO_SUCH_OBJECT, cks_config_read(k.buf));
}

// A keystore thread reads and writes only its own keystore's configuration:
// a message naming another keystore's file is refused, nothing is pushed
// and the other keystore's blob stays as it was.
TEST_F(CksLdap, ConfigurationOfAnotherKeystoreIsRefused)
{
    ASSERT_EQ(0, make("victim"));
    ASSERT_EQ(0, make("ks"));
    serve("victim");
    ASSERT_EQ(0, write_config("victim.conf", "victim's own"));
    serve("ks");
    fake_fw_reset();
    EXPECT_EQ(EINVAL, write_config("victim.conf", "overwritten"));
    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_READ, "victim.conf", 0, 0, "", false));
    EXPECT_EQ(EINVAL, cks_config_read(k.buf));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_NE(std::string::npos,
              log().find("DB_CONFIG_WRITE for keystore victim refused: not the keystore of this "
                         "thread (ks)"));

    serve("victim");
    fw_load(k.buf, fw_make_file_msg(DB_CONFIG_READ, "victim.conf", 0, 0, "", false));
    ASSERT_EQ(0, cks_config_read(k.buf));
    ASSERT_EQ(1u, fake_fw_count());
    const fw_bytes &push = fake_fw_sent(0);
    ASSERT_EQ(static_cast<int32_t>(DBM_FILE_DATA_OFF + 12), fw_header(push).paramSize);
    EXPECT_EQ("victim's own", std::string(push.begin() + DBM_FILE_DATA_OFF,
                                          push.begin() + DBM_FILE_DATA_OFF + 12));
}

// After a log rotation the old log node is made again after the entries
// that then move below it; the server lists it after them.
TEST_F(CksLdap, DeleteTakesDeepestEntriesFirst)
{
    ASSERT_EQ(0, make("rot"));
    std::string cur = "ou=AuditLogCur," + ks_dn("rot"), old = "ou=AuditLogOld," + ks_dn("rot");
    std::string ldif;
    for (int i = 0; i < 3; ++i) {
        std::string cn = std::string(63, '0') + std::to_string(i);
        ldif += "dn: cn=" + cn + "," + cur + "\nobjectClass: top\nobjectClass: " CKS_OBJECT_CLASS
                "\ncn: " + cn + "\n\n";
    }
    ldif += "dn: " + old + "\nchangetype: delete\n\n";
    ldif += "dn: " + old + "\nchangetype: add\nobjectClass: top\nobjectClass: organizationalunit\n"
            "objectClass: " CKS_NODE_CLASS "\nou: AuditLogOld\n\n";
    for (int i = 0; i < 3; ++i) {
        std::string cn = std::string(63, '0') + std::to_string(i);
        ldif += "dn: cn=" + cn + "," + cur + "\nchangetype: modrdn\nnewrdn: cn=" + cn +
                "\ndeleteoldrdn: 1\nnewsuperior: " + old + "\n\n";
    }
    ASSERT_EQ(0, ds389_ldif(*ds, ldif));
    ASSERT_EQ(7u, subtree_size(ks_dn("rot")));
    EXPECT_EQ(0, del("rot"));
    EXPECT_EQ(0u, subtree_size(ks_dn("rot")));
}

// A creation that fails part-way takes back its own entries and nothing
// else; a name that is already taken leaves the existing keystore alone.
TEST_F(CksLdap, HalfMadeKeystoreIsTakenBack)
{
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: " DS389_KEYSTORES "\nchangetype: modify\nadd: aci\naci: "
                                 "(target=\"ldap:///ou=AuditLogOld,ou=half," DS389_KEYSTORES
                                 "\")(version 3.0;acl \"no old log\";deny (add)(userdn = "
                                 "\"ldap:///anyone\");)\n"));
    int rc = make("half");
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: " DS389_KEYSTORES "\nchangetype: modify\ndelete: aci\naci: "
                                 "(target=\"ldap:///ou=AuditLogOld,ou=half," DS389_KEYSTORES
                                 "\")(version 3.0;acl \"no old log\";deny (add)(userdn = "
                                 "\"ldap:///anyone\");)\n"));
    EXPECT_EQ(LDAP_INSUFFICIENT_ACCESS, rc);
    EXPECT_NE(std::string::npos, log().find("Keystore creation failed.  DN ou=AuditLogOld,ou=half"));
    EXPECT_EQ(0u, subtree_size(ks_dn("half")));

    ASSERT_EQ(0, make("taken"));
    as_host("B");
    EXPECT_EQ(LDAP_ALREADY_EXISTS, make("taken"));
    EXPECT_EQ(4u, subtree_size(ks_dn("taken")));
}

// Names come from ou values and pass the daemon's name check.
TEST_F(CksLdap, ListingSkipsNamesThatAreNotKeystoreNames)
{
    ASSERT_EQ(0, make("good"));
    std::string a = ds389_host_dn("hostA");
    std::string longname(80, 'L');
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: ou=" + longname + "," DS389_KEYSTORES
                                 "\nobjectClass: top\nobjectClass: organizationalunit\n"
                                 "objectClass: " CKS_NODE_CLASS "\nou: " + longname +
                                 "\nseeAlso: " + a + "\n\n"
                                 "dn: ou=a/b," DS389_KEYSTORES
                                 "\nobjectClass: top\nobjectClass: organizationalunit\n"
                                 "objectClass: " CKS_NODE_CLASS "\nou: a/b\nseeAlso: " + a + "\n"));
    EXPECT_EQ(std::vector<std::string>{"good"}, listed());
    EXPECT_EQ(2u, count_of(log(), "is not valid: skipped"));
}

// The handlers: a thread deletes only the keystore it serves; check and
// join go through the directory.
TEST_F(CksLdap, HandlersCheckJoinAndDeleteOnlyTheirOwnKeystore)
{
    ASSERT_EQ(0, make("victim"));
    ASSERT_EQ(0, make("ks"));
    fw_load(k.buf, fw_make_ks_msg(DB_DELETE, "victim", 0, false));
    EXPECT_EQ(EINVAL, task_db_del(k.buf));
    EXPECT_EQ(4u, subtree_size(ks_dn("victim")));

    fw_load(k.buf, fw_make_ks_msg(DB_CHECK, "victim", DBM_KS_LDAP, false));
    EXPECT_EQ(0, task_db_check(k.buf));  // a base name: no full name built on it
    fw_load(k.buf, fw_make_ks_msg(DB_CHECK, "ks", DBM_KS_LDAP, false));
    EXPECT_EQ(0, task_db_check(k.buf));
    mconf.degraded = 1;
    fw_load(k.buf, fw_make_ks_msg(DB_CHECK, "ks", DBM_KS_LDAP, false));
    EXPECT_EQ(EOPNOTSUPP, task_db_check(k.buf));
    fw_load(k.buf, fw_make_ks_msg(DB_DELETE, "ks", 0, false));
    EXPECT_EQ(EOPNOTSUPP, task_db_del(k.buf));
    mconf.degraded = 0;

    fake_fw_reset();
    fw_load(k.buf, fw_make_ks_msg(DB_DELETE, "ks", 0, false));
    EXPECT_EQ(0, task_db_del(k.buf));
    ASSERT_EQ(1u, fake_fw_count());
    EXPECT_EQ(0, fw_header(fake_fw_sent(0)).status);
    EXPECT_EQ(0u, subtree_size(ks_dn("ks")));
    EXPECT_EQ(4u, subtree_size(ks_dn("victim")));
}

TEST_F(CksLdap, FirstServerDownSecondBinds)
{
    clear_servers();
    int dead = unused_port();
    add_server(dead);
    add_server(ds->port);
    EXPECT_EQ(0, with_conn([](LDAP *) { return 0; }));
    std::string l = log();
    EXPECT_EQ(2u, count_of(l, "Attempting LDAP connection to 127.0.0.1:"));
    EXPECT_EQ(1u, count_of(l, "Cannot contact server 127.0.0.1:" + std::to_string(dead)));
    EXPECT_NE(std::string::npos, l.find("Successfully bound as " + ds389_host_dn("hostA")));
}

TEST_F(CksLdap, ResettingServerIsPassedAndRefusedBindEndsTheAttempt)
{
    bad_server rst;
    ASSERT_EQ(0, bad_server_start(&rst, true));
    clear_servers();
    add_server(rst.port);
    add_server(ds->port);
    add_server(ds->port);
    EXPECT_EQ(0, with_conn([](LDAP *) { return 0; }));
    bad_server_stop(&rst);
    EXPECT_EQ(1u, count_of(log(), "Cannot contact server"));

    clear_servers();
    add_server(ds->port);
    add_server(ds->port);

    free(mconf.password);
    mconf.password = strdup("wrong");
    EXPECT_EQ(LDAP_INVALID_CREDENTIALS, with_conn([](LDAP *) { return 0; }));
    std::string l = log();
    EXPECT_EQ(1u, count_of(l, "Failed binding to server 127.0.0.1:" + std::to_string(ds->port)));
    EXPECT_EQ(3u, count_of(l, "Attempting LDAP connection"));  // 2 before, 1 now
}

TEST_F(CksLdap, StalledServerFailsWithinTheTimeout)
{
    bad_server st;
    ASSERT_EQ(0, bad_server_start(&st, false));
    clear_servers();
    add_server(st.port);
    int saved = cks_op_timeout_ms;
    cks_op_timeout_ms = 300;
    LDAP *ld = reinterpret_cast<LDAP *>(1);
    EXPECT_EQ(CKS_TIMEOUT, connect_bind_ldap(&ld));
    EXPECT_EQ(nullptr, ld);
    cks_op_timeout_ms = saved;
    bad_server_stop(&st);
    EXPECT_NE(std::string::npos, log().find("Failed binding to server"));
}

TEST_F(CksLdap, MissingSettingsAreNamedAndNeverUsed)
{
    free(mconf.basedn);
    mconf.basedn = nullptr;
    kstable t = {nullptr, 0, 0};
    EXPECT_NE(0, get_cent_ksnames(&t));
    EXPECT_EQ(0, t.count);
    EXPECT_NE(std::string::npos, log().find("need the basedn config directive"));
    free(mconf.authtype);
    mconf.authtype = strdup("kerberos");
    LDAP *ld = nullptr;
    EXPECT_EQ(EINVAL, connect_bind_ldap(&ld));
    EXPECT_NE(std::string::npos, log().find("Invalid authentication type: kerberos"));
    free(mconf.authtype);
    mconf.authtype = strdup("CLIENTAUTH");
    mconf.basedn = strdup(DS389_SUFFIX);
    EXPECT_EQ(EINVAL, connect_bind_ldap(&ld));  // plain server with certificates
    EXPECT_NE(std::string::npos,
              log().find("SSL must be enabled in order to use client certificate authentication"));
}

}  // namespace
