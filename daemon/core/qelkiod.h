// Shared declarations of the keystore I/O daemon: configuration, logging,
// keystore information, thread list, service loop and the handler table.
#ifndef KYR_QELKIOD_H
#define KYR_QELKIOD_H

#include <pthread.h>
#include <syslog.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

#include "dbm_msg.h"
#include "upcall.h"

// ---- fixed paths and defaults ----
#define QELKIOD_CONF_DEFAULT   "/etc/opt/orv/vantor/kyrkiod.conf"
#define QELKIOD_KSDIR_DEFAULT  "/var/opt/orv/vantor/keydata"
#define QELKIOD_LOCKFILE       "/var/opt/orv/vantor/lock/kyrkiod_lock"
#define QELKIOD_LOCALEDIR      "/opt/orv/vantor/share/locale"
#define QELKIOD_TEXTDOMAIN     "ORVW_TKV_ZANT"
#define QELKIOD_DEVICE         "/dev/qelctl"
#define QELKIOD_USER_DEFAULT   "daemon"
#define QELKIOD_MAX_SERVERS    256
#define QELKIOD_AUDIT_DEFAULT  500

// ---- configuration record ----
struct qelkiod_server {
    char *host;
    int port;
    int ssl;  // 0 = ldap, 1 = ldaps
};

struct qelkiod_config {
    int debug;        // -d count
    int foreground;   // -F
    int nservers;
    int auditloglimit;
    int degraded;
    char *user;
    char *logfile;
    char *keystoredir;
    int debuglevel;
    char *basedn;
    char *binddn;
    char *authtype;
    char *certdb;
    char *certname;
    char *passfile;
    char *password;
    qelkiod_server servers[QELKIOD_MAX_SERVERS];
};

extern qelkiod_config mconf;
extern char *cfile;

// Keystore directory in force: the configured one, else the default.
const char *qelkiod_ksdir();
bool cks_configured();
void free_config_data(qelkiod_config *c);
int qelkiod_process_config(FILE *fp);
int qelkiod_process_config_buf(const char *data, size_t len);
int read_passfile();
int strtol_strict(const char *text, long *out);
// One serverlist value ("ldap[s]://host[:port]"); 0 when a server was added.
int qelkiod_add_server(const char *value);
// Start-up step 6: read cfile (default path when unset) into mconf, or warn
// and keep the defaults.  Always 0.
int qelkiod_load_config();
// Zero mconf and set the start-up values; the command-line settings (-d
// count, -F) are given again since they are not in the file.
void qelkiod_reset_config(int debugcount, int foreground);
// Debug level for a number of -d options (5 raised by one each, at most 7).
int qelkiod_debuglevel_for(int debugcount);
// Logs which of the centralized/degraded situations is in force.
void qelkiod_report_degraded();
// When servers are configured, read the password file (degraded on
// failure); then the degraded-mode report.  Used at start-up and reload.
void qelkiod_settle_cks();
// Lock file: $KYRKIOD_LOCKFILE when set and non-empty, else QELKIOD_LOCKFILE.
const char *qelkiod_lockfile_path();
// Opens (0600) and locks the lock file exclusively (flock), held as long as
// *fd_out stays open (also across fork).  Refusal by another holder logs its
// pid and returns the errno of the refusal; any other failure of the lock
// is logged and returned too.
int qelkiod_take_lockfile(const char *path, int *fd_out);
// Records the calling process's pid in the lock file.
int qelkiod_lockfile_write_pid(int fd);

// ---- logging ----
void qelkiod_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void qelkiod_log_init(const char *progpath, int level);
void qelkiod_set_loglvl(int level);
int qelkiod_set_logfile();
void qelkiod_close_logfile();
extern int logmask;
extern int kyrkiod_disable_syslog;

// ---- service user and discovery ----
struct kstinfo {
    char *name;            // nullptr for the control thread
    dbm_kstype_t kstype;
    int fd;                // control device, -1 while none
    uint32_t dbopen_count;
};

kstinfo *create_kstinfo(const char *name, dbm_kstype_t kstype);
void free_kstinfo(void *ks);
extern pthread_key_t ptconfkey;
// The calling thread's keystore information, or nullptr.
inline kstinfo *qelkiod_self() { return static_cast<kstinfo *>(pthread_getspecific(ptconfkey)); }

// Keystore table of one discovery pass; grows as needed.
struct kstable {
    kstinfo **v;
    int count;
    int cap;
};
int kstable_append(kstable *t, kstinfo *ks);
void kstable_free(kstable *t);  // frees the records still in it

int qelkiod_change_user(const char *user);
int qelkiod_newuid_sanity();
int qelkiod_get_ksnames(kstable *t);

// ---- thread list ----
extern pthread_mutex_t tllock;
int tlist_add(pthread_t tid, const kstinfo *ks);
int tlist_mark_self_dead();
// EEXIST (logged, nothing changed) when a live thread serves newname.
int tlist_rename(const char *oldname, const char *newname);
// True when a live thread serves this name, whatever its keystore type.
bool tlist_name_served(const char *name);
void tlist_reap();
int tlist_cancel_all();
// True when a live (not dead) thread serves this keystore name and type.
bool tlist_is_served(const char *name, dbm_kstype_t kstype);

// Discovery, one thread per keystore, then the control thread.  When the
// control thread cannot start, the threads already started are cancelled
// and joined before the failure is returned.
int make_keystore_threads();
// Start-up steps after the fork: thread list mutex, signal dispositions,
// TSD key, the threads, the supervision loop.  Returns the exit status.
int qelkiod_run_service();
// Starts a thread for the record, which then belongs to the thread.  A
// keystore that already has a live thread gets no second one: the record
// is freed, the refusal logged, and 0 returned (the keystore is served).
int spawn_ks_thread(kstinfo *ks);

// ---- signals and supervision ----
extern volatile sig_atomic_t sigcaught;  // 0 or the first pending signal
void sig_function(int sig);              // records only; never logs
int qelkiod_install_signals();
int qelkiod_supervise();                 // the main thread's loop until shutdown
int s_hup();                             // reload: 1 keep running, 0 stop

// ---- service loop ----
void *qelkiod_file_ops(void *arg);
int submit_message(upcall_buf *buf);
// submit_message telling also whether what came back (an upcall, the next
// part of an exchange) is a message of a known type that failed the
// conversion: it is then to be refused with EINVAL.  Whatever happens the
// buffer's header is left in host order.
int submit_message_in(upcall_buf *buf, bool *malformed);
// The one way to answer a request: a DB_RESPONSE with the status (0 or a
// failure) built on the header in the buffer and submitted; the reply to an
// answer is not judged.  Returns 0.
int qelkiod_answer(upcall_buf *buf, int status);
int qelkiod_task(upcall_buf *buf);
int task_fw_hello(upcall_buf *buf);

// The device transport.  Production code uses ioctl(2); benchmarks and unit
// tests install an in-process firmware here.
typedef int (*qelkiod_ioctl_fn)(int fd, unsigned long cmd, void *arg);
extern qelkiod_ioctl_fn qelkiod_ioctl;
// Control device the service threads open; tests point it elsewhere.
extern const char *qelkiod_devpath;

// ---- handlers (0 answered, ECANCELED nothing more to send, else status) ----
int task_user_read(upcall_buf *buf);
int task_user_write(upcall_buf *buf);
int task_user_del(upcall_buf *buf);
int task_obj_read(upcall_buf *buf);
int task_obj_write(upcall_buf *buf);
int task_obj_del(upcall_buf *buf);
int task_file_read(upcall_buf *buf);
int task_file_write(upcall_buf *buf);
int task_file_del(upcall_buf *buf);
int task_db_read(upcall_buf *buf);
int task_db_del(upcall_buf *buf);
int task_db_check(upcall_buf *buf);
int task_db_join(upcall_buf *buf);
int task_db_archive(upcall_buf *buf);
int task_db_unarchive(upcall_buf *buf);
int task_db_rename(upcall_buf *buf);
int task_log_read(upcall_buf *buf);
int task_log_write(upcall_buf *buf);

// ---- name checks (names from the firmware become paths) ----
// A keystore name: 1..63 characters, no '/', not "." or "..".
bool qelkiod_valid_ksname(const char *name);
// A file name of the keystore directory: one entry of that directory
// itself, by the same rule as a keystore name (no '/', not "." or "..").
bool qelkiod_valid_filename(const char *name);
// A name field read (msg_get_name) and checked as a keystore name or, in
// file messages, a file name: 0, or EINVAL with a log line.
[[nodiscard]] int qelkiod_msg_ksname(const unsigned char *m, size_t off, char out[DBM_KSNAME_LEN]);
[[nodiscard]] int qelkiod_msg_filename(const unsigned char *m, char out[DBM_KSNAME_LEN]);

#endif  // KYR_QELKIOD_H
