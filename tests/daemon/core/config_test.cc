// Configuration reader: directives, server list, strict integers, password
// file, degraded-mode report and hostile input.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <string>

#include "core_fixture.h"

using kyrtest::CoreTest;
using kyrtest::count_of;

namespace {

class ConfigTest : public CoreTest {
protected:
    void load(const std::string &text)
    {
        ASSERT_EQ(qelkiod_process_config_buf(text.data(), text.size()), 0);
    }
};

TEST(StrictIntegerTest, AcceptsSignedDecimalOnly)
{
    long v = -1;
    EXPECT_EQ(strtol_strict("750", &v), 0);
    EXPECT_EQ(v, 750);
    EXPECT_EQ(strtol_strict("+750", &v), 0);
    EXPECT_EQ(v, 750);
    EXPECT_EQ(strtol_strict("-12", &v), 0);
    EXPECT_EQ(v, -12);
    EXPECT_EQ(strtol_strict("0007", &v), 0);
    EXPECT_EQ(v, 7);

    v = 99;
    for (const char *bad : {"", "+", "-", "12a", "a12", " 12", "12 ", "1.5", "0x10", "+-1", "--1"}) {
        EXPECT_EQ(strtol_strict(bad, &v), EINVAL) << "'" << bad << "'";
    }
    EXPECT_EQ(strtol_strict(nullptr, &v), EINVAL);
    EXPECT_EQ(v, 99) << "a refused text must not change the result";
}

TEST(StrictIntegerTest, RefusesOverflow)
{
    long v = 0;
    std::string max = std::to_string(LONG_MAX);
    EXPECT_EQ(strtol_strict(max.c_str(), &v), 0);
    EXPECT_EQ(v, LONG_MAX);
    EXPECT_EQ(strtol_strict("99999999999999999999999", &v), EINVAL);
    EXPECT_EQ(strtol_strict("-99999999999999999999999", &v), EINVAL);
}

TEST_F(ConfigTest, StartupValues)
{
    EXPECT_EQ(mconf.debuglevel, 5);
    EXPECT_EQ(mconf.auditloglimit, 500);
    EXPECT_EQ(mconf.nservers, 0);
    EXPECT_EQ(mconf.user, nullptr);
    EXPECT_STREQ(qelkiod_ksdir(), "/var/opt/orv/vantor/keydata");
    qelkiod_reset_config(2, 1);
    EXPECT_EQ(mconf.debug, 2);
    EXPECT_EQ(mconf.foreground, 1);
    EXPECT_EQ(mconf.debuglevel, 7);
    EXPECT_EQ(qelkiod_debuglevel_for(1), 6);
    EXPECT_EQ(qelkiod_debuglevel_for(40), 7) << "the level must stay a valid syslog level";
}

TEST_F(ConfigTest, StringDirectivesCaseCommentsAndReplacement)
{
    load("# a comment line\n"
         "\n"
         "   \t  \n"
         "USER alice extra words ignored\n"
         "KeystoreDir /tmp/ks1#trailing comment\n"
         "keystoredir\t/tmp/ks2   # the later line wins\n"
         "logfile /var/log/k.log\n"
         "basedn dc=example,dc=com\n"
         "binddn cn=admin\n"
         "authtype simple\n"
         "certdb /etc/certdb\n"
         "certname client\n"
         "passfile /etc/pass");  // last line without newline
    EXPECT_STREQ(mconf.user, "alice");
    EXPECT_STREQ(mconf.keystoredir, "/tmp/ks2");
    EXPECT_STREQ(qelkiod_ksdir(), "/tmp/ks2");
    EXPECT_STREQ(mconf.logfile, "/var/log/k.log");
    EXPECT_STREQ(mconf.basedn, "dc=example,dc=com");
    EXPECT_STREQ(mconf.binddn, "cn=admin");
    EXPECT_STREQ(mconf.authtype, "simple");
    EXPECT_STREQ(mconf.certdb, "/etc/certdb");
    EXPECT_STREQ(mconf.certname, "client");
    EXPECT_STREQ(mconf.passfile, "/etc/pass");
    EXPECT_FALSE(logged("Unknown config directive"));
}

TEST_F(ConfigTest, UnknownDirectivesAndMissingValues)
{
    load("bogus value\n"
         "debuglevel\n"
         "user\n"
         "user # only a comment\n"
         "serverlist\n");
    std::string l = log();
    EXPECT_NE(l.find("Config file - line 1: Unknown config directive bogus found"), std::string::npos) << l;
    EXPECT_NE(l.find("Config file - line 2: Unknown config directive debuglevel found"), std::string::npos);
    EXPECT_NE(l.find("Config file - line 3: Unknown config directive user found"), std::string::npos);
    EXPECT_NE(l.find("Config file - line 4: Unknown config directive user found"), std::string::npos);
    EXPECT_NE(l.find("Config file - line 5: Unknown config directive serverlist found"), std::string::npos);
    EXPECT_NE(l.find("[warning]"), std::string::npos);
    EXPECT_EQ(mconf.user, nullptr);
    EXPECT_EQ(mconf.debuglevel, 5);
    EXPECT_EQ(mconf.nservers, 0);
}

TEST_F(ConfigTest, DebugLevel)
{
    load("debuglevel INFO\n");
    EXPECT_EQ(mconf.debuglevel, 6);
    load("debuglevel debug\n");
    EXPECT_EQ(mconf.debuglevel, 6) << "an earlier line that raised the level wins";

    qelkiod_reset_config(0, 0);
    load("debuglevel Debug\n");
    EXPECT_EQ(mconf.debuglevel, 7);

    qelkiod_reset_config(0, 0);
    load("debuglevel loud\n");
    EXPECT_EQ(mconf.debuglevel, 5);
    EXPECT_TRUE(logged("Unknown DebugLevel value of loud: Log level set to default (NOTICE)"));

    // One -d: the level is 6 and a notice line changes nothing.
    qelkiod_reset_config(1, 0);
    load("debuglevel notice\n");
    EXPECT_EQ(mconf.debuglevel, 6);
    load("debuglevel debug\n");
    EXPECT_EQ(mconf.debuglevel, 6);
}

TEST_F(ConfigTest, AuditLogLimit)
{
    load("auditloglimit +750\n");
    EXPECT_EQ(mconf.auditloglimit, 750);
    load("auditloglimit 12x\n");
    EXPECT_EQ(mconf.auditloglimit, 500);
    EXPECT_TRUE(logged("Invalid audit log limit value of 12x: Using default value of 500"));
    load("auditloglimit 300\nauditloglimit 99999999999\n");
    EXPECT_EQ(mconf.auditloglimit, 500) << "a value beyond int is invalid";
    EXPECT_TRUE(logged("Invalid audit log limit value of 99999999999"));
    load("auditloglimit 300\nauditloglimit -1\n");
    EXPECT_EQ(mconf.auditloglimit, 500) << "a negative limit would never rotate";
    EXPECT_TRUE(logged("Invalid audit log limit value of -1: Using default value of 500"));
}

TEST_F(ConfigTest, RelativeKeystoreDirectoryIsMadeAbsolute)
{
    char *cwd = getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    std::string here = cwd;
    free(cwd);
    load("keystoredir keys/local\n");
    EXPECT_EQ(std::string(mconf.keystoredir), (here == "/" ? "" : here) + "/keys/local");
    load("keystoredir /abs/keys\n");
    EXPECT_STREQ(mconf.keystoredir, "/abs/keys");
}

TEST_F(ConfigTest, AFileWithoutEndIsReadOnlyUpToItsLimit)
{
    // The lines before the limit count; the reading stops after 1 MiB.
    std::string text = "user dave\n" + std::string(3u << 20, 'x') + "\nlogfile /tmp/late\n";
    FILE *fp = fmemopen(&text[0], text.size(), "r");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(qelkiod_process_config(fp), 0);
    EXPECT_LE(ftell(fp), long(1u << 20) + 1023) << "one piece past the limit is read, no more";
    fclose(fp);
    EXPECT_STREQ(mconf.user, "dave");
    EXPECT_EQ(mconf.logfile, nullptr);
    EXPECT_TRUE(logged("more than 1048576 bytes, the rest is ignored")) << log();
    load(text);
    EXPECT_EQ(mconf.logfile, nullptr);
}

TEST_F(ConfigTest, ServerListForms)
{
    load("serverlist LDAPS://host1:1636\n"
         "serverlist ldap://host2\n"
         "serverlist ldaps://host3\n"
         "serverlist ldap://host4:12abc\n"
         "serverlist ldap://ldap-1.example.com:389/extra\n"
         "ServerList ldap://\n");
    ASSERT_EQ(mconf.nservers, 6);
    EXPECT_STREQ(mconf.servers[0].host, "host1");
    EXPECT_EQ(mconf.servers[0].port, 1636);
    EXPECT_EQ(mconf.servers[0].ssl, 1);
    EXPECT_STREQ(mconf.servers[1].host, "host2");
    EXPECT_EQ(mconf.servers[1].port, 389);
    EXPECT_EQ(mconf.servers[1].ssl, 0);
    EXPECT_STREQ(mconf.servers[2].host, "host3");
    EXPECT_EQ(mconf.servers[2].port, 636);
    EXPECT_EQ(mconf.servers[2].ssl, 1);
    EXPECT_STREQ(mconf.servers[3].host, "host4");
    EXPECT_EQ(mconf.servers[3].port, 12) << "the port text ends at the first non-digit";
    EXPECT_STREQ(mconf.servers[4].host, "ldap-1.example.com");
    EXPECT_EQ(mconf.servers[4].port, 389);
    EXPECT_STREQ(mconf.servers[5].host, "") << "an empty host is accepted";
    EXPECT_TRUE(cks_configured());
}

TEST_F(ConfigTest, ServerListRefusals)
{
    load("serverlist ldap:/host1\n"
         "serverlist http://host2\n"
         "serverlist ldap://host3:\n"
         "serverlist ldap://host4:99999\n"
         "serverlist ldap://host5:99999999999999999999999\n");
    EXPECT_EQ(mconf.nservers, 0);
    std::string l = log();
    EXPECT_NE(l.find("[ERROR] Cannot find protocol delimiter"), std::string::npos) << l;
    EXPECT_NE(l.find("Invalid protocol type: http"), std::string::npos);
    EXPECT_EQ(count_of(l, "Invalid port: "), 3u);
    EXPECT_FALSE(cks_configured());
}

TEST_F(ConfigTest, ServerListLimit)
{
    std::string text;
    for (int i = 0; i < 257; i++)
        text += "serverlist ldap://h" + std::to_string(i) + "\n";
    load(text);
    EXPECT_EQ(mconf.nservers, 256);
    EXPECT_STREQ(mconf.servers[255].host, "h255");
    EXPECT_TRUE(logged("Maximum number of host bindings reached [256]: Server registration for ldap://h256 will be skipped."));
    EXPECT_EQ(qelkiod_add_server("ldap://more"), ENOSPC);
    EXPECT_EQ(mconf.nservers, 256);
}

TEST_F(ConfigTest, LongLinesAreReadInPieces)
{
    // 1023 characters make one piece; the rest of the line is a line of its
    // own and is read as a directive.
    std::string first = "user " + std::string(1018, 'a');  // exactly 1023
    load(first + "user bob\n" + "logfile /tmp/x\n");
    EXPECT_STREQ(mconf.user, "bob");
    EXPECT_STREQ(mconf.logfile, "/tmp/x");
    EXPECT_FALSE(logged("Unknown config directive"));

    // A 100 000-character line: many pieces, no crash, later lines still read.
    clear_log();
    qelkiod_reset_config(0, 0);
    std::string huge(100000, 'x');
    load(huge + "\nuser carol\n");
    EXPECT_STREQ(mconf.user, "carol");
    // 100 001 bytes with the newline: 98 full pieces and a short one; the
    // user line is line 99 + 1.
    EXPECT_TRUE(logged("Config file - line 98: Unknown config directive"));
    EXPECT_FALSE(logged("line 99: Unknown"));
}

TEST_F(ConfigTest, BinaryGarbageAndNuls)
{
    std::string junk;
    unsigned seed = 12345;
    for (int i = 0; i < 20000; i++) {
        seed = seed * 1103515245u + 12345u;
        junk.push_back(static_cast<char>(seed >> 16));
    }
    load(junk);
    // A NUL ends the line's text as for any C string reader: "user" has no
    // value and the NUL-hidden part is not used.
    qelkiod_reset_config(0, 0);
    clear_log();
    std::string with_nul("user\0dave\nkeystoredir /tmp/k\0ignored\n", 38);
    load(with_nul);
    EXPECT_EQ(mconf.user, nullptr);
    EXPECT_STREQ(mconf.keystoredir, "/tmp/k");
    EXPECT_TRUE(logged("Config file - line 1: Unknown config directive user found"));
    // Empty and null buffers are fine too.
    EXPECT_EQ(qelkiod_process_config_buf(nullptr, 0), 0);
    EXPECT_EQ(qelkiod_process_config_buf("", 0), 0);
}

TEST_F(ConfigTest, StreamReaderMatchesBuffer)
{
    std::string path = dir_ + "/k.conf";
    kyrtest::write_file(path, "user erin\nserverlist ldaps://s1:7\n");
    FILE *fp = fopen(path.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(qelkiod_process_config(fp), 0);
    fclose(fp);
    EXPECT_STREQ(mconf.user, "erin");
    ASSERT_EQ(mconf.nservers, 1);
    EXPECT_EQ(mconf.servers[0].port, 7);
}

TEST_F(ConfigTest, LoadConfigFileOrDefaults)
{
    cfile = strdup((dir_ + "/missing.conf").c_str());
    EXPECT_EQ(qelkiod_load_config(), 0);
    EXPECT_TRUE(logged("Cannot open config file " + dir_ + "/missing.conf: No such file or directory"));
    EXPECT_TRUE(logged("Service will use default values."));

    kyrtest::write_file(dir_ + "/k.conf", "user frank\n");
    free(cfile);
    cfile = strdup((dir_ + "/k.conf").c_str());
    EXPECT_EQ(qelkiod_load_config(), 0);
    EXPECT_TRUE(logged("Using config file " + dir_ + "/k.conf"));
    EXPECT_STREQ(mconf.user, "frank");
}

TEST_F(ConfigTest, FreeConfigDataZeroesRecord)
{
    load("user u\nlogfile l\nkeystoredir k\nbasedn b\nbinddn d\nauthtype a\ncertdb c\n"
         "certname n\npassfile p\nserverlist ldap://h\nauditloglimit 3\n");
    mconf.password = strdup("secret");
    free_config_data(&mconf);
    const qelkiod_config zero{};
    EXPECT_EQ(memcmp(&mconf, &zero, sizeof(zero)), 0);
    free_config_data(&mconf);  // twice is harmless
}

class PassfileTest : public ConfigTest {
protected:
    void use_passfile(const std::string &text)
    {
        std::string path = dir_ + "/pass";
        kyrtest::write_file(path, text);
        free(mconf.passfile);
        mconf.passfile = strdup(path.c_str());
    }
};

TEST_F(PassfileTest, FirstTokenOfFirstLineWithOne)
{
    use_passfile("# comment\n\n  \t\n  s3cret other words\nsecond\n");
    EXPECT_EQ(read_passfile(), 0);
    EXPECT_STREQ(mconf.password, "s3cret");
    EXPECT_EQ(mconf.degraded, 0);

    use_passfile("tok#comment\n");
    EXPECT_EQ(read_passfile(), 0);
    EXPECT_STREQ(mconf.password, "tok");

    use_passfile("lastline");  // no newline
    EXPECT_EQ(read_passfile(), 0);
    EXPECT_STREQ(mconf.password, "lastline");
}

TEST_F(PassfileTest, Failures)
{
    EXPECT_EQ(read_passfile(), EINVAL);
    EXPECT_TRUE(logged("The passfile config directive must have a value"));
    EXPECT_EQ(mconf.degraded, 1);

    mconf.degraded = 0;
    mconf.passfile = strdup((dir_ + "/nope").c_str());
    EXPECT_EQ(read_passfile(), ENOENT);
    EXPECT_TRUE(logged("Cannot open password file " + dir_ + "/nope: No such file or directory"));
    EXPECT_EQ(mconf.degraded, 1);

    mconf.degraded = 0;
    use_passfile("# only\n#comments\n\n");
    EXPECT_EQ(read_passfile(), ENOENT);
    EXPECT_TRUE(logged("Password file " + dir_ + "/pass must have a password value set"));
    EXPECT_EQ(mconf.degraded, 1);
    EXPECT_EQ(mconf.password, nullptr);
}

TEST_F(PassfileTest, DegradedReport)
{
    qelkiod_report_degraded();
    EXPECT_TRUE(logged("[info] Centralized keystore support is disabled.  Local keystore support is enabled."));

    // Servers configured, password file missing: degraded, with a warning.
    clear_log();
    load("serverlist ldap://h\n");
    EXPECT_TRUE(cks_configured());
    qelkiod_settle_cks();
    EXPECT_EQ(mconf.degraded, 1);
    EXPECT_FALSE(cks_configured());
    EXPECT_TRUE(logged("[warning] Service is running in degraded mode.  Centralized keystore support is disabled."));

    // Servers and a good password file: not degraded, nothing to report.
    qelkiod_reset_config(0, 0);
    clear_log();
    load("serverlist ldap://h\n");
    use_passfile("pw\n");
    qelkiod_settle_cks();
    EXPECT_EQ(mconf.degraded, 0);
    EXPECT_STREQ(mconf.password, "pw");
    EXPECT_FALSE(logged("degraded"));
    EXPECT_FALSE(logged("disabled"));
}

}  // namespace
