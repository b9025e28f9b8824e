// The production kyrkiod in the foreground against the card simulator, for
// local keystore tests: a temporary keystore directory, configuration and
// lock file per test; helpers that build the firmware's upcalls and read
// the daemon's answers.
#ifndef KYR_TESTS_LOCALKS_FIXTURE_H
#define KYR_TESTS_LOCALKS_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <db.h>

#include "kyrsim.h"

namespace kyrlks {

inline std::vector<uint8_t> bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }
inline std::string text(const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); }
inline std::vector<uint8_t> uid(unsigned n) { return kyrsim_user_id("user-" + std::to_string(n)); }

inline std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

class LocalKsTest : public ::testing::Test {
protected:
    kyrsim *sim = nullptr;
    std::string dir, ksdir, conf, lock;
    kyrsim_child d;
    bool running = false;
    static constexpr long kWait = 20000;

    void SetUp() override
    {
        ASSERT_EQ(0, kyrsim_start(kyrsim_opts{}, &sim));
        char tmpl[] = "/tmp/kyr-lks-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        ksdir = dir + "/keys";
        conf = dir + "/kyrkiod.conf";
        lock = dir + "/lock";
        ASSERT_EQ(0, mkdir(ksdir.c_str(), 0700));
        std::ofstream(conf) << "user root\nkeystoredir " << ksdir << "\n";
    }
    void TearDown() override
    {
        if (d.pid > 0) {
            std::string text = log();
            EXPECT_EQ(std::string::npos, text.find("ERROR: AddressSanitizer")) << text;
            EXPECT_EQ(std::string::npos, text.find("runtime error:")) << text;
        }
        if (running)
            kyrsim_kill_child(&d);
        kyrsim_stop(sim);
        std::string cmd = "rm -rf '" + dir + "'";
        if (dir.size() > 14) {
            EXPECT_EQ(0, system(cmd.c_str()));
        }
    }
    std::string ks_path(const std::string &rel) const { return ksdir + "/" + rel; }
    void write_file(const std::string &rel, const std::string &data)
    {
        std::ofstream(ks_path(rel), std::ios::binary | std::ios::trunc) << data;
    }
    // A keystore made by the daemon itself (DB_INIT on the control thread),
    // with its ".conf" file, before the test's daemon starts.
    void start()
    {
        kyrsim_spawn_opts o;
        o.argv = {KYR_BUILD_DIR "/daemon/kyrkiod", "-F", "-s", "-d", "-d", "-f", conf};
        o.env = {"KYRKIOD_LOCKFILE=" + lock};
        ASSERT_EQ(0, kyrsim_spawn(sim, o, &d));
        running = true;
        ASSERT_EQ(0, kyrsim_wait_hello(sim, "", kWait)) << log();
    }
    void kill_daemon()
    {
        kyrsim_kill_child(&d);
        running = false;
    }
    // SIGINT and a clean exit: the keystores are closed afterwards.
    void stop()
    {
        running = false;
        ASSERT_EQ(0, kyrsim_signal_child(&d, SIGINT));
        ASSERT_EQ(0, kyrsim_wait_child(&d, kWait)) << log();
        EXPECT_EQ(0, kyrsim_exit_code(d)) << log();
    }
    std::string log() { return kyrsim_read_file(d.err_path); }
    // DB_INIT of a new keystore through the control thread: a success is
    // not answered, the new keystore's thread says hello.
    int create(const std::string &name)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_INIT, name);
        m.kstype = DBM_KS_LOCAL;
        int rc = kyrsim_post(sim, "", m);
        return rc != 0 ? rc : kyrsim_wait_hello(sim, name, kWait);
    }
    std::vector<kyrsim_msg> exchange(const std::string &ks, const kyrsim_msg &m)
    {
        std::vector<kyrsim_msg> got;
        EXPECT_EQ(0, kyrsim_exchange(sim, ks, m, kWait, &got)) << kyrsim_type_name(m.type) << "\n" << log();
        return got;
    }
    // The status of a one-message answer (a DB_RESPONSE), or -1000.
    int32_t status_of(const std::string &ks, const kyrsim_msg &m)
    {
        std::vector<kyrsim_msg> got = exchange(ks, m);
        if (got.size() != 1 || got[0].type != DB_RESPONSE)
            return -1000;
        return got[0].status;
    }
    kyrsim_msg users_msg(uint32_t type, const std::string &ks,
                         const std::vector<std::pair<unsigned, std::string>> &recs)
    {
        kyrsim_msg m = kyrsim_msg_make(type, ks);
        for (auto &r : recs)
            kyrsim_msg_add_user(&m, uid(r.first), bytes(r.second));
        return m;
    }
    kyrsim_msg objs_msg(uint32_t type, const std::string &ks, unsigned owner,
                        const std::vector<std::pair<unsigned, std::string>> &recs)
    {
        kyrsim_msg m = kyrsim_msg_make(type, ks);
        m.owner = owner ? uid(owner) : std::vector<uint8_t>(20, 0);
        for (auto &r : recs)
            kyrsim_msg_add_obj(&m, 0x10, r.first, bytes(r.second));
        return m;
    }
    // All users as (ID, data), read back through DB_USER_READ.
    std::vector<std::pair<std::vector<uint8_t>, std::string>> all_users(const std::string &ks)
    {
        std::vector<std::pair<std::vector<uint8_t>, std::string>> out;
        for (const kyrsim_msg &p : exchange(ks, kyrsim_msg_make(DB_USER_READ, ks))) {
            EXPECT_EQ(DB_USER_PUSH, p.type) << "status " << p.status << "\n" << log();
            for (const kyrsim_rec &r : p.recs)
                out.emplace_back(r.id, text(r.data));
        }
        return out;
    }
    size_t object_count(const std::string &ks, unsigned owner)
    {
        size_t n = 0;
        for (const kyrsim_msg &p : exchange(ks, objs_msg(DB_OBJECT_READ, ks, owner, {})))
            n += p.recs.size();
        return n;
    }
};

}  // namespace kyrlks

#endif  // KYR_TESTS_LOCALKS_FIXTURE_H
