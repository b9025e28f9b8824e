// Fixture of the token library's tests: the simulator with the card's
// token on SoftHSM, a fresh copy of one token directory per test (two
// tokens kyr0 and kyr1, SO PIN 12345678, user PIN 1234, an RSA key pair on
// kyr0), and programs run through the interposer.
#ifndef P11_FIXTURE_H
#define P11_FIXTURE_H

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kyrsim.h"
#include "kyrtok.h"

struct p11_run {
    std::string out, err;
    int code = -2;
};

class P11Test : public ::testing::Test {
protected:
    static std::string &tmpl()
    {
        static std::string t;
        return t;
    }
    static void SetUpTestSuite()
    {
        char buf[] = "/tmp/kyrtok-tmpl-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(buf));
        tmpl() = buf;
        kyrtok_dir_opts o;
        o.tokens = 2;
        o.rsa_key = true;
        ASSERT_EQ(0, kyrtok_make_dir(tmpl(), o));
    }
    static void TearDownTestSuite()
    {
        if (!tmpl().empty())
            (void)!system(("rm -rf '" + tmpl() + "'").c_str());
    }
    void SetUp() override
    {
        char buf[] = "/tmp/kyrtok-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(buf));
        dir = buf;
        ASSERT_EQ(0, kyrtok_copy_dir(tmpl(), dir));
        kyrsim_opts so;
        ASSERT_EQ(0, kyrsim_start(so, &sim));
        ASSERT_EQ(0, kyrtok_start(sim, dir, &tok));
    }
    void TearDown() override
    {
        kyrtok_stop(tok);
        kyrsim_stop(sim);
        (void)!system(("rm -rf '" + dir + "'").c_str());
    }
    // Starts a program through the interposer.
    void spawn(const std::vector<std::string> &argv, kyrsim_child *c,
               const std::vector<std::string> &env = {})
    {
        kyrsim_spawn_opts o;
        o.argv = argv;
        o.env = env;
        ASSERT_EQ(0, kyrsim_spawn(sim, o, c));
    }
    p11_run run(const std::vector<std::string> &argv, long timeout_ms = 60000,
                const std::vector<std::string> &env = {})
    {
        kyrsim_child c;
        p11_run r;
        spawn(argv, &c, env);
        if (kyrsim_wait_child(&c, timeout_ms) != 0) {
            kyrsim_kill_child(&c);
            r.out = kyrsim_child_stdout(c);
            r.err = kyrsim_child_stderr(c) + "\n(killed: did not end)";
            return r;
        }
        r.out = kyrsim_child_stdout(c);
        r.err = kyrsim_child_stderr(c);
        r.code = kyrsim_exit_code(c);
        return r;
    }
    // Runs the driver on the library with the steps.
    p11_run drive(const std::vector<std::string> &steps, long timeout_ms = 60000)
    {
        std::vector<std::string> argv = {P11DRIVE, KYR_P11_LIB};
        argv.insert(argv.end(), steps.begin(), steps.end());
        return run(argv, timeout_ms);
    }
    // Commands of cmd the token received.
    std::vector<kyrtok_call> received(uint32_t cmd)
    {
        std::vector<kyrtok_call> v;
        for (auto &c : kyrtok_calls(tok))
            if (c.cmd == cmd)
                v.push_back(c);
        return v;
    }

    std::string dir;
    kyrsim *sim = nullptr;
    kyrtok *tok = nullptr;
};

inline bool has_line(const std::string &out, const std::string &line)
{
    return ("\n" + out).find("\n" + line + "\n") != std::string::npos;
}

#define EXPECT_LINE(r, line) \
    EXPECT_TRUE(has_line((r).out, line)) << "missing \"" << (line) << "\" in:\n" << (r).out << (r).err

#endif  // P11_FIXTURE_H
