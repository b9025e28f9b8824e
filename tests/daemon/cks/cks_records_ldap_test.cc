// Users and objects of a centralized keystore through the record handlers,
// against a real 389 Directory Server: host A writes in batches, host B
// (another bind DN on the same instance) reads back; pushes split exactly
// at the room; failures of the directory end an exchange with its code.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <map>
#include <set>

#include "../core/core_fixture.h"
#include "cks_ds_fixture.h"
#include "tcp_proxy.h"

namespace {

// DN-special characters in the keystore name reach every DN escaped.
const char *kKs = "rec+a,b=c;d<e>.h.{1}";
const char *kKsRdn = "ou=rec\\+a\\,b\\=c\\;d\\<e\\>.h.{1}," DS389_KEYSTORES;

typedef std::map<std::string, std::string> records;  // ID -> data

std::string data_of(unsigned seed, size_t n)
{
    std::string d(n, '\0');
    for (size_t i = 0; i < n; ++i)
        d[i] = static_cast<char>((i * 131 + seed * 7) ^ (i >> 7));
    return d;
}

class CksRecords : public kyrtest::CoreTest {
protected:
    ds389 *ds = nullptr;
    fake_ks k;

    void SetUp() override
    {
        CoreTest::SetUp();
        std::string why;
        ds = ds389_shared(false, &why);
        if (ds == nullptr)
            GTEST_SKIP() << why;
        static bool hosts = false;
        if (!hosts) {
            ASSERT_EQ(0, ds389_add_host(*ds, "hostA", "secretA"));
            ASSERT_EQ(0, ds389_add_host(*ds, "hostB", "secretB"));
            // A host whose searches return at most two entries.
            ASSERT_EQ(0, ds389_ldif(*ds, "dn: " + ds389_host_dn("hostS") +
                                             "\nobjectClass: top\nobjectClass: person\ncn: hostS"
                                             "\nsn: hostS\nuserPassword: secretS"
                                             "\nnsSizeLimit: 2\n"));
            hosts = true;
        }
        kyrcks::configure(ds->port, "simple");
        ASSERT_EQ(0, kyrcks::keystore_up(&k, kKs, true));
    }
    void TearDown() override
    {
        if (ds != nullptr)
            kyrcks::keystore_down(*ds, &k);
        CoreTest::TearDown();
    }
    void set_server(int port)
    {
        for (int i = 0; i < mconf.nservers; ++i)
            free(mconf.servers[i].host);
        mconf.nservers = 1;
        mconf.servers[0].host = strdup("127.0.0.1");
        mconf.servers[0].port = port;
        mconf.servers[0].ssl = 0;
    }
    void as_host(const std::string &h) { kyrcks::as_host(h); }

    // One exchange of user (owner empty) or object messages, one message
    // per batch, all but the last with DBM_FLAG_MORE.  The first goes into
    // the buffer, the others are the firmware's replies to the answers.
    int exchange(uint32_t type, const std::string &owner, const std::vector<records> &batches,
                 bool ids_only, int (*task)(upcall_buf *))
    {
        fake_fw_reset();
        for (size_t i = 0; i < batches.size(); ++i) {
            std::vector<fw_rec> recs;
            for (const auto &r : batches[i])
                recs.push_back({r.first, r.second});
            uint32_t flags = i + 1 < batches.size() ? DBM_FLAG_MORE : 0;
            bool net = i > 0;
            fw_bytes m = owner.empty() && type <= DB_USER_DEL
                             ? fw_make_user_msg(type, kKs, flags, recs, ids_only, net)
                             : fw_make_obj_msg(type, kKs, flags, owner, recs, ids_only, net);
            if (i == 0)
                fw_load(k.buf, m);
            else
                fake_fw_queue_msg(m);
        }
        return task(k.buf);
    }
    // Status of every answer sent, in order.
    std::vector<int> statuses()
    {
        std::vector<int> v;
        for (size_t i = 0; i < fake_fw_count(); ++i) {
            EXPECT_EQ(uint32_t(DB_RESPONSE), fw_header(fake_fw_sent(i)).type);
            v.push_back(fw_header(fake_fw_sent(i)).status);
        }
        return v;
    }
    // The pushes sent: every record once, each push of the expected type,
    // all but the last with DBM_FLAG_MORE.  owners: the owner of each push.
    records pushes(uint32_t type, size_t *count, std::vector<std::string> *owners = nullptr)
    {
        records got;
        *count = fake_fw_count();
        for (size_t i = 0; i < fake_fw_count(); ++i) {
            const fw_bytes &m = fake_fw_sent(i);
            fw_hdr h = fw_header(m);
            EXPECT_EQ(type, h.type);
            EXPECT_EQ(i + 1 < fake_fw_count(), (h.flags & DBM_FLAG_MORE) != 0) << "push " << i;
            std::vector<fw_rec> recs;
            std::string owner;
            EXPECT_TRUE(type == DB_USER_PUSH ? fw_user_parse(m, &recs)
                                             : fw_obj_parse(m, &owner, &recs));
            if (owners != nullptr)
                owners->push_back(owner);
            for (const fw_rec &r : recs) {
                std::string key = owners != nullptr ? owner + r.id : r.id;
                EXPECT_TRUE(got.emplace(key, r.data).second) << "record twice";
            }
        }
        return got;
    }
    std::string user_dn(const std::string &uid)
    {
        char *t = bin2string(reinterpret_cast<const unsigned char *>(uid.data()), uid.size());
        std::string dn = std::string("ou=") + t + ",ou=Users," + kKsRdn;
        free(t);
        return dn;
    }
    size_t below(const std::string &dn) { return ds389_dns(*ds, dn, true).size(); }
    // The user IDs (RDN texts, upper case) in the directory, and of records.
    std::set<std::string> stored_users()
    {
        std::set<std::string> s;
        for (const std::string &dn : ds389_dns(*ds, "ou=Users," + std::string(kKsRdn), true)) {
            std::string rdn = dn.substr(0, dn.find(','));
            for (char &c : rdn)
                c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            s.insert(rdn);
        }
        return s;
    }
    static std::set<std::string> rdns(const std::map<std::string, std::string> &recs)
    {
        std::set<std::string> s;
        for (const auto &r : recs) {
            char *t = bin2string(reinterpret_cast<const unsigned char *>(r.first.data()),
                                 r.first.size());
            s.insert(std::string("OU=") + t);
            free(t);
        }
        return s;
    }
};

records users(unsigned from, unsigned n, size_t len)
{
    records r;
    for (unsigned i = from; i < from + n; ++i)
        r[fw_uid(i)] = data_of(i, len + i);
    return r;
}

records objs(unsigned from, unsigned n, size_t len)
{
    records r;
    for (unsigned i = from; i < from + n; ++i)
        r[fw_oid(0xab00 + i, i)] = data_of(i * 3, len + i);
    return r;
}

records merged(const std::vector<records> &v, const std::string &prefix = "")
{
    records all;
    for (const records &r : v)
        for (const auto &e : r)
            all[prefix + e.first] = e.second;
    return all;
}

TEST_F(CksRecords, BatchesWrittenOnOneHostReadBackOnTheOther)
{
    // Users in three batches; a user written again keeps the second data.
    std::vector<records> ub = {users(1, 4, 700), users(5, 3, 20000), users(8, 2, 3)};
    ub[2][fw_uid(1)] = data_of(99, 1234);
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", ub, false, task_user_write)) << log();
    EXPECT_EQ(std::vector<int>({0, 0, 0}), statuses());
    records all_users = merged(ub);
    EXPECT_EQ(9u, below("ou=Users," + std::string(kKsRdn)));

    // Objects of two owners; the second batch replaces an object of the
    // first and adds new ones.
    std::string o1 = fw_uid(1), o2 = fw_uid(8);
    std::vector<records> ob1 = {objs(1, 10, 3000), objs(11, 10, 4000)};
    ob1[1][fw_oid(0xab01, 1)] = data_of(77, 5);
    ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, o1, ob1, false, task_obj_write)) << log();
    EXPECT_EQ(std::vector<int>({0, 0}), statuses());
    std::vector<records> ob2 = {objs(1, 13, 2500), objs(14, 12, 2500)};
    ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, o2, ob2, false, task_obj_write)) << log();
    EXPECT_EQ(20u, below(user_dn(o1)));

    as_host("B");
    size_t n = 0;
    fake_fw_reset();
    fw_load(k.buf, fw_make_user_msg(DB_USER_READ, kKs, 0, {}, true, false));
    ASSERT_EQ(0, task_user_read(k.buf)) << log();
    EXPECT_EQ(all_users, pushes(DB_USER_PUSH, &n));
    EXPECT_EQ(2u, n);  // 4 x ~700 + 3 x ~20000 + 2 x 3 bytes: past one push

    // Chosen users, in the order asked.
    fake_fw_reset();
    fw_load(k.buf, fw_make_user_msg(DB_USER_READ, kKs, 0, {{fw_uid(9), ""}, {fw_uid(1), ""}},
                                    true, false));
    ASSERT_EQ(0, task_user_read(k.buf)) << log();
    std::vector<fw_rec> recs;
    ASSERT_TRUE(fw_user_parse(fake_fw_sent(0), &recs));
    ASSERT_EQ(2u, recs.size());
    EXPECT_EQ(fw_uid(9), recs[0].id);
    EXPECT_EQ(all_users[fw_uid(1)], recs[1].data);

    // Every object: one owner per push, each push naming it.
    records want = merged(ob1, o1);
    for (const auto &e : merged(ob2, o2))
        want[e.first] = e.second;
    fake_fw_reset();
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_READ, kKs, 0, std::string(20, '\0'), {}, true,
                                   false));
    ASSERT_EQ(0, task_obj_read(k.buf)) << log();
    std::vector<std::string> owners;
    EXPECT_EQ(want, pushes(DB_OBJECT_PUSH, &n, &owners));
    ASSERT_GE(n, 3u);  // o1's 20 objects of ~3500 bytes take two pushes
    std::set<std::string> seen;
    for (size_t i = 0; i < owners.size(); ++i) {
        if (i == 0 || owners[i] != owners[i - 1]) {
            EXPECT_TRUE(seen.insert(owners[i]).second) << "owner in two runs";
        }
    }
    EXPECT_EQ(std::set<std::string>({o1, o2}), seen);

    // One owner's objects, and chosen ones.
    fake_fw_reset();
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_READ, kKs, 0, o2, {}, true, false));
    ASSERT_EQ(0, task_obj_read(k.buf)) << log();
    owners.clear();
    EXPECT_EQ(merged(ob2, o2), pushes(DB_OBJECT_PUSH, &n, &owners));
    fake_fw_reset();
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_READ, kKs, 0, o1, {{fw_oid(0xab01, 1), ""}}, true,
                                   false));
    ASSERT_EQ(0, task_obj_read(k.buf)) << log();
    std::string named;
    ASSERT_TRUE(fw_obj_parse(fake_fw_sent(0), &named, &recs));
    EXPECT_EQ(o1, named);
    ASSERT_EQ(1u, recs.size());
    EXPECT_EQ(data_of(77, 5), recs[0].data);

    // Deletes: chosen objects, an owner's objects, users with their objects.
    EXPECT_EQ(0, exchange(DB_OBJECT_DEL, o1, {objs(1, 2, 0), objs(3, 1, 0)}, true, task_obj_del));
    EXPECT_EQ(std::vector<int>({0, 0}), statuses());
    EXPECT_EQ(17u, below(user_dn(o1)));
    EXPECT_EQ(0, exchange(DB_OBJECT_DEL, o2, {{}}, true, task_obj_del));
    EXPECT_EQ(0u, below(user_dn(o2)));
    EXPECT_EQ(1u, ds389_dns(*ds, user_dn(o2), false).size());  // the user stays
    EXPECT_EQ(0, exchange(DB_USER_DEL, "", {users(1, 1, 0), users(2, 1, 0)}, true, task_user_del));
    EXPECT_EQ(7u, below("ou=Users," + std::string(kKsRdn)));
    EXPECT_EQ(0, exchange(DB_USER_DEL, "", {{}}, true, task_user_del));  // names nobody
    EXPECT_EQ(7u, below("ou=Users," + std::string(kKsRdn)));
}

TEST_F(CksRecords, WholeKeystoreReadOnOneConnection)
{
    std::string o1 = fw_uid(1), o2 = fw_uid(2);
    records us = users(1, 2, 100);
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", {us}, false, task_user_write));
    ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, o1, {objs(1, 3, 50)}, false, task_obj_write));
    ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, o2, {objs(4, 2, 50)}, false, task_obj_write));
    as_host("B");
    size_t connects = kyrtest::count_of(log(), "Attempting LDAP connection");
    fake_fw_reset();
    // The firmware's owner field is not the read's: every object is sent.
    fw_load(k.buf, fw_make_obj_msg(DB_READ, kKs, 0, o2, {}, true, false));
    ASSERT_EQ(0, task_db_read(k.buf)) << log();
    EXPECT_EQ(connects + 1, kyrtest::count_of(log(), "Attempting LDAP connection"));
    // One user push, one object push per owner, the current and the old log.
    ASSERT_EQ(5u, fake_fw_count());
    std::vector<fw_rec> recs;
    ASSERT_TRUE(fw_user_parse(fake_fw_sent(0), &recs));
    EXPECT_EQ(0u, fw_header(fake_fw_sent(0)).flags);
    records got;
    for (const fw_rec &r : recs)
        got[r.id] = r.data;
    EXPECT_EQ(us, got);
    records want = merged({objs(1, 3, 50)}, o1), objects;
    for (const auto &e : merged({objs(4, 2, 50)}, o2))
        want[e.first] = e.second;
    for (size_t i = 1; i < 3; ++i) {
        std::string owner;
        ASSERT_TRUE(fw_obj_parse(fake_fw_sent(i), &owner, &recs));
        EXPECT_EQ(uint32_t(DB_OBJECT_PUSH), fw_header(fake_fw_sent(i)).type);
        EXPECT_EQ(i == 1 ? DBM_FLAG_MORE : 0u, fw_header(fake_fw_sent(i)).flags);
        EXPECT_EQ(i == 1 ? o1 : o2, owner);
        for (const fw_rec &r : recs)
            objects[owner + r.id] = r.data;
    }
    EXPECT_EQ(want, objects);
    for (size_t i = 3; i < 5; ++i) {
        fw_hdr h = fw_header(fake_fw_sent(i));
        EXPECT_EQ(uint32_t(DB_LOG_PUSH), h.type);
        EXPECT_EQ(i == 3 ? 0u : DBM_FLAG_OLD_LOG, h.flags);
        EXPECT_EQ(0u, fw_be32(fake_fw_sent(i), DBM_NOBJS_OFF));
        EXPECT_EQ(kKs, fw_name(fake_fw_sent(i), DBM_KSNAME_OFF));
    }
}

TEST_F(CksRecords, PushesSplitExactlyAtTheRoom)
{
    std::string owner = fw_uid(3);
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", {users(3, 1, 1)}, false, task_user_write));
    // Two objects that fill one push to its last byte.
    const size_t room = DBM_MAX_MSG - DBM_OBJS_OFF - 2 * DBM_OBJ_HEAD;
    records two = {{fw_oid(1, 1), data_of(1, room / 2)}, {fw_oid(1, 2), data_of(2, room - room / 2)}};
    ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, owner, {two}, false, task_obj_write)) << log();
    size_t n = 0;
    for (int extra = 0; extra < 2; ++extra) {
        fake_fw_reset();
        fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_READ, kKs, 0, owner, {}, true, false));
        ASSERT_EQ(0, task_obj_read(k.buf)) << log();
        std::vector<std::string> owners;
        EXPECT_EQ(merged({two}, owner), pushes(DB_OBJECT_PUSH, &n, &owners));
        EXPECT_EQ(extra == 0 ? 1u : 2u, n) << "room + " << extra;
        if (extra == 0) {
            EXPECT_EQ(DBM_MAX_MSG, fw_header(fake_fw_sent(0)).paramSize);
            two[fw_oid(1, 2)] += 'x';  // one byte more
            records one = {*two.find(fw_oid(1, 2))};
            ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, owner, {one}, false, task_obj_write));
        }
    }
    // The largest value a push carries is read; a user value one byte
    // longer, stored by someone else, ends the read instead of pushing
    // empty messages for ever.
    std::string big = data_of(5, DBM_MAX_USER_DATA);
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", {{{fw_uid(4), big}}}, false, task_user_write));
    LDAP *root = ds389_root(*ds);
    ASSERT_NE(nullptr, root);
    std::string toolong = big + "y";
    berval v = {static_cast<ber_len_t>(toolong.size()), &toolong[0]};
    berval *vals[] = {&v, nullptr};
    LDAPMod m;
    memset(&m, 0, sizeof(m));
    m.mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
    m.mod_type = const_cast<char *>(CKS_DATA_ATTR);
    m.mod_bvalues = vals;
    LDAPMod *mods[] = {&m, nullptr};
    ASSERT_EQ(0, ldap_modify_ext_s(root, user_dn(fw_uid(4)).c_str(), mods, nullptr, nullptr));
    ldap_unbind_ext_s(root, nullptr, nullptr);
    fake_fw_reset();
    fw_load(k.buf, fw_make_user_msg(DB_USER_READ, kKs, 0, {}, true, false));
    EXPECT_EQ(EINVAL, task_user_read(k.buf));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_NE(std::string::npos, log().find("more than a push holds"));
}

TEST_F(CksRecords, AllZeroOwnerHasPushesOfItsOwn)
{
    // An all-zero user ID sorts first, and its objects arrive while the
    // push still names the all-zero owner: they must still be sent before
    // the next owner's, not under its ID.
    std::string zero(DBM_USER_ID_LEN, '\0'), one = fw_uid(1);
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", {{{zero, "z"}, {one, "o"}}}, false, task_user_write));
    ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, zero, {objs(1, 2, 10)}, false, task_obj_write));
    ASSERT_EQ(0, exchange(DB_OBJECT_WRITE, one, {objs(3, 2, 10)}, false, task_obj_write));
    fake_fw_reset();
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_READ, kKs, 0, zero, {}, true, false));
    ASSERT_EQ(0, task_obj_read(k.buf)) << log();
    size_t n = 0;
    std::vector<std::string> owners;
    records want = merged({objs(1, 2, 10)}, zero);
    for (const auto &e : merged({objs(3, 2, 10)}, one))
        want[e.first] = e.second;
    EXPECT_EQ(want, pushes(DB_OBJECT_PUSH, &n, &owners));
    EXPECT_EQ(std::vector<std::string>({zero, one}), owners);
}

TEST_F(CksRecords, DirectoryFailuresEndTheExchangeWithTheirCode)
{
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", {users(1, 1, 10)}, false, task_user_write));
    // The second batch names an owner without a user entry: the first
    // batch stays stored, the second is not answered with status 0.
    std::string o1 = fw_uid(1);
    fake_fw_reset();
    std::vector<fw_rec> r1 = {{fw_oid(1, 1), "a"}, {fw_oid(1, 2), "b"}};
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_WRITE, kKs, DBM_FLAG_MORE, o1, r1, false, false));
    fake_fw_queue_msg(fw_make_obj_msg(DB_OBJECT_WRITE, kKs, 0, fw_uid(2), {{fw_oid(1, 3), "c"}},
                                      false, true));
    EXPECT_EQ(LDAP_NO_SUCH_OBJECT, task_obj_write(k.buf));
    EXPECT_EQ(std::vector<int>({0}), statuses());
    EXPECT_EQ(2u, below(user_dn(o1)));
    EXPECT_NE(std::string::npos, log().find("Object creation for DN"));

    // Deleting a user that is not there, after one that is: refused.
    EXPECT_EQ(0, exchange(DB_USER_WRITE, "", {users(5, 1, 10)}, false, task_user_write));
    EXPECT_EQ(LDAP_NO_SUCH_OBJECT,
              exchange(DB_USER_DEL, "", {users(5, 1, 0), users(6, 1, 0)}, true, task_user_del));
    EXPECT_EQ(std::vector<int>({0}), statuses());
    EXPECT_EQ(1u, below("ou=Users," + std::string(kKsRdn)));

    // A host whose searches stop at two entries gets the size limit as a
    // failure, never two of three objects as the whole answer.
    as_host("S");
    fake_fw_reset();
    r1.push_back({fw_oid(1, 3), "c"});
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_WRITE, kKs, 0, o1, r1, false, false));
    ASSERT_EQ(0, task_obj_write(k.buf)) << log();
    fake_fw_reset();
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_READ, kKs, 0, o1, {}, true, false));
    EXPECT_EQ(LDAP_SIZELIMIT_EXCEEDED, task_obj_read(k.buf));
    EXPECT_EQ(0u, fake_fw_count());
    fw_load(k.buf, fw_make_obj_msg(DB_OBJECT_READ, kKs, 0, std::string(20, '\0'), {}, true,
                                   false));
    EXPECT_EQ(LDAP_SIZELIMIT_EXCEEDED, task_obj_read(k.buf));
    EXPECT_EQ(0u, fake_fw_count());
}

TEST_F(CksRecords, HostileMessagesAndEntriesAreRefused)
{
    // A second record whose length passes the end of the message: the
    // whole message is refused before its first record is stored.
    fw_bytes m = fw_make_user_msg(DB_USER_WRITE, kKs, 0, {{fw_uid(1), "one"}, {fw_uid(2), "two"}},
                                  false, false);
    size_t second = DBM_USERS_OFF + DBM_USER_HEAD + 3;
    uint32_t huge = 0x7ffffff0;
    memcpy(&m[second + DBM_USER_ID_LEN], &huge, 4);
    fake_fw_reset();
    fw_load(k.buf, m);
    EXPECT_EQ(EINVAL, task_user_write(k.buf));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_TRUE(stored_users().empty());

    // A user entry whose RDN is an object ID's length: refused, not pushed
    // as a user ID of 8 bytes and 12 stale ones.
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", {users(1, 1, 10)}, false, task_user_write));
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: ou=0123456789ABCDEF,ou=Users," + std::string(kKsRdn) +
                                     "\nobjectClass: top\nobjectClass: organizationalUnit"
                                     "\nobjectClass: orvcksnode\nou: 0123456789ABCDEF"
                                     "\norvcksdata: short\n"));
    fake_fw_reset();
    fw_load(k.buf, fw_make_user_msg(DB_USER_READ, kKs, 0, {}, true, false));
    EXPECT_EQ(EINVAL, task_user_read(k.buf));
    EXPECT_EQ(0u, fake_fw_count());
}

TEST_F(CksRecords, ReferralAmongTheEntriesIsAFailure)
{
    // A referral below the users node: the server answers the search as a
    // success with the entries it holds and a reference for the rest.  The
    // read must fail, never answer the entries it got as the whole list.
    ASSERT_EQ(0, exchange(DB_USER_WRITE, "", {users(1, 1, 10), users(2, 1, 10)}, false,
                          task_user_write));
    std::string ref = "ou=Elsewhere,ou=Users," + std::string(kKsRdn);
    ASSERT_EQ(0, ds389_ldif(*ds, "dn: " + ref +
                                     "\nobjectClass: top\nobjectClass: referral"
                                     "\nobjectClass: extensibleObject\nou: Elsewhere"
                                     "\nref: ldap://127.0.0.1:1/ou=Users,o=elsewhere\n"));
    fake_fw_reset();
    fw_load(k.buf, fw_make_user_msg(DB_USER_READ, kKs, 0, {}, true, false));
    EXPECT_EQ(LDAP_REFERRAL, task_user_read(k.buf));
    EXPECT_EQ(0u, fake_fw_count());
    EXPECT_NE(std::string::npos, log().find("referral")) << log();

    // The referral itself is only removed with the directory's own control.
    LDAP *root = ds389_root(*ds);
    ASSERT_NE(nullptr, root);
    LDAPControl manage = {const_cast<char *>(LDAP_CONTROL_MANAGEDSAIT), {0, nullptr}, 1};
    LDAPControl *ctrls[] = {&manage, nullptr};
    EXPECT_EQ(LDAP_SUCCESS, ldap_delete_ext_s(root, ref.c_str(), ctrls, nullptr));
    ldap_unbind_ext_s(root, nullptr, nullptr);
    fake_fw_reset();
    fw_load(k.buf, fw_make_user_msg(DB_USER_READ, kKs, 0, {}, true, false));
    EXPECT_EQ(0, task_user_read(k.buf));
}

TEST_F(CksRecords, ServerResetAfterTheFirstBatch)
{
    // As in the daemon, a write to a reset connection is an error, not a
    // signal.
    signal(SIGPIPE, SIG_IGN);
    tcp_proxy *p = nullptr;
    ASSERT_EQ(0, tcp_proxy_start(ds->port, PROXY_FORWARD, &p));
    set_server(tcp_proxy_port(p));
    // The directory goes away once the first batch has been answered.
    fake_fw_set_hook([&](size_t i, const fw_bytes &) {
        if (i == 0)
            tcp_proxy_cut(p);
    });
    std::vector<records> ub = {users(1, 3, 100), users(4, 3, 100), users(7, 3, 100)};
    int ret = exchange(DB_USER_WRITE, "", ub, false, task_user_write);
    fake_fw_set_hook(nullptr);
    EXPECT_EQ(CKS_SERVER_DOWN, ret) << log();
    EXPECT_EQ(std::vector<int>({0}), statuses());
    tcp_proxy_stop(p);
    EXPECT_EQ(rdns(ub[0]), stored_users());
}

}  // namespace
