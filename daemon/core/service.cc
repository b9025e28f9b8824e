// The service routine of every keystore thread and of the control thread:
// register, open the control device, say hello, then offer DB_STANDBY,
// receive an upcall in its place, dispatch it, and make sure a failed
// request is answered.
//
// Cancellation: a service thread runs with cancellation disabled and
// deferred.  Only the blocking wait for an upcall (the device call of a
// DB_STANDBY submission) runs with asynchronous cancellation enabled; there
// the thread holds no lock (stdio, allocator, tllock), so the main thread
// can cancel a waiting thread at once without leaving a lock taken.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "../cks/cks.h"
#include "../localks/localks.h"
#include "qelctl.h"
#include "qelkiod.h"

namespace {

int sys_ioctl(int fd, unsigned long cmd, void *arg)
{
    return ioctl(fd, cmd, arg);
}

// The device call, cancellable only while it waits for an upcall.
// Kept out of line: an asynchronous cancellation may act inside the
// pthread_setcancelstate call here, and the unwinder must then find a
// frame without exception tables (in a frame with them, a call the
// compiler knows cannot throw has no entry and the unwind would end in
// std::terminate).
__attribute__((noinline)) int device_call(upcall_buf *buf, bool wait_for_upcall)
{
    if (!wait_for_upcall)
        return qelkiod_ioctl(buf->fd, QELCTLUPCALL, buf->msg);
    int oldtype, oldstate;
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &oldtype);
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &oldstate);
    int r = qelkiod_ioctl(buf->fd, QELCTLUPCALL, buf->msg);
    int err = errno;
    pthread_setcancelstate(oldstate, nullptr);
    pthread_setcanceltype(oldtype, nullptr);
    // The C library makes a cancellation request and its signal two
    // steps: a request made during the wait may still have its signal in
    // flight, and the library acts on such a signal in the next
    // cancellation point whatever the state (those run asynchronous for
    // the length of their system call).  That must not be one inside a
    // handler, in the middle of a transaction: pass one cancellation
    // point now, holding nothing; the library returns from it only once
    // the signal has been delivered.
    (void)poll(nullptr, 0, 0);
    errno = err;
    return r;
}

// A cancellation requested while a handler ran takes effect here, where
// the thread holds nothing but what its cleanup releases.
void act_on_pending_cancel()
{
    int oldstate;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &oldstate);
    pthread_testcancel();
    pthread_setcancelstate(oldstate, nullptr);
}

// Interprets a hello's result for a thread already registered or about
// to serve: 0 to serve, else the code that ends the thread.
int hello_outcome(const kstinfo *ks, int rc)
{
    if (rc == 0)
        return 0;
    if (rc == DBM_HELLO_DEFERRED) {
        qelkiod_log(LOG_INFO, "Firmware/Driver mismatch: thread will enter STANDBY mode");
        return 0;
    }
    if (ks->name == nullptr) {
        qelkiod_log(LOG_ERR, "Control thread failed HELLO: %s", strerror(rc));
        return rc;
    }
    if (rc == ENOENT) {
        qelkiod_log(LOG_INFO, "Firmware does not handle keystore %s", ks->name);
        return ENOENT;
    }
    qelkiod_log(LOG_ERR, "Firmware rejected keystore %s: %s", ks->name, strerror(rc));
    return rc;
}

void prep_standby(upcall_buf *buf)
{
    memset(buf->msg, 0, DBM_MAX_MSG);
    dbm_header_t *h = msg_hdr(buf->msg);
    h->type = DB_STANDBY;
    h->extent = DBM_MAX_MSG;
    h->paramSize = DBM_PARAM_SIZE;
}

typedef int (*handler_fn)(upcall_buf *);

// Runs a handler with cancellation off and answers a failure with a
// DB_RESPONSE.  Returns the handler's own result.
int run_handler(handler_fn fn, upcall_buf *buf)
{
    int oldstate, oldtype;
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &oldtype);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldstate);
    int rc = fn(buf);
    if (rc != 0 && rc != ECANCELED)
        qelkiod_answer(buf, rc);
    pthread_setcancelstate(oldstate, nullptr);
    pthread_setcanceltype(oldtype, nullptr);
    return rc;
}

int config_read(upcall_buf *buf)
{
    const kstinfo *ks = qelkiod_self();
    return (ks != nullptr && ks->kstype == DBM_KS_LDAP) ? cks_config_read(buf)
                                                        : task_file_read(buf);
}

int config_write(upcall_buf *buf)
{
    const kstinfo *ks = qelkiod_self();
    return (ks != nullptr && ks->kstype == DBM_KS_LDAP) ? cks_config_write(buf)
                                                        : task_file_write(buf);
}

int db_make(upcall_buf *buf)
{
    uint32_t kstype = static_cast<uint32_t>(msg_get32(buf->msg, DBM_KSTYPE_OFF));
    return kstype == DBM_KS_LDAP ? cks_db_make(buf) : localks_db_make(buf);
}

// DB_INIT: only the control thread creates keystores; a new local keystore
// then gets its thread whatever the creation said (it may exist already),
// a centralized one only when it was made.
int serve_init(upcall_buf *buf, const kstinfo *self)
{
    if (self->name != nullptr)
        return qelkiod_answer(buf, EOPNOTSUPP);
    // Taken before the creation: its answer overwrites the message.  A
    // name or type no keystore can have is refused before anything is made
    // or started: a nameless record would be a second control thread, and
    // a thread of an unknown type could serve nothing.
    char name[DBM_KSNAME_LEN];
    int ret = qelkiod_msg_ksname(buf->msg, DBM_KSNAME_OFF, name);
    dbm_kstype_t kstype = static_cast<dbm_kstype_t>(msg_get32(buf->msg, DBM_KSTYPE_OFF));
    if (ret == 0 && kstype != DBM_KS_LOCAL && kstype != DBM_KS_LDAP) {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", kstype);
        ret = EINVAL;
    }
    if (ret != 0) {
        qelkiod_log(LOG_ERR, "DB_INIT refused: no keystore created, no thread started");
        return qelkiod_answer(buf, ret);
    }
    int made = run_handler(db_make, buf);
    // A shared keystore that this host could not make (it may be another
    // host's, or half made and taken back) is not this host's to serve.
    if (kstype != DBM_KS_LOCAL && made != 0)
        return 0;
    kstinfo *ks = create_kstinfo(name, kstype);
    if (ks != nullptr && spawn_ks_thread(ks) != 0)
        free_kstinfo(ks);
    return 0;
}

handler_fn handler_for(uint32_t type)
{
    switch (type) {
    case DB_USER_READ: return task_user_read;
    case DB_USER_WRITE: return task_user_write;
    case DB_USER_DEL: return task_user_del;
    case DB_OBJECT_READ: return task_obj_read;
    case DB_OBJECT_WRITE: return task_obj_write;
    case DB_OBJECT_DEL: return task_obj_del;
    case DB_FILE_READ: return task_file_read;
    case DB_FILE_WRITE: return task_file_write;
    case DB_READ: return task_db_read;
    case DB_DELETE: return task_db_del;
    case DB_CHECK: return task_db_check;
    case DB_JOIN: return task_db_join;
    case DB_ARCHIVE: return task_db_archive;
    case DB_UNARCHIVE: return task_db_unarchive;
    case DB_RENAME: return task_db_rename;
    case DB_CONFIG_READ: return config_read;
    case DB_CONFIG_WRITE: return config_write;
    case DB_LOG_READ: return task_log_read;
    case DB_LOG_WRITE: return task_log_write;
    case DB_FILE_DEL: return task_file_del;
    default: return nullptr;
    }
}

// Thread start, steps that can fail: list entry, TSD, signal mask, device.
// On failure *tsd_set tells whether the destructor will free ks.
int thread_setup(kstinfo *ks, upcall_buf *buf, bool *tsd_set)
{
    int rc = tlist_add(pthread_self(), ks);
    if (rc != 0)
        return rc;
    rc = pthread_setspecific(ptconfkey, ks);
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Cannot set TSD value: %s", strerror(rc));
        return rc;
    }
    *tsd_set = true;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGCHLD);
    rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) {
        qelkiod_log(LOG_ERR, "Failed to block SIGHUP: %s", strerror(rc));
        return rc;
    }
    int fd = open(qelkiod_devpath, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        rc = errno;
        qelkiod_log(LOG_ERR, "Cannot open device %s: %s", qelkiod_devpath, strerror(rc));
        return rc;
    }
    buf->fd = fd;
    ks->fd = fd;
    buf->ksdir = qelkiod_ksdir();
    return 0;
}

int serve(upcall_buf *buf)
{
    for (;;) {
        prep_standby(buf);
        bool malformed = false;
        int rc = submit_message_in(buf, &malformed);
        if (rc != 0 && malformed) {
            // An upcall of a known type that does not hold together: the
            // request is refused and the thread waits for the next one.
            qelkiod_log(LOG_ERR, "Refusing malformed upcall of type 0x%x",
                        msg_hdr(buf->msg)->type);
            qelkiod_answer(buf, EINVAL);
            act_on_pending_cancel();
            continue;
        }
        if (rc != 0)
            return rc;
        rc = qelkiod_task(buf);
        if (rc != 0)
            return rc;
        act_on_pending_cancel();
    }
}

void log_thread_end(const kstinfo *ks, int rc)
{
    if (ks->name == nullptr)
        qelkiod_log(LOG_INFO, "Control thread exiting: 0x%x", static_cast<unsigned>(rc));
    else if (rc == ECANCELED)
        qelkiod_log(LOG_INFO, "Keystore thread closing");
    else
        qelkiod_log(LOG_INFO, "Keystore thread exiting: 0x%x", static_cast<unsigned>(rc));
}

// Cancellation unwinds the thread's frames without running their
// instrumented epilogues, so under AddressSanitizer the stack poison of
// those frames would stay behind and trip the thread-exit code that reuses
// that stack.  Runs in the cleanup of the thread routine, below which only
// unwound frames lie.
void forget_unwound_frames()
{
#if defined(__SANITIZE_ADDRESS__)
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    uintptr_t low = here - 256 * 1024;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void *stack = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &stack, &size) == 0 &&
            reinterpret_cast<uintptr_t>(stack) > low)
            low = reinterpret_cast<uintptr_t>(stack);
        pthread_attr_destroy(&attr);
    }
    if (here > low)
        __asan_unpoison_memory_region(reinterpret_cast<void *>(low), here - low);
#endif
}

// Cleanup of the thread routine, on return and on cancellation alike.
void thread_cleanup(void *buf)
{
    free(buf);
    forget_unwound_frames();
}

}  // namespace

qelkiod_ioctl_fn qelkiod_ioctl = sys_ioctl;
const char *qelkiod_devpath = QELKIOD_DEVICE;

int submit_message_in(upcall_buf *buf, bool *malformed)
{
    *malformed = false;
    uint32_t type = msg_hdr(buf->msg)->type;
    int rc = prep_ioctl_bswap(buf->msg, BSWAP_TO_NETWORK);
    if (rc != 0)
        return rc;
    if (device_call(buf, type == DB_STANDBY) != 0) {
        int err = errno != 0 ? errno : EIO;
        if (err == EINTR)
            qelkiod_log(LOG_DEBUG,
                        "Signal delivered to process while waiting on upcall.  Thread exiting.");
        else
            qelkiod_log(LOG_ERR, "Failure submitting ioctl: %s", strerror(err));
        // The buffer still holds what was sent, in network order.  Back in
        // host order, an answer built on it carries the request's handle
        // and ldom, so it reaches the card that asked.
        prep_ioctl_bswap(buf->msg, BSWAP_TO_HOST);
        return err;
    }
    rc = prep_ioctl_bswap(buf->msg, BSWAP_TO_HOST);
    if (rc != 0) {
        // The header is in host order even so; a message of a known type
        // arrived and is to be refused.
        *malformed = msg_type_known(msg_hdr(buf->msg)->type);
        return rc;
    }
    int status = msg_hdr(buf->msg)->status;
    if (status == 0)
        return 0;
    if (status == ENOENT && type == DB_HELLO)
        return ENOENT;
    qelkiod_log(LOG_ERR, "Firmware reports failure on submitted ioctl: %s", strerror(status));
    return status;
}

int submit_message(upcall_buf *buf)
{
    bool malformed = false;
    return submit_message_in(buf, &malformed);
}

int qelkiod_answer(upcall_buf *buf, int status)
{
    make_response(msg_hdr(buf->msg), status);
    // The firmware's reply to an answer changes nothing here.
    submit_message(buf);
    return 0;
}

int task_fw_hello(upcall_buf *buf)
{
    const kstinfo *ks = qelkiod_self();
    if (ks == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot get TSD value on DB_HELLO: %s", strerror(EINVAL));
        return EINVAL;
    }
    memset(buf->msg, 0, DBM_MAX_MSG);
    dbm_header_t *h = msg_hdr(buf->msg);
    h->type = DB_HELLO;
    h->extent = DBM_MAX_MSG;
    h->paramSize = DBM_PARAM_SIZE;
    char *domain = reinterpret_cast<char *>(buf->msg + DBM_DOMAIN_OFF);
    if (gethostname(domain, DBM_DOMAIN_LEN) != 0) {
        int err = errno;
        qelkiod_log(LOG_ERR, "Cannot obtain domain ID: %s", strerror(err));
        return err;
    }
    domain[DBM_DOMAIN_LEN - 1] = '\0';
    if (ks->name != nullptr)
        msg_set_name(buf->msg, DBM_KSNAME_OFF, ks->name);
    return submit_message(buf);
}

int qelkiod_task(upcall_buf *buf)
{
    const kstinfo *ks = qelkiod_self();
    if (ks == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot get TSD value on DB_HELLO: %s", strerror(EINVAL));
        return EINVAL;
    }
    uint32_t type = msg_hdr(buf->msg)->type;
    switch (type) {
    case DB_HELLO:
        return hello_outcome(ks, task_fw_hello(buf));
    case DB_INIT:
        return serve_init(buf, ks);
    case DB_GOODBYE:
        return ECANCELED;
    case DB_DELETE:
        // The keystore is gone: its thread ends after a successful delete.
        // The control thread serves no keystore and always goes on.
        return run_handler(task_db_del, buf) == 0 && ks->name != nullptr ? ECANCELED : 0;
    default:
        break;
    }
    handler_fn fn = handler_for(type);
    if (fn == nullptr) {
        qelkiod_log(LOG_ERR, "Service received unsupported upcall: 0x%x", type);
        return 0;
    }
    run_handler(fn, buf);
    return 0;
}

// Without address-sanitizer redzones of its own: its frame is the one the
// cleanup cannot clear (see forget_unwound_frames).
__attribute__((no_sanitize_address)) void *qelkiod_file_ops(void *arg)
{
    kstinfo *ks = static_cast<kstinfo *>(arg);
    // Cancellation stays off except around the wait for an upcall.
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);

    upcall_buf *buf = static_cast<upcall_buf *>(calloc(1, DBM_UPCALL_BUFSZ));
    bool tsd_set = false;
    int rc;
    if (buf == nullptr) {
        rc = ENOMEM;
        qelkiod_log(LOG_ERR, "Cannot allocate upcall buffer: %s", strerror(rc));
        // Still entered in the list by spawn_ks_thread: mark and leave.
        tlist_add(pthread_self(), ks);
    } else {
        buf->fd = -1;
        rc = thread_setup(ks, buf, &tsd_set);
    }
    pthread_cleanup_push(thread_cleanup, buf);
    if (rc == 0) {
        rc = hello_outcome(ks, task_fw_hello(buf));
        if (rc == 0)
            rc = serve(buf);
    }
    log_thread_end(ks, rc);
    pthread_cleanup_pop(1);
    if (tlist_mark_self_dead() != 0) {
        qelkiod_log(LOG_ERR, "Cannot find thread ID %u in thread list",
                    static_cast<unsigned>(pthread_self()));
        pthread_detach(pthread_self());
    }
    // Without the TSD entry nothing else frees the record and its device.
    if (!tsd_set)
        free_kstinfo(ks);
    return arg;
}
