// The framework loader: its standard face through OpenSC's pkcs11-tool and
// the p11std driver, driving libpkcs11_kyr through the interposer against
// the simulated card's token; and pkcs11-tool on SoftHSM directly for the
// same token directory, which must list the same tokens and mechanisms.
#include <cerrno>
#include <map>
#include <sstream>

#include "p11_fixture.h"

namespace {

const char *const kTool = "/usr/bin/pkcs11-tool";

#ifdef KYR_SANITIZED
#define SKIP_IF_SANITIZED() \
    GTEST_SKIP() << "pkcs11-tool is not instrumented and cannot load an instrumented module"
#else
#define SKIP_IF_SANITIZED() (void)0
#endif

class Loader : public P11Test {
protected:
    p11_run tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {kTool, "--module", KYR_LOADER});
        return run(args);
    }
    p11_run std_drive(const std::vector<std::string> &steps,
                      const std::vector<std::string> &env = {})
    {
        std::vector<std::string> argv = {P11STD, KYR_LOADER};
        argv.insert(argv.end(), steps.begin(), steps.end());
        return run(argv, 60000, env);
    }
};

// Token blocks of a "pkcs11-tool -L" listing by label (slot lines dropped).
std::map<std::string, std::string> tokens_of(const std::string &listing)
{
    std::map<std::string, std::string> m;
    std::istringstream in(listing);
    std::string line, label, block;
    auto flush = [&] {
        if (!label.empty())
            m[label] = block;
        label.clear();
        block.clear();
    };
    while (std::getline(in, line)) {
        if (line.rfind("Slot ", 0) == 0) {
            flush();
            continue;
        }
        if (line.find("token label") != std::string::npos)
            label = line.substr(line.find(':') + 2);
        block += line + "\n";
    }
    flush();
    return m;
}

TEST_F(Loader, ListsTheSameTokensAndMechanismsAsSoftHsm)
{
    SKIP_IF_SANITIZED();
    p11_run mine = tool({"-L"});
    ASSERT_EQ(0, mine.code) << mine.err;
    EXPECT_NE(std::string::npos, mine.out.find("Slot 0 (0x0): Vantor accelerator token slot 0"))
        << mine.out;
    kyrsim_spawn_opts o;
    o.argv = {kTool, "--module", KYRTOK_SOFTHSM_LIB, "-L"};
    o.env = {"SOFTHSM2_CONF=" + dir + "/softhsm2.conf"};
    o.interpose = false;
    kyrsim_child c;
    ASSERT_EQ(0, kyrsim_spawn(sim, o, &c));
    ASSERT_EQ(0, kyrsim_wait_child(&c, 60000));
    std::map<std::string, std::string> want = tokens_of(kyrsim_child_stdout(c));
    std::map<std::string, std::string> got = tokens_of(mine.out);
    ASSERT_EQ(2u, got.size()) << mine.out;
    EXPECT_EQ(want["kyr0"], got["kyr0"]);
    EXPECT_EQ(want["kyr1"], got["kyr1"]);

    p11_run mechs = tool({"-M"});
    ASSERT_EQ(0, mechs.code) << mechs.err;
    o.argv = {kTool, "--module", KYRTOK_SOFTHSM_LIB, "-M", "--slot-index", "0"};
    kyrsim_child d;
    ASSERT_EQ(0, kyrsim_spawn(sim, o, &d));
    ASSERT_EQ(0, kyrsim_wait_child(&d, 60000));
    EXPECT_EQ(kyrsim_child_stdout(d), mechs.out);
    EXPECT_NE(std::string::npos, mechs.out.find("RSA-PKCS-KEY-PAIR-GEN")) << mechs.out;

    p11_run info = tool({"-I"});
    EXPECT_EQ(0, info.code) << info.err;
    EXPECT_NE(std::string::npos, info.out.find("Cryptoki version 2.40")) << info.out;
    // The loader closes every slot's sessions and then finalizes.
    std::vector<kyrtok_call> all = kyrtok_calls(tok);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(KYR_CMD_CLOSE_ALL_SESSIONS, all.back().cmd);
}

TEST_F(Loader, LoginAndChangePinThroughPkcs11Tool)
{
    SKIP_IF_SANITIZED();
    p11_run bad = tool({"--login", "--pin", "9999", "-O"});
    EXPECT_NE(0, bad.code);
    EXPECT_NE(std::string::npos, bad.err.find("C_Login failed: rv = CKR_PIN_INCORRECT")) << bad.err;
    p11_run ch = tool({"--login", "--pin", "1234", "--change-pin", "--new-pin", "4321"});
    EXPECT_EQ(0, ch.code) << ch.err;
    EXPECT_NE(std::string::npos, ch.out.find("PIN successfully changed")) << ch.out;
    kyrtok_clear_calls(tok);
    // Listing objects is not offered yet; the login before it must pass.
    p11_run in = tool({"--slot", "0", "--login", "--pin", "4321", "-O"});
    EXPECT_EQ(std::string::npos, in.err.find("C_Login failed")) << in.err;
    std::vector<kyrtok_call> logins = received(KYR_CMD_LOGIN);
    ASSERT_EQ(1u, logins.size());
    EXPECT_EQ(0u, logins[0].rv);
}

TEST_F(Loader, FrameworkChecksSessionsAndFork)
{
    p11_run r = std_drive({"slots", "init:reserved", "init:halfmutex", "init:mutexnoos",
                           "init:mutexos", "init", "info", "slots", "open:0:4", "open:1:6",
                           "sessinfo:2", "login:1:1:1234", "sessinfo:1", "sessinfo:2",
                           "open:5:4", "close:7", "fork:1", "closeall:0", "sessinfo:1",
                           "sessinfo:2", "close:2", "close:2", "fini", "slots"});
    EXPECT_EQ(0, r.code) << r.err;
    for (const char *l : {"slots: rv=0x190 n=0", "init:reserved: rv=0x7", "init:halfmutex: rv=0x7",
                          "init:mutexnoos: rv=0xa", "init:mutexos: rv=0x0", "init: rv=0x191",
                          "info: rv=0x0 version=2.40", "slots: rv=0x0 n=2 small=0x150 0 1",
                          "open 0: rv=0x0 handle=1", "open 1: rv=0x0 handle=2",
                          "sessinfo 2: rv=0x0 slot=1 state=2 flags=0x6", "login 1: rv=0x0",
                          // logged in on slot 0 only; session 2 (slot 1) stays public
                          "sessinfo 1: rv=0x0 slot=0 state=1 flags=0x4",
                          "sessinfo 2: rv=0x0 slot=1 state=2 flags=0x6",
                          "open 5: rv=0x3 handle=0", "close 7: rv=0xb3",
                          "child slots: rv=0x190 n=0", "child sessinfo: rv=0x190",
                          "child init: rv=0x0", "child open 1: rv=0x0 handle=3",
                          "child fini: rv=0x0", "fork: child exited", "closeall 0: rv=0x0",
                          "sessinfo 1: rv=0xb3 slot=0 state=0 flags=0x0",
                          "sessinfo 2: rv=0x0 slot=1 state=2 flags=0x6", "close 2: rv=0x0",
                          "close 2: rv=0xb3", "fini: rv=0x0", "slots: rv=0x190 n=0"})
        EXPECT_LINE(r, l);
    // Finalizing closes each slot's sessions first (in the child and in the
    // parent), each through its slot's own file.
    std::vector<kyrtok_call> all = kyrtok_calls(tok);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(KYR_CMD_CLOSE_ALL_SESSIONS, all[all.size() - 1].cmd);
    EXPECT_EQ(KYR_CMD_CLOSE_ALL_SESSIONS, all[all.size() - 2].cmd);
    EXPECT_NE(all[all.size() - 1].file, all[all.size() - 2].file);
    EXPECT_EQ(5u, received(KYR_CMD_CLOSE_ALL_SESSIONS).size());
}

TEST_F(Loader, SlotsFromTheEnvironmentAndRefusedSlotLists)
{
    p11_run r = std_drive({"init", "slots"}, {"KYR_P11_SLOTS=1,40,1"});
    EXPECT_LINE(r, "slots: rv=0x0 n=1 small=0x150 1");
    // A card listing more slots than the room is not believed.
    kyrtok_rewrite_word(tok, KYR_CMD_SLOT_LIST, 4, 33);
    r = std_drive({"init", "slots"});
    EXPECT_LINE(r, "slots: rv=0x0 n=0");
}

}  // namespace
