// Keystore threads: the thread list, thread creation, signal dispositions,
// the main thread's supervision loop and the reload on SIGHUP.
//
// Locking and cancellation rules kept by this file:
//  - tllock guards both lists below and every node in them; it is the
//    daemon's only lock.
//  - Only the main thread removes nodes (tlist_reap, tlist_cancel_all); the
//    service threads add nodes (spawn_ks_thread, tlist_add), mark their own
//    node dead and rename nodes, always under tllock.
//  - The main thread never joins a thread while it holds tllock: a handler
//    that renames its keystore (and so takes tllock) while the main thread
//    cancels it must be able to finish.
//  - Service threads are cancellable only while they wait for an upcall
//    (see submit_message), never while they hold tllock.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <poll.h>
#include <sys/stat.h>

#include "qelkiod.h"

pthread_mutex_t tllock = PTHREAD_MUTEX_INITIALIZER;
volatile sig_atomic_t sigcaught = 0;

namespace {

struct tlist_node {
    pthread_t tid;
    char *name;          // nullptr for the control thread
    dbm_kstype_t kstype;
    tlist_node *prev;
    tlist_node *next;
    int dead;            // the thread has left its service loop
    int cancel_failed;   // pthread_cancel refused it; left in the list
};

struct tlist {
    tlist_node *head;
    tlist_node *tail;
};

// Threads that serve (or have ended and wait for the reaper).
tlist tlist_live = {nullptr, nullptr};
// Threads the main thread has cancelled and is joining.  They still count
// as serving their keystore until they are joined: a cancelled thread may
// be finishing a handler with the keystore open.
tlist tlist_cancelled = {nullptr, nullptr};

// A signal that arrived while another one was still pending: not acted on,
// but reported by the supervision loop.
volatile sig_atomic_t sigignored = 0;

void list_append(tlist *l, tlist_node *n)
{
    n->next = nullptr;
    n->prev = l->tail;
    if (l->tail != nullptr)
        l->tail->next = n;
    else
        l->head = n;
    l->tail = n;
}

void list_unlink(tlist *l, tlist_node *n)
{
    if (n->prev != nullptr)
        n->prev->next = n->next;
    else
        l->head = n->next;
    if (n->next != nullptr)
        n->next->prev = n->prev;
    else
        l->tail = n->prev;
    n->prev = n->next = nullptr;
}

void node_free(tlist_node *n)
{
    free(n->name);
    free(n);
}

// Latest node of the thread: searched from the tail, so that a node of a
// joined thread whose id was reused and that is not yet removed loses.
tlist_node *find_tid(tlist *l, pthread_t tid)
{
    for (tlist_node *n = l->tail; n != nullptr; n = n->prev)
        if (pthread_equal(n->tid, tid))
            return n;
    return nullptr;
}

const dbm_kstype_t ANY_KSTYPE = 0xffffffffu;

bool served_in(const tlist *l, const char *name, dbm_kstype_t kstype)
{
    for (tlist_node *n = l->head; n != nullptr; n = n->next)
        if (!n->dead && n->name != nullptr && (kstype == ANY_KSTYPE || n->kstype == kstype) &&
            strcmp(n->name, name) == 0)
            return true;
    return false;
}

int lock_list()
{
    int rc = pthread_mutex_lock(&tllock);
    if (rc != 0)
        qelkiod_log(LOG_ERR, "Cannot lock thread list: %s", strerror(rc));
    return rc;
}

tlist_node *node_new(pthread_t tid, const kstinfo *ks)
{
    tlist_node *n = static_cast<tlist_node *>(calloc(1, sizeof(*n)));
    if (n == nullptr)
        return nullptr;
    if (ks->name != nullptr) {
        n->name = strdup(ks->name);
        if (n->name == nullptr) {
            free(n);
            return nullptr;
        }
    }
    n->tid = tid;
    n->kstype = ks->kstype;
    return n;
}

void join_node(pthread_t tid)
{
    int rc = pthread_join(tid, nullptr);
    if (rc != 0)
        qelkiod_log(LOG_ERR, "Reaper cannot join thread: %s", strerror(rc));
    else
        qelkiod_log(LOG_DEBUG, "Thread %u joined", static_cast<unsigned>(tid));
}

// Cancels every live node not yet refused, moving it to the cancelled list.
// Returns the number moved.  Called with tllock held.
int cancel_live_nodes()
{
    int moved = 0;
    tlist_node *n = tlist_live.head;
    while (n != nullptr) {
        tlist_node *next = n->next;
        if (!n->cancel_failed) {
            // A thread that has ended (dead, or gone before it could say
            // so: ESRCH) needs only the join.
            int rc = n->dead ? 0 : pthread_cancel(n->tid);
            if (rc != 0 && rc != ESRCH) {
                qelkiod_log(LOG_WARNING, "Failed cancelling thread ID 0x%x: %s",
                            static_cast<unsigned>(n->tid), strerror(rc));
                n->cancel_failed = 1;
            } else {
                list_unlink(&tlist_live, n);
                list_append(&tlist_cancelled, n);
                moved++;
            }
        }
        n = next;
    }
    return moved;
}

void log_spawn(const kstinfo *ks)
{
    if (ks->name == nullptr) {
        qelkiod_log(LOG_DEBUG, "Spawning control thread");
        return;
    }
    if (ks->kstype == DBM_KS_LOCAL) {
        char path[4096];
        struct stat st;
        int n = snprintf(path, sizeof(path), "%s/%s", qelkiod_ksdir(), ks->name);
        if (n > 0 && static_cast<size_t>(n) < sizeof(path) && stat(path, &st) == 0 &&
            S_ISDIR(st.st_mode))
            qelkiod_log(LOG_DEBUG, "Spawning thread for local keystore %s", ks->name);
        else
            qelkiod_log(LOG_ERR, "Keystore directory for %s is invalid", ks->name);
    } else if (ks->kstype == DBM_KS_LDAP) {
        qelkiod_log(LOG_DEBUG, "Spawning thread for centralized keystore %s", ks->name);
    } else {
        qelkiod_log(LOG_WARNING, "Invalid keystore type for %s, 0x%x", ks->name,
                    static_cast<unsigned>(ks->kstype));
    }
}

// Creates the thread with SIGHUP, SIGINT and SIGCHLD blocked from its first
// instruction on, so that they always reach the main thread.
int create_blocked(pthread_t *tid, kstinfo *ks)
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGHUP);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int rc = pthread_create(tid, nullptr, qelkiod_file_ops, ks);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

void sleep_one_second()
{
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void report_signal(int sig)
{
    const char *d = strsignal(sig);
    qelkiod_log(LOG_NOTICE, "Caught %s signal", d != nullptr ? d : "Unknown Signal");
}

}  // namespace

// ---- thread list ----

int tlist_add(pthread_t tid, const kstinfo *ks)
{
    if (ks == nullptr)
        return EINVAL;
    tlist_node *n = node_new(tid, ks);
    if (n == nullptr) {
        int err = errno ? errno : ENOMEM;
        qelkiod_log(LOG_ERR, "Cannot allocate new thread list node:%s", strerror(err));
        return err;
    }
    if (lock_list() != 0) {
        node_free(n);
        return EINVAL;
    }
    // spawn_ks_thread enters the node before the thread runs; the thread's
    // own call then finds it, possibly already among the cancelled ones (a
    // reload that began before the new thread got here).  A second node
    // would outlive the thread's join and be cancelled again later.
    if (find_tid(&tlist_live, tid) != nullptr || find_tid(&tlist_cancelled, tid) != nullptr) {
        pthread_mutex_unlock(&tllock);
        node_free(n);
        return 0;
    }
    list_append(&tlist_live, n);
    pthread_mutex_unlock(&tllock);
    return 0;
}

int tlist_mark_self_dead()
{
    if (lock_list() != 0)
        return EINVAL;
    pthread_t self = pthread_self();
    tlist_node *n = find_tid(&tlist_live, self);
    if (n == nullptr)
        n = find_tid(&tlist_cancelled, self);
    if (n != nullptr)
        n->dead = 1;
    pthread_mutex_unlock(&tllock);
    return n != nullptr ? 0 : ENOENT;
}

int tlist_rename(const char *oldname, const char *newname)
{
    if (oldname == nullptr || newname == nullptr)
        return EINVAL;
    char *copy = strdup(newname);
    if (copy == nullptr) {
        int err = errno ? errno : ENOMEM;
        qelkiod_log(LOG_ERR, "Cannot duplicate new keystore name [tlist]: %s", strerror(err));
        return err;
    }
    if (lock_list() != 0) {
        free(copy);
        return EINVAL;
    }
    tlist_node *found = nullptr;
    bool taken = false;
    for (tlist *l : {&tlist_live, &tlist_cancelled}) {
        for (tlist_node *n = l->head; n != nullptr; n = n->next) {
            if (n->name == nullptr)
                continue;
            if (found == nullptr && strcmp(n->name, oldname) == 0)
                found = n;
            // The firmware knows a keystore by its name alone: a name that
            // a live thread serves, of either type, is not free.
            else if (!n->dead && strcmp(n->name, newname) == 0)
                taken = true;
        }
    }
    if (taken) {
        pthread_mutex_unlock(&tllock);
        free(copy);
        qelkiod_log(LOG_ERR, "Keystore name %s is served by another thread", newname);
        return EEXIST;
    }
    if (found != nullptr) {
        free(found->name);
        found->name = copy;
        copy = nullptr;
    }
    pthread_mutex_unlock(&tllock);
    free(copy);
    return found != nullptr ? 0 : ENOENT;
}

void tlist_reap()
{
    if (lock_list() != 0)
        return;
    tlist reaped = {nullptr, nullptr};
    tlist_node *n = tlist_live.head;
    while (n != nullptr) {
        tlist_node *next = n->next;
        if (n->dead) {
            list_unlink(&tlist_live, n);
            list_append(&reaped, n);
        }
        n = next;
    }
    pthread_mutex_unlock(&tllock);
    // A dead thread has left its loop; the join only waits for its exit.
    while ((n = reaped.head) != nullptr) {
        list_unlink(&reaped, n);
        join_node(n->tid);
        node_free(n);
    }
}

int tlist_cancel_all()
{
    // Threads may start while this runs (a control thread finishing a
    // keystore creation); repeat until no cancellable thread is left.
    for (;;) {
        if (lock_list() != 0)
            return EINVAL;
        int moved = cancel_live_nodes();
        pthread_mutex_unlock(&tllock);
        if (moved == 0)
            return 0;
        // Only this thread unlinks nodes, so the cancelled list can be
        // walked without the lock; joins happen outside it.
        for (tlist_node *n = tlist_cancelled.head; n != nullptr; n = n->next)
            join_node(n->tid);
        if (lock_list() != 0)
            return EINVAL;
        tlist_node *n;
        while ((n = tlist_cancelled.head) != nullptr) {
            list_unlink(&tlist_cancelled, n);
            node_free(n);
        }
        pthread_mutex_unlock(&tllock);
    }
}

bool tlist_is_served(const char *name, dbm_kstype_t kstype)
{
    if (name == nullptr || pthread_mutex_lock(&tllock) != 0)
        return false;
    bool served = served_in(&tlist_live, name, kstype) || served_in(&tlist_cancelled, name, kstype);
    pthread_mutex_unlock(&tllock);
    return served;
}

bool tlist_name_served(const char *name)
{
    return tlist_is_served(name, ANY_KSTYPE);
}

// ---- thread creation ----

int spawn_ks_thread(kstinfo *ks)
{
    if (ks == nullptr)
        return EINVAL;
    if (lock_list() != 0)
        return EINVAL;
    // The check and the entry of the new thread happen under one hold of
    // the lock, so two requests cannot both start a thread for a keystore.
    // Two threads on one keystore would open its environment with recovery
    // at the same time.
    if (ks->name != nullptr && (served_in(&tlist_live, ks->name, ks->kstype) ||
                                served_in(&tlist_cancelled, ks->name, ks->kstype))) {
        pthread_mutex_unlock(&tllock);
        qelkiod_log(LOG_NOTICE, "Keystore %s is already served: no second thread started",
                    ks->name);
        free_kstinfo(ks);
        return 0;
    }
    log_spawn(ks);
    tlist_node *n = node_new(pthread_self(), ks);
    if (n == nullptr) {
        pthread_mutex_unlock(&tllock);
        qelkiod_log(LOG_ERR, "Cannot allocate new thread list node:%s", strerror(ENOMEM));
        return ENOMEM;
    }
    int rc = create_blocked(&n->tid, ks);
    if (rc != 0) {
        pthread_mutex_unlock(&tllock);
        node_free(n);
        qelkiod_log(LOG_ERR, "Thread creation failed for keystore %s: %s",
                    ks->name != nullptr ? ks->name : "(control)", strerror(rc));
        return rc;
    }
    list_append(&tlist_live, n);
    pthread_mutex_unlock(&tllock);
    return 0;
}

int make_keystore_threads()
{
    kstable t = {nullptr, 0, 0};
    int rc = qelkiod_get_ksnames(&t);
    if (rc != 0) {
        kstable_free(&t);
        return rc;
    }
    for (int i = 0; i < t.count; i++) {
        kstinfo *ks = t.v[i];
        t.v[i] = nullptr;
        if (spawn_ks_thread(ks) != 0)
            free_kstinfo(ks);
    }
    kstable_free(&t);

    kstinfo *ctl = create_kstinfo(nullptr, DBM_KS_LOCAL);
    rc = ctl == nullptr ? EINVAL : spawn_ks_thread(ctl);
    if (rc != 0) {
        free_kstinfo(ctl);
        // The caller gives up (start-up fails, a reload stops the daemon)
        // and frees the configuration the keystore threads read: they must
        // be gone first.
        tlist_cancel_all();
        return rc;
    }
    return 0;
}

// ---- signals ----

void sig_function(int sig)
{
    // Logging is not safe here: the supervision loop reports the signal.
    if (sigcaught == 0)
        sigcaught = sig;
    else
        sigignored = sig;
}

int qelkiod_install_signals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_IGN;
    const int ignored[] = {SIGPIPE, SIGUSR2, SIGTSTP, SIGTTIN, SIGTTOU, SIGXCPU, SIGALRM, SIGUSR1};
    for (int s : ignored)
        if (sigaction(s, &sa, nullptr) != 0)
            return errno;

    // Each catch blocks the other signal, so the test and set of sigcaught
    // in sig_function cannot interleave.
    sa.sa_handler = sig_function;
    sigaddset(&sa.sa_mask, SIGHUP);
    sigaddset(&sa.sa_mask, SIGINT);
    if (sigaction(SIGHUP, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0)
        return errno;

    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_DFL;
    sa.sa_flags = SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &sa, nullptr) != 0)
        return errno;

    // The main thread must receive these even if the parent process
    // started the daemon with them blocked.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGCHLD);
    return pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// ---- reload and supervision ----

int s_hup()
{
    int rc = tlist_cancel_all();
    if (rc != 0) {
        qelkiod_log(LOG_INFO, "SIGHUP thread cleanup failed: %s", strerror(rc));
        return 1;
    }
    int debugcount = mconf.debug;
    int foreground = mconf.foreground;
    qelkiod_close_logfile();
    qelkiod_reset_config(debugcount, foreground);
    qelkiod_load_config();
    qelkiod_set_loglvl(mconf.debuglevel);
    if (!mconf.foreground && mconf.logfile != nullptr) {
        rc = qelkiod_set_logfile();
        if (rc != 0) {
            qelkiod_log(LOG_ERR, "Cannot set logfile: %s", strerror(rc));
            return 0;
        }
        qelkiod_log(LOG_INFO, "Using log file %s", mconf.logfile);
    }
    qelkiod_settle_cks();
    sleep_one_second();
    return make_keystore_threads() == 0 ? 1 : 0;
}

// One pending signal: 1 to keep running, 0 to stop.
static int handle_signal(int sig)
{
    if (sig == SIGHUP)
        return s_hup();
    if (sig == SIGINT) {
        int rc = tlist_cancel_all();
        if (rc == 0)
            return 0;
        qelkiod_log(LOG_INFO, "SIGINT handler failed: %s.  service will remain alive",
                    strerror(rc));
        return 1;
    }
    qelkiod_log(LOG_WARNING, "Signal value 0x%x caught, but has no handler",
                static_cast<unsigned>(sig));
    return 1;
}

int qelkiod_supervise()
{
    int running = 1;
    while (running) {
        int r = poll(nullptr, 0, 2000);
        if (r < 0 && errno != EINTR) {
            qelkiod_log(LOG_ERR, "poll failed: %s", strerror(errno));
            continue;
        }
        if (r > 0) {
            qelkiod_log(LOG_ERR, "poll() returned nonzero value 0x%x", static_cast<unsigned>(r));
            continue;
        }
        int sig = sigcaught;
        if (sig == 0) {
            if (r == 0)
                tlist_reap();
            continue;
        }
        report_signal(sig);
        int ignored = sigignored;
        if (ignored != 0) {
            sigignored = 0;
            report_signal(ignored);
        }
        running = handle_signal(sig);
        sigcaught = 0;
    }
    return 0;
}

int qelkiod_run_service()
{
    int rc = pthread_mutex_init(&tllock, nullptr);
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Cannot initialize thread node list mutex: %s", strerror(rc));
        return rc;
    }
    rc = qelkiod_install_signals();
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Cannot install signal handlers: %s", strerror(rc));
        return rc;
    }
    qelkiod_log(LOG_INFO, "Starting keystore I/O handler");
    rc = pthread_key_create(&ptconfkey, free_kstinfo);
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Cannot create TSD key: %s", strerror(rc));
        return rc;
    }
    rc = make_keystore_threads();
    if (rc == 0)
        rc = qelkiod_supervise();
    return rc;
}
