// The dispatch path: one session of a service thread, as its loop runs it
// (offer DB_STANDBY through submit_message, dispatch what comes back with
// qelkiod_task, again), against the in-process firmware of tests/support
// on a keystore directory restored from a template before every input.
//
// Input: one byte choosing the thread (bits 0-1: 0 and 3 a local keystore
// thread, 1 a centralized one, 2 the control thread), then items of the
// firmware's side, each [kind][length, 2 bytes big-endian][length bytes]:
//   kind % 4 == 0  a message (network order): an upcall when it answers a
//                  DB_STANDBY, else the firmware's reply to what the daemon
//                  submitted (e.g. the next part of a multi-part write);
//   kind % 4 == 1  a refusal: DB_RESPONSE with the status in the first four
//                  bytes (big-endian);
//   kind % 4 == 2  the device call fails with the errno in the first byte;
//   kind % 4 == 3  an acceptance.
// They answer the daemon's submissions in order; once they are used up the
// session ends (the firmware accepts anything still submitted).
//
// The control thread's DB_INIT is run as the dispatcher runs it, except
// that no keystore thread is started for the new keystore.
//
// Checked:
//  - every message the daemon submits is well formed: a type the daemon
//    sends, extent 61423, paramSize 412 for standby, hello and responses,
//    and for pushes a paramSize within the message that the records (or
//    the file part) fill exactly;
//  - nothing outside the keystore directory is read, written or created:
//    the keystore directory lies three levels below the sandbox, and
//    inotify watches every level above it and the decoy keystores there
//    (each level holds two decoy keystores, their .conf files and a stray
//    file; the template sits at the top level); any event there except
//    opening or listing the keystore directory itself fails the input;
//  - when the session ends, every descriptor the daemon opened is closed
//    and no temporary file of a replacing write is left behind.  (The working
//    directory stays where it was, for libFuzzer's relative paths; the
//    daemon names every file by its absolute keystore directory.)
#include <fcntl.h>
#include <ftw.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../cks/cks.h"
#include "../localks/localks.h"
#include "fake_fw.h"
#include "fuzz_daemon.h"

namespace {

const char *const kKsName = "fz.host.{1}";
const char *const kOtherName = "two.host.{2}";
constexpr int kMaxUpcalls = 32;

std::string sandbox;     // watched levels: sandbox, sandbox/a, sandbox/a/b
std::string ksdir;       // sandbox/a/b/keydata
std::string templ;       // sandbox/template (not watched)
int inotify_fd = -1;
int parent_wd = -1;      // the watch on the keystore directory's parent
upcall_buf *buf;
kstinfo *self_local, *self_ldap, *self_control;

[[noreturn]] void die(const char *what)
{
    fprintf(stderr, "dispatch_fuzz: %s: %s\n", what, strerror(errno));
    abort();
}

int rm_entry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void remove_tree(const std::string &dir)
{
    nftw(dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_file(const std::string &path, const std::string &data)
{
    if (!fw_write_file(path, data))
        die(path.c_str());
}

// Copies a tree of directories and regular files.
void copy_tree(const std::string &from, const std::string &to)
{
    if (mkdir(to.c_str(), 0700) != 0 && errno != EEXIST)
        die(to.c_str());
    DIR *d = opendir(from.c_str());
    if (d == nullptr)
        die(from.c_str());
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string src = from + "/" + e->d_name, dst = to + "/" + e->d_name;
        struct stat st;
        if (lstat(src.c_str(), &st) != 0)
            die(src.c_str());
        if (S_ISDIR(st.st_mode)) {
            copy_tree(src, dst);
            continue;
        }
        int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
        int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (in < 0 || out < 0)
            die(src.c_str());
        char chunk[65536];
        ssize_t n;
        while ((n = read(in, chunk, sizeof(chunk))) > 0)
            if (write(out, chunk, static_cast<size_t>(n)) != n)
                die(dst.c_str());
        close(in);
        close(out);
    }
    closedir(d);
}

// Runs one handler on the template as a local keystore thread would.
void template_step(int (*fn)(upcall_buf *), const fw_bytes &host)
{
    fw_load(buf, host);
    int rc = fn(buf);
    if (rc != 0) {
        fprintf(stderr, "dispatch_fuzz: template step for type %u failed: %d\n",
                fw_header(host).type, rc);
        abort();
    }
}

// The template: two local keystores with users, objects, an audit log and
// a configuration file, a stray file and a keystore file in a
// sub-directory.
void make_template()
{
    buf->ksdir = templ.c_str();
    if (mkdir(templ.c_str(), 0700) != 0)
        die(templ.c_str());
    for (const char *name : {kKsName, kOtherName}) {
        // Each keystore is filled by its own thread.
        kstinfo *own = create_kstinfo(name, DBM_KS_LOCAL);
        if (own == nullptr)
            die("kstinfo");
        pthread_setspecific(ptconfkey, own);
        template_step(localks_db_make, fw_make_ks_msg(DB_INIT, name, DBM_KS_LOCAL, false));
        std::vector<fw_rec> users = {{fw_uid(1), "user one"}, {fw_uid(2), std::string(300, 'u')}};
        template_step(task_user_write, fw_make_user_msg(DB_USER_WRITE, name, 0, users, false, false));
        std::vector<fw_rec> objs = {{fw_oid(1, 1), "object"}, {fw_oid(1, 2), std::string(70, 'o')}};
        template_step(task_obj_write, fw_make_obj_msg(DB_OBJECT_WRITE, name, 0, fw_uid(1), objs,
                                                      false, false));
        std::vector<fw_rec> log = {{fw_oid(0, 1), std::string(40, 'l')},
                                   {fw_oid(0, 2), std::string(48, 'm')}};
        template_step(task_log_write, fw_make_obj_msg(DB_LOG_WRITE, name, 0, fw_uid(1), log,
                                                      false, false));
        std::string conf = std::string(name) + ".conf";
        template_step(task_file_write, fw_make_file_msg(DB_FILE_WRITE, conf, 0, 10, "config 01\n",
                                                        false));
        pthread_setspecific(ptconfkey, nullptr);
        free_kstinfo(own);
    }
    write_file(templ + "/stray.dat", "stray");
    if (mkdir((templ + "/sub").c_str(), 0700) != 0)
        die("sub");
    write_file(templ + "/sub/file.dat", "sub file");
    pthread_setspecific(ptconfkey, nullptr);
}

// A decoy keystore and .conf file on one level above the keystore
// directory: what a path that climbs out would find.
void make_decoys(const std::string &dir)
{
    for (const char *name : {kKsName, kOtherName}) {
        copy_tree(templ + "/" + name, dir + "/" + name);
        write_file(dir + "/" + name + ".conf", "decoy\n");
    }
    write_file(dir + "/stray.dat", "decoy\n");
}

int watch(const std::string &dir)
{
    int wd = inotify_add_watch(inotify_fd, dir.c_str(), IN_ALL_EVENTS | IN_EXCL_UNLINK);
    if (wd < 0)
        die(dir.c_str());
    return wd;
}

// A level above the keystore directory and the decoy keystores in it (an
// event names only the direct entries of a watched directory).
int watch_level(const std::string &dir)
{
    for (const char *name : {kKsName, kOtherName})
        watch(dir + "/" + name);
    return watch(dir);
}

// Reads the pending events; reports (when asked) and counts those that
// are not the keystore directory being opened or listed.
int drain_events(bool report)
{
    int bad = 0;
    alignas(struct inotify_event) char evbuf[16384];
    for (;;) {
        ssize_t n = read(inotify_fd, evbuf, sizeof(evbuf));
        if (n <= 0)
            break;
        for (char *p = evbuf; p < evbuf + n;) {
            const struct inotify_event *ev = reinterpret_cast<const struct inotify_event *>(p);
            p += sizeof(*ev) + ev->len;
            const char *name = ev->len > 0 ? ev->name : "";
            bool harmless = ev->wd == parent_wd && strcmp(name, "keydata") == 0 &&
                            (ev->mask & ~(IN_OPEN | IN_ACCESS | IN_CLOSE_NOWRITE | IN_ISDIR)) == 0;
            if (ev->mask & IN_IGNORED)
                harmless = false;
            if (harmless)
                continue;
            bad++;
            if (report)
                fprintf(stderr, "dispatch_fuzz: outside the keystore directory: watch %d name '%s' "
                                "mask 0x%x\n", ev->wd, name, ev->mask);
        }
    }
    return bad;
}

int proc_entries(const char *dir)
{
    int n = 0;
    if (DIR *d = opendir(dir)) {
        while (struct dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

int open_descriptors() { return proc_entries("/proc/self/fd"); }

// A keystore thread started by the session (DB_JOIN) ends at once, having
// no control device; it must have ended and been joined before the leak
// check that follows the input.
void join_started_threads(int threads)
{
    for (int i = 0; i < 20000 && proc_entries("/proc/self/task") > threads; i++)
        usleep(100);
    FUZZ_CHECK(proc_entries("/proc/self/task") == threads);
    tlist_reap();
}

// Names the firmware's messages carry (a file it writes may look like a
// temporary file).
std::vector<std::string> fw_names;

// Temporary files of replacing writes ("kyr." and six characters) left in
// the keystore directory.
int leftover_temporaries()
{
    int n = 0;
    for (const std::string &name : fw_list_dir(ksdir)) {
        if (name.size() != 10 || name.compare(0, 4, "kyr.") != 0)
            continue;
        bool named = false;
        for (const std::string &f : fw_names)
            named = named || f == name;
        n += !named;
    }
    return n;
}

void restore()
{
    remove_tree(ksdir);
    copy_tree(templ, ksdir);
    drain_events(false);
}

uint32_t be32(const fw_bytes &m, size_t off) { return fw_be32(m, off); }

// Records of a push from `first`, filling paramSize exactly.
bool records_fill(const fw_bytes &m, size_t count_off, size_t first, size_t head)
{
    int32_t ps = static_cast<int32_t>(be32(m, 24));
    int32_t count = static_cast<int32_t>(be32(m, count_off));
    if (ps < static_cast<int32_t>(first) || ps > DBM_MAX_MSG || count < 0)
        return false;
    size_t pos = first;
    for (int32_t i = 0; i < count; i++) {
        if (pos + head > static_cast<size_t>(ps))
            return false;
        int32_t len = static_cast<int32_t>(be32(m, pos + head - 4));
        if (len < 0 || static_cast<size_t>(len) > static_cast<size_t>(ps) - pos - head)
            return false;
        pos += head + static_cast<size_t>(len);
    }
    return pos == static_cast<size_t>(ps);
}

void check_submission(const fw_bytes &m)
{
    FUZZ_CHECK(m.size() >= DBM_HDR_SIZE);
    fw_hdr h = fw_header(m);
    FUZZ_CHECK(h.extent == DBM_MAX_MSG);
    switch (h.type) {
    case DB_STANDBY: case DB_HELLO: case DB_RESPONSE:
        FUZZ_CHECK(h.paramSize == DBM_PARAM_SIZE);
        break;
    case DB_USER_PUSH:
        FUZZ_CHECK(records_fill(m, DBM_NUSERS_OFF, DBM_USERS_OFF, DBM_USER_HEAD));
        break;
    case DB_OBJECT_PUSH: case DB_LOG_PUSH:
        FUZZ_CHECK(records_fill(m, DBM_NOBJS_OFF, DBM_OBJS_OFF, DBM_OBJ_HEAD));
        break;
    case DB_FILE_PUSH: case DB_CONFIG_PUSH: {
        FUZZ_CHECK(h.paramSize >= DBM_FILE_DATA_OFF && h.paramSize <= DBM_MAX_MSG);
        int32_t filesize = static_cast<int32_t>(be32(m, DBM_FILESIZE_OFF));
        FUZZ_CHECK(filesize >= h.paramSize - DBM_FILE_DATA_OFF);
        break;
    }
    default:
        fprintf(stderr, "dispatch_fuzz: submitted message of type %u\n", h.type);
        FUZZ_CHECK(!"a type the daemon sends");
    }
}

void prep_standby()
{
    memset(buf->msg, 0, DBM_MAX_MSG);
    dbm_header_t *h = msg_hdr(buf->msg);
    h->type = DB_STANDBY;
    h->extent = DBM_MAX_MSG;
    h->paramSize = DBM_PARAM_SIZE;
}

// The control thread's DB_INIT without the thread start: the creation,
// and a failure answered.
int control_init()
{
    uint32_t kstype = static_cast<uint32_t>(msg_get32(buf->msg, DBM_KSTYPE_OFF));
    int rc = kstype != DBM_KS_LOCAL ? cks_db_make(buf) : localks_db_make(buf);
    if (rc != 0 && rc != ECANCELED) {
        make_response(msg_hdr(buf->msg), rc);
        submit_message(buf);
    }
    return 0;
}

// Queues the firmware's side; returns the number of items.
size_t queue_items(const uint8_t *data, size_t size)
{
    size_t n = 0, pos = 0;
    while (pos + 3 <= size) {
        uint8_t kind = data[pos];
        size_t len = (size_t(data[pos + 1]) << 8) | data[pos + 2];
        pos += 3;
        if (len > size - pos)
            len = size - pos;
        const uint8_t *p = data + pos;
        pos += len;
        switch (kind % 4) {
        case 0:
            fake_fw_queue_msg(fw_bytes(p, p + len));
            if (len > DBM_KSNAME_OFF)
                fw_names.push_back(fw_name(fw_bytes(p, p + len), DBM_KSNAME_OFF));
            break;
        case 1: {
            uint32_t st = 0;
            for (size_t i = 0; i < 4 && i < len; i++)
                st = (st << 8) | p[i];
            fake_fw_queue_refuse(static_cast<int32_t>(st));
            break;
        }
        case 2:
            fake_fw_queue_errno(len > 0 && p[0] != 0 ? p[0] : EIO);
            break;
        default:
            fake_fw_queue_accept();
            break;
        }
        n++;
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_daemon_log_init();
    umask(077);
    // As the daemon makes it: a keystore thread started by DB_JOIN frees
    // its record when it ends.  Such a thread finds no control device
    // and ends at once.
    if (pthread_key_create(&ptconfkey, free_kstinfo) != 0)
        die("pthread_key_create");
    const char *tmp = getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/kyrfuzz.XXXXXX";
    std::vector<char> tv(t.begin(), t.end());
    tv.push_back('\0');
    if (mkdtemp(tv.data()) == nullptr)
        die("mkdtemp");
    sandbox = tv.data();
    templ = sandbox + "/template";
    ksdir = sandbox + "/a/b/keydata";
    buf = static_cast<upcall_buf *>(calloc(1, DBM_UPCALL_BUFSZ));
    self_local = create_kstinfo(kKsName, DBM_KS_LOCAL);
    self_ldap = create_kstinfo(kKsName, DBM_KS_LDAP);
    self_control = create_kstinfo(nullptr, DBM_KS_LOCAL);
    if (buf == nullptr || self_local == nullptr || self_ldap == nullptr || self_control == nullptr)
        die("allocation");
    buf->fd = -1;
    qelkiod_devpath = "/nonexistent/qelctl";
    fake_fw_install();
    make_template();

    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd < 0)
        die("inotify_init1");
    std::string level = sandbox;
    for (const char *sub : {"", "/a", "/b"}) {
        level += sub;
        if (*sub != '\0' && mkdir(level.c_str(), 0700) != 0)
            die(level.c_str());
        make_decoys(level);
    }
    watch(templ);
    watch_level(sandbox);
    watch_level(sandbox + "/a");
    parent_wd = watch_level(sandbox + "/a/b");
    buf->ksdir = ksdir.c_str();
    mconf.keystoredir = strdup(ksdir.c_str());
    // The decoy tree at the top level would be left behind: the sandbox
    // goes when the process ends normally.
    atexit([] { remove_tree(sandbox); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return -1;
    restore();
    int fds = open_descriptors();
    int threads = proc_entries("/proc/self/task");
    fake_fw_reset();
    fw_names.clear();
    size_t items = queue_items(data + 1, size - 1);

    kstinfo *self = (data[0] & 3) == 1 ? self_ldap : (data[0] & 3) == 2 ? self_control : self_local;
    pthread_setspecific(ptconfkey, self);
    buf->fd = -1;
    for (int i = 0; i < kMaxUpcalls && fake_fw_total() < items; i++) {
        prep_standby();
        if (submit_message(buf) != 0)
            break;  // the thread would end here
        int rc;
        if (self == self_control && msg_hdr(buf->msg)->type == DB_INIT)
            rc = control_init();
        else
            rc = qelkiod_task(buf);
        if (rc != 0)
            break;
    }
    pthread_setspecific(ptconfkey, nullptr);
    // A thread renamed with its keystore carries the new name: back to the
    // one the next input starts with.
    if (self->name != nullptr && strcmp(self->name, kKsName) != 0) {
        free(self->name);
        self->name = strdup(kKsName);
    }

    for (size_t i = 0; i < fake_fw_count(); i++)
        check_submission(fake_fw_sent(i));
    join_started_threads(threads);
    FUZZ_CHECK(drain_events(true) == 0);
    FUZZ_CHECK(open_descriptors() == fds);
    FUZZ_CHECK(leftover_temporaries() == 0);
    fake_fw_reset();
    return 0;
}
