// The checked core of libpkcs11_kyr with a stand-in device: what PIN blocks
// leave behind, and the checks of SetPIN and of block sizes.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kyr_answers.h"
#include "kyr_core.h"

namespace {

std::vector<std::vector<uint8_t>> g_released;
std::vector<uint32_t> g_cmds;

int fake_open(const char *, int)
{
    return ::open("/dev/null", O_RDWR | O_CLOEXEC);
}

int fake_ioctl(int, unsigned long cmd, void *arg)
{
    g_cmds.push_back(static_cast<uint32_t>(cmd));
    if (cmd == KYR_CMD_OPEN_SESSION)
        static_cast<OpenSession_Args *>(arg)->session_handle = 7;
    return 0;
}

const kyr_dev_ops k_fake = {fake_open, fake_ioctl, ::close};

void record_release(const void *p, size_t n)
{
    const uint8_t *b = static_cast<const uint8_t *>(p);
    g_released.emplace_back(b, b + n);
}

class Core : public ::testing::Test {
protected:
    void SetUp() override
    {
        kyr_set_dev_ops(&k_fake);
        g_kyr_release_hook = record_release;
        g_released.clear();
        g_cmds.clear();
        void *list = nullptr;
        ASSERT_EQ(CKR_OK, SC_Initialize(&list, 0, nullptr));
        ASSERT_EQ(CKR_OK, SC_OpenSession(0, CKF_SERIAL_SESSION, &h));
    }
    void TearDown() override
    {
        EXPECT_EQ(CKR_OK, SC_Finalize(0));
        g_kyr_release_hook = nullptr;
        kyr_set_dev_ops(nullptr);
    }
    static bool contains(const std::vector<uint8_t> &b, const std::string &s)
    {
        return std::search(b.begin(), b.end(), s.begin(), s.end()) != b.end();
    }
    CK_SESSION_HANDLE h = 0;
};

TEST_F(Core, PinBlocksAreWipedBeforeRelease)
{
    std::string pin = "s3cr3t-pin", old_pin = "old-s3cr3t", new_pin = "new-s3cr3t";
    ST_SESSION_T s = {0, h};
    EXPECT_EQ(CKR_OK, SC_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(&pin[0]),
                               pin.size()));
    EXPECT_EQ(CKR_OK, SC_SetPIN(s, reinterpret_cast<CK_UTF8CHAR_PTR>(&old_pin[0]), old_pin.size(),
                                reinterpret_cast<CK_UTF8CHAR_PTR>(&new_pin[0]), new_pin.size()));
    ASSERT_EQ(2u, g_released.size());
    EXPECT_EQ(sizeof(Login_Args), g_released[0].size());
    EXPECT_EQ(sizeof(SetPIN_Args), g_released[1].size());
    for (auto &b : g_released) {
        EXPECT_FALSE(contains(b, "s3cr3t"));
        EXPECT_FALSE(contains(b, "opencryptoki:"));
    }
    EXPECT_EQ((std::vector<uint32_t>{KYR_CMD_OPEN_SESSION, KYR_CMD_LOGIN, KYR_CMD_SET_PIN}), g_cmds);
}

TEST_F(Core, SetPinChecksInOrder)
{
    CK_UTF8CHAR p[200] = {0};
    EXPECT_EQ(CKR_PIN_INVALID, SC_SetPIN(ST_SESSION_T{0, 0}, nullptr, 4, p, 4));
    EXPECT_EQ(CKR_PIN_INVALID, SC_SetPIN(ST_SESSION_T{0, h}, p, 4, nullptr, 4));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, SC_SetPIN(ST_SESSION_T{0, 0}, p, 129, p, 4));
    EXPECT_EQ(CKR_PIN_LEN_RANGE, SC_SetPIN(ST_SESSION_T{0, h}, p, 129, p, 4));
    EXPECT_EQ(CKR_PIN_LEN_RANGE, SC_SetPIN(ST_SESSION_T{0, h}, p, 4, p, 129));
    EXPECT_EQ(CKR_PIN_INCORRECT, SC_Login(ST_SESSION_T{0, 0}, CKU_SO, nullptr, 0));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, SC_Login(ST_SESSION_T{0, 0}, CKU_SO, p, 4));
    EXPECT_EQ((std::vector<uint32_t>{KYR_CMD_OPEN_SESSION}), g_cmds);
}

TEST(CoreBlocks, SizesAreSummedWithoutOverflowAndCapped)
{
    size_t n = 0;
    EXPECT_EQ(CKR_OK, kyr_block_size(12, 4, 4, &n));
    EXPECT_EQ(28u, n);
    EXPECT_EQ(CKR_OK, kyr_block_size(12, (KYR_MAX_BLOCK - 12) / 4, 4, &n));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, kyr_block_size(12, (KYR_MAX_BLOCK - 12) / 4 + 1, 4, &n));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, kyr_block_size(12, SIZE_MAX / 4 + 2, 4, &n));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, kyr_block_size(SIZE_MAX, 0, 4, &n));
}

// A device call made without the mutex and a finalization of its slot on
// another thread: the descriptor is closed only once the call is back (a
// closed number would reach whatever the process opens next), and a call
// after the finalization opens no descriptor again.
std::atomic<int> g_in_call{0};
std::atomic<bool> g_closed_in_call{false};
std::atomic<int> g_opens{0};
sem_t g_entered, g_release;

int race_open(const char *, int)
{
    g_opens++;
    return ::open("/dev/null", O_RDWR | O_CLOEXEC);
}

int race_ioctl(int, unsigned long cmd, void *)
{
    if (cmd == KYR_CMD_GET_TOKEN_INFO) {
        g_in_call++;
        sem_post(&g_entered);
        while (sem_wait(&g_release) != 0) {
        }
        g_in_call--;
    }
    return 0;
}

int race_close(int fd)
{
    if (g_in_call > 0)
        g_closed_in_call = true;
    return ::close(fd);
}

const kyr_dev_ops k_race = {race_open, race_ioctl, race_close};

TEST(CoreRace, FinalizeClosesTheDescriptorOnlyAfterTheCallsUsingIt)
{
    kyr_set_dev_ops(&k_race);
    sem_init(&g_entered, 0, 0);
    sem_init(&g_release, 0, 0);
    void *list = nullptr;
    ASSERT_EQ(CKR_OK, SC_Initialize(&list, 0, nullptr));
    CK_RV info_rv = CKR_GENERAL_ERROR, fin_rv = CKR_GENERAL_ERROR;
    std::thread caller([&] {
        CK_TOKEN_INFO info;
        info_rv = SC_GetTokenInfo(0, &info);
    });
    while (sem_wait(&g_entered) != 0) {
    }
    std::atomic<bool> finalized{false};
    std::thread finalizer([&] {
        fin_rv = SC_Finalize(0);
        finalized = true;
    });
    // Long enough for a finalization that does not wait to have closed.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(finalized) << "finalized while a call was using the descriptor";
    sem_post(&g_release);
    caller.join();
    finalizer.join();
    EXPECT_EQ(CKR_OK, info_rv);
    EXPECT_EQ(CKR_OK, fin_rv);
    EXPECT_FALSE(g_closed_in_call);

    int opens = g_opens;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, kyr_ioctl(0, KYR_CMD_CLOSE_SESSION, nullptr));
    EXPECT_EQ(opens, g_opens) << "a descriptor opened after the finalization";
    sem_destroy(&g_entered);
    sem_destroy(&g_release);
    kyr_set_dev_ops(nullptr);
}

// The last finalization waiting for one call while another starts on a
// slot it had already looked at: that call's descriptor stays open until
// the call is back too.
std::mutex g_fds_mu;
std::multiset<int> g_fds_in_call;
std::atomic<bool> g_closed_busy{false};
sem_t g_slow_in, g_slow_go, g_late_in, g_late_go;

int busy_ioctl(int fd, unsigned long cmd, void *)
{
    sem_t *in = cmd == KYR_CMD_GET_TOKEN_INFO ? &g_slow_in : &g_late_in;
    sem_t *go = cmd == KYR_CMD_GET_TOKEN_INFO ? &g_slow_go : &g_late_go;
    {
        std::lock_guard<std::mutex> lk(g_fds_mu);
        g_fds_in_call.insert(fd);
    }
    sem_post(in);
    while (sem_wait(go) != 0) {
    }
    std::lock_guard<std::mutex> lk(g_fds_mu);
    g_fds_in_call.erase(g_fds_in_call.find(fd));
    return 0;
}

int busy_close(int fd)
{
    {
        std::lock_guard<std::mutex> lk(g_fds_mu);
        if (g_fds_in_call.count(fd))
            g_closed_busy = true;
    }
    return ::close(fd);
}

const kyr_dev_ops k_busy = {fake_open, busy_ioctl, busy_close};

void sem_take(sem_t *s)
{
    while (sem_wait(s) != 0) {
    }
}

TEST(CoreRace, LastFinalizeWaitsForACallStartedWhileItWaited)
{
    kyr_set_dev_ops(&k_busy);
    for (sem_t *s : {&g_slow_in, &g_slow_go, &g_late_in, &g_late_go})
        sem_init(s, 0, 0);
    void *list = nullptr;
    ASSERT_EQ(CKR_OK, SC_Initialize(&list, 0, nullptr));
    uint8_t blk[64] = {0};
    // A call on slot 5, its descriptor opened on demand, holds the
    // finalization of the only initialized slot.
    std::thread slow([&] { kyr_ioctl(5, KYR_CMD_GET_TOKEN_INFO, blk); });
    sem_take(&g_slow_in);
    std::atomic<bool> finalized{false};
    std::thread finalizer([&] {
        EXPECT_EQ(CKR_OK, SC_Finalize(0));
        finalized = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Meanwhile a call starts on slot 2, below the one waited for.
    std::thread late([&] { kyr_ioctl(2, KYR_CMD_GET_MECH_INFO, blk + 32); });
    sem_take(&g_late_in);
    sem_post(&g_slow_go);
    slow.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(finalized) << "finalized while a call was using a descriptor";
    sem_post(&g_late_go);
    late.join();
    finalizer.join();
    EXPECT_FALSE(g_closed_busy) << "a descriptor closed under a call in flight";
    EXPECT_FALSE(kyr_initialized());
    for (sem_t *s : {&g_slow_in, &g_slow_go, &g_late_in, &g_late_go})
        sem_destroy(s);
    kyr_set_dev_ops(nullptr);
}

// A caller whose value buffer overlaps its own template: the first value
// the card returns rewrites the next entry's length (or an entry's own
// buffer pointer).  The walk of the answer stays inside the block the
// library sent and writes only where each entry pointed when it was read.
void put_entry(std::vector<uint8_t> &b, size_t off, uint32_t type, uint32_t len, const void *v,
               size_t vlen)
{
    KYR_ATTR_32 e = {type, len};
    memcpy(b.data() + off, &e, sizeof e);
    if (vlen)
        memcpy(b.data() + off + sizeof e, v, vlen);
}

TEST(CoreAnswers, AValueRewritingTheTemplateKeepsTheWalkInsideTheBlock)
{
    uint8_t label[4096];
    memset(label, 0, sizeof label);
    CK_ATTRIBUTE t[2] = {{CKA_VALUE, nullptr, sizeof(CK_ULONG)}, {CKA_LABEL, label, 8}};
    t[0].pValue = &t[1].ulValueLen;
    kyr_block_guard g;
    ASSERT_EQ(CKR_OK, kyr_get_attr_request(1, 2, t, 2, &g));
    const size_t off1 = sizeof(CommonObject_Args) + sizeof(KYR_ATTR_32) + sizeof(CK_ULONG);
    ASSERT_EQ(off1 + sizeof(KYR_ATTR_32) + 8, g.len);
    // The card's answer, and past the block's end bytes that are not its.
    std::vector<uint8_t> b(g.p, g.p + g.len);
    b.resize(g.len + sizeof label, 0xEE);
    const CK_ULONG bigger = sizeof label;
    put_entry(b, sizeof(CommonObject_Args), CKA_VALUE, sizeof bigger, &bigger, sizeof bigger);
    put_entry(b, off1, CKA_LABEL, 100, "the card's label", 8);
    CK_RV rv = kyr_get_attr_answer(CKR_BUFFER_TOO_SMALL, b.data(), g.len, t, 2);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, rv);
    EXPECT_EQ(nullptr, memchr(label, 0xEE, sizeof label)) << "read past the answer block";
}

TEST(CoreAnswers, AWordArrayOverItsOwnEntryWritesOnlyWhereItPointed)
{
#if defined(MAP_32BIT)
    if (sizeof(void *) != 8)
        GTEST_SKIP() << "the entry's layout is that of a 64-bit caller";
    // A page the card can name with one 32-bit word.
    void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                      -1, 0);
    if (page == MAP_FAILED)
        GTEST_SKIP() << "no page below 4 GiB to be had";
    memset(page, 0, 4096);
    CK_ATTRIBUTE t[1] = {{CKA_ALLOWED_MECHANISMS, nullptr, sizeof(CK_ATTRIBUTE)}};
    t[0].pValue = &t[0];
    kyr_block_guard g;
    ASSERT_EQ(CKR_OK, kyr_get_attr_request(1, 2, t, 1, &g));
    ASSERT_EQ(sizeof(CommonObject_Args) + sizeof(KYR_ATTR_32) + 12, g.len);
    std::vector<uint8_t> b(g.p, g.p + g.len);
    const uint32_t words[3] = {uint32_t(CKA_ALLOWED_MECHANISMS),
                               uint32_t(reinterpret_cast<uintptr_t>(page)), 0x5A5A5A5Au};
    put_entry(b, sizeof(CommonObject_Args), CKA_ALLOWED_MECHANISMS, sizeof words, words,
              sizeof words);
    kyr_get_attr_answer(CKR_OK, b.data(), g.len, t, 1);
    const uint8_t *p = static_cast<const uint8_t *>(page);
    EXPECT_TRUE(std::all_of(p, p + 4096, [](uint8_t c) { return c == 0; }))
        << "a write went where the card's words pointed";
    munmap(page, 4096);
#else
    GTEST_SKIP() << "no low mapping to name with a 32-bit word";
#endif
}

}  // namespace
