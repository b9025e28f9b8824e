// Identifier text, escaping, DN and filter building, the code map and the
// configuration checks of the directory backend (no server needed).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "../core/core_fixture.h"
#include "cks/cks_int.h"

namespace {

class CksText : public kyrtest::CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        mconf.basedn = strdup("dc=example,dc=com");
        mconf.binddn = strdup("cn=hostA,ou=Hosts,dc=example,dc=com");
        mconf.authtype = strdup("simple");
    }
};

// Parses a DN and returns its RDN values (unescaped), first RDN first.
std::vector<std::string> rdn_values(const char *dn)
{
    std::vector<std::string> out;
    LDAPDN parts = nullptr;
    if (ldap_str2dn(dn, &parts, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS)
        return out;
    for (int i = 0; parts[i] != nullptr; ++i)
        out.emplace_back(parts[i][0]->la_value.bv_val, parts[i][0]->la_value.bv_len);
    ldap_dnfree(parts);
    return out;
}

TEST_F(CksText, Bin2stringWritesUpperCaseHexAndEmptyForNoBytes)
{
    const unsigned char b[] = {0x00, 0xAB};
    char *s = bin2string(b, 2);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "00AB");
    free(s);
    s = bin2string(b, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    free(s);
}

TEST_F(CksText, String2binSkipsNonDigitsAndReadsPairs)
{
    unsigned char *buf = nullptr;
    size_t len = 0;
    ASSERT_EQ(string2bin("0a:FF", &buf, &len), 0);
    ASSERT_EQ(len, 2u);
    EXPECT_EQ(buf[0], 0x0A);
    EXPECT_EQ(buf[1], 0xFF);
    free(buf);

    buf = nullptr;
    ASSERT_EQ(string2bin("", &buf, &len), 0);
    EXPECT_EQ(len, 0u);
    free(buf);
}

// A lone last digit is one byte, and reading stops at the terminator: the
// text lies in a heap block of its exact size, so a step past it is seen
// by the sanitizer build and as a wrong byte count here.
TEST_F(CksText, String2binLoneLastDigitStopsAtTheEnd)
{
    char *text = strdup("ABC");
    unsigned char *buf = nullptr;
    size_t len = 0;
    ASSERT_EQ(string2bin(text, &buf, &len), 0);
    ASSERT_EQ(len, 2u);
    EXPECT_EQ(buf[0], 0xAB);
    EXPECT_EQ(buf[1], 0x0C);
    free(buf);
    free(text);
}

// On overflow the caller's own buffer is left alone (freeing it would be a
// free of stack memory here, which aborts).
TEST_F(CksText, String2binOverflowKeepsTheCallersBuffer)
{
    unsigned char mine[2] = {0x11, 0x22};
    unsigned char *buf = mine;
    size_t len = sizeof(mine);
    EXPECT_EQ(string2bin("010203", &buf, &len), ENOSPC);
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(len, 0u);
    buf = mine;
    len = sizeof(mine);
    EXPECT_EQ(string2bin("0102", &buf, &len), 0);
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(mine[0], 0x01);
}

TEST_F(CksText, CodeMapGivesClassicCodesAndTheirTexts)
{
    EXPECT_EQ(cks_code(LDAP_SERVER_DOWN), 81);
    EXPECT_EQ(cks_code(LDAP_CONNECT_ERROR), 91);
    EXPECT_EQ(cks_code(LDAP_NO_MEMORY), 90);
    EXPECT_EQ(cks_code(LDAP_FILTER_ERROR), 87);
    EXPECT_EQ(cks_code(LDAP_TIMEOUT), 85);
    EXPECT_EQ(cks_code(0), 0);
    EXPECT_EQ(cks_code(LDAP_INVALID_CREDENTIALS), 49);
    EXPECT_STREQ(cks_err2string(81), ldap_err2string(LDAP_SERVER_DOWN));
    EXPECT_STREQ(cks_err2string(LDAP_SERVER_DOWN), ldap_err2string(LDAP_SERVER_DOWN));
    EXPECT_STREQ(cks_err2string(32), ldap_err2string(32));
}

// A keystore name that spells another keystore's node stays one value.
TEST_F(CksText, KeystoreNameCannotNameAnotherEntry)
{
    char dn[CKS_DN_MAX];
    ASSERT_EQ(cks_ks_dn(dn, "Users,ou=victim"), 0);
    std::vector<std::string> v = rdn_values(dn);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0], "Users,ou=victim");
    EXPECT_EQ(v[1], "Keystores");

    ASSERT_EQ(cks_node_dn(dn, CKS_USERS_RDN, "a+b=c;\"<x>\\ #"), 0);
    v = rdn_values(dn);
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[0], "Users");
    EXPECT_EQ(v[1], "a+b=c;\"<x>\\ #");

    ASSERT_EQ(cks_node_dn(dn, CKS_USERS_RDN, " #lead and trail "), 0);
    EXPECT_EQ(rdn_values(dn)[1], " #lead and trail ");

    ASSERT_EQ(cks_obj_dn(dn, "0000000100000002", std::string(40, 'A').c_str(), "k.h.{1}"), 0);
    v = rdn_values(dn);
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[0], "0000000100000002");
    EXPECT_EQ(v[3], "k.h.{1}");
}

TEST_F(CksText, FilterValuesKeepOnlyTheTemplatesWildcards)
{
    char out[64];
    ASSERT_EQ(cks_escape_filter("a)(b*\\", out, sizeof(out)), 0);
    EXPECT_STREQ(out, "a\\29\\28b\\2a\\5c");
    EXPECT_EQ(cks_escape_filter("abcdef", out, 6), ENAMETOOLONG);
    ASSERT_EQ(cks_escape_filter("abcde", out, 6), 0);
}

// A DN that would be cut at 1023 characters is refused, never cut.
TEST_F(CksText, OverlongDnIsRefused)
{
    free(mconf.basedn);
    std::string base = "dc=" + std::string(CKS_DN_MAX, 'x');
    mconf.basedn = strdup(base.c_str());
    char dn[CKS_DN_MAX];
    EXPECT_EQ(cks_ks_dn(dn, "ks"), ENAMETOOLONG);
    EXPECT_EQ(cks_container_dn(dn), ENAMETOOLONG);
    EXPECT_NE(log().find("longer than 1023 characters refused"), std::string::npos);

    base = "dc=" + std::string(CKS_DN_MAX - 1 - strlen("ou=ks,ou=Keystores,ou=kyrkeystore,dc="),
                               'x');
    free(mconf.basedn);
    mconf.basedn = strdup(base.c_str());
    ASSERT_EQ(cks_ks_dn(dn, "ks"), 0);
    EXPECT_EQ(strlen(dn), static_cast<size_t>(CKS_DN_MAX - 1));
    EXPECT_EQ(cks_ks_dn(dn, "k,"), ENAMETOOLONG);  // the escape makes it one longer
}

TEST_F(CksText, ConfigurationNeedsEveryDirectoryValue)
{
    EXPECT_EQ(cks_check_config(), 0);
    free(mconf.basedn);
    mconf.basedn = nullptr;
    free(mconf.authtype);
    mconf.authtype = nullptr;
    EXPECT_EQ(cks_check_config(), EINVAL);
    std::string l = log();
    EXPECT_NE(l.find("need the basedn config directive"), std::string::npos);
    EXPECT_NE(l.find("need the authtype config directive"), std::string::npos);
    EXPECT_EQ(l.find("need the binddn"), std::string::npos);
}

TEST_F(CksText, BindDnThatWouldBendTheLockTextIsRefused)
{
    free(mconf.binddn);
    mconf.binddn = strdup("cn=x\")(version 3.0;acl \"open\";allow (all)(userdn = \"ldap:///anyone");
    EXPECT_EQ(cks_check_config(), EINVAL);
    EXPECT_NE(log().find("cannot be used in a log lock"), std::string::npos);
    free(mconf.binddn);
    mconf.binddn = strdup("cn=Smith\\, John,dc=example,dc=com");
    EXPECT_EQ(cks_check_config(), 0);
}

TEST_F(CksText, ConfigFileNameGivesTheKeystoreName)
{
    char ks[DBM_KSNAME_LEN];
    ASSERT_EQ(cks_config_ksname("base.q.{t}.conf", ks), 0);
    EXPECT_STREQ(ks, "base.q.{t}");
    ASSERT_EQ(cks_config_ksname("nodot", ks), 0);
    EXPECT_STREQ(ks, "nodot");
    EXPECT_EQ(cks_config_ksname(".conf", ks), EINVAL);
    EXPECT_EQ(cks_config_ksname("a/b.conf", ks), EINVAL);
}

}  // namespace
