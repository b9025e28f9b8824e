// Shared by the audit-log tests on a 389 Directory Server: a keystore made
// for host A, hosts A, B and C, the log handlers driven through the
// in-process firmware, and the log lock set directly as another agent.
#ifndef KYR_TESTS_CKS_LOG_FIXTURE_H
#define KYR_TESTS_CKS_LOG_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "../core/core_fixture.h"
#include "cks_ds_fixture.h"

namespace kyrlog {

inline const char *kKs = "log.host.{1}";

// A log record whose key (bytes 0-3 and 16-31 chosen here) is unique for
// (tag, seq); set_log_key stamps bytes 4-15.
inline fw_rec log_rec(uint8_t tag, uint32_t seq, size_t extra = 8)
{
    fw_rec r;
    r.id = fw_oid(0x100u + tag, seq);
    std::string d(DBM_LOG_KEY_LEN + extra, char(tag));
    d.replace(0, 4, std::string{char(seq >> 24), char(seq >> 16), char(seq >> 8), char(seq)});
    d.replace(8, 8, r.id);
    r.data = d;
    return r;
}

inline std::vector<fw_rec> recs(uint8_t tag, uint32_t first, uint32_t n)
{
    std::vector<fw_rec> v;
    for (uint32_t i = first; i < first + n; ++i)
        v.push_back(log_rec(tag, i));
    return v;
}

// Bytes 0-3 of a record's data, big-endian.
inline uint32_t seq_of(const std::string &d)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(d.data());
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline std::string lock_value(const std::string &host)
{
    return "(targetattr = \"*\") (version 3.0;acl \"NodeLock\";deny (all)(userdn != "
           "\"ldap:///" + ds389_host_dn(host) + "\");)";
}

inline LDAP *bind_as(const ds389 &d, const std::string &dn, const std::string &pw)
{
    LDAP *ld = nullptr;
    std::string uri = "ldap://127.0.0.1:" + std::to_string(d.port);
    if (ldap_initialize(&ld, uri.c_str()) != LDAP_SUCCESS)
        return nullptr;
    int v = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v);
    berval cred = {static_cast<ber_len_t>(pw.size()), const_cast<char *>(pw.c_str())};
    if (ldap_sasl_bind_s(ld, dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr, nullptr) != 0) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    return ld;
}

// Replaces the current log node's aci (empty value: removes it).
inline int set_aci(LDAP *ld, const std::string &value)
{
    std::string dn = std::string(CKS_LOGCUR_RDN ",ou=") + kKs + "," DS389_KEYSTORES;
    char *vals[] = {const_cast<char *>(value.c_str()), nullptr};
    LDAPMod m;
    memset(&m, 0, sizeof(m));
    m.mod_op = LDAP_MOD_REPLACE;
    m.mod_type = const_cast<char *>("aci");
    m.mod_values = value.empty() ? nullptr : vals;
    LDAPMod *mods[] = {&m, nullptr};
    // The server applies a changed access rule a moment after it answered
    // (which is why the daemon reads its lock back): a release just made
    // may still refuse us, and our change may not yet hold for others.
    int rc = LDAP_INSUFFICIENT_ACCESS;
    for (int i = 0; i < 40 && rc == LDAP_INSUFFICIENT_ACCESS; ++i) {
        if (i > 0)
            usleep(50 * 1000);
        rc = ldap_modify_ext_s(ld, dn.c_str(), mods, nullptr, nullptr);
    }
    usleep(100 * 1000);
    return rc;
}

class CksLog : public kyrtest::CoreTest {
protected:
    ds389 *ds = nullptr;
    fake_ks k;
    int saved_wait = cks_lock_wait_ms;

    void SetUp() override
    {
        CoreTest::SetUp();
        std::string why;
        ds = ds389_shared(false, &why);
        if (ds == nullptr)
            GTEST_SKIP() << why;
        static bool hosts = false;
        if (!hosts) {
            for (const char *h : {"A", "B", "C"})
                ASSERT_EQ(0, ds389_add_host(*ds, std::string("host") + h,
                                            std::string("secret") + h));
            hosts = true;
        }
        mconf.auditloglimit = 500;
        kyrcks::configure(ds->port, "simple");
        ASSERT_EQ(0, kyrcks::keystore_up(&k, kKs, true));
    }
    void TearDown() override
    {
        if (ds != nullptr) {
            cks_lock_wait_ms = saved_wait;
            kyrcks::keystore_down(*ds, &k);
        }
        CoreTest::TearDown();
    }
    void as_host(const std::string &h) { kyrcks::as_host(h); }
    int write(const std::vector<fw_rec> &r, uint32_t flags = 0)
    {
        fw_load(k.buf, fw_make_obj_msg(DB_LOG_WRITE, kKs, flags, std::string(20, '\0'), r, false,
                                       false));
        return task_log_write(k.buf);
    }
    // Reads through the handler; the pushes' records (and flags) in order.
    int read(int32_t n, bool old_log, std::vector<fw_rec> *out, std::vector<uint32_t> *flags)
    {
        fake_fw_reset();
        fw_load(k.buf, fw_make_obj_msg(DB_LOG_READ, kKs, old_log ? DBM_FLAG_OLD_LOG : 0,
                                       std::string(20, '\0'), {}, true, false));
        msg_put32(k.buf->msg, DBM_NOBJS_OFF, n);
        int rc = task_log_read(k.buf);
        for (size_t i = 0; i < fake_fw_count(); ++i) {
            const fw_bytes &m = fake_fw_sent(i);
            EXPECT_EQ(uint32_t(DB_LOG_PUSH), fw_header(m).type);
            flags->push_back(fw_header(m).flags);
            std::string owner;
            std::vector<fw_rec> got;
            EXPECT_TRUE(fw_obj_parse(m, &owner, &got));
            out->insert(out->end(), got.begin(), got.end());
        }
        return rc;
    }
    // Sequence numbers of the records read (bytes 0-3).
    std::vector<uint32_t> seqs(int32_t n, bool old_log = false)
    {
        std::vector<fw_rec> got;
        std::vector<uint32_t> fl;
        EXPECT_EQ(0, read(n, old_log, &got, &fl));
        std::vector<uint32_t> s;
        for (const fw_rec &r : got) {
            s.push_back(seq_of(r.data));
            EXPECT_EQ(r.id, r.data.substr(8, 8));
        }
        return s;
    }
    std::string node(const char *rdn) { return std::string(rdn) + ",ou=" + kKs + "," DS389_KEYSTORES; }
    size_t entries(const char *rdn) { return ds389_dns(*ds, node(rdn), true).size(); }
    std::vector<uint32_t> range(uint32_t a, uint32_t b)
    {
        std::vector<uint32_t> v(b - a + 1);
        std::iota(v.begin(), v.end(), a);
        return v;
    }
    bool lock_free()
    {
        LDAP *root = ds389_root(*ds);
        LDAPMessage *res = nullptr;
        char aci[] = "aci";
        char *attrs[] = {aci, nullptr};
        bool none = false;
        if (ldap_search_ext_s(root, node(CKS_LOGCUR_RDN).c_str(), LDAP_SCOPE_BASE,
                              "(objectclass=*)", attrs, 0, nullptr, nullptr, nullptr, 0, &res) ==
            0) {
            berval **v = ldap_get_values_len(root, ldap_first_entry(root, res), "aci");
            none = v == nullptr;
            ldap_value_free_len(v);
        }
        ldap_msgfree(res);
        ldap_unbind_ext_s(root, nullptr, nullptr);
        return none;
    }
};

}  // namespace kyrlog

#endif  // KYR_TESTS_CKS_LOG_FIXTURE_H
