// Helpers shared by the daemon core tests: a private temporary directory
// and a log file that captures what the daemon logs.
#ifndef KYR_TESTS_CORE_FIXTURE_H
#define KYR_TESTS_CORE_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "qelkiod.h"

namespace kyrtest {

inline std::string make_temp_dir()
{
    char tmpl[] = "/tmp/kyr-core-XXXXXX";
    char *d = mkdtemp(tmpl);
    EXPECT_NE(d, nullptr);
    return d ? std::string(d) : std::string();
}

inline void remove_tree(const std::string &dir)
{
    if (dir.size() > strlen("/tmp/kyr-core-")) {
        std::string cmd = "rm -rf '" + dir + "'";
        int rc = system(cmd.c_str());
        (void)rc;
    }
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline size_t count_of(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
}

// Fresh configuration record, every level logged into <dir>/log, no syslog.
class CoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = make_temp_dir();
        log_ = dir_ + "/log";
        kyrkiod_disable_syslog = 1;
        qelkiod_reset_config(0, 0);
        mconf.logfile = strdup(log_.c_str());
        ASSERT_EQ(qelkiod_set_logfile(), 0);
        free(mconf.logfile);
        mconf.logfile = nullptr;
        logmask = 0xff;
    }
    void TearDown() override
    {
        qelkiod_close_logfile();
        qelkiod_reset_config(0, 0);
        free(cfile);
        cfile = nullptr;
        remove_tree(dir_);
    }
    std::string log() const { return read_file(log_); }
    bool logged(const std::string &text) const { return log().find(text) != std::string::npos; }
    void clear_log() const { write_file(log_, ""); }

    std::string dir_;
    std::string log_;
};

// CoreTest with an empty keystore directory <dir>/keydata configured, and a
// keystore table for the discovery to fill (freed after the test).
class KeystoreDirTest : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        ks_ = dir_ + "/keydata";
        ASSERT_EQ(mkdir(ks_.c_str(), 0700), 0);
        mconf.keystoredir = strdup(ks_.c_str());
    }
    void TearDown() override
    {
        kstable_free(&table_);
        CoreTest::TearDown();
    }

    std::string ks_;
    kstable table_{};
};

}  // namespace kyrtest

#endif  // KYR_TESTS_CORE_FIXTURE_H
