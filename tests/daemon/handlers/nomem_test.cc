// Allocation failure on the archive upcalls: with every throwing allocation
// refused, a keystore is archived, removed and restored from its archive,
// each upcall answered; no exception leaves a handler (one would end the
// daemon).
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fail_new.h"
#include "fake_fw.h"
#include "localks/localks.h"

namespace {

// The card accepting every submission, without allocating: a DB_RESPONSE of
// status 0 in network order.  Counts the submissions.
int g_answers = 0;

void put_be32(unsigned char *m, size_t off, uint32_t v)
{
    v = htonl(v);
    memcpy(m + off, &v, sizeof(v));
}

int accept_ioctl(int, unsigned long, void *arg)
{
    unsigned char *m = static_cast<unsigned char *>(arg);
    put_be32(m, 0, DB_RESPONSE);
    put_be32(m, 12, 0);
    put_be32(m, 16, 0);
    put_be32(m, 20, DBM_MAX_MSG);
    put_be32(m, 24, DBM_PARAM_SIZE);
    g_answers++;
    return 0;
}

TEST(ArchiveNoMem, ArchiveAndRestoreAnswerWithoutAllocating)
{
    kyrkiod_disable_syslog = 1;
    fake_ks k;
    ASSERT_EQ(0, fake_ks_init(&k, "archive.host.{5}", DBM_KS_LOCAL));
    fw_load(k.buf, fw_make_ks_msg(DB_INIT, k.name, DBM_KS_LOCAL, false));
    ASSERT_EQ(0, localks_db_make(k.buf));
    ASSERT_TRUE(fw_write_file(k.dir + "/" + k.name + ".conf", "config"));
    const fw_bytes archive_msg = fw_make_ks_msg(DB_ARCHIVE, k.name, 0, false);
    const fw_bytes unarchive_msg = fw_make_ks_msg(DB_UNARCHIVE, k.name + ".tar", 0, false);
    const std::string conf = k.dir + "/" + k.name + ".conf";

    qelkiod_ioctl_fn saved = qelkiod_ioctl;
    qelkiod_ioctl = accept_ioctl;
    g_answers = 0;
    int archived = -1, removed = -1, restored = -1;
    {
        fail_new::scope nomem;
        fw_load(k.buf, archive_msg);
        archived = task_db_archive(k.buf);
        if (archived == 0)
            removed = localks_del_keystore(k.dir.c_str(), k.name.c_str());
        if (removed == 0) {
            fw_load(k.buf, unarchive_msg);
            restored = task_db_unarchive(k.buf);
        }
    }
    qelkiod_ioctl = saved;
    EXPECT_EQ(0, archived);
    EXPECT_EQ(0, removed);
    EXPECT_EQ(0, restored);
    EXPECT_EQ(2, g_answers);
    EXPECT_EQ("config", fw_read_file(conf));
    EXPECT_EQ(0, access((k.dir + "/" + k.name + "/user.db").c_str(), F_OK));
    EXPECT_NE(0, access((k.dir + "/" + k.name + ".tar").c_str(), F_OK));
    fake_ks_fini(&k);
}

}  // namespace
