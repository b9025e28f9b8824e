// The production kyrkiod in the foreground against the card simulator, for
// the audit log and keystore-level tests: one temporary keystore directory,
// configuration and lock file per test, and helpers that play the firmware.
#ifndef KYR_TESTS_KS_OPS_FIXTURE_H
#define KYR_TESTS_KS_OPS_FIXTURE_H

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "kyrsim.h"

namespace ksit {

const long kWait = 20000;

inline std::vector<uint8_t> bytes(const std::string &s) { return {s.begin(), s.end()}; }

inline bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// The daemon removes an unarchived archive after it has answered: wait for
// that (polling, bounded) rather than race it.
inline bool gone_soon(const std::string &path)
{
    for (int i = 0; i < 500 && exists(path); i++)
        usleep(10000);
    return !exists(path);
}

// A log entry: 32-byte key (byte 0 and byte 31 = n, so entries written in
// one second sort by n even before stamping) then a text.
inline std::vector<uint8_t> log_entry(uint32_t n, size_t extra = 16)
{
    std::vector<uint8_t> d(32 + extra, 'L');
    std::fill(d.begin(), d.begin() + 32, 0);
    d[0] = uint8_t(n >> 8);
    d[1] = uint8_t(n);
    // Bytes 8..15 hold the entry's ID (0x77/n), as the daemon stamps them;
    // key-set writes must bring them complete.
    d[11] = 0x77;
    d[12] = uint8_t(n >> 24);
    d[13] = uint8_t(n >> 16);
    d[14] = uint8_t(n >> 8);
    d[15] = uint8_t(n);
    d[31] = uint8_t(n);
    return d;
}

// Second word of an 8-byte object or log ID.
inline uint32_t id_lo(const kyrsim_rec &r)
{
    if (r.id.size() < 8)
        return UINT32_MAX;
    return (uint32_t(r.id[4]) << 24) | (uint32_t(r.id[5]) << 16) | (uint32_t(r.id[6]) << 8) |
           r.id[7];
}

class KsDaemon : public ::testing::Test {
protected:
    kyrsim *sim = nullptr;
    kyrsim_child d;
    bool running = false;
    std::string dir, ksdir, conf;
    int cards = 1;  // cards of the simulator
    std::string ksdir_conf;  // the keystoredir line when not ksdir itself

    void SetUp() override
    {
        char tmpl[] = "/tmp/kyr-ksops-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        ksdir = dir + "/keydata";
        conf = dir + "/kyrkiod.conf";
        ASSERT_EQ(0, mkdir(ksdir.c_str(), 0700));
        kyrsim_opts opts;
        opts.cards = cards;
        ASSERT_EQ(0, kyrsim_start(opts, &sim));
    }
    void TearDown() override
    {
        // A clean shutdown is part of every test.
        stop();
        kyrsim_stop(sim);
        if (dir.size() > 16) {
            std::string cmd = "rm -rf '" + dir + "'";
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }
    std::string log() { return kyrsim_read_file(d.err_path); }
    // SIGINT and a clean exit, once; the keystores are then closed.
    void stop()
    {
        if (!running)
            return;
        running = false;
        EXPECT_EQ(0, kyrsim_signal_child(&d, SIGINT));
        if (kyrsim_wait_child(&d, kWait) == 0)
            EXPECT_EQ(0, kyrsim_exit_code(d)) << log();
        else
            kyrsim_kill_child(&d);
        std::string text = log();
        EXPECT_EQ(std::string::npos, text.find("AddressSanitizer")) << text;
        EXPECT_EQ(std::string::npos, text.find("runtime error:")) << text;
    }

    void start(int auditloglimit = 500)
    {
        struct passwd *pw = getpwuid(getuid());
        std::ofstream out(conf, std::ios::trunc);
        out << "user " << (pw ? pw->pw_name : "root") << "\nkeystoredir "
            << (ksdir_conf.empty() ? ksdir : ksdir_conf)
            << "\nauditloglimit " << auditloglimit << "\ndebuglevel info\n";
        out.close();
        kyrsim_spawn_opts o;
        o.argv = {KYR_BUILD_DIR "/daemon/kyrkiod", "-F", "-f", conf};
        o.env = {"KYRKIOD_LOCKFILE=" + dir + "/lock"};
        o.cwd = dir;
        ASSERT_EQ(0, kyrsim_spawn(sim, o, &d));
        running = true;
        kyrsim_hello h;
        ASSERT_EQ(0, kyrsim_wait_hello(sim, "", kWait, &h)) << log();
    }
    // DB_INIT through the control thread, then the new thread's hello.
    void create(const std::string &ks)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_INIT, ks);
        m.kstype = DBM_KS_LOCAL;
        ASSERT_EQ(0, kyrsim_post(sim, "", m));
        ASSERT_EQ(0, kyrsim_wait_hello(sim, ks, kWait)) << log();
        std::ofstream(ksdir + "/" + ks + ".conf") << "configuration of " << ks;
    }
    std::vector<kyrsim_msg> xchg(const std::string &ks, const kyrsim_msg &m)
    {
        std::vector<kyrsim_msg> got;
        EXPECT_EQ(0, kyrsim_exchange(sim, ks, m, kWait, &got)) << log();
        return got;
    }
    // A DB_READ: four push series (users, objects, log, old log), each
    // ended by a push without DBM_FLAG_MORE.
    std::vector<kyrsim_msg> read_db(const std::string &ks)
    {
        std::vector<kyrsim_msg> got;
        EXPECT_EQ(0, kyrsim_post(sim, ks, kyrsim_msg_make(DB_READ, ks)));
        for (int series = 0; series < 4; series++) {
            if (kyrsim_collect(sim, ks, kWait, &got) != 0) {
                ADD_FAILURE() << "push series " << series << " incomplete\n" << log();
                break;
            }
        }
        return got;
    }
    // Status of a single DB_RESPONSE answer, or -1000 for anything else.
    int32_t status_of(const std::vector<kyrsim_msg> &got)
    {
        if (got.size() != 1 || got[0].type != DB_RESPONSE)
            return -1000;
        return got[0].status;
    }
    int32_t log_write(const std::string &ks, uint32_t first, uint32_t n, uint32_t flags = 0,
                      size_t extra = 16)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_LOG_WRITE, ks);
        m.flags = flags;
        for (uint32_t i = first; i < first + n; i++)
            kyrsim_msg_add_obj(&m, 0x77, i, log_entry(i, extra));
        return status_of(xchg(ks, m));
    }
    // Writes n entries in messages of at most 100.
    void log_fill(const std::string &ks, uint32_t first, uint32_t n, uint32_t flags = 0)
    {
        for (uint32_t done = 0; done < n; done += 100)
            ASSERT_EQ(0, log_write(ks, first + done, std::min<uint32_t>(100, n - done), flags));
    }
    // DB_LOG_READ; every push is checked for type, old-log mark and the MORE
    // chain.  Returns the entries' ID numbers in the order received.
    std::vector<uint32_t> log_read(const std::string &ks, int32_t r, bool old,
                                   size_t *pushes = nullptr)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_LOG_READ, ks);
        m.count = 0;
        m.flags = old ? DBM_FLAG_OLD_LOG : 0;
        // The count travels as given, negative ones included.
        std::vector<uint8_t> raw;
        EXPECT_EQ(0, kyrsim_msg_encode(m, &raw));
        raw.resize(std::max<size_t>(raw.size(), DBM_OBJS_OFF), 0);
        uint32_t be = __builtin_bswap32(static_cast<uint32_t>(r));
        memcpy(&raw[DBM_NOBJS_OFF], &be, 4);
        std::vector<kyrsim_msg> got;
        EXPECT_EQ(0, kyrsim_post_raw(sim, ks, raw));
        EXPECT_EQ(0, kyrsim_collect(sim, ks, kWait, &got)) << log();
        std::vector<uint32_t> ids;
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(uint32_t(DB_LOG_PUSH), got[i].type);
            EXPECT_EQ(old, (got[i].flags & DBM_FLAG_OLD_LOG) != 0) << "push " << i;
            EXPECT_EQ(i + 1 < got.size(), (got[i].flags & DBM_FLAG_MORE) != 0) << "push " << i;
            for (const kyrsim_rec &rec : got[i].recs)
                ids.push_back(id_lo(rec));
        }
        if (pushes)
            *pushes = got.size();
        return ids;
    }
};

inline std::vector<uint32_t> seq(uint32_t a, uint32_t b)
{
    std::vector<uint32_t> v;
    for (uint32_t i = a; i <= b; i++)
        v.push_back(i);
    return v;
}

}  // namespace ksit

#endif  // KYR_TESTS_KS_OPS_FIXTURE_H
