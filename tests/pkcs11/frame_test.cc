// The token library's frame through the real simulator, interposer and the
// card's token on SoftHSM: initialization per slot, fork, sessions, login
// and its PIN prefix, PIN change, the token and mechanism queries, and what
// the library must refuse before anything reaches the card.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "p11_fixture.h"

namespace {

class Frame : public P11Test {};

TEST_F(Frame, InitializeFinalizePerSlotKeepsOtherSlotsCounted)
{
    p11_run r = drive({"init:0", "init:0", "init:1", "fini:5", "fini:0", "fini:0", "tokinfo:1",
                       "fini:1", "tokinfo:1"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "init 0: rv=0x0 list=yes");
    EXPECT_LINE(r, "init 0: rv=0x191 list=none");
    EXPECT_LINE(r, "init 1: rv=0x0 list=yes");
    // Finalizing a slot that was never initialized (5) or twice (0) must
    // not end slot 1's use.
    EXPECT_LINE(r, "fini 5: rv=0x190");
    EXPECT_LINE(r, "fini 0: rv=0x0");
    EXPECT_LINE(r, "fini 0: rv=0x190");
    EXPECT_TRUE(r.out.find("tokinfo 1: rv=0x0 label=kyr1") != std::string::npos) << r.out;
    EXPECT_LINE(r, "fini 1: rv=0x0");
    EXPECT_LINE(r, "tokinfo 1: rv=0x190");
}

TEST_F(Frame, OnDemandOpenThenInitializeOfThatSlot)
{
    p11_run r = drive({"init:0", "tokinfo:1", "init:1", "fini:0", "fini:1", "fds"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_TRUE(r.out.find("tokinfo 1: rv=0x0") != std::string::npos) << r.out;
    EXPECT_LINE(r, "init 1: rv=0x0 list=yes");
    EXPECT_LINE(r, "fini 1: rv=0x0");
}

TEST_F(Frame, OpenSessionOpensTheSlotOnDemandWithoutDeadlock)
{
    p11_run r = drive({"init:0", "open:1:4", "open:0:4"}, 30000);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "open 1: rv=0x0 handle=0x1");
    EXPECT_LINE(r, "open 0: rv=0x0 handle=0x2");
}

TEST_F(Frame, ForkedChildIsNotInitializedUntilItInitializes)
{
    p11_run r = drive({"init:0", "fork:0", "tokinfo:0"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "child tokinfo 0: rv=0x190");
    EXPECT_LINE(r, "child init 0: rv=0x0");
    EXPECT_TRUE(r.out.find("child tokinfo 0: rv=0x0 label=kyr0") != std::string::npos) << r.out;
    EXPECT_LINE(r, "fork: child exited");
    EXPECT_TRUE(r.out.find("\ntokinfo 0: rv=0x0 label=kyr0") != std::string::npos) << r.out;
}

TEST_F(Frame, ForkWhileAnotherThreadHoldsTheLock)
{
    // The other thread's OpenSession holds the library's lock across its
    // (slow) device call while the process forks.
    kyrtok_set_delay(tok, KYR_CMD_OPEN_SESSION, 1000);
    p11_run r = drive({"init:0", "forkheld:0"}, 60000);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "child init 0: rv=0x0");
    EXPECT_LINE(r, "forkheld: child exited");
}

TEST_F(Frame, UserPinPrefixAndItsLimit)
{
    p11_run r = drive({"init:0", "open:0:6", "loginn:0:1:73", "loginn:0:1:74", "login:0:1:1234",
                       "logout:0:h", "login:0:1:12:34", "login:0:0:12345678", "sessinfo:0"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "login 0: rv=0xa0");   // 116 + 13 bytes do not fit
    std::vector<kyrtok_call> got = received(KYR_CMD_LOGIN);
    ASSERT_EQ(4u, got.size()) << "the 116-byte PIN must not reach the card\n" << r.out;
    auto pin_of = [](const kyrtok_call &c) {
        Login_Args a;
        memcpy(&a, c.block.data(), sizeof a);
        return std::string(reinterpret_cast<const char *>(a.pin), a.pin_len);
    };
    EXPECT_EQ("opencryptoki:" + std::string(115, 'a'), pin_of(got[0]));
    EXPECT_EQ("opencryptoki:1234", pin_of(got[1]));
    EXPECT_EQ(0u, got[1].rv) << "the card logs the user in with the PIN without the prefix";
    EXPECT_EQ("12:34", pin_of(got[2]));      // a PIN with ':' goes unchanged
    EXPECT_EQ("12345678", pin_of(got[3]));   // and so does the SO's
    EXPECT_EQ(0u, got[3].rv);
    EXPECT_LINE(r, "sessinfo 0: rv=0x0 state=1 flags=0x4");
}

TEST_F(Frame, SetPinThenLoginWithTheNewPin)
{
    p11_run r = drive({"init:0", "open:0:6", "setpin:0:h:1234:56789", "login:0:1:1234",
                       "login:0:1:56789"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "setpin 0: rv=0x0");
    EXPECT_LINE(r, "login 0: rv=0xa0");
    EXPECT_LINE(r, "login 0: rv=0x0");
}

TEST_F(Frame, ParallelSessionRefusedWithoutReachingTheCard)
{
    p11_run r = drive({"init:0", "open:0:2"});
    EXPECT_LINE(r, "open 0: rv=0xb4 handle=0x0");
    EXPECT_TRUE(received(KYR_CMD_OPEN_SESSION).empty());
}

TEST_F(Frame, MechanismListCountsAndRoom)
{
    p11_run r = drive({"init:0", "mechs:0:-"});
    ASSERT_EQ(0, r.code) << r.err;
    unsigned long n = 0;
    ASSERT_EQ(1, sscanf(r.out.c_str() + r.out.find("mechs 0:"), "mechs 0: rv=0x0 count=0x%lx", &n))
        << r.out;
    ASSERT_GT(n, 2ul);
    char room[32];
    snprintf(room, sizeof room, "mechs:0:%lx", n);
    r = drive({"init:0", "mechs:0:2", room});
    char want[64];
    snprintf(want, sizeof want, "mechs 0: rv=0x150 count=0x%lx 0xdead 0xdead", n);
    EXPECT_LINE(r, want);
    EXPECT_TRUE(r.out.find("mechs 0: rv=0x0 count=0x" + std::string(room + 8)) != std::string::npos)
        << r.out;
    std::vector<kyrtok_call> got = received(KYR_CMD_GET_MECH_LIST);
    ASSERT_EQ(3u, got.size());
    GetMechList_Args h;
    memcpy(&h, got[1].block.data(), sizeof h);
    EXPECT_EQ(2u, h.list_length);
    EXPECT_EQ(0u, h.length_only);
    memcpy(&h, got[0].block.data(), sizeof h);
    EXPECT_EQ(0u, h.list_length);
    EXPECT_EQ(1u, h.length_only);

    // A card that claims more types than the room it was given is wrong:
    // nothing is copied, the count stays.
    kyrtok_rewrite_word(tok, KYR_CMD_GET_MECH_LIST, 4, 3);
    kyrtok_force_rv(tok, KYR_CMD_GET_MECH_LIST, 0);
    r = drive({"init:0", "mechs:0:2"});
    EXPECT_LINE(r, "mechs 0: rv=0x30 count=0x2 0xdead 0xdead");
}

TEST_F(Frame, UnavailableCountersStay32BitsWide)
{
    p11_run r = drive({"init:0", "tokinfo:0"});
    // SoftHSM does not know the session counts; the card says 0xFFFFFFFF.
    EXPECT_TRUE(r.out.find("session_count=0xffffffff ") != std::string::npos) << r.out;
    EXPECT_TRUE(r.out.find("rw_count=0xffffffff ") != std::string::npos) << r.out;
    kyrtok_rewrite_word(tok, KYR_CMD_GET_TOKEN_INFO, 4 + 96 + 4 * 8, 0xFFFFFFFFu);
    r = drive({"init:0", "tokinfo:0"});
    EXPECT_TRUE(r.out.find("free_pub=0xffffffff\n") != std::string::npos) << r.out;
}

TEST_F(Frame, Slot32IsInvalidEverywhere)
{
    // (the driver reads numbers in hex: slot 0x20)
    p11_run r = drive({"init:20", "init:0", "open:0:4", "fini:20", "tokinfo:20", "mechs:20:-",
                       "mechs:20:4", "mechinfo:20:1", "open:20:4", "close:20:1", "closeall:20",
                       "login:20:1:1234", "logout:20:1", "setpin:20:1:1:2", "sessinfo:20"});
    EXPECT_EQ(0, r.code) << r.err;
    for (const char *l :
         {"init 32: rv=0x3 list=none", "fini 32: rv=0x3", "tokinfo 32: rv=0x3",
          "mechs 32: rv=0x3 count=0x0", "mechs 32: rv=0x3 count=0x4 0xdead 0xdead 0xdead 0xdead",
          "mechinfo 32: rv=0x3 min=0 max=0 flags=0x0", "open 32: rv=0x3 handle=0x0",
          "close 32: rv=0x3", "closeall 32: rv=0x3", "login 32: rv=0x3", "logout 32: rv=0x3",
          "setpin 32: rv=0x3", "sessinfo 32: rv=0x3 state=0 flags=0x0"})
        EXPECT_LINE(r, l);
    EXPECT_EQ(1u, kyrtok_calls(tok).size()) << "only slot 0's OpenSession reaches the card";
}

TEST_F(Frame, ValuesWiderThan32BitsAreRefusedNotTruncated)
{
    p11_run r = drive({"init:0", "open:0:4", "close:0:100000001", "mechinfo:0:100000001",
                       "open:0:100000004", "logout:0:100000001", "mechs:0:100000002",
                       "login:0:100000001:1234", "mechinfo:0:1"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "close 0: rv=0xb3");
    EXPECT_LINE(r, "mechinfo 0: rv=0x70 min=0 max=0 flags=0x0");
    EXPECT_LINE(r, "open 0: rv=0x7 handle=0x0");
    EXPECT_LINE(r, "logout 0: rv=0xb3");
    EXPECT_LINE(r, "mechs 0: rv=0x7 count=0x100000002 0xdead 0xdead 0xdead 0xdead");
    EXPECT_LINE(r, "login 0: rv=0x103");
    EXPECT_TRUE(r.out.find("mechinfo 0: rv=0x0 min=") != std::string::npos) << r.out;
    EXPECT_EQ(1u, received(KYR_CMD_OPEN_SESSION).size());
    EXPECT_TRUE(received(KYR_CMD_CLOSE_SESSION).empty());
    EXPECT_TRUE(received(KYR_CMD_LOGOUT).empty());
    EXPECT_TRUE(received(KYR_CMD_LOGIN).empty());
    EXPECT_EQ(1u, received(KYR_CMD_GET_MECH_INFO).size());
}

TEST_F(Frame, CardCodesAreUnsigned32BitsAndFailedCallsAllBits)
{
    kyrtok_force_rv(tok, KYR_CMD_GET_TOKEN_INFO, 0x80000001u);
    kyrtok_fail_errno(tok, KYR_CMD_GET_MECH_INFO, EIO);
    p11_run r = drive({"init:0", "tokinfo:0", "mechinfo:0:1"});
    EXPECT_LINE(r, "tokinfo 0: rv=0x80000001");
    EXPECT_LINE(r, "mechinfo 0: rv=0xffffffffffffffff min=0 max=0 flags=0x0");
}

TEST_F(Frame, EightThreadsLoginLogoutUnderADelayedToken)
{
    kyrtok_set_delay(tok, KYR_CMD_LOGIN, 3);
    kyrtok_set_delay(tok, KYR_CMD_LOGOUT, 3);
    kyrtok_set_delay(tok, KYR_CMD_OPEN_SESSION, 3);
    p11_run r = drive({"init:0", "open:0:4", "stress:0:8:6", "sessinfo:0", "login:0:1:1234"},
                      120000);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "stress 0: unexpected=0");
    // The library's lock spans each login and logout with its state change.
    EXPECT_EQ(1, kyrtok_max_overlap(tok, {KYR_CMD_LOGIN, KYR_CMD_LOGOUT}));
    // The state the library reports is the card's: logged in exactly when a
    // further login is refused as already logged in.
    if (has_line(r.out, "sessinfo 0: rv=0x0 state=1 flags=0x4"))
        EXPECT_LINE(r, "login 0: rv=0x100");
    else
        EXPECT_LINE(r, "login 0: rv=0x0");
    EXPECT_EQ(9u, received(KYR_CMD_OPEN_SESSION).size());
}

TEST_F(Frame, DescriptorsWithStandardInputClosed)
{
    p11_run r = drive({"closestdin", "fds", "init:0", "tokinfo:0", "tokinfo:0", "mechinfo:0:1",
                       "init:0", "fds", "cloexec"});
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_LINE(r, "init 0: rv=0x191 list=none");
    int before = -1, after = -1;
    size_t p = r.out.find("fds: ");
    ASSERT_NE(std::string::npos, p);
    before = atoi(r.out.c_str() + p + 5);
    p = r.out.find("fds: ", p + 1);
    ASSERT_NE(std::string::npos, p);
    after = atoi(r.out.c_str() + p + 5);
    EXPECT_EQ(before + 1, after) << r.out;
    EXPECT_LINE(r, "cloexec: missing=0");
}

TEST_F(Frame, RacingFirstCallsOpenOneDescriptor)
{
    std::vector<std::string> steps = {"fds"};
    for (int i = 0; i < 10; i++)
        for (const char *s : {"init:0", "race:1:8", "fini:0"})
            steps.push_back(s);
    steps.push_back("fds");
    p11_run r = drive(steps);
    EXPECT_EQ(0, r.code) << r.err;
    size_t p = r.out.find("fds: ");
    size_t q = r.out.rfind("fds: ");
    ASSERT_NE(p, q) << r.out;
    EXPECT_EQ(atoi(r.out.c_str() + p + 5), atoi(r.out.c_str() + q + 5)) << r.out;
    size_t races = 0;
    for (size_t at = r.out.find("race 1: ok=8 of 8"); at != std::string::npos;
         at = r.out.find("race 1: ok=8 of 8", at + 1))
        races++;
    EXPECT_EQ(10u, races) << r.out;
}

TEST_F(Frame, SessionsBelongToTheFileThatOpenedThem)
{
    kyrsim_child c;
    spawn({P11DRIVE, KYR_P11_LIB, "init:0", "init:1", "open:0:4", "open:0:4", "open:1:4",
           "closeall:0", "open:0:4", "sleep:60000"},
          &c);
    for (int i = 0; i < 200 && received(KYR_CMD_OPEN_SESSION).size() < 4; i++)
        usleep(50000);
    ASSERT_EQ(4u, received(KYR_CMD_OPEN_SESSION).size()) << kyrsim_child_stdout(c);
    EXPECT_EQ(2, kyrtok_sessions(tok)) << "0x412F closes the sessions of slot 0's file only";
    // A killed client's sessions are closed with its files.
    kyrsim_kill_child(&c);
    ASSERT_EQ(0, kyrsim_wait_no_files(sim, 20000));
    EXPECT_EQ(0, kyrtok_sessions(tok));
}

}  // namespace

namespace {

// The library exports its SC_ entry points, those the framework looks up by
// name among them, and nothing else.
TEST(FrameExports, OnlyTheScEntryPoints)
{
    FILE *p = popen("nm -D --defined-only '" KYR_P11_LIB "'", "r");
    ASSERT_NE(nullptr, p);
    char line[512];
    std::vector<std::string> syms;
    while (fgets(line, sizeof line, p)) {
        char type = 0, name[400] = {0};
        if (sscanf(line, "%*s %c %399s", &type, name) == 2)
            syms.push_back(name);
    }
    ASSERT_EQ(0, pclose(p));
    for (const char *want : {"SC_Initialize", "SC_Finalize", "SC_CloseAllSessions",
                             "SC_SetFunctionList", "SC_GetTokenInfo", "SC_InitToken", "SC_InitPIN",
                             "SC_GetOperationState", "SC_SetOperationState", "SC_Login"})
        EXPECT_NE(syms.end(), std::find(syms.begin(), syms.end(), want)) << want;
    for (const std::string &s : syms)
        EXPECT_EQ(0u, s.rfind("SC_", 0)) << s << " must not be exported";
}

}  // namespace
