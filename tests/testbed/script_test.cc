// The standalone simulator and its firmware script runner, driving the
// small control-device client.
#include <db.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "kyrsim.h"

namespace {

const long kWait = 30000;

class ScriptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kyrsim-script-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir_ = tmpl;
    }
    void TearDown() override
    {
        // Programs started here without a simulator are not killed by one.
        for (kyrsim_child *c : {&serve_, &client_})
            if (c->pid > 0)
                kyrsim_kill_child(c);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(0, system(cmd.c_str()));
    }
    // Runs kyrsim with the script against the client doing steps; returns
    // kyrsim's exit code, out its standard output.
    int run(const std::string &script, const std::vector<std::string> &steps, std::string *out)
    {
        std::string path = dir_ + "/s.kyr";
        std::ofstream(path) << script;
        kyrsim_spawn_opts o;
        o.argv = {std::string(KYR_BUILD_DIR) + "/testbed/sim/kyrsim", "--socket",
                  dir_ + "/sim.sock", "--script", path, "--",
                  std::string(KYR_BUILD_DIR) + "/tests/testbed/qelclient64"};
        o.argv.insert(o.argv.end(), steps.begin(), steps.end());
        o.interpose = false;
        kyrsim_child c;
        EXPECT_EQ(0, kyrsim_spawn(nullptr, o, &c));
        if (kyrsim_wait_child(&c, kWait) != 0) {
            kyrsim_kill_child(&c);
            return -1;
        }
        *out = kyrsim_child_stdout(c);
        return kyrsim_exit_code(c);
    }
    std::string dir_;
    kyrsim_child serve_, client_;
};

TEST_F(ScriptTest, PassingSessionPrintsExchangesAndVerdict)
{
    std::string out;
    std::ofstream(dir_ + "/ids") << "u1";
    int rc = run("# a read answered with a response\n"
                 "timeout 20000\n"
                 "hello A\n"
                 "standby A\n"
                 "upcall A USER_WRITE user=u1:@" + dir_ + "/ids user=\"u 2\"  # two users\n"
                 "expect A RESPONSE status=0 last end ksname=A\n"
                 "exit 0\n",
                 {"open", "hello:A", "standby", "respond:0", "close"}, &out);
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("<- hello    DB_HELLO ks=\"A\" domain=\"testhost\" -> code 0\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("-> upcall   DB_USER_WRITE ks=\"A\" status=0 flags=0x0 "
                                          "handle=0x1 paramSize=146 records=2\n"))
        << out;
    EXPECT_NE(std::string::npos, out.find("<- answer   DB_RESPONSE ks=\"A\" status=0"));
    EXPECT_NE(std::string::npos, out.find("(end of exchange)\n"));
    EXPECT_NE(std::string::npos, out.find("kyrsim: PASS: "));
    // The client's own output goes to kyrsim's.
    EXPECT_NE(std::string::npos, out.find("standby rc=0 errno=0 type=3 ks=A handle=1 nusers=2\n"));
}

TEST_F(ScriptTest, FailedCheckNamesTheLine)
{
    std::string out;
    int rc = run("hello A\n"
                 "upcall A USER_READ\n"
                 "expect A RESPONSE status=EIO\n"
                 "exit 0\n",
                 {"open", "hello:A", "standby", "respond:0", "close"}, &out);
    EXPECT_EQ(1, rc) << out;
    EXPECT_NE(std::string::npos, out.find("s.kyr:3: check status=EIO failed on DB_RESPONSE"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("PASS"));
}

TEST_F(ScriptTest, HelloCodeAndBadStepsFail)
{
    std::string out;
    EXPECT_EQ(0, run("hello-answer B ENOENT\nhello B\nexit 0\n", {"open", "hello:B", "close"},
                     &out))
        << out;
    EXPECT_NE(std::string::npos, out.find("hello rc=0 errno=0 status=2\n")) << out;

    EXPECT_EQ(0, run("fault 0 4\nhello B 73\nexit 0\n", {"open", "hello:B", "close"}, &out))
        << out;
    EXPECT_EQ(1, run("hello B\nfrobnicate\n", {"open", "hello:B", "close"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("s.kyr:2: bad step: frobnicate")) << out;
    EXPECT_EQ(1, run("upcall A USER_READ user=\"open\n", {"open"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("s.kyr:1: unterminated quote")) << out;
    EXPECT_EQ(1, run("timeout 300\nhello Z\n", {"open", "hello:A"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("no hello from keystore \"Z\"")) << out;
}

// Without a script or program, kyrsim prints the environment a program
// needs, serves it, and stops cleanly on SIGINT.
TEST_F(ScriptTest, ServesUntilInterrupted)
{
    std::string sock = dir_ + "/serve.sock";
    kyrsim_spawn_opts o;
    o.argv = {std::string(KYR_BUILD_DIR) + "/testbed/sim/kyrsim", "--socket", sock, "--cards", "3"};
    o.interpose = false;
    kyrsim_child &k = serve_;
    ASSERT_EQ(0, kyrsim_spawn(nullptr, o, &k));
    ASSERT_EQ(0, kyrsim_wait_file_contains(k.out_path, "ASAN_OPTIONS=", kWait));
    std::string env = kyrsim_child_stdout(k);
    EXPECT_NE(std::string::npos, env.find("KYRSIM_SOCKET=" + sock + "\n"));
    EXPECT_NE(std::string::npos, env.find("LD_PRELOAD=" + kyrsim_preload() + "\n"));

    kyrsim_spawn_opts co;
    co.argv = {std::string(KYR_BUILD_DIR) + "/tests/testbed/qelclient64", "open", "probe"};
    co.interpose = false;
    co.env = {"KYRSIM_SOCKET=" + sock, "LD_PRELOAD=" + kyrsim_preload()};
    kyrsim_child &c = client_;
    ASSERT_EQ(0, kyrsim_spawn(nullptr, co, &c));
    ASSERT_EQ(0, kyrsim_wait_child(&c, kWait));
    EXPECT_NE(std::string::npos, kyrsim_child_stdout(c).find("probe rc=0 errno=0 ndevs=3\n"))
        << kyrsim_child_stdout(c);

    ASSERT_EQ(0, kyrsim_signal_child(&k, SIGINT));
    ASSERT_EQ(0, kyrsim_wait_child(&k, kWait));
    EXPECT_EQ(0, kyrsim_exit_code(k));
    EXPECT_NE(0, access(sock.c_str(), F_OK));   // socket removed
}

// Values a script states are sent as they stand, so a script can send the
// malformed counts, lengths and sizes a daemon must refuse.
TEST_F(ScriptTest, StatedNegativeCountsAndSizesAreSent)
{
    std::string out;
    int rc = run("hello A\n"
                 "upcall A USER_WRITE count=-1 user=u1:abc len=-7 paramsize=-1\n"
                 "exit 0\n",
                 {"open", "hello:A", "standby", "close"}, &out);
    EXPECT_EQ(0, rc) << out;
    EXPECT_NE(std::string::npos, out.find("-> upcall   DB_USER_WRITE ks=\"A\" status=0 flags=0x0 "
                                          "handle=0x1 paramSize=-1 records=-1\n"))
        << out;
    // The client sees the count as it travelled.
    EXPECT_NE(std::string::npos, out.find("standby rc=0 errno=0 type=3 ks=A handle=1 "
                                          "nusers=4294967295\n"))
        << out;
}

// DB_NOTFOUND in a script is the status the daemon really sends: the value
// of the Berkeley DB it is linked with.
TEST_F(ScriptTest, DbNotFoundIsTheLinkedLibrarysValue)
{
    std::string out;
    int rc = run("hello A\n"
                 "upcall A USER_DEL user=u1\n"
                 "expect A RESPONSE status=DB_NOTFOUND end\n"
                 "exit 0\n",
                 {"open", "hello:A", "standby", "respond:" + std::to_string(DB_NOTFOUND), "close"},
                 &out);
    EXPECT_EQ(0, rc) << out;
}

}  // namespace
