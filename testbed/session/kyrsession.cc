// A scripted firmware session against the production keystore daemon.
//
// Starts the card simulator, runs kyrkiod in the foreground on a temporary
// keystore directory, and plays the card's firmware through one keystore's
// life: check and create it, write its configuration file, users, objects
// and audit log entries, read them back, rotate the log, read the whole
// keystore, archive it, delete it, restore it from the archive, join it
// again, compare, and delete it for good.  Every exchange is printed as the
// upcall, the daemon's answers and the verdict on them.  Ends with SIGINT to
// the daemon, which must exit 0, and a one-line verdict; exit 0 only when
// every step passed.
//
// With --directory, the daemon's configuration also gets the directives of
// that file (a server list, basedn, binddn, authtype, passfile for a
// directory server), and a second keystore lives in the directory: it is
// checked, created, its configuration blob written and read back, and it is
// deleted again.
//
//   kyrsession [--directory <file>] <path-to-kyrkiod> [work-directory]
//   kyrsession [--directory <file>] --service [work-directory] -- <command line>
//
// With --service the daemon is started the way its service unit starts an
// installed one: the given command line (the unit's ExecStart) as root,
// without -F, on the installed configuration file, keystore directory,
// lock file and log directory.  The session writes that configuration
// file for its run (and puts the previous one back afterwards), waits for
// the starting process to exit 0, takes the daemon's pid from the lock
// file, and stops it with SIGINT, as the unit's KillSignal does.
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>
#include <vector>

#include "kyrsim.h"  // the card simulator's test API

namespace {

const long kWaitMs = 15000;
const char *const kKs = "demo.host.{1}";
const char *const kCentral = "demo.central.{1}";
const int kLogLimit = 10;

struct session {
    kyrsim *sim = nullptr;
    kyrsim_child daemon;   // the daemon, or (service) the process that forks it
    std::string dir;       // work directory
    std::string ksdir;     // keystore directory
    std::string logpath;   // the daemon's log
    // Service mode: the command line, the daemon's pid from the lock file,
    // and the configuration file found before the session wrote its own.
    std::vector<std::string> command;
    pid_t service_pid = -1;
    bool had_conf = false;
    std::string saved_conf;
    std::string dirconf;   // directives for the directory server, or empty
    bool central = false;  // the centralized keystore part was played
    int step = 0;
    int exchanges = 0;
    std::string failure;   // first failure, empty while all is well
};

bool failed(const session &s) { return !s.failure.empty(); }

// Records the first failure; returns false so that callers can `return
// expect(...)`.
bool expect(session *s, bool ok, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
bool expect(session *s, bool ok, const char *fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    printf("      %s %s\n", ok ? "ok  " : "FAIL", text);
    if (!ok && s->failure.empty())
        s->failure = text;
    return ok;
}

std::string printable(const std::vector<uint8_t> &b, size_t max = 40)
{
    std::string out;
    for (size_t i = 0; i < b.size() && i < max; i++)
        out += (b[i] >= 0x20 && b[i] < 0x7f) ? char(b[i]) : '.';
    if (b.size() > max)
        out += "...";
    return out;
}

std::string hex(const std::vector<uint8_t> &b, size_t max = 8)
{
    std::string out;
    char h[4];
    for (size_t i = 0; i < b.size() && i < max; i++) {
        snprintf(h, sizeof(h), "%02x", b[i]);
        out += h;
    }
    return out;
}

std::vector<uint8_t> bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

void show_records(const kyrsim_msg &m)
{
    int fam = kyrsim_family_of(m.type);
    for (const kyrsim_rec &r : m.recs) {
        if (fam == KYRSIM_FAM_USER)
            printf("        user %-12s data \"%s\"\n", printable(r.id, 20).c_str(),
                   printable(r.data).c_str());
        else if (m.type == DB_LOG_PUSH || m.type == DB_LOG_WRITE)
            printf("        entry id %s  key %s  text \"%s\"\n", hex(r.id).c_str(),
                   hex(r.data, 16).c_str(),
                   printable(std::vector<uint8_t>(r.data.begin() + std::min<size_t>(32, r.data.size()),
                                                  r.data.end()))
                       .c_str());
        else
            printf("        object %s  data \"%s\"\n", hex(r.id).c_str(), printable(r.data).c_str());
    }
    if (kyrsim_family_of(m.type) == KYRSIM_FAM_FILE && !m.filedata.empty())
        printf("        file data \"%s\"\n", printable(m.filedata, 60).c_str());
}

void show_upcall(session *s, const char *title, const std::string &ks, const kyrsim_msg &m)
{
    printf("\n[%02d] %s\n", ++s->step, title);
    // Shown as it travels: encoded and decoded again, so that the sizes and
    // counts are the ones on the wire.
    kyrsim_msg wire = m;
    std::vector<uint8_t> raw;
    if (kyrsim_msg_encode(m, &raw) == 0)
        kyrsim_msg_decode(raw.data(), raw.size(), &wire);
    printf("   upcall  to %-16s %s\n", ks.empty() ? "control thread" : ks.c_str(),
           kyrsim_msg_describe(wire).c_str());
    show_records(wire);
}

// Posts an upcall and collects the daemon's messages until the exchange
// ends; prints both sides.
bool exchange(session *s, const char *title, const std::string &ks, const kyrsim_msg &m,
              std::vector<kyrsim_msg> *out)
{
    if (failed(*s))
        return false;
    out->clear();
    show_upcall(s, title, ks, m);
    s->exchanges++;
    int rc = kyrsim_exchange(s->sim, ks, m, kWaitMs, out);
    for (const kyrsim_msg &a : *out) {
        printf("   answer  %s\n", kyrsim_msg_describe(a).c_str());
        show_records(a);
    }
    return expect(s, rc == 0, "exchange completed (%s)", rc == 0 ? "answered" : strerror(rc));
}

bool expect_response(session *s, const std::vector<kyrsim_msg> &got, int32_t status)
{
    if (!expect(s, got.size() == 1 && got[0].type == DB_RESPONSE,
                "one DB_RESPONSE (%zu messages)", got.size()))
        return false;
    return expect(s, got[0].status == status, "status %d (want %d)", got[0].status, status);
}

// The records of a push series, checking type and the MORE chain.
std::vector<kyrsim_rec> push_records(session *s, const std::vector<kyrsim_msg> &got,
                                     uint32_t type, size_t from = 0, size_t n = SIZE_MAX)
{
    std::vector<kyrsim_rec> recs;
    size_t end = n == SIZE_MAX ? got.size() : from + n;
    bool all = end > from;
    for (size_t i = from; i < end && i < got.size(); i++) {
        all = all && got[i].type == type;
        recs.insert(recs.end(), got[i].recs.begin(), got[i].recs.end());
    }
    expect(s, all, "%s series of %zu message(s)", kyrsim_type_name(type), end - from);
    return recs;
}

std::vector<uint8_t> log_entry(uint32_t n, const std::string &text)
{
    std::vector<uint8_t> d(32, 0);
    d[0] = 0x01;  // event class
    d[31] = uint8_t(n);
    std::vector<uint8_t> t = bytes(text);
    d.insert(d.end(), t.begin(), t.end());
    return d;
}

std::string me()
{
    struct passwd *pw = getpwuid(getuid());
    return pw ? pw->pw_name : "root";
}

int rm_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

std::vector<std::string> tar_list(const std::string &archive)
{
    std::vector<std::string> out;
    std::string cmd = "tar tf '" + archive + "' 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char line[1024];
    while (fgets(line, sizeof(line), p)) {
        line[strcspn(line, "\n")] = '\0';
        out.push_back(line);
    }
    pclose(p);
    return out;
}

bool write_conf(session *s, const std::string &conf, const std::string &text)
{
    FILE *f = fopen(conf.c_str(), "w");
    if (!f)
        return expect(s, false, "configuration file %s: %s", conf.c_str(), strerror(errno));
    fputs(text.c_str(), f);
    return expect(s, fclose(f) == 0, "configuration file %s written", conf.c_str());
}

bool wait_control_hello(session *s)
{
    kyrsim_hello h;
    int rc = kyrsim_wait_hello(s->sim, "", kWaitMs, &h);
    return expect(s, rc == 0 && h.result == 0, "control thread said hello from \"%s\" (%s)",
                  h.domain.c_str(), strerror(rc));
}

bool start(session *s, const std::string &kyrkiod)
{
    s->ksdir = s->dir + "/keydata";
    s->logpath = s->dir + "/kyrkiod.log";
    if (mkdir(s->ksdir.c_str(), 0700) != 0 && errno != EEXIST)
        return expect(s, false, "keystore directory %s: %s", s->ksdir.c_str(), strerror(errno));
    std::string conf = s->dir + "/kyrkiod.conf";
    char text[1024];
    snprintf(text, sizeof(text), "user %s\nkeystoredir %s\nauditloglimit %d\ndebuglevel info\n",
             me().c_str(), s->ksdir.c_str(), kLogLimit);
    if (!write_conf(s, conf, text + s->dirconf))
        return false;
    printf("Work directory %s\nKeystore directory %s\nAudit log limit %d entries\n",
           s->dir.c_str(), s->ksdir.c_str(), kLogLimit);

    int rc = kyrsim_start(kyrsim_opts{}, &s->sim);
    if (!expect(s, rc == 0, "card simulator started (%s)", strerror(rc)))
        return false;
    kyrsim_spawn_opts o;
    o.argv = {kyrkiod, "-F", "-f", conf};
    o.env = {"KYRKIOD_LOCKFILE=" + s->dir + "/kyrkiod.lock"};
    o.err_path = s->logpath;
    o.out_path = s->dir + "/kyrkiod.out";
    rc = kyrsim_spawn(s->sim, o, &s->daemon);
    if (!expect(s, rc == 0, "kyrkiod -F started, pid %d (%s)", s->daemon.pid, strerror(rc)))
        return false;
    return wait_control_hello(s);
}

// The pid the daemon wrote into its lock file, or -1.
pid_t lockfile_pid(const std::string &lock)
{
    std::string text = kyrsim_read_file(lock);
    char *end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    return (end != text.c_str() && v > 0) ? static_cast<pid_t>(v) : -1;
}

bool start_service(session *s)
{
    const std::string conf = KYR_CONF_DIR "/kyrkiod.conf";
    const std::string lock = KYR_LOCK_DIR "/kyrkiod_lock";
    s->ksdir = KYR_KEYDATA_DIR;
    s->logpath = KYR_LOG_DIR "/kyrkiod.log";
    struct stat st;
    s->had_conf = stat(conf.c_str(), &st) == 0;
    if (s->had_conf)
        s->saved_conf = kyrsim_read_file(conf);
    // The installed defaults: service user, keystore directory, lock file.
    char text[1024];
    snprintf(text, sizeof(text),
             "# written by kyrsession --service\nauditloglimit %d\ndebuglevel info\nlogfile %s\n",
             kLogLimit, s->logpath.c_str());
    if (!write_conf(s, conf, text + s->dirconf))
        return false;
    std::string cmd;
    for (const std::string &a : s->command)
        cmd += (cmd.empty() ? "" : " ") + a;
    printf("Service command line %s\nConfiguration %s\nKeystore directory %s\nLog file %s\n"
           "Audit log limit %d entries\n",
           cmd.c_str(), conf.c_str(), s->ksdir.c_str(), s->logpath.c_str(), kLogLimit);

    int rc = kyrsim_start(kyrsim_opts{}, &s->sim);
    if (!expect(s, rc == 0, "card simulator started (%s)", strerror(rc)))
        return false;
    // The daemon is the child of the process we start: become its reaper.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    kyrsim_spawn_opts o;
    o.argv = s->command;
    o.err_path = s->dir + "/kyrkiod.err";
    o.out_path = s->dir + "/kyrkiod.out";
    rc = kyrsim_spawn(s->sim, o, &s->daemon);
    if (!expect(s, rc == 0, "%s started, pid %d (%s)", cmd.c_str(), s->daemon.pid, strerror(rc)))
        return false;
    rc = kyrsim_wait_child(&s->daemon, kWaitMs);
    int code = rc == 0 ? kyrsim_exit_code(s->daemon) : -1;
    if (!expect(s, code == 0, "starting process exited with status %d (%s)", code,
                kyrsim_child_stderr(s->daemon).c_str()))
        return false;
    s->service_pid = lockfile_pid(lock);
    if (!expect(s, s->service_pid > 0 && kill(s->service_pid, 0) == 0,
                "daemon pid %d in lock file %s", s->service_pid, lock.c_str()))
        return false;
    return wait_control_hello(s);
}

bool wait_keystore_hello(session *s, const char *why, const char *ks = kKs)
{
    if (failed(*s))
        return false;
    kyrsim_hello h;
    int rc = kyrsim_wait_hello(s->sim, ks, kWaitMs, &h);
    printf("   hello   from %s thread (%s)\n", ks, why);
    return expect(s, rc == 0 && h.result == 0, "keystore thread registered (%s)", strerror(rc));
}

// A DB_INIT of ks: posted, its answer is the new keystore thread's hello.
void create_keystore(session *s, const char *title, const char *ks, uint32_t kstype)
{
    kyrsim_msg init = kyrsim_msg_make(DB_INIT, ks);
    init.kstype = kstype;
    show_upcall(s, title, "", init);
    s->exchanges++;
    int rc = kyrsim_post(s->sim, "", init);
    expect(s, rc == 0, "DB_INIT posted (%s)", strerror(rc));
    wait_keystore_hello(s, "started by the control thread after creation", ks);
}

// The whole keystore as four push series: users, objects, log, old log.
struct ks_content {
    std::vector<kyrsim_rec> users, objs, log, oldlog;
};

bool read_whole(session *s, const char *title, const char *ks, ks_content *c)
{
    std::vector<kyrsim_msg> got;
    if (failed(*s))
        return false;
    kyrsim_msg m = kyrsim_msg_make(DB_READ, ks);
    show_upcall(s, title, ks, m);
    s->exchanges++;
    // Four push series, each ended by a push without DBM_FLAG_MORE.
    int rc = kyrsim_post(s->sim, ks, m);
    for (int series = 0; rc == 0 && series < 4; series++)
        rc = kyrsim_collect(s->sim, ks, kWaitMs, &got);
    for (const kyrsim_msg &a : got) {
        printf("   answer  %s\n", kyrsim_msg_describe(a).c_str());
        show_records(a);
    }
    if (!expect(s, rc == 0, "four push series received (%s)", rc == 0 ? "complete" : strerror(rc)))
        return false;
    // Each series ends with a push without DBM_FLAG_MORE.
    std::vector<size_t> ends;
    for (size_t i = 0; i < got.size(); i++)
        if ((got[i].flags & DBM_FLAG_MORE) == 0)
            ends.push_back(i);
    if (!expect(s, ends.size() == 4, "four push series (%zu)", ends.size()))
        return false;
    c->users = push_records(s, got, DB_USER_PUSH, 0, ends[0] + 1);
    c->objs = push_records(s, got, DB_OBJECT_PUSH, ends[0] + 1, ends[1] - ends[0]);
    c->log = push_records(s, got, DB_LOG_PUSH, ends[1] + 1, ends[2] - ends[1]);
    c->oldlog = push_records(s, got, DB_LOG_PUSH, ends[2] + 1, ends[3] - ends[2]);
    expect(s, (got[ends[3]].flags & DBM_FLAG_OLD_LOG) != 0, "last series marked DBM_FLAG_OLD_LOG");
    return expect(s, true, "%zu users, %zu objects, %zu log entries, %zu old log entries",
                  c->users.size(), c->objs.size(), c->log.size(), c->oldlog.size());
}

bool same_records(const std::vector<kyrsim_rec> &a, const std::vector<kyrsim_rec> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].id != b[i].id || a[i].data != b[i].data)
            return false;
    return true;
}

void play(session *s)
{
    std::vector<kyrsim_msg> got;
    const std::string conf_name = std::string(kKs) + ".conf";
    const std::string conf_text = "label=demo;policy=dual-control;created-by=kyrsession";

    kyrsim_msg chk = kyrsim_msg_make(DB_CHECK, kKs);
    chk.kstype = DBM_KS_LOCAL;
    if (exchange(s, "Is the keystore name free?", "", chk, &got))
        expect_response(s, got, 0);

    if (!failed(*s)) {
        create_keystore(s, "Create the local keystore", kKs, DBM_KS_LOCAL);
        struct stat st;
        expect(s, stat((s->ksdir + "/" + kKs + "/user.db").c_str(), &st) == 0,
               "environment directory with user.db created");
    }

    kyrsim_msg cw = kyrsim_msg_make(DB_CONFIG_WRITE, conf_name);
    kyrsim_msg_set_file(&cw, uint32_t(conf_text.size()), bytes(conf_text));
    if (exchange(s, "Write the keystore's configuration file", kKs, cw, &got))
        expect_response(s, got, 0);

    kyrsim_msg uw = kyrsim_msg_make(DB_USER_WRITE, kKs);
    kyrsim_msg_add_user(&uw, kyrsim_user_id("alice"), bytes("role=security-officer"));
    kyrsim_msg_add_user(&uw, kyrsim_user_id("bob"), bytes("role=user"));
    if (exchange(s, "Store two users", kKs, uw, &got))
        expect_response(s, got, 0);

    kyrsim_msg ow = kyrsim_msg_make(DB_OBJECT_WRITE, kKs);
    ow.owner = kyrsim_user_id("alice");
    kyrsim_msg_add_obj(&ow, 0x1a, 1, bytes("wrapped AES-256 key"));
    kyrsim_msg_add_obj(&ow, 0x1a, 2, bytes("wrapped RSA-2048 private key"));
    if (exchange(s, "Store two key objects of alice", kKs, ow, &got))
        expect_response(s, got, 0);
    kyrsim_msg ow2 = kyrsim_msg_make(DB_OBJECT_WRITE, kKs);
    ow2.owner = kyrsim_user_id("bob");
    kyrsim_msg_add_obj(&ow2, 0x2b, 7, bytes("wrapped HMAC key"));
    if (exchange(s, "Store a key object of bob", kKs, ow2, &got))
        expect_response(s, got, 0);

    kyrsim_msg lw = kyrsim_msg_make(DB_LOG_WRITE, kKs);
    for (uint32_t i = 1; i <= 6; i++)
        kyrsim_msg_add_obj(&lw, 0xe0, i, log_entry(i, "login event " + std::to_string(i)));
    if (exchange(s, "Append six audit log entries (the daemon stamps their keys)", kKs, lw, &got))
        expect_response(s, got, 0);

    kyrsim_msg ur = kyrsim_msg_make(DB_USER_READ, kKs);
    ur.count = 0;
    if (exchange(s, "Read all users back", kKs, ur, &got)) {
        std::vector<kyrsim_rec> u = push_records(s, got, DB_USER_PUSH);
        expect(s, u.size() == 2 && u[0].data == bytes("role=security-officer") &&
                      u[1].data == bytes("role=user"),
               "alice and bob with their data (%zu users)", u.size());
    }

    kyrsim_msg orq = kyrsim_msg_make(DB_OBJECT_READ, kKs);
    orq.owner = kyrsim_user_id("alice");
    orq.count = 0;
    if (exchange(s, "Read alice's objects back", kKs, orq, &got)) {
        std::vector<kyrsim_rec> o = push_records(s, got, DB_OBJECT_PUSH);
        expect(s, o.size() == 2 && o[1].data == bytes("wrapped RSA-2048 private key"),
               "both of alice's objects (%zu)", o.size());
    }

    kyrsim_msg cr = kyrsim_msg_make(DB_CONFIG_READ, conf_name);
    if (exchange(s, "Read the configuration file back", kKs, cr, &got)) {
        bool ok = !got.empty() && got.back().type == DB_CONFIG_PUSH;
        std::vector<uint8_t> data;
        for (const kyrsim_msg &m : got)
            data.insert(data.end(), m.filedata.begin(), m.filedata.end());
        expect(s, ok && data == bytes(conf_text), "DB_CONFIG_PUSH with the file as written");
    }

    kyrsim_msg lr = kyrsim_msg_make(DB_LOG_READ, kKs);
    lr.count = 3;
    if (exchange(s, "Read the newest three log entries", kKs, lr, &got)) {
        std::vector<kyrsim_rec> l = push_records(s, got, DB_LOG_PUSH);
        bool ok = l.size() == 3;
        for (size_t i = 0; ok && i < 3; i++)
            ok = l[i].id == std::vector<uint8_t>({0, 0, 0, 0xe0, 0, 0, 0, uint8_t(4 + i)});
        expect(s, ok, "entries 4, 5 and 6, oldest first (%zu)", l.size());
    }

    kyrsim_msg lw2 = kyrsim_msg_make(DB_LOG_WRITE, kKs);
    for (uint32_t i = 7; i <= 12; i++)
        kyrsim_msg_add_obj(&lw2, 0xe0, i, log_entry(i, "sign operation " + std::to_string(i)));
    if (exchange(s, "Append six more: 6 + 6 passes the limit of 10, the log rotates first", kKs,
                 lw2, &got))
        expect_response(s, got, 0);

    kyrsim_msg lro = kyrsim_msg_make(DB_LOG_READ, kKs);
    lro.flags = DBM_FLAG_OLD_LOG;
    lro.count = 0;
    if (exchange(s, "Read the previous (rotated) log", kKs, lro, &got)) {
        std::vector<kyrsim_rec> l = push_records(s, got, DB_LOG_PUSH);
        bool flagged = true;
        for (const kyrsim_msg &m : got)
            flagged = flagged && (m.flags & DBM_FLAG_OLD_LOG);
        expect(s, l.size() == 6 && flagged, "the first six entries, every push marked old (%zu)",
               l.size());
    }

    ks_content before;
    if (read_whole(s, "Read the whole keystore", kKs, &before))
        expect(s, before.users.size() == 2 && before.objs.size() == 3 && before.log.size() == 6 &&
                      before.oldlog.size() == 6,
               "2 users, 3 objects, 6 current and 6 previous log entries");

    const std::string tarname = std::string(kKs) + ".tar";
    if (exchange(s, "Archive the keystore", kKs, kyrsim_msg_make(DB_ARCHIVE, kKs), &got) &&
        expect_response(s, got, 0)) {
        expect(s, got[0].ksname == tarname, "answer names the archive \"%s\"",
               got[0].ksname.c_str());
        std::vector<std::string> members = tar_list(s->ksdir + "/" + tarname);
        for (const std::string &m : members)
            printf("        member %s\n", m.c_str());
        expect(s, members.size() == 5, "archive holds the configuration file and four databases");
    }

    if (exchange(s, "Delete the keystore", kKs, kyrsim_msg_make(DB_DELETE, kKs), &got) &&
        expect_response(s, got, 0)) {
        struct stat st;
        expect(s, stat((s->ksdir + "/" + kKs).c_str(), &st) != 0 &&
                      stat((s->ksdir + "/" + conf_name).c_str(), &st) != 0,
               "environment directory and configuration file removed");
    }

    if (exchange(s, "Restore the keystore from its archive", "",
                 kyrsim_msg_make(DB_UNARCHIVE, tarname), &got) &&
        expect_response(s, got, 0)) {
        // The archive is removed after the answer: give the daemon a moment.
        struct stat st;
        std::string archive = s->ksdir + "/" + tarname;
        for (int i = 0; i < 500 && stat(archive.c_str(), &st) == 0; i++)
            usleep(10000);
        expect(s, stat((s->ksdir + "/" + kKs + "/object.db").c_str(), &st) == 0 &&
                      stat(archive.c_str(), &st) != 0,
               "keystore files restored, archive removed");
    }

    kyrsim_msg join = kyrsim_msg_make(DB_JOIN, kKs);
    join.kstype = DBM_KS_LOCAL;
    if (exchange(s, "Serve the restored keystore again", "", join, &got) &&
        expect_response(s, got, 0))
        wait_keystore_hello(s, "started by DB_JOIN");

    ks_content after;
    if (read_whole(s, "Read the restored keystore", kKs, &after))
        expect(s, same_records(before.users, after.users) && same_records(before.objs, after.objs) &&
                      same_records(before.log, after.log) &&
                      same_records(before.oldlog, after.oldlog),
               "identical to the keystore before archiving");

    if (exchange(s, "Delete the keystore for good", kKs, kyrsim_msg_make(DB_DELETE, kKs), &got) &&
        expect_response(s, got, 0)) {
        struct stat st;
        expect(s, stat((s->ksdir + "/" + kKs).c_str(), &st) != 0, "keystore gone");
    }
}

// A keystore in the directory server: the daemon connects and binds for
// every upcall; the whole keystore is a subtree of the directory.
void play_central(session *s)
{
    if (s->dirconf.empty()) {
        printf("\n(centralized keystore part skipped: no directory server given)\n");
        return;
    }
    if (failed(*s))
        return;
    printf("\n== A centralized keystore in the directory server\n");
    std::string log = kyrsim_read_file(s->logpath);
    expect(s, log.find("Successfully bound as ") != std::string::npos,
           "the daemon bound to the directory server when it looked for its keystores");
    std::vector<kyrsim_msg> got;
    const std::string conf_name = std::string(kCentral) + ".conf";
    const std::string conf_text = "label=shared;policy=dual-control;hosts=all";

    kyrsim_msg chk = kyrsim_msg_make(DB_CHECK, kCentral);
    chk.kstype = DBM_KS_LDAP;
    if (exchange(s, "Is the name free in the directory?", "", chk, &got))
        expect_response(s, got, 0);

    if (!failed(*s))
        create_keystore(s, "Create the centralized keystore (its node, users node and two log nodes)",
                        kCentral, DBM_KS_LDAP);

    kyrsim_msg cw = kyrsim_msg_make(DB_CONFIG_WRITE, conf_name);
    kyrsim_msg_set_file(&cw, uint32_t(conf_text.size()), bytes(conf_text));
    if (exchange(s, "Write the keystore's configuration into its directory node", kCentral, cw,
                 &got))
        expect_response(s, got, 0);

    kyrsim_msg cr = kyrsim_msg_make(DB_CONFIG_READ, conf_name);
    if (exchange(s, "Read the configuration back from the directory", kCentral, cr, &got)) {
        bool ok = got.size() == 1 && got[0].type == DB_CONFIG_PUSH;
        expect(s, ok && got[0].filedata == bytes(conf_text),
               "DB_CONFIG_PUSH with the configuration as written");
    }

    kyrsim_msg uw = kyrsim_msg_make(DB_USER_WRITE, kCentral);
    kyrsim_msg_add_user(&uw, kyrsim_user_id("carol"), bytes("role=security-officer"));
    if (exchange(s, "Store a user in the directory", kCentral, uw, &got))
        expect_response(s, got, 0);
    kyrsim_msg ow = kyrsim_msg_make(DB_OBJECT_WRITE, kCentral);
    ow.owner = kyrsim_user_id("carol");
    kyrsim_msg_add_obj(&ow, 0x3c, 1, bytes("wrapped shared AES-256 key"));
    if (exchange(s, "Store a key object of carol", kCentral, ow, &got))
        expect_response(s, got, 0);
    kyrsim_msg lw = kyrsim_msg_make(DB_LOG_WRITE, kCentral);
    for (uint32_t i = 1; i <= 3; i++)
        kyrsim_msg_add_obj(&lw, 0xe1, i, log_entry(i, "shared key use " + std::to_string(i)));
    if (exchange(s, "Append three audit log entries (under the directory's log lock)", kCentral,
                 lw, &got))
        expect_response(s, got, 0);
    ks_content whole;
    if (read_whole(s, "Read the whole centralized keystore", kCentral, &whole))
        expect(s, whole.users.size() == 1 && whole.objs.size() == 1 &&
                      whole.objs[0].data == bytes("wrapped shared AES-256 key") &&
                      whole.log.size() == 3 && whole.oldlog.empty(),
               "1 user, carol's object, 3 log entries, an empty previous log");

    if (exchange(s, "Is the name free now?", "", chk, &got))
        expect_response(s, got, EEXIST);

    if (exchange(s, "Delete the centralized keystore (the whole subtree)", kCentral,
                 kyrsim_msg_make(DB_DELETE, kCentral), &got))
        expect_response(s, got, 0);
    if (exchange(s, "The name is free again", "", chk, &got))
        expect_response(s, got, 0);
    s->central = !failed(*s);
}

// The background daemon of service mode: SIGINT, then reap it.
void shutdown_service(session *s)
{
    printf("\n[%02d] Stop the service\n   SIGINT to pid %d\n", ++s->step, s->service_pid);
    kill(s->service_pid, SIGINT);
    int status = 0;
    pid_t r = 0;
    for (long waited = 0; waited < kWaitMs && r == 0; waited += 50) {
        r = waitpid(s->service_pid, &status, WNOHANG);
        if (r == 0)
            usleep(50 * 1000);
    }
    if (r != s->service_pid) {
        expect(s, false, "daemon did not end within %ld ms", kWaitMs);
        kill(s->service_pid, SIGKILL);
        waitpid(s->service_pid, &status, 0);
        return;
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    expect(s, code == 0, "daemon exited with status %d", code);
}

void shutdown_daemon(session *s)
{
    if (s->service_pid > 0) {
        shutdown_service(s);
        return;
    }
    if (s->daemon.pid <= 0 || !s->command.empty())
        return;
    printf("\n[%02d] Shut the daemon down\n   SIGINT to pid %d\n", ++s->step, s->daemon.pid);
    kyrsim_signal_child(&s->daemon, SIGINT);
    int rc = kyrsim_wait_child(&s->daemon, kWaitMs);
    if (rc != 0) {
        expect(s, false, "daemon did not end within %ld ms", kWaitMs);
        kyrsim_kill_child(&s->daemon);
        return;
    }
    int code = kyrsim_exit_code(s->daemon);
    expect(s, code == 0, "daemon exited with status %d", code);
}

// Service mode leaves the configuration file as it found it.
void restore_conf(session *s)
{
    const std::string conf = KYR_CONF_DIR "/kyrkiod.conf";
    if (!s->had_conf) {
        unlink(conf.c_str());
        return;
    }
    FILE *f = fopen(conf.c_str(), "w");
    if (f) {
        fputs(s->saved_conf.c_str(), f);
        fclose(f);
    }
}

}  // namespace

int usage()
{
    fprintf(stderr, "usage: kyrsession [--directory <file>] <path-to-kyrkiod> [work-directory]\n"
                    "       kyrsession [--directory <file>] --service [work-directory] -- "
                    "<command line>\n");
    return 2;
}

int main(int argc, char **argv)
{
    session s;
    std::string kyrkiod, workdir;
    if (argc >= 3 && strcmp(argv[1], "--directory") == 0) {
        s.dirconf = kyrsim_read_file(argv[2]);
        if (s.dirconf.empty()) {
            fprintf(stderr, "kyrsession: no directives in %s\n", argv[2]);
            return 2;
        }
        if (s.dirconf.back() != '\n')
            s.dirconf += '\n';
        argv += 2;
        argc -= 2;
    }
    if (argc >= 2 && strcmp(argv[1], "--service") == 0) {
        int i = 2;
        if (i < argc && strcmp(argv[i], "--") != 0)
            workdir = argv[i++];
        if (i >= argc || strcmp(argv[i], "--") != 0 || i + 1 >= argc)
            return usage();
        s.command.assign(argv + i + 1, argv + argc);
    } else if (argc >= 2 && argc <= 3) {
        kyrkiod = argv[1];
        if (argc == 3)
            workdir = argv[2];
    } else {
        return usage();
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool own_dir = workdir.empty();
    if (own_dir) {
        const char *tmp = getenv("TMPDIR");
        std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/kyrsession.XXXXXX";
        std::vector<char> templ(t.begin(), t.end());
        templ.push_back('\0');
        if (mkdtemp(templ.data()) == nullptr) {
            perror("kyrsession: mkdtemp");
            return 1;
        }
        s.dir = templ.data();
    } else {
        s.dir = workdir;
        mkdir(s.dir.c_str(), 0700);
    }

    bool service = !s.command.empty();
    if (service ? start_service(&s) : start(&s, kyrkiod)) {
        play(&s);
        play_central(&s);
    }
    shutdown_daemon(&s);
    kyrsim_stop(s.sim);
    if (service)
        restore_conf(&s);

    bool ok = !failed(s);
    if (!ok) {
        printf("\n--- last lines of the daemon's log (%s) ---\n", s.logpath.c_str());
        std::string log = kyrsim_read_file(s.logpath);
        size_t from = log.size() > 4000 ? log.rfind('\n', log.size() - 4000) : 0;
        fputs(log.c_str() + (from == std::string::npos ? 0 : from), stdout);
    }
    if (own_dir && ok)
        nftw(s.dir.c_str(), rm_entry, 16, FTW_DEPTH | FTW_PHYS);
    if (ok)
        printf("\nVERDICT: PASS - %d exchanges with kyrkiod, keystore created, filled, read, "
               "rotated, archived, restored and deleted;%s clean shutdown\n",
               s.exchanges,
               s.central ? " centralized keystore created, configured, filled, read and deleted"
                           " in the directory;"
                         : "");
    else
        printf("\nVERDICT: FAIL - %s (work directory kept: %s)\n", s.failure.c_str(),
               s.dir.c_str());
    return ok ? 0 : 1;
}
