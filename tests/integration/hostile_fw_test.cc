// The production daemon against a firmware that sends what it should not:
// malformed upcalls, upcalls naming other keystores, names and archives
// that lead out of the keystore directory, entries planted in it.  Each
// scenario shows the refusal (or the sound behaviour), that the daemon
// serves the next upcall, and that nothing beside the keystore directory
// appears, changes or is read (a canary lies there).
#include <sys/stat.h>

#include <algorithm>

#include "cmd_lines.h"
#include "ks_ops_fixture.h"

namespace ksit {
namespace {

const char *const kCanary = "canary: not the firmware's";

std::vector<std::string> entries(const std::string &path)
{
    return sorted_output_lines("ls -A '" + path + "'");
}

uint32_t be32(uint32_t v) { return __builtin_bswap32(v); }

class Hostile : public KsDaemon {
protected:
    std::string canary, outside;

    void SetUp() override
    {
        KsDaemon::SetUp();
        canary = dir + "/canary";
        outside = dir + "/outside";
        std::ofstream(canary) << kCanary;
        ASSERT_EQ(0, mkdir(outside.c_str(), 0700));
    }
    void TearDown() override
    {
        // Beside the keystore directory: only what the test and the
        // daemon's own start made, the canary untouched.
        if (dir.size() > 16) {
            EXPECT_EQ(kCanary, kyrsim_read_file(canary));
            EXPECT_TRUE(entries(outside).empty());
            for (const std::string &e : entries(dir))
                EXPECT_TRUE(e == "keydata" || e == "kyrkiod.conf" || e == "lock" ||
                            e == "canary" || e == "outside" || e == "build")
                    << "appeared beside the keystore directory: " << e;
        }
        KsDaemon::TearDown();
    }
    // An upcall as bytes, so that a test can break it.
    std::vector<uint8_t> raw(const kyrsim_msg &m)
    {
        std::vector<uint8_t> b;
        EXPECT_EQ(0, kyrsim_msg_encode(m, &b));
        return b;
    }
    std::vector<kyrsim_msg> xchg_raw(const std::string &ks, const std::vector<uint8_t> &b)
    {
        std::vector<kyrsim_msg> got;
        EXPECT_EQ(0, kyrsim_post_raw(sim, ks, b));
        EXPECT_EQ(0, kyrsim_collect(sim, ks, kWait, &got)) << log();
        return got;
    }
    kyrsim_msg user_write(const std::string &ks, const std::string &user)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_USER_WRITE, ks);
        kyrsim_msg_add_user(&m, kyrsim_user_id(user), bytes("data of " + user));
        return m;
    }
    size_t user_count(const std::string &thread, const std::string &ks)
    {
        kyrsim_msg m = kyrsim_msg_make(DB_USER_READ, ks);
        m.count = 0;
        std::vector<kyrsim_msg> got = xchg(thread, m);
        size_t n = 0;
        for (const kyrsim_msg &p : got) {
            EXPECT_EQ(uint32_t(DB_USER_PUSH), p.type) << kyrsim_msg_describe(p);
            n += p.recs.size();
        }
        return n;
    }
    kyrsim_msg file_msg(uint32_t type, const std::string &name, const std::string &data,
                        uint32_t flags = 0)
    {
        kyrsim_msg m = kyrsim_msg_make(type, name);
        kyrsim_msg_set_file(&m, static_cast<uint32_t>(data.size()), bytes(data));
        m.flags = flags;
        return m;
    }
};

TEST_F(Hostile, MalformedUpcallsAreRefusedAndTheThreadServesOn)
{
    const std::string ks = "m.host.{1}";
    start();
    create(ks);
    kyrsim_msg w = user_write(ks, "u1");
    w.handle = 0x00001234;
    w.ldom = 3;

    std::vector<std::vector<uint8_t>> broken;
    std::vector<uint8_t> b = raw(w);
    uint32_t v = be32(1000);  // more records than the message holds
    memcpy(&b[DBM_NUSERS_OFF], &v, 4);
    broken.push_back(b);
    b = raw(w);
    v = be32(100);  // a record running past paramSize
    memcpy(&b[DBM_USERS_OFF + DBM_USER_ID_LEN], &v, 4);
    broken.push_back(b);
    kyrsim_msg s = w;
    s.paramSize = 60;  // short of nusers
    broken.push_back(raw(s));
    s.paramSize = 0x7fffffff;  // beyond the largest message, records intact
    broken.push_back(raw(s));
    for (size_t i = 0; i < broken.size(); i++) {
        std::vector<kyrsim_msg> got = xchg_raw(ks, broken[i]);
        ASSERT_EQ(1u, got.size()) << i;
        EXPECT_EQ(uint32_t(DB_RESPONSE), got[0].type) << i;
        EXPECT_EQ(EINVAL, got[0].status) << i;
        EXPECT_EQ(0x00001234u, got[0].handle) << i;
        EXPECT_EQ(3u, got[0].ldom) << i;
    }
    EXPECT_NE(std::string::npos, log().find("Refusing malformed upcall of type 0x3"));
    EXPECT_EQ(0u, user_count(ks, ks));  // nothing of them was stored

    // Name fields without their terminator name nothing, not a cut name.
    const std::string n63(63, 'f');
    std::ofstream(ksdir + "/" + n63) << "kept";
    auto unterminated = [&](const kyrsim_msg &m, size_t off, char c) {
        std::vector<uint8_t> bytes = raw(m);
        memset(&bytes[off], c, DBM_KSNAME_LEN);
        return status_of(xchg_raw(ks, bytes));
    };
    EXPECT_EQ(EINVAL, unterminated(kyrsim_msg_make(DB_FILE_DEL, n63), DBM_KSNAME_OFF, 'f'));
    EXPECT_EQ("kept", kyrsim_read_file(ksdir + "/" + n63));
    EXPECT_EQ(EINVAL, unterminated(user_write(ks, "u9"), DBM_KSNAME_OFF, 'm'));
    kyrsim_msg r = kyrsim_msg_make(DB_RENAME, ks);
    r.newname = "r";
    EXPECT_EQ(EINVAL, unterminated(r, DBM_NEWNAME_OFF, 'r'));
    EXPECT_TRUE(exists(ksdir + "/" + ks + "/user.db"));
    EXPECT_FALSE(exists(ksdir + "/" + std::string(63, 'r')));

    // A log write continued by a part of another type: the first part is
    // stored, the stray part refused, not stored as log entries.
    kyrsim_msg l = kyrsim_msg_make(DB_LOG_WRITE, ks);
    l.flags = DBM_FLAG_MORE;
    kyrsim_msg_add_obj(&l, 0x77, 1, log_entry(1));
    kyrsim_msg o = kyrsim_msg_make(DB_OBJECT_WRITE, ks);
    o.owner = kyrsim_user_id("u1");
    kyrsim_msg_add_obj(&o, 0x77, 2, log_entry(2));
    ASSERT_EQ(0, kyrsim_queue_part(sim, ks, o));
    std::vector<kyrsim_msg> got = xchg(ks, l);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0, got[0].status);
    EXPECT_EQ(EINVAL, got[1].status);
    EXPECT_EQ(std::vector<uint32_t>{1}, log_read(ks, 0, false));

    // And the thread serves on.
    ASSERT_EQ(0, status_of(xchg(ks, user_write(ks, "u2"))));
    EXPECT_EQ(1u, user_count(ks, ks));
}

class HostileTwoCards : public Hostile {
protected:
    HostileTwoCards() { cards = 2; }
};

TEST_F(HostileTwoCards, FailedDeviceCallIsAnsweredToTheCardThatAsked)
{
    const std::string ks = "d.host.{1}";
    start();
    create(ks);
    // The handle names card 5, which is not there: the push fails in the
    // device, and so does the failure answer; neither may reach card 1,
    // which the byte-swapped handle (0x01000005) would name.
    kyrsim_msg m = kyrsim_msg_make(DB_USER_READ, ks);
    m.handle = 0x05000001;
    kyrsim_wire_clear(sim);
    ASSERT_EQ(0, kyrsim_post(sim, ks, m));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, ks, kWait)) << log();
    EXPECT_NE(std::string::npos, log().find("Failure submitting ioctl"));
    for (const kyrsim_wire &w : kyrsim_wire_log(sim))
        EXPECT_FALSE(w.to_fw && w.instance == 1) << "card 1 was sent a message";
    EXPECT_EQ(0, kyrsim_pending(sim, ks));
    EXPECT_EQ(0u, user_count(ks, ks));
}

TEST_F(Hostile, EachThreadActsOnItsOwnKeystoreOnly)
{
    const std::string a = "a.h.{1}", b = "b.h.{1}", c = "c.h.{1}", n = "n.h.{1}";
    start();
    create(a);
    create(b);
    create(c);
    ASSERT_EQ(0, kyrsim_post(sim, c, kyrsim_msg_make(DB_GOODBYE, c)));
    ASSERT_EQ(0, kyrsim_wait_file_contains(d.err_path, "Keystore thread closing", kWait));

    // c is served by no thread; a's thread acts on a only.
    kyrsim_msg ren = kyrsim_msg_make(DB_RENAME, c);
    ren.newname = "z.h.{1}";
    kyrsim_msg lr = kyrsim_msg_make(DB_LOG_READ, c);
    for (const kyrsim_msg &m : {kyrsim_msg_make(DB_DELETE, c), kyrsim_msg_make(DB_READ, c),
                                kyrsim_msg_make(DB_ARCHIVE, c), user_write(c, "x"), lr, ren}) {
        EXPECT_EQ(EINVAL, status_of(xchg(a, m))) << kyrsim_msg_describe(m);
    }
    EXPECT_NE(std::string::npos, log().find("not the keystore of this thread"));
    EXPECT_EQ(std::vector<std::string>({a, a + ".conf", b, b + ".conf", c, c + ".conf"}),
              entries(ksdir));
    EXPECT_FALSE(exists(ksdir + "/" + c + ".tar"));
    ASSERT_EQ(0, status_of(xchg(a, user_write(a, "ua"))));

    // The control thread removes a keystore no thread serves, never a
    // served one, and goes on serving.
    EXPECT_EQ(EINVAL, status_of(xchg("", kyrsim_msg_make(DB_DELETE, a))));
    int32_t st = EINVAL;
    for (int i = 0; i < 100 && st == EINVAL; i++) {  // c's thread marks itself ended
        st = status_of(xchg("", kyrsim_msg_make(DB_DELETE, c)));
        if (st == EINVAL)
            usleep(20000);
    }
    EXPECT_EQ(0, st);
    EXPECT_FALSE(exists(ksdir + "/" + c));
    EXPECT_FALSE(exists(ksdir + "/" + c + ".conf"));
    kyrsim_msg chk = kyrsim_msg_make(DB_CHECK, c);
    chk.kstype = DBM_KS_LOCAL;
    EXPECT_EQ(0, status_of(xchg("", chk)));

    // No rename onto a served name; a rename takes the ".conf" along.
    kyrsim_msg onto = kyrsim_msg_make(DB_RENAME, a);
    onto.newname = b;
    EXPECT_EQ(EEXIST, status_of(xchg(a, onto)));
    ASSERT_EQ(0, status_of(xchg(b, user_write(b, "ub"))));
    // Served by a thread but without a directory (joined before restore).
    kyrsim_msg join = kyrsim_msg_make(DB_JOIN, "j.h.{1}");
    join.kstype = DBM_KS_LOCAL;
    ASSERT_EQ(0, status_of(xchg("", join)));
    ASSERT_EQ(0, kyrsim_wait_hello(sim, "j.h.{1}", kWait)) << log();
    onto.newname = "j.h.{1}";
    EXPECT_EQ(EEXIST, status_of(xchg(a, onto)));
    EXPECT_TRUE(exists(ksdir + "/" + a + "/user.db"));
    ASSERT_EQ(0, kyrsim_post(sim, "j.h.{1}", kyrsim_msg_make(DB_GOODBYE, "j.h.{1}")));
    kyrsim_msg mv = kyrsim_msg_make(DB_RENAME, a);
    mv.newname = n;
    ASSERT_EQ(0, status_of(xchg(a, mv)));
    EXPECT_EQ(std::vector<std::string>({b, b + ".conf", n, n + ".conf"}), entries(ksdir));
    EXPECT_EQ("configuration of " + a, kyrsim_read_file(ksdir + "/" + n + ".conf"));
    EXPECT_EQ(1u, user_count(a, n));  // the thread serves its keystore's new name

    // A keystore type the daemon does not serve starts nothing.
    kyrsim_msg init = kyrsim_msg_make(DB_INIT, "t.h.{1}");
    init.kstype = DBM_KS_DEVICE;
    EXPECT_EQ(EINVAL, status_of(xchg("", init)));
    EXPECT_FALSE(exists(ksdir + "/t.h.{1}"));

    // Discovery takes the names the upcalls take.
    std::ofstream(ksdir + "/..conf") << "x";
    std::ofstream(ksdir + "/" + std::string(70, 'q') + ".conf") << "x";
    ASSERT_EQ(0, kyrsim_signal_child(&d, SIGHUP));
    ASSERT_EQ(0, kyrsim_wait_hello(sim, n, kWait)) << log();
    ASSERT_EQ(0, kyrsim_wait_hello(sim, b, kWait)) << log();
    ASSERT_EQ(0, kyrsim_wait_hello(sim, "", kWait)) << log();
    EXPECT_EQ(1, kyrsim_hello_count(sim, a));  // the old name is gone for good
    EXPECT_EQ(0, kyrsim_hello_count(sim, "."));
    EXPECT_EQ(0, kyrsim_hello_count(sim, std::string(63, 'q')));
    EXPECT_NE(std::string::npos, log().find("Invalid keystore name in ..conf"));
    ASSERT_EQ(0, kyrsim_wait_standby(sim, n, kWait));
    EXPECT_EQ(1u, user_count(n, n));
}

TEST_F(Hostile, FilesAndArchivesStayInsideTheKeystoreDirectory)
{
    const std::string ks = "f.h.{1}", other = "f2.h.{1}";
    start();
    create(ks);

    // Entries planted in the keystore directory are never followed or
    // waited on.
    ASSERT_EQ(0, symlink(canary.c_str(), (ksdir + "/link").c_str()));
    ASSERT_EQ(0, mkfifo((ksdir + "/fifo").c_str(), 0600));
    for (const char *name : {"link", "fifo"}) {
        for (uint32_t t : {uint32_t(DB_FILE_READ), uint32_t(DB_CONFIG_READ)})
            EXPECT_EQ(EINVAL, status_of(xchg(ks, kyrsim_msg_make(t, name)))) << name;
        EXPECT_EQ(EINVAL, status_of(xchg(ks, file_msg(DB_FILE_WRITE, name, "w", DBM_FLAG_APPEND))))
            << name;
        EXPECT_EQ(EINVAL, status_of(xchg(ks, file_msg(DB_FILE_WRITE, name, "w")))) << name;
    }
    // Names reach only entries of the keystore directory itself.
    for (const std::string &name : {ks + "/DB_CONFIG", std::string("../outside/x"),
                                    std::string("."), std::string(".."), ks + "/user.db"})
        EXPECT_EQ(EINVAL, status_of(xchg(ks, file_msg(DB_FILE_WRITE, name, "set_data_dir /tmp"))))
            << name;
    EXPECT_FALSE(exists(ksdir + "/" + ks + "/DB_CONFIG"));
    // An environment holding a DB_CONFIG is not opened.
    std::ofstream(ksdir + "/" + ks + "/DB_CONFIG") << "set_flags DB_TXN_NOSYNC\n";
    EXPECT_EQ(EINVAL, status_of(xchg(ks, user_write(ks, "u1"))));
    EXPECT_NE(std::string::npos, log().find("holds a DB_CONFIG file"));
    ASSERT_EQ(0, unlink((ksdir + "/" + ks + "/DB_CONFIG").c_str()));
    ASSERT_EQ(0, status_of(xchg(ks, user_write(ks, "u1"))));

    // An empty file is one empty push; an existing file is not overwritten.
    std::ofstream(ksdir + "/empty").close();
    std::vector<kyrsim_msg> got = xchg(ks, kyrsim_msg_make(DB_FILE_READ, "empty"));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(uint32_t(DB_FILE_PUSH), got[0].type);
    EXPECT_EQ(DBM_FILE_DATA_OFF, got[0].paramSize);
    EXPECT_EQ(0u, got[0].filesize);
    EXPECT_EQ(EEXIST, status_of(xchg(ks, file_msg(DB_FILE_WRITE, "empty", "x",
                                                  DBM_FLAG_NO_OVERWRITE))));
    EXPECT_EQ("", kyrsim_read_file(ksdir + "/empty"));

    // Archives holding anything but one keystore's plain files are refused
    // before anything is extracted.
    const std::string bdir = dir + "/build";
    ASSERT_EQ(0, mkdir(bdir.c_str(), 0700));
    const std::string q = "'" + other + "'";
    const std::string pre = "cd '" + bdir + "' && rm -rf ./* && mkdir " + q + " && ";
    const std::string conf = "echo c > " + q + ".conf && ";
    const std::string tar = " && tar cf evil.tar ";
    const std::vector<std::string> recipes = {
        pre + "ln -s '" + canary + "' " + q + ".conf" + tar + q + ".conf",
        pre + conf + "mkfifo " + q + "/user.db" + tar + q + ".conf " + q + "/user.db",
        pre + conf + "ln -s '" + outside + "' " + q + "/user.db" + tar + q + "/user.db",
        pre + conf + "ln " + q + ".conf " + q + "/user.db" + tar + q + ".conf " + q + "/user.db",
        pre + conf + "echo x > " + q + "/DB_CONFIG" + tar + q + ".conf " + q + "/DB_CONFIG",
        pre + conf + "mkdir g && echo x > g/user.db" + tar + q + ".conf g/user.db",
        pre + conf + "touch " + q + "/object.db" + tar + q + ".conf " + q,
        pre + conf + "tar cf evil.tar --absolute-names '" + canary + "'",
    };
    for (size_t i = 0; i < recipes.size(); i++) {
        ASSERT_EQ(0, system(recipes[i].c_str())) << recipes[i];
        ASSERT_EQ(0, system(("cp '" + bdir + "/evil.tar' '" + ksdir + "/evil.tar'").c_str()));
        EXPECT_EQ(EINVAL, status_of(xchg("", kyrsim_msg_make(DB_UNARCHIVE, "evil.tar"))))
            << recipes[i];
        EXPECT_FALSE(exists(ksdir + "/" + other)) << recipes[i];
        EXPECT_FALSE(exists(ksdir + "/" + other + ".conf")) << recipes[i];
        EXPECT_TRUE(exists(ksdir + "/evil.tar")) << recipes[i];
    }
    EXPECT_NE(std::string::npos, log().find("Unarchive of evil.tar refused"));
    ASSERT_EQ(0, system(("rm -rf '" + bdir + "'").c_str()));
    // A planted archive name is no archive either.
    EXPECT_EQ(EINVAL, status_of(xchg("", kyrsim_msg_make(DB_UNARCHIVE, "fifo"))));

    // What DB_ARCHIVE makes still restores.
    got = xchg(ks, kyrsim_msg_make(DB_ARCHIVE, ks));
    ASSERT_EQ(0, status_of(got));
    ASSERT_EQ(0, status_of(xchg(ks, kyrsim_msg_make(DB_DELETE, ks))));
    ASSERT_FALSE(exists(ksdir + "/" + ks));
    ASSERT_EQ(0, status_of(xchg("", kyrsim_msg_make(DB_UNARCHIVE, ks + ".tar"))));
    EXPECT_TRUE(exists(ksdir + "/" + ks + "/user.db"));
    EXPECT_TRUE(gone_soon(ksdir + "/" + ks + ".tar"));
    // An archive without its end is refused too.
    std::ofstream(ksdir + "/again.tar").close();
    EXPECT_EQ(EINVAL, status_of(xchg("", kyrsim_msg_make(DB_UNARCHIVE, "again.tar"))));
    ASSERT_EQ(0, unlink((ksdir + "/link").c_str()));
}

}  // namespace
}  // namespace ksit
