// A daemon killed in the middle of a multi-message write: after a restart
// every part the firmware saw answered is stored whole, later parts are
// absent (at most the one being answered at the kill may be stored), and
// every database of the keystore passes db_verify.
#include <signal.h>

#include <set>

#include "localks_fixture.h"

namespace {

using namespace kyrlks;

const char kKs[] = "crash.host.{1}";
const int kParts = 1000;   // far more than are answered before the kill
const int kPerPart = 4;

std::string part_data(int part, int rec) { return "part " + std::to_string(part) + " record " + std::to_string(rec) + std::string(3000, 'p'); }

class LocalKsCrash : public LocalKsTest {
protected:
    kyrsim_msg part(int i)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_USER_WRITE, kKs);
        for (int j = 0; j < kPerPart; j++)
            kyrsim_msg_add_user(&m, uid(static_cast<unsigned>(i * 10 + j)), bytes(part_data(i, j)));
        m.flags = i + 1 < kParts ? DBM_FLAG_MORE : 0;
        return m;
    }
    int answered_parts()
    {
        int n = 0;
        for (const kyrsim_wire &w : kyrsim_wire_log(sim)) {
            if (!w.to_fw || w.ks != kKs || w.bytes.size() < DBM_HDR_SIZE)
                continue;
            kyrsim_msg m;
            kyrsim_msg_decode(w.bytes.data(), w.bytes.size(), &m);
            n += m.type == DB_RESPONSE && m.status == 0;
        }
        return n;
    }
};

TEST_F(LocalKsCrash, KilledMidExchangeKeepsAnsweredPartsAndVerifies)
{
    start();
    ASSERT_EQ(0, create(kKs));
    write_file(std::string(kKs) + ".conf", "configuration");
    kyrsim_wire_clear(sim);

    for (int i = 1; i < kParts; i++)
        ASSERT_EQ(0, kyrsim_queue_part(sim, kKs, part(i)));
    ASSERT_EQ(0, kyrsim_post(sim, kKs, part(0)));
    int seen = 0;
    kyrsim_msg m;
    while (seen < 25 && kyrsim_next_msg(sim, kKs, kWait, &m) == 0)
        seen++;
    ASSERT_EQ(25, seen);
    kill_daemon();
    int answered = answered_parts();
    ASSERT_GE(answered, 25);
    ASSERT_LT(answered, kParts) << "the exchange ended before the kill";
    kyrsim_clear_queue(sim, kKs);
    // Answers the killed daemon sent after the 25th are still in the inbox;
    // they must not be taken for the answers of the next daemon.
    while (kyrsim_next_msg(sim, kKs, 0, &m) == 0)
        ;

    start();
    ASSERT_EQ(0, kyrsim_wait_hello(sim, kKs, kWait));
    std::set<std::vector<uint8_t>> ids;
    for (auto &u : all_users(kKs))
        ids.insert(u.first);
    int stored = 0;
    for (int i = 0; i < kParts; i++) {
        int present = 0;
        for (int j = 0; j < kPerPart; j++)
            present += ids.count(uid(static_cast<unsigned>(i * 10 + j))) != 0;
        EXPECT_TRUE(present == 0 || present == kPerPart) << "part " << i << " stored partly";
        if (present == kPerPart) {
            EXPECT_EQ(stored, i) << "parts stored out of order";
            stored++;
        }
    }
    EXPECT_GE(stored, answered);
    EXPECT_LE(stored, answered + 1);
    EXPECT_EQ(static_cast<size_t>(stored * kPerPart), ids.size());

    // A clean stop, then every database of the keystore must verify.
    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGINT));
    ASSERT_EQ(0, kyrsim_wait_child(&d, 30000));
    running = false;
    std::string env = ks_path(kKs);
    for (const char *db : {"user.db", "object.db", "auditlog.db", "auditlog.old.db"}) {
        std::string cmd = "db5.3_verify -q -h '" + env + "' '" + env + "/" + db + "'";
        EXPECT_EQ(0, system(cmd.c_str())) << db;
    }
}

}  // namespace
