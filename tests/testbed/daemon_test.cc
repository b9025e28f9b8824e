// The production keystore daemon through the interposer: its threads wait
// in DB_STANDBY with asynchronous cancellation, so a reload (SIGHUP cancels
// every thread) and a shutdown must leave no command running and no file
// open in the simulator.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "kyrsim.h"

namespace {

const long kWait = 30000;

bool eventually(const std::function<bool()> &pred)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class DaemonThroughSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kyrsim-daemon-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
        std::string ks = dir_ + "/keys";
        ASSERT_EQ(0, mkdir(ks.c_str(), 0700));
        for (const char *name : {"A", "B"}) {
            std::ofstream(ks + "/" + name + ".conf") << "conf";
            ASSERT_EQ(0, mkdir((ks + "/" + name).c_str(), 0700));
        }
        std::ofstream(dir_ + "/kyrkiod.conf") << "user root\nkeystoredir " << ks << "\n";
        ASSERT_EQ(0, kyrsim_start(kyrsim_opts{}, &sim_));
    }
    void TearDown() override
    {
        kyrsim_stop(sim_);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }
    void expect_hellos()
    {
        for (const char *ks : {"", "A", "B"}) {
            kyrsim_hello h;
            ASSERT_EQ(0, kyrsim_wait_hello(sim_, ks, kWait, &h)) << "keystore \"" << ks << "\"";
            EXPECT_EQ(0, h.result);
        }
        for (const char *ks : {"", "A", "B"})
            ASSERT_EQ(0, kyrsim_wait_standby(sim_, ks, kWait));
    }
    kyrsim *sim_ = nullptr;
    std::string dir_;
};

TEST_F(DaemonThroughSimTest, ReloadAndShutdownLeaveNothingBehind)
{
    kyrsim_child d;
    kyrsim_spawn_opts o;
    o.argv = {std::string(KYR_BUILD_DIR) + "/daemon/kyrkiod", "-F", "-f", dir_ + "/kyrkiod.conf"};
    o.env = {"KYRKIOD_LOCKFILE=" + dir_ + "/lock"};
    ASSERT_EQ(0, kyrsim_spawn(sim_, o, &d));
    expect_hellos();
    EXPECT_EQ(3, kyrsim_open_files(sim_));
    long closes = kyrsim_closes(sim_);

    // Reload: every thread is cancelled in its wait and started again.
    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGHUP));
    expect_hellos();
    EXPECT_TRUE(eventually([&] { return kyrsim_closes(sim_) == closes + 3; }));
    EXPECT_TRUE(eventually([&] { return kyrsim_open_files(sim_) == 3; }));
    // Only the three new standbys run: the cancelled ones ended.
    EXPECT_TRUE(eventually([&] { return kyrsim_active_calls(sim_) == 3; }));

    // The new threads serve.
    std::vector<kyrsim_msg> got;
    ASSERT_EQ(0, kyrsim_exchange(sim_, "A", kyrsim_msg_make(DB_USER_READ, "A"), kWait, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(DB_USER_PUSH), got[0].type);
    EXPECT_EQ(0, got[0].count);

    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGINT));
    ASSERT_EQ(0, kyrsim_wait_child(&d, kWait));
    EXPECT_EQ(0, kyrsim_exit_code(d)) << kyrsim_child_stderr(d);
    EXPECT_EQ(0, kyrsim_wait_no_files(sim_, kWait));
    EXPECT_EQ(0, kyrsim_active_calls(sim_));
    std::string err = kyrsim_child_stderr(d);
    EXPECT_EQ(std::string::npos, err.find("Sanitizer")) << err;
}

}  // namespace
