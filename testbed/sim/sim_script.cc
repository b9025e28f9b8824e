// Firmware script runner: plays the card's firmware against a program (the
// keystore daemon) from a small line-based script, printing every exchange
// in a form an operator can follow.
//
// Language.  One step per line; "#" starts a comment; words are separated by
// blanks, "double quotes" keep blanks (\" and \\ inside), "" or - is the
// empty keystore name of the daemon's control thread.  Numbers are decimal
// or 0x-hex, or one of the names ENOENT EIO EEXIST EINVAL ENOSPC EOPNOTSUPP
// ECANCELED ETIME EACCES DB_NOTFOUND (the value of the linked Berkeley DB,
// as the daemon returns it).  TYPE is a message type with or without its
// "DB_" prefix (USER_WRITE, DB_RESPONSE) or a number.
//
//   timeout MS                  time allowed to each following wait (10000)
//   run PROGRAM ARGS...         start a program under the device interposer
//   hello KS [CODE]             wait for the hello of keystore KS; the
//                               control-device command must end with CODE (0)
//   hello-answer KS STATUS [CARD]  answer KS's hellos with STATUS (all cards)
//   fault CARD FLAGS            set a card's fault flags (bit 2: no upcalls)
//   standby KS                  wait until KS's thread waits for an upcall
//   upcall KS TYPE FIELDS...    post an upcall to KS's thread
//   part KS TYPE FIELDS...      the firmware's reply to the daemon's next
//                               message for KS is this message (the next part
//                               of a multi-part write)
//   refuse KS NTH STATUS        refuse the daemon's NTH next message with STATUS
//   expect KS TYPE CHECKS...    the daemon's next message for KS must match
//   quiet KS MS                 the daemon sends nothing for KS within MS
//   signal NAME                 send INT, HUP, TERM or KILL to the program
//   exit CODE                   wait for the program to end with CODE
//   sleep MS
//   echo TEXT...
//
// FIELDS of upcall and part: ksname=NAME (default KS; the file name of file
// messages), flags=N, more (adds DBM_FLAG_MORE), handle=N, ldom=N,
// status=N, kstype=N|local|ldap, newname=NAME, count=N, owner=ID,
// user=ID[:VALUE] and obj=HI/LO[:VALUE] (records, repeatable), len=N (the
// length field of the record just named), filesize=N, data=VALUE (file
// data; filesize defaults to its length), paramsize=N.  count, len and
// paramsize default to what the message holds; a value given is sent as it
// stands, negative or not matching, so a script can send malformed messages.
// VALUE is text, @PATH (a file's bytes) or hex:0011ff.  IDs are text,
// zero-padded (20 bytes for users).  HI is hex and LO decimal, as the
// daemon logs object IDs ("%x/%d").
//
// CHECKS of expect: status=N, flags=N, more, last (DBM_FLAG_MORE set or
// not), records=N, ksname=NAME, owner=ID (object messages; - for all
// zeros), filesize=N, data=VALUE (file data),
// user=ID[:VALUE] and obj=HI/LO[:VALUE] (a record with this ID, and these
// data, is in the message), end (the message ends the exchange).
//
// Output: "-> " lines are what the firmware sent, "<- " lines what the
// daemon answered; a failing step names its line.
#include <db.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "sim_internal.h"

namespace {

struct script_ctx {
    kyrsim *sim;
    FILE *out;
    kyrsim_child *prog;
    kyrsim_child own;       // started by "run"
    long timeout_ms = 10000;
    std::string where;      // "file:line" of the current step
    std::string failure;
};

bool fail(script_ctx &c, const std::string &why)
{
    c.failure = c.where + ": " + why;
    return false;
}

bool tokenize(const std::string &line, std::vector<std::string> *words, std::string *err)
{
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            i++;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string w;
        bool quoted = false;
        while (i < line.size() && !isspace(static_cast<unsigned char>(line[i]))) {
            if (line[i] == '"') {
                quoted = true;
                i++;
                while (i < line.size() && line[i] != '"') {
                    if (line[i] == '\\' && i + 1 < line.size())
                        i++;
                    w += line[i++];
                }
                if (i >= line.size()) {
                    *err = "unterminated quote";
                    return false;
                }
                i++;
            } else {
                w += line[i++];
            }
        }
        if (!quoted && w == "-")
            w.clear();
        words->push_back(w);
    }
    return true;
}

bool parse_num(const std::string &s, long *v)
{
    static const struct {
        const char *name;
        long value;
    } names[] = {{"ENOENT", ENOENT}, {"EIO", EIO},         {"EEXIST", EEXIST},
                 {"EINVAL", EINVAL}, {"ENOSPC", ENOSPC},   {"EOPNOTSUPP", EOPNOTSUPP},
                 {"ECANCELED", ECANCELED}, {"ETIME", ETIME}, {"EACCES", EACCES},
                 {"DB_NOTFOUND", DB_NOTFOUND}};
    for (const auto &n : names)
        if (s == n.name) {
            *v = n.value;
            return true;
        }
    if (s.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long x = strtol(s.c_str(), &end, 0);
    if (errno || !end || *end)
        return false;
    *v = x;
    return true;
}

bool parse_type(const std::string &s, uint32_t *type)
{
    long v;
    if (parse_num(s, &v) && v >= 0) {
        *type = static_cast<uint32_t>(v);
        return true;
    }
    std::string full = s.compare(0, 3, "DB_") == 0 ? s : "DB_" + s;
    for (uint32_t t = 1; t <= DB_FILE_DEL; t++)
        if (full == kyrsim_type_name(t)) {
            *type = t;
            return true;
        }
    return false;
}

bool parse_value(script_ctx &c, const std::string &s, std::vector<uint8_t> *out)
{
    if (s.compare(0, 1, "@") == 0) {
        FILE *f = fopen(s.c_str() + 1, "rb");
        if (!f)
            return fail(c, "cannot read " + s.substr(1));
        std::string text = kyrsim_read_file(s.substr(1));
        fclose(f);
        out->assign(text.begin(), text.end());
        return true;
    }
    if (s.compare(0, 4, "hex:") == 0) {
        std::string h = s.substr(4);
        if (h.size() % 2)
            return fail(c, "odd hex value " + s);
        out->clear();
        for (size_t i = 0; i < h.size(); i += 2) {
            char *end = nullptr;
            std::string byte = h.substr(i, 2);
            long v = strtol(byte.c_str(), &end, 16);
            if (!end || *end)
                return fail(c, "bad hex value " + s);
            out->push_back(static_cast<uint8_t>(v));
        }
        return true;
    }
    out->assign(s.begin(), s.end());
    return true;
}

// "ID[:VALUE]" of a user record, "HI/LO[:VALUE]" of an object record.
bool parse_record(script_ctx &c, const std::string &s, bool user, kyrsim_rec *r, bool *has_data)
{
    size_t colon = s.find(':');
    std::string id = s.substr(0, colon);
    *has_data = colon != std::string::npos;
    if (*has_data && !parse_value(c, s.substr(colon + 1), &r->data))
        return false;
    if (user) {
        if (id.size() > DBM_USER_ID_LEN)
            return fail(c, "user ID longer than 20 bytes: " + id);
        r->id = kyrsim_user_id(id);
        return true;
    }
    size_t slash = id.find('/');
    if (slash == std::string::npos)
        return fail(c, "object ID must be HI/LO: " + id);
    char *e1 = nullptr, *e2 = nullptr;
    std::string hi_s = id.substr(0, slash), lo_s = id.substr(slash + 1);
    unsigned long hi = strtoul(hi_s.c_str(), &e1, 16);
    unsigned long lo = strtoul(lo_s.c_str(), &e2, 10);
    if (hi_s.empty() || lo_s.empty() || *e1 || *e2)
        return fail(c, "bad object ID " + id);
    kyrsim_msg tmp;
    kyrsim_msg_add_obj(&tmp, static_cast<uint32_t>(hi), static_cast<uint32_t>(lo), {});
    r->id = tmp.recs[0].id;
    return true;
}

bool split_field(const std::string &w, std::string *key, std::string *val)
{
    size_t eq = w.find('=');
    *key = w.substr(0, eq);
    *val = eq == std::string::npos ? std::string() : w.substr(eq + 1);
    return eq != std::string::npos;
}

// Builds the message of an upcall or part step: words = KS TYPE FIELDS...
bool build_msg(script_ctx &c, const std::vector<std::string> &w, kyrsim_msg *m)
{
    if (w.size() < 3)
        return fail(c, "usage: " + w[0] + " KS TYPE FIELDS...");
    uint32_t type;
    if (!parse_type(w[2], &type))
        return fail(c, "unknown message type " + w[2]);
    *m = kyrsim_msg_make(type, w[1]);
    bool filesize_set = false;
    for (size_t i = 3; i < w.size(); i++) {
        std::string key, val;
        bool has = split_field(w[i], &key, &val);
        long n = 0;
        bool num = parse_num(val, &n);
        if (key == "more" && !has) {
            m->flags |= DBM_FLAG_MORE;
        } else if (key == "ksname") {
            m->ksname = val;
        } else if (key == "newname") {
            m->newname = val;
        } else if (key == "kstype" && (val == "local" || val == "ldap")) {
            m->kstype = val == "local" ? DBM_KS_LOCAL : DBM_KS_LDAP;
        } else if (key == "owner") {
            m->owner = kyrsim_user_id(val);
        } else if (key == "user" || key == "obj") {
            kyrsim_rec r;
            bool has_data;
            if (!parse_record(c, val, key == "user", &r, &has_data))
                return false;
            m->recs.push_back(r);
        } else if (key == "data") {
            if (!parse_value(c, val, &m->filedata))
                return false;
            if (!filesize_set)
                m->filesize = static_cast<uint32_t>(m->filedata.size());
        } else if (num && key == "flags") {
            m->flags |= static_cast<uint32_t>(n);
        } else if (num && key == "handle") {
            m->handle = static_cast<uint32_t>(n);
        } else if (num && key == "ldom") {
            m->ldom = static_cast<uint32_t>(n);
        } else if (num && key == "status") {
            m->status = static_cast<int32_t>(n);
        } else if (num && key == "kstype") {
            m->kstype = static_cast<uint32_t>(n);
        } else if (num && key == "count") {
            m->count = static_cast<int32_t>(n);
        } else if (num && key == "len" && !m->recs.empty()) {
            m->recs.back().len = static_cast<int32_t>(n);
        } else if (num && key == "paramsize") {
            m->paramSize = static_cast<int32_t>(n);
        } else if (num && key == "filesize") {
            m->filesize = static_cast<uint32_t>(n);
            filesize_set = true;
        } else {
            return fail(c, "bad field " + w[i]);
        }
    }
    return true;
}

bool has_record(const kyrsim_msg &m, const kyrsim_rec &want, bool check_data)
{
    for (const kyrsim_rec &r : m.recs)
        if (r.id == want.id && (!check_data || r.data == want.data))
            return true;
    return false;
}

// Checks of an expect step against the message got.
bool check_msg(script_ctx &c, const std::vector<std::string> &w, const sim_inbox_item &got)
{
    const kyrsim_msg &m = got.msg;
    uint32_t type;
    if (!parse_type(w[2], &type))
        return fail(c, "unknown message type " + w[2]);
    if (m.type != type)
        return fail(c, std::string("expected ") + kyrsim_type_name(type) + ", got " +
                           kyrsim_msg_describe(m));
    for (size_t i = 3; i < w.size(); i++) {
        std::string key, val;
        bool has = split_field(w[i], &key, &val);
        long n = 0;
        bool num = parse_num(val, &n);
        bool ok;
        if (!has && key == "more") {
            ok = (m.flags & DBM_FLAG_MORE) != 0;
        } else if (!has && key == "last") {
            ok = (m.flags & DBM_FLAG_MORE) == 0;
        } else if (!has && key == "end") {
            ok = got.ended;
        } else if (key == "ksname") {
            ok = m.ksname == val;
        } else if (key == "owner") {
            if (val.size() > DBM_OWNER_LEN)
                return fail(c, "owner longer than 20 bytes: " + val);
            std::vector<uint8_t> owner = m.owner;
            owner.resize(DBM_OWNER_LEN, 0);
            ok = owner == kyrsim_user_id(val);
        } else if (key == "data") {
            std::vector<uint8_t> d;
            if (!parse_value(c, val, &d))
                return false;
            ok = m.filedata == d;
        } else if (key == "user" || key == "obj") {
            kyrsim_rec r;
            bool has_data;
            if (!parse_record(c, val, key == "user", &r, &has_data))
                return false;
            ok = has_record(m, r, has_data);
        } else if (num && key == "status") {
            ok = m.status == n;
        } else if (num && key == "flags") {
            ok = m.flags == static_cast<uint32_t>(n);
        } else if (num && key == "records") {
            ok = m.count == n;
        } else if (num && key == "filesize") {
            ok = m.filesize == static_cast<uint32_t>(n);
        } else {
            return fail(c, "bad check " + w[i]);
        }
        if (!ok)
            return fail(c, "check " + w[i] + " failed on " + kyrsim_msg_describe(m));
    }
    return true;
}

kyrsim_child *program(script_ctx &c)
{
    if (c.prog)
        return c.prog;
    return c.own.pid > 0 ? &c.own : nullptr;
}

bool step(script_ctx &c, const std::vector<std::string> &w)
{
    const std::string &cmd = w[0];
    long n = 0;
    if (cmd == "timeout" && w.size() == 2 && parse_num(w[1], &n) && n > 0) {
        c.timeout_ms = n;
    } else if (cmd == "echo") {
        std::string text;
        for (size_t i = 1; i < w.size(); i++)
            text += (i > 1 ? " " : "") + w[i];
        fprintf(c.out, "%s\n", text.c_str());
    } else if (cmd == "sleep" && w.size() == 2 && parse_num(w[1], &n) && n >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(n));
    } else if (cmd == "run" && w.size() >= 2) {
        if (program(c))
            return fail(c, "a program is already running");
        kyrsim_spawn_opts o;
        o.argv.assign(w.begin() + 1, w.end());
        o.inherit_output = true;
        int rc = kyrsim_spawn(c.sim, o, &c.own);
        if (rc)
            return fail(c, "cannot start " + w[1] + ": " + strerror(rc));
        fprintf(c.out, "== started %s (pid %d)\n", w[1].c_str(), static_cast<int>(c.own.pid));
    } else if (cmd == "hello" && (w.size() == 2 || w.size() == 3)) {
        long want = 0;
        if (w.size() == 3 && !parse_num(w[2], &want))
            return fail(c, "bad code " + w[2]);
        kyrsim_hello h;
        if (kyrsim_wait_hello(c.sim, w[1], c.timeout_ms, &h))
            return fail(c, "no hello from keystore \"" + w[1] + "\"");
        fprintf(c.out, "<- hello    DB_HELLO ks=\"%s\" domain=\"%s\" -> code %d\n", h.ksname.c_str(),
                h.domain.c_str(), h.result);
        if (h.result != want)
            return fail(c, "hello ended with " + std::to_string(h.result) + ", expected " +
                               std::to_string(want));
    } else if (cmd == "hello-answer" && (w.size() == 3 || w.size() == 4) && parse_num(w[2], &n)) {
        long card = -1;
        if (w.size() == 4 && !parse_num(w[3], &card))
            return fail(c, "bad card " + w[3]);
        kyrsim_set_hello_answer(c.sim, w[1], static_cast<int32_t>(n), static_cast<int>(card));
    } else if (cmd == "fault" && w.size() == 3) {
        long card, flags;
        if (!parse_num(w[1], &card) || !parse_num(w[2], &flags))
            return fail(c, "usage: fault CARD FLAGS");
        if (kyrsim_card_set_faults(static_cast<int>(card), static_cast<uint32_t>(flags)))
            return fail(c, "no card " + w[1]);
    } else if (cmd == "standby" && w.size() == 2) {
        if (kyrsim_wait_standby(c.sim, w[1], c.timeout_ms))
            return fail(c, "keystore \"" + w[1] + "\" does not wait for an upcall");
    } else if (cmd == "upcall" || cmd == "part") {
        kyrsim_msg m;
        if (!build_msg(c, w, &m))
            return false;
        std::vector<uint8_t> bytes;
        int rc = sim_encode_with_handle(c.sim, m, 0, &bytes);
        if (rc == 0)
            rc = cmd == "upcall" ? kyrsim_post_raw(c.sim, w[1], bytes)
                                 : sim_queue_part_raw(c.sim, w[1], bytes);
        if (rc)
            return fail(c, cmd + " for keystore \"" + w[1] + "\" failed: " + strerror(rc));
        kyrsim_msg shown;
        kyrsim_msg_decode(bytes.data(), bytes.size(), &shown);
        fprintf(c.out, "-> %-8s %s\n", cmd == "upcall" ? "upcall" : "next",
                kyrsim_msg_describe(shown).c_str());
    } else if (cmd == "refuse" && w.size() == 4) {
        long nth, status;
        if (!parse_num(w[2], &nth) || !parse_num(w[3], &status) || nth < 1)
            return fail(c, "usage: refuse KS NTH STATUS");
        kyrsim_queue_refusal(c.sim, w[1], static_cast<int>(nth), static_cast<int32_t>(status));
    } else if (cmd == "expect" && w.size() >= 3) {
        sim_inbox_item got;
        auto dl = std::chrono::steady_clock::now() + std::chrono::milliseconds(c.timeout_ms);
        if (sim_next_item(c.sim, w[1], dl, &got))
            return fail(c, "no message from keystore \"" + w[1] + "\" (expected " + w[2] + ")");
        fprintf(c.out, "<- answer   %s%s\n", kyrsim_msg_describe(got.msg).c_str(),
                got.ended ? " (end of exchange)" : "");
        return check_msg(c, w, got);
    } else if (cmd == "quiet" && w.size() == 3 && parse_num(w[2], &n)) {
        sim_inbox_item got;
        auto dl = std::chrono::steady_clock::now() + std::chrono::milliseconds(n);
        if (sim_next_item(c.sim, w[1], dl, &got) == 0)
            return fail(c, "unexpected message " + kyrsim_msg_describe(got.msg));
    } else if (cmd == "signal" && w.size() == 2) {
        static const struct {
            const char *name;
            int sig;
        } sigs[] = {{"INT", SIGINT}, {"HUP", SIGHUP}, {"TERM", SIGTERM}, {"KILL", SIGKILL}};
        kyrsim_child *p = program(c);
        if (!p)
            return fail(c, "no program");
        for (const auto &s : sigs)
            if (w[1] == s.name || w[1] == std::string("SIG") + s.name)
                return kyrsim_signal_child(p, s.sig) == 0 || fail(c, "program already ended");
        return fail(c, "unknown signal " + w[1]);
    } else if (cmd == "exit" && w.size() == 2 && parse_num(w[1], &n)) {
        kyrsim_child *p = program(c);
        if (!p)
            return fail(c, "no program");
        if (kyrsim_wait_child(p, c.timeout_ms))
            return fail(c, "the program did not end");
        int code = kyrsim_exit_code(*p);
        fprintf(c.out, "== program ended with %d\n", code);
        if (code != n)
            return fail(c, "program ended with " + std::to_string(code) + ", expected " + w[1]);
    } else {
        return fail(c, "bad step: " + cmd);
    }
    return true;
}

}  // namespace

int kyrsim_run_script(kyrsim *sim, const std::string &text, const std::string &name, FILE *out,
                      kyrsim_child *prog, std::string *failure)
{
    script_ctx c;
    c.sim = sim;
    c.out = out;
    c.prog = prog;
    std::istringstream in(text);
    std::string line;
    int lineno = 0, rc = 0;
    while (std::getline(in, line)) {
        lineno++;
        c.where = name + ":" + std::to_string(lineno);
        std::vector<std::string> words;
        std::string err;
        if (!tokenize(line, &words, &err)) {
            fail(c, err);
            rc = EINVAL;
            break;
        }
        if (words.empty())
            continue;
        if (!step(c, words)) {
            rc = EINVAL;
            break;
        }
        fflush(out);
    }
    // A program the script started and left running is stopped.
    if (c.own.pid > 0 && !c.own.exited)
        kyrsim_kill_child(&c.own);
    *failure = c.failure;
    return rc;
}
