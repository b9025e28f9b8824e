// Keystore files: chunked reads, replacing/appending/no-overwrite writes,
// deletes, and the refusal of names and sizes that do not fit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <string>
#include <vector>

#include "fake_fw.h"

namespace {

class FileOps : public ::testing::Test {
protected:
    void SetUp() override
    {
        kyrkiod_disable_syslog = 1;
        ASSERT_EQ(fake_ks_init(&ks_, "files.host.{1}", DBM_KS_LOCAL), 0);
        fake_fw_install();
    }
    void TearDown() override
    {
        fake_fw_uninstall();
        fake_ks_fini(&ks_);
    }
    std::string path(const std::string &name) const { return ks_.dir + "/" + name; }
    int read(uint32_t type, const std::string &name)
    {
        fw_load(ks_.buf, fw_make_file_msg(type, name, 0, 0, "", false));
        return task_file_read(ks_.buf);
    }
    int write(const std::string &name, uint32_t flags, const std::string &data, uint32_t total)
    {
        fw_load(ks_.buf, fw_make_file_msg(DB_FILE_WRITE, name, flags, total, data, false));
        return task_file_write(ks_.buf);
    }
    std::string chunk(size_t i) const
    {
        const fw_bytes &m = fake_fw_sent(i);
        fw_hdr h = fw_header(m);
        return std::string(m.begin() + DBM_FILE_DATA_OFF, m.begin() + h.paramSize);
    }
    // Only the data files the test made: no temporary file may remain.
    void expect_files(std::vector<std::string> names)
    {
        std::sort(names.begin(), names.end());
        EXPECT_EQ(fw_list_dir(ks_.dir), names);
    }

    fake_ks ks_;
};

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + (i * 7) % 26);
    return s;
}

TEST_F(FileOps, AFileOfOneChunkIsOnePushWithoutMore)
{
    std::string data = pattern(DBM_FILE_CHUNK);
    ASSERT_TRUE(fw_write_file(path("ks.conf"), data));
    ASSERT_EQ(read(DB_FILE_READ, "ks.conf"), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    fw_hdr h = fw_header(fake_fw_sent(0));
    EXPECT_EQ(h.type, DB_FILE_PUSH);
    EXPECT_EQ(h.flags & DBM_FLAG_MORE, 0u);
    EXPECT_EQ(h.paramSize, DBM_MAX_MSG);
    EXPECT_EQ(fw_be32(fake_fw_sent(0), DBM_FILESIZE_OFF), DBM_FILE_CHUNK);
    EXPECT_EQ(chunk(0), data);
}

TEST_F(FileOps, OneByteMoreTakesASecondPush)
{
    std::string data = pattern(DBM_FILE_CHUNK + 1);
    ASSERT_TRUE(fw_write_file(path("ks.conf"), data));
    ASSERT_EQ(read(DB_CONFIG_READ, "ks.conf"), 0);
    ASSERT_EQ(fake_fw_count(), 2u);
    fw_hdr first = fw_header(fake_fw_sent(0));
    fw_hdr second = fw_header(fake_fw_sent(1));
    EXPECT_EQ(first.type, DB_CONFIG_PUSH);
    EXPECT_EQ(second.type, DB_CONFIG_PUSH);
    EXPECT_NE(first.flags & DBM_FLAG_MORE, 0u);
    EXPECT_EQ(second.flags & DBM_FLAG_MORE, 0u);
    EXPECT_EQ(second.paramSize, DBM_FILE_DATA_OFF + 1);
    EXPECT_EQ(fw_be32(fake_fw_sent(1), DBM_FILESIZE_OFF), DBM_FILE_CHUNK + 1u);
    EXPECT_EQ(chunk(0) + chunk(1), data);
}

TEST_F(FileOps, ReadFailuresAreReported)
{
    EXPECT_EQ(read(DB_FILE_READ, "missing"), ENOENT);
    ASSERT_TRUE(fw_write_file(path("a"), "abc"));
    fake_fw_queue_refuse(28);
    EXPECT_EQ(read(DB_FILE_READ, "a"), 28);
    // An empty file is one empty push, as an empty record read.
    fake_fw_reset();
    ASSERT_TRUE(fw_write_file(path("empty"), ""));
    EXPECT_EQ(read(DB_FILE_READ, "empty"), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).type, DB_FILE_PUSH);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).paramSize, DBM_FILE_DATA_OFF);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).flags & DBM_FLAG_MORE, 0u);
}

TEST_F(FileOps, AThreePartReplacingWriteKeepsTheOldFileUntilTheEnd)
{
    ASSERT_TRUE(fw_write_file(path("ks.conf"), "old contents"));
    std::string p1 = pattern(DBM_FILE_CHUNK), p2 = pattern(100), p3 = "tail";
    uint32_t total = static_cast<uint32_t>(p1.size() + p2.size() + p3.size());
    fake_fw_queue_msg(fw_make_file_msg(DB_FILE_WRITE, "ks.conf", DBM_FLAG_MORE, total, p2, true));
    fake_fw_queue_msg(fw_make_file_msg(DB_FILE_WRITE, "ks.conf", 0, total, p3, true));
    std::vector<std::string> seen;
    fake_fw_set_hook([&](size_t, const fw_bytes &) { seen.push_back(fw_read_file(path("ks.conf"))); });
    ASSERT_EQ(write("ks.conf", DBM_FLAG_MORE, p1, total), 0);
    fake_fw_set_hook(nullptr);
    // The last part is answered once the new file is in place.
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], "old contents");
    EXPECT_EQ(seen[1], "old contents");
    EXPECT_EQ(seen[2], p1 + p2 + p3);
    EXPECT_EQ(fw_read_file(path("ks.conf")), p1 + p2 + p3);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(fw_header(fake_fw_sent(i)).type, DB_RESPONSE);
        EXPECT_EQ(fw_header(fake_fw_sent(i)).status, 0);
    }
    expect_files({"ks.conf"});
}

TEST_F(FileOps, TheLastPartIsAnsweredOnlyWithTheFileInPlace)
{
    // A file made while a no-overwrite write runs is not replaced, and the
    // last part is answered with the refusal alone.
    fake_fw_queue_msg(fw_make_file_msg(DB_FILE_WRITE, "new.cfg", DBM_FLAG_NO_OVERWRITE, 6, "def",
                                       true));
    fake_fw_set_hook([&](size_t i, const fw_bytes &) {
        if (i == 0)
            fw_write_file(path("new.cfg"), "made meanwhile");
    });
    EXPECT_EQ(write("new.cfg", DBM_FLAG_MORE | DBM_FLAG_NO_OVERWRITE, "abc", 6), EEXIST);
    fake_fw_set_hook(nullptr);
    EXPECT_EQ(fw_read_file(path("new.cfg")), "made meanwhile");
    EXPECT_EQ(fake_fw_count(), 1u);

    // A replacing write whose rename fails: only the dispatcher's failure
    // answer follows the first part's.
    fake_fw_reset();
    fake_fw_queue_msg(fw_make_file_msg(DB_FILE_WRITE, "spot", 0, 6, "def", true));
    fake_fw_set_hook([&](size_t i, const fw_bytes &) {
        if (i == 0)
            mkdir(path("spot").c_str(), 0700);
    });
    int st = write("spot", DBM_FLAG_MORE, "abc", 6);
    fake_fw_set_hook(nullptr);
    EXPECT_NE(0, st);
    EXPECT_NE(ECANCELED, st);
    EXPECT_EQ(fake_fw_count(), 1u);
    expect_files({"new.cfg", "spot"});
}

TEST_F(FileOps, ABrokenOffExchangeLeavesTheOldFile)
{
    ASSERT_TRUE(fw_write_file(path("ks.conf"), "old"));
    fake_fw_queue_errno(EIO);
    EXPECT_EQ(write("ks.conf", DBM_FLAG_MORE, "new", 6), ECANCELED);
    EXPECT_EQ(fw_read_file(path("ks.conf")), "old");
    expect_files({"ks.conf"});

    // A second part with a length past the message.
    fw_bytes bad = fw_make_file_msg(DB_FILE_WRITE, "ks.conf", 0, 6, "new", true);
    bad[24] = 0x7f;
    fake_fw_reset();
    fake_fw_queue_msg(bad);
    EXPECT_NE(write("ks.conf", DBM_FLAG_MORE, "new", 6), 0);
    EXPECT_EQ(fw_read_file(path("ks.conf")), "old");
    expect_files({"ks.conf"});
}

TEST_F(FileOps, PartSizesOutsideTheMessageAreRefused)
{
    ASSERT_TRUE(fw_write_file(path("ks.conf"), "old"));
    for (int32_t ps : {0, 95, DBM_MAX_MSG + 1, -5}) {
        for (uint32_t flags : {0u, DBM_FLAG_APPEND}) {
            fw_load(ks_.buf, fw_make_file_msg(DB_FILE_WRITE, "ks.conf", flags, 3, "new", false));
            msg_hdr(ks_.buf->msg)->paramSize = ps;
            EXPECT_EQ(task_file_write(ks_.buf), EINVAL) << ps;
        }
    }
    EXPECT_EQ(fake_fw_count(), 0u);
    EXPECT_EQ(fw_read_file(path("ks.conf")), "old");
    expect_files({"ks.conf"});
    // An empty part is still answered.
    ASSERT_EQ(write("ks.conf", 0, "", 0), 0);
    EXPECT_EQ(fake_fw_count(), 1u);
    EXPECT_EQ(fw_read_file(path("ks.conf")), "");
}

TEST_F(FileOps, AppendAndNoOverwriteModes)
{
    ASSERT_TRUE(fw_write_file(path("log"), "abc"));
    EXPECT_EQ(write("log", DBM_FLAG_APPEND | DBM_FLAG_NO_OVERWRITE, "def", 6), 0);
    EXPECT_EQ(fw_read_file(path("log")), "abcdef");
    EXPECT_EQ(write("log", DBM_FLAG_NO_OVERWRITE, "xyz", 3), EEXIST);
    EXPECT_EQ(fw_read_file(path("log")), "abcdef");
    EXPECT_EQ(write("fresh", DBM_FLAG_NO_OVERWRITE, "xyz", 3), 0);
    EXPECT_EQ(fw_read_file(path("fresh")), "xyz");
    EXPECT_EQ(write("new-append", DBM_FLAG_APPEND, "1", 1), 0);
    EXPECT_EQ(fw_read_file(path("new-append")), "1");
    expect_files({"fresh", "log", "new-append"});
}

TEST_F(FileOps, NamesOutsideTheKeystoreDirectoryAreRefused)
{
    std::string inner = ks_.dir + "/inner";
    ASSERT_EQ(mkdir(inner.c_str(), 0700), 0);
    ks_.buf->ksdir = inner.c_str();
    ASSERT_TRUE(fw_write_file(ks_.dir + "/victim", "keep"));
    for (const std::string &name : {std::string(""), std::string("../victim"), std::string("/etc/passwd"),
                                    std::string("a/../../victim"), std::string("..")}) {
        EXPECT_EQ(read(DB_FILE_READ, name), EINVAL) << name;
        EXPECT_EQ(write(name, 0, "x", 1), EINVAL) << name;
        EXPECT_EQ(write(name, DBM_FLAG_APPEND, "x", 1), EINVAL) << name;
        fw_load(ks_.buf, fw_make_file_msg(DB_FILE_DEL, name, 0, 0, "", false));
        EXPECT_EQ(task_file_del(ks_.buf), EINVAL) << name;
    }
    EXPECT_EQ(fake_fw_count(), 0u);
    EXPECT_EQ(fw_read_file(ks_.dir + "/victim"), "keep");
    EXPECT_TRUE(fw_list_dir(inner).empty());
    // Names with dots that stay inside work as given.
    EXPECT_EQ(write("..hidden", 0, "h", 1), 0);
    EXPECT_EQ(fw_read_file(inner + "/..hidden"), "h");
}

// A file of the keystore directory hard-linked to one elsewhere is refused
// for reading and appending: its contents never reach the firmware and the
// other file is never written through it.  Replacing it puts a new file in
// place of the link and leaves the other file alone.
TEST_F(FileOps, AHardLinkedFileIsNeitherReadNorAppendedTo)
{
    char tmpl[] = "/tmp/kyr_linked.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string outside = std::string(tmpl) + "/secret";
    ASSERT_TRUE(fw_write_file(outside, "secret"));
    if (link(outside.c_str(), path("linked").c_str()) != 0)
        GTEST_SKIP() << "no hard link from " << tmpl << " to " << ks_.dir;
    EXPECT_EQ(read(DB_FILE_READ, "linked"), EINVAL);
    EXPECT_EQ(write("linked", DBM_FLAG_APPEND, "more", 4), EINVAL);
    EXPECT_EQ(fake_fw_count(), 0u);
    EXPECT_EQ(fw_read_file(outside), "secret");
    EXPECT_EQ(write("linked", 0, "new", 3), 0);
    EXPECT_EQ(fw_read_file(path("linked")), "new");
    EXPECT_EQ(fw_read_file(outside), "secret");
    unlink(outside.c_str());
    rmdir(tmpl);
}

TEST_F(FileOps, DeleteRemovesOrReportsAMissingFile)
{
    ASSERT_TRUE(fw_write_file(path("gone"), "x"));
    fw_load(ks_.buf, fw_make_file_msg(DB_FILE_DEL, "gone", 0, 0, "", false));
    EXPECT_EQ(task_file_del(ks_.buf), 0);
    ASSERT_EQ(fake_fw_count(), 1u);
    EXPECT_EQ(fw_header(fake_fw_sent(0)).type, DB_RESPONSE);
    expect_files({});
    fw_load(ks_.buf, fw_make_file_msg(DB_FILE_DEL, "gone", 0, 0, "", false));
    EXPECT_EQ(task_file_del(ks_.buf), ENOENT);
}

}  // namespace
