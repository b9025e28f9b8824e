// The simulator's server: the listening socket, file and call connections,
// the commands of the control device run through the qelctl core, and the
// watch for hang-ups that stands in for the kernel's file lifetime.
//
// Threads: one acceptor, one monitor (epoll over file connections and the
// connections of running commands), and workers taken from a pool for each
// accepted connection (it opens the file, or runs the one command of a call
// connection) and for each command arriving on a file's channel.  A command
// blocked in a DB_STANDBY wait keeps its worker.
//
// A file connection is watched for its first byte (a command on the
// channel) or its hang-up (the close of the file) only while no command
// runs on it; while one runs, only a hang-up is watched for, which
// interrupts the command.  A command on a connection of its own is
// interrupted by the hang-up of that connection alone: the close of its
// file does not end it, as in the kernel, where the file lives on until
// the ioctl returns.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "compat_user.h"
#include "sim_internal.h"

namespace {

std::mutex g_sim_mu;
kyrsim *g_sim = nullptr;
thread_local sim_call *t_call = nullptr;

// Monitor tags: a running command's id, or a file's id and generation.
constexpr uint64_t kFileTag = 1ull << 63;
constexpr uint64_t kStopTag = 0;

uint64_t file_tag(const sim_file &f)
{
    return kFileTag | (uint64_t(f.gen) << 32) | f.id;
}

// Watches an idle file connection for its next command or its hang-up
// (once: the monitor hands the event on).  With mu held.
void arm_file(kyrsim *s, sim_file *f, int op)
{
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = file_tag(*f);
    epoll_ctl(s->epfd, op, f->fd, &ev);
}

bool send_all(int fd, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool recv_all(int fd, void *buf, size_t len)
{
    char *p = static_cast<char *>(buf);
    while (len > 0) {
        ssize_t n = recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Sends a frame; len bytes of payload follow when payload is given (a
// KSP_READ states a length but carries nothing).
bool send_frame(int fd, uint32_t op, uint32_t a, uint32_t b, uint64_t x, const void *payload,
                uint32_t len)
{
    ksp_frame_t f{};
    f.magic = KSP_MAGIC;
    f.op = op;
    f.a = a;
    f.b = b;
    f.x = x;
    f.len = len;
    return send_all(fd, &f, sizeof f) && (len == 0 || !payload || send_all(fd, payload, len));
}

bool recv_frame(int fd, ksp_frame_t *f)
{
    return recv_all(fd, f, sizeof *f) && f->magic == KSP_MAGIC;
}

uint32_t be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Worker threads take tasks (a connection to serve, a file to close) from
// the queue; an idle worker is reused, otherwise a new one starts, since a
// command waiting for an upcall holds its worker for as long as it waits.
// Workers end when the simulator stops and the queue is empty; kyrsim_stop
// waits for all of them (sim->workers).
void worker_loop(kyrsim *s)
{
    std::unique_lock<std::mutex> lk(s->mu);
    for (;;) {
        while (s->tasks.empty() && !s->stopping) {
            s->idle++;
            s->cv.wait(lk);
            s->idle--;
        }
        if (s->tasks.empty())
            break;
        std::function<void()> task = std::move(s->tasks.front());
        s->tasks.pop_front();
        lk.unlock();
        task();
        lk.lock();
    }
    s->workers--;
    s->cv.notify_all();
}

void spawn_worker(kyrsim *s, std::function<void()> fn)
{
    std::lock_guard<std::mutex> lk(s->mu);
    s->tasks.push_back(std::move(fn));
    if (s->idle > (int)s->tasks.size() - 1) {
        s->cv.notify_all();
        return;
    }
    s->workers++;
    std::thread(worker_loop, s).detach();
}

// ---- memory of the caller ----

// Copy backend of a command: asks the caller's interposer to read or write
// its memory.  A broken connection counts as a bad address.
int call_copy(void *ctx, int to_user, uint64_t uaddr, void *kaddr, size_t len)
{
    sim_call *c = static_cast<sim_call *>(ctx);
    ksp_frame_t f{};
    if (len > KSP_MAX_XFER)
        return EFAULT;
    if (to_user) {
        if (!send_frame(c->fd, KSP_WRITE, 0, 0, uaddr, kaddr, static_cast<uint32_t>(len)) ||
            !recv_frame(c->fd, &f) || f.op != KSP_WROTE)
            return EFAULT;
        return f.a ? EFAULT : 0;
    }
    if (!send_frame(c->fd, KSP_READ, 0, 0, uaddr, nullptr, static_cast<uint32_t>(len)) ||
        !recv_frame(c->fd, &f) || f.op != KSP_DATA)
        return EFAULT;
    if (f.a != 0)
        return EFAULT;
    if (f.len != len || !recv_all(c->fd, kaddr, len))
        return EFAULT;
    if (c->cmd == QELCTLUPCALL && g_sim) {
        // The control device reads the message header first, then (for a
        // hello or response) the whole message: watch both to follow the
        // daemon's exchange.
        const uint8_t *p = static_cast<const uint8_t *>(kaddr);
        std::lock_guard<std::mutex> lk(g_sim->mu);
        c->ncopyin++;
        if (c->ncopyin == 1 && len >= DBM_HDR_SIZE) {
            c->upcall_type = be32(p);
            if (c->upcall_type == DB_STANDBY)
                sim_fw_standby(g_sim, c, p);
        } else if (c->ncopyin == 2 && c->upcall_type == DB_HELLO && len >= DBM_DOMAIN_OFF) {
            size_t n = 0;
            while (n < DBM_KSNAME_LEN && p[DBM_KSNAME_OFF + n])
                n++;
            c->hello_ks.assign(reinterpret_cast<const char *>(p + DBM_KSNAME_OFF), n);
            if (len >= DBM_DOMAIN_OFF + DBM_DOMAIN_LEN) {
                n = 0;
                while (n < DBM_DOMAIN_LEN && p[DBM_DOMAIN_OFF + n])
                    n++;
                c->hello_domain.assign(reinterpret_cast<const char *>(p + DBM_DOMAIN_OFF), n);
            }
        }
    }
    return 0;
}

int access_code(const sim_node &n, int mode)
{
    if (!n.present)
        return ENOENT;
    if (mode & ~n.mode & (R_OK | W_OK | X_OK))
        return EACCES;
    return 0;
}

int open_mode(int flags)
{
    switch (flags & O_ACCMODE) {
    case O_RDONLY: return R_OK;
    case O_WRONLY: return W_OK;
    default: return R_OK | W_OK;
    }
}

// A token model is called outside mu, so that its commands may run side by
// side; the one removing it waits for the calls under way (the model may
// free itself as soon as it is removed).
void token_call_done(kyrsim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    if (--s->token_running == 0)
        s->cv.notify_all();
}

// The token model's close path of a /dev/kyrf file.
void token_file_closed(kyrsim *s, uint32_t id)
{
    kyrsim_token_close_fn fn;
    void *ctx;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        fn = s->token_close;
        ctx = s->token_ctx;
        if (!fn)
            return;
        s->token_running++;
    }
    fn(ctx, static_cast<int>(id));
    token_call_done(s);
}

// Runs the close path of a file once no command runs on it any more (the
// kernel keeps a file alive while an ioctl on it runs).
void close_file(kyrsim *s, std::shared_ptr<sim_file> file)
{
    {
        std::unique_lock<std::mutex> lk(s->mu);
        s->cv.wait(lk, [&] { return file->active == 0; });
    }
    if (file->dev == KSP_DEV_QELCTL)
        qelctl_close(file->devno, 0, 0, nullptr);
    else
        token_file_closed(s, file->id);
    std::lock_guard<std::mutex> lk(s->mu);
    s->files.erase(file->id);
    close(file->fd);
    file->fd = -1;
    s->closes++;
    s->cv.notify_all();
}

// Interrupts the blocked commands of a file (or one command) whose caller
// went away.  Called with mu held.
void interrupt_calls(kyrsim *s, const sim_file *file, sim_call *only)
{
    for (auto &kv : s->calls) {
        sim_call *c = kv.second;
        if ((only && c != only) || (file && c->file.get() != file))
            continue;
        c->hung = true;
        if (c->standby && c->file->minor >= 0)
            qelmodel_interrupt(c->file->minor);
    }
}

// The file connection of file id (generation gen) hung up: the file is
// closed once the commands still running on it have ended.  Commands on
// call connections of their own go on, as an ioctl in the kernel goes on
// when another thread closes its file.
void file_hangup(kyrsim *s, uint32_t id, uint32_t gen)
{
    std::shared_ptr<sim_file> file;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        auto it = s->files.find(id);
        if (it == s->files.end() || it->second->closing || it->second->gen != gen)
            return;
        file = it->second;
        file->closing = true;
        epoll_ctl(s->epfd, EPOLL_CTL_DEL, file->fd, nullptr);
    }
    spawn_worker(s, [s, file]() { close_file(s, file); });
}

// ---- connections ----

void serve_open(kyrsim *s, int fd, const ksp_frame_t &f)
{
    if (f.a != KSP_DEV_QELCTL && f.a != KSP_DEV_KYRF) {
        send_frame(fd, KSP_OPENED, ENXIO, 0, 0, nullptr, 0);
        close(fd);
        return;
    }
    auto file = std::make_shared<sim_file>();
    file->dev = static_cast<int>(f.a);
    file->fd = fd;
    file->pid = static_cast<pid_t>(f.x);
    int rc;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        rc = s->stopping ? ENXIO : access_code(s->nodes[f.a], open_mode(static_cast<int>(f.b)));
    }
    if (rc == 0 && file->dev == KSP_DEV_QELCTL) {
        qelctl_dev_t d = makedevice(s->dip->major, 0);
        rc = qelctl_open(&d, static_cast<int>(f.b), 0, nullptr);
        file->devno = d;
        file->minor = getminor(d);
    }
    if (rc != 0) {
        send_frame(fd, KSP_OPENED, static_cast<uint32_t>(rc), 0, 0, nullptr, 0);
        close(fd);
        return;
    }
    {
        std::lock_guard<std::mutex> lk(s->mu);
        file->id = s->next_file++;
        s->files[file->id] = file;
        arm_file(s, file.get(), EPOLL_CTL_ADD);
    }
    // A failed answer shows up as a hang-up in the monitor, which closes.
    send_frame(fd, KSP_OPENED, 0, file->id, 0, nullptr, 0);
}

// Runs one command: on the channel of file chan (its connection fd), or,
// with chan null, on the call connection fd naming the file.
void serve_call(kyrsim *s, int fd, const ksp_frame_t &f, const std::shared_ptr<sim_file> &chan)
{
    sim_call call;
    call.fd = fd;
    call.on_channel = chan != nullptr;
    call.cmd = f.b;
    call.arg = f.x;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        if (chan) {
            call.file = chan;
        } else {
            auto it = s->files.find(f.a);
            if (it != s->files.end() && !it->second->closing)
                call.file = it->second;
        }
        if (!call.file || s->stopping) {
            if (!chan) {
                send_frame(fd, KSP_DONE, EBADF, 0, 0, nullptr, 0);
                close(fd);
            }
            return;   // a channel at the stop: dropped with the file
        }
        call.file->active++;
        call.id = s->next_call++;
        s->calls[call.id] = &call;
        epoll_event ev{};
        ev.events = EPOLLRDHUP | EPOLLONESHOT;
        ev.data.u64 = call.id;
        if (chan)
            chan->chan_call = &call;
        epoll_ctl(s->epfd, chan ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    }

    int rc = 0;
    int64_t rval = 0;
    t_call = &call;
    qelsim_set_copy_backend(call_copy, &call);
    if (call.file->dev == KSP_DEV_QELCTL && f.y == 32) {
        // The control-device module has no 32-bit compatibility operation:
        // the kernel refuses every command of a 32-bit caller.
        rc = ENOTTY;
    } else if (call.file->dev == KSP_DEV_QELCTL) {
        int rv = 0;
        rc = qelctl_ioctl(call.file->devno, static_cast<int>(call.cmd),
                          static_cast<unsigned long>(call.arg), 0, nullptr, &rv);
        rval = rv;
    } else {
        kyrsim_token_fn fn;
        void *ctx;
        {
            std::lock_guard<std::mutex> lk(s->mu);
            fn = s->token_fn;
            ctx = s->token_ctx;
            if (fn)
                s->token_running++;
        }
        if (fn) {
            rc = fn(ctx, static_cast<int>(call.file->id), call.cmd, call.arg, &rval);
            token_call_done(s);
        } else {
            rval = KYRSIM_CKR_FUNCTION_NOT_SUPPORTED;
        }
    }
    qelsim_set_copy_backend(nullptr, nullptr);
    t_call = nullptr;

    {
        std::lock_guard<std::mutex> lk(s->mu);
        if (call.cmd == QELCTLUPCALL && call.upcall_type == DB_HELLO)
            sim_fw_hello_done(s, &call, rc);
        s->calls.erase(call.id);
        if (!chan) {
            epoll_ctl(s->epfd, EPOLL_CTL_DEL, fd, nullptr);
            call.file->active--;
            s->cv.notify_all();
        }
    }
    send_frame(fd, KSP_DONE, static_cast<uint32_t>(rc), 0, static_cast<uint64_t>(rval), nullptr, 0);
    if (!chan) {
        close(fd);
        return;
    }
    // The command has ended; the channel stays with this worker (chan_busy)
    // until serve_channel gives it back.
    std::lock_guard<std::mutex> lk(s->mu);
    chan->chan_call = nullptr;
    chan->active--;
    s->cv.notify_all();
}

// Commands on a channel come in runs: the worker that served one waits this
// long for the next before giving the channel back to the monitor.
constexpr int kChannelLingerMs = 20;

// The commands on a file's channel, from the one whose first byte the
// monitor saw.  The channel is given back to the monitor (watched for its
// next command or hang-up) when no command follows within the linger time,
// or at once when the connection is to be replaced or closed.
void serve_channel(kyrsim *s, std::shared_ptr<sim_file> file, int fd)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        ksp_frame_t f{};
        if (poll(&p, 1, 5000) != 1 || !recv_frame(fd, &f) || f.op != KSP_CALL)
            break;
        serve_call(s, fd, f, file);
        pollfd q{fd, POLLIN | POLLRDHUP, 0};
        int n = poll(&q, 1, kChannelLingerMs);
        std::lock_guard<std::mutex> lk(s->mu);
        if (n == 1 && q.revents == POLLIN && !file->replacing && !file->closing && !s->stopping)
            continue;
        file->chan_busy = false;
        if (!file->replacing && !file->closing && !s->stopping)
            arm_file(s, file.get(), EPOLL_CTL_MOD);   // also reports a hang-up
        s->cv.notify_all();
        return;
    }
    // Anything else on a file connection, or its hang-up, ends the file,
    // unless the connection is being replaced.
    bool replacing;
    {
        std::lock_guard<std::mutex> lk(s->mu);
        file->chan_busy = false;
        replacing = file->replacing;
        s->cv.notify_all();
    }
    if (!replacing)
        file_hangup(s, file->id, file->gen);
}

// A new connection takes the place of a file's channel, which its process
// left out of step (a command ended there without its KSP_DONE): the
// command still running on it is interrupted and awaited, the old
// connection is dropped, and the new one becomes the file connection.
void serve_reattach(kyrsim *s, int fd, const ksp_frame_t &f)
{
    std::unique_lock<std::mutex> lk(s->mu);
    auto it = s->files.find(f.a);
    std::shared_ptr<sim_file> file;
    if (it != s->files.end() && !it->second->closing && !it->second->replacing &&
        it->second->pid == static_cast<pid_t>(f.x) && !s->stopping)
        file = it->second;
    if (!file) {
        lk.unlock();
        send_frame(fd, KSP_OPENED, ENXIO, 0, 0, nullptr, 0);
        close(fd);
        return;
    }
    file->replacing = true;
    if (file->chan_busy) {
        // The hang-up interrupts the command (the monitor sees it, once) and
        // ends a wait for the caller's memory.
        shutdown(file->fd, SHUT_RDWR);
        s->cv.wait(lk, [&] { return !file->chan_busy; });
    }
    epoll_ctl(s->epfd, EPOLL_CTL_DEL, file->fd, nullptr);
    close(file->fd);
    file->fd = fd;
    file->gen = (file->gen + 1) & 0x7fffffffu;
    file->replacing = false;
    bool ok = !file->closing && !s->stopping;
    if (ok)
        arm_file(s, file.get(), EPOLL_CTL_ADD);
    s->cv.notify_all();
    lk.unlock();
    // A failed answer shows up as a hang-up in the monitor, which closes.
    send_frame(fd, KSP_OPENED, ok ? 0 : ENXIO, file->id, 0, nullptr, 0);
}

void serve_access(kyrsim *s, int fd, const ksp_frame_t &f)
{
    int rc = ENOENT;
    if (f.a == KSP_DEV_QELCTL || f.a == KSP_DEV_KYRF) {
        std::lock_guard<std::mutex> lk(s->mu);
        rc = access_code(s->nodes[f.a], static_cast<int>(f.b));
    }
    send_frame(fd, KSP_DONE, static_cast<uint32_t>(rc), 0, 0, nullptr, 0);
    close(fd);
}

void serve_conn(kyrsim *s, int fd)
{
    // The interposer sends its request right after connecting; a peer that
    // says nothing for 5 s is dropped.
    pollfd p{fd, POLLIN, 0};
    ksp_frame_t f{};
    if (poll(&p, 1, 5000) != 1 || !recv_frame(fd, &f)) {
        close(fd);
        return;
    }
    switch (f.op) {
    case KSP_OPEN: serve_open(s, fd, f); break;
    case KSP_CALL: serve_call(s, fd, f, nullptr); break;
    case KSP_REATTACH: serve_reattach(s, fd, f); break;
    case KSP_ACCESS: serve_access(s, fd, f); break;
    default: close(fd); break;
    }
}

void acceptor_loop(kyrsim *s)
{
    for (;;) {
        pollfd p[2] = {{s->listen_fd, POLLIN, 0}, {s->stop_pipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents)
            return;
        int fd = accept4(s->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        spawn_worker(s, [s, fd]() { serve_conn(s, fd); });
    }
}

void monitor_loop(kyrsim *s)
{
    epoll_event evs[64];
    for (;;) {
        int n = epoll_wait(s->epfd, evs, 64, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (int i = 0; i < n; i++) {
            uint64_t tag = evs[i].data.u64;
            if (tag == kStopTag)
                return;
            if (tag & kFileTag) {
                uint32_t id = static_cast<uint32_t>(tag);
                uint32_t gen = static_cast<uint32_t>(tag >> 32) & 0x7fffffffu;
                if (evs[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
                    file_hangup(s, id, gen);
                    continue;
                }
                // A command arrives on the file's channel.
                std::shared_ptr<sim_file> file;
                int fd = -1;
                {
                    std::lock_guard<std::mutex> lk(s->mu);
                    auto it = s->files.find(id);
                    if (it != s->files.end() && !it->second->closing &&
                        !it->second->replacing && it->second->gen == gen) {
                        file = it->second;
                        file->chan_busy = true;
                        fd = file->fd;
                    }
                }
                if (file)
                    spawn_worker(s, [s, file, fd]() { serve_channel(s, file, fd); });
                continue;
            }
            std::lock_guard<std::mutex> lk(s->mu);
            auto it = s->calls.find(tag);
            if (it != s->calls.end())
                interrupt_calls(s, nullptr, it->second);
        }
    }
}

std::string unique_socket_path()
{
    static std::atomic<int> seq{0};
    const char *tmp = getenv("TMPDIR");
    std::string dir = (tmp && *tmp && strlen(tmp) < 60) ? tmp : "/tmp";
    char buf[128];
    snprintf(buf, sizeof buf, "/kyrsim-%d-%d-%lx.sock", static_cast<int>(getpid()), seq++,
             static_cast<unsigned long>(
                 std::chrono::steady_clock::now().time_since_epoch().count() & 0xffffff));
    return dir + buf;
}

int open_listener(kyrsim *s)
{
    sockaddr_un sa{};
    if (s->path.size() >= sizeof sa.sun_path)
        return ENAMETOOLONG;
    s->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s->listen_fd < 0)
        return errno;
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, s->path.c_str());
    unlink(s->path.c_str());
    if (bind(s->listen_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0 ||
        listen(s->listen_fd, 512) < 0)
        return errno;
    // Programs under test may run as another user (the daemon changes to its
    // service user); the node is open to everyone, as a device node would be.
    chmod(s->path.c_str(), 0777);
    return 0;
}

void free_sim(kyrsim *s)
{
    if (s->listen_fd >= 0)
        close(s->listen_fd);
    for (int fd : s->stop_pipe)
        if (fd >= 0)
            close(fd);
    if (s->epfd >= 0)
        close(s->epfd);
    if (!s->path.empty())
        unlink(s->path.c_str());
    delete s;
}

}  // namespace

int kyrsim_start(const kyrsim_opts &opts, kyrsim **out)
{
    *out = nullptr;
    if (opts.cards < 0 || opts.cards > QELMODEL_MAX_CARDS)
        return EINVAL;
    std::lock_guard<std::mutex> g(g_sim_mu);
    if (g_sim)
        return EBUSY;
    // Peers that vanish must never kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    int rc = qelmodel_init();
    if (rc)
        return rc;
    for (int i = 0; i < opts.cards && rc == 0; i++)
        rc = qelmodel_add_card(i);
    kyrsim *s = new kyrsim;
    s->dip = static_cast<qelctl_dip_t *>(kmem_zalloc(sizeof(qelctl_dip_t), KM_NOSLEEP));
    if (rc == 0 && !s->dip)
        rc = ENOMEM;
    if (rc == 0) {
        s->dip->major = 240;
        rc = qelctl_attach(s->dip, QELCTL_ATTACH);
        if (rc) {
            kmem_free(s->dip, sizeof(qelctl_dip_t));
        }
    } else if (s->dip) {
        kmem_free(s->dip, sizeof(qelctl_dip_t));
    }
    if (rc) {
        s->dip = nullptr;
        qelmodel_fini();
        delete s;
        return rc;
    }
    s->path = opts.socket_path.empty() ? unique_socket_path() : opts.socket_path;
    rc = open_listener(s);
    if (rc == 0 && pipe2(s->stop_pipe, O_CLOEXEC) < 0)
        rc = errno;
    if (rc == 0) {
        s->epfd = epoll_create1(EPOLL_CLOEXEC);
        if (s->epfd < 0)
            rc = errno;
    }
    if (rc == 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kStopTag;
        epoll_ctl(s->epfd, EPOLL_CTL_ADD, s->stop_pipe[0], &ev);
    }
    if (rc) {
        qelctl_detach(s->dip, QELCTL_DETACH);
        qelmodel_fini();
        free_sim(s);
        return rc;
    }
    g_sim = s;
    qelmodel_set_firmware(sim_fw_hook, s);
    s->acceptor = std::thread(acceptor_loop, s);
    s->monitor = std::thread(monitor_loop, s);
    *out = s;
    return 0;
}

int kyrsim_stop(kyrsim *s)
{
    if (!s)
        return 0;
    sim_kill_children(s);
    {
        std::lock_guard<std::mutex> lk(s->mu);
        s->stopping = true;
        s->cv.notify_all();
    }
    if (write(s->stop_pipe[1], "x", 1) != 1)
        return EIO;
    s->acceptor.join();
    s->monitor.join();

    // Drop every peer: their commands fail or are interrupted, and every
    // worker ends.
    // Files still open once every worker ended (including one that opened
    // a file while the stop began) are closed here.
    std::vector<std::shared_ptr<sim_file>> left;
    {
        std::unique_lock<std::mutex> lk(s->mu);
        for (auto &kv : s->calls)
            shutdown(kv.second->fd, SHUT_RDWR);
        interrupt_calls(s, nullptr, nullptr);
        for (auto &kv : s->files)
            shutdown(kv.second->fd, SHUT_RDWR);
        s->cv.wait(lk, [&] { return s->workers == 0; });
        for (auto &kv : s->files) {
            if (!kv.second->closing) {
                kv.second->closing = true;
                left.push_back(kv.second);
            }
        }
    }
    for (auto &f : left)
        close_file(s, f);

    qelmodel_set_firmware(nullptr, nullptr);
    qelctl_detach(s->dip, QELCTL_DETACH);
    qelmodel_fini();
    {
        std::lock_guard<std::mutex> g(g_sim_mu);
        g_sim = nullptr;
    }
    free_sim(s);
    return 0;
}

const char *kyrsim_socket(const kyrsim *s)
{
    return s->path.c_str();
}

int kyrsim_set_node(kyrsim *s, int dev, bool present, int mode)
{
    if (dev != KSP_DEV_QELCTL && dev != KSP_DEV_KYRF)
        return EINVAL;
    std::lock_guard<std::mutex> lk(s->mu);
    s->nodes[dev].present = present;
    s->nodes[dev].mode = mode;
    return 0;
}

int kyrsim_open_files(kyrsim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return static_cast<int>(s->files.size());
}

int kyrsim_active_calls(kyrsim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return static_cast<int>(s->calls.size());
}

long kyrsim_closes(kyrsim *s)
{
    std::lock_guard<std::mutex> lk(s->mu);
    return s->closes;
}

int kyrsim_wait_no_files(kyrsim *s, long timeout_ms)
{
    std::unique_lock<std::mutex> lk(s->mu);
    bool ok = s->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                             [&] { return s->files.empty(); });
    return ok ? 0 : ETIME;
}

void kyrsim_set_token_handler(kyrsim *s, kyrsim_token_fn fn, void *ctx)
{
    std::lock_guard<std::mutex> lk(s->mu);
    s->token_fn = fn;
    s->token_ctx = ctx;
}

void kyrsim_set_token_close(kyrsim *s, kyrsim_token_close_fn fn)
{
    std::lock_guard<std::mutex> lk(s->mu);
    s->token_close = fn;
}

void kyrsim_clear_token(kyrsim *s)
{
    auto idle = [&] { return s->token_running == 0; };
    std::unique_lock<std::mutex> lk(s->mu);
    s->token_fn = nullptr;
    s->token_ctx = nullptr;
    s->token_close = nullptr;
    // A handler waiting for its caller's memory ends only when the caller
    // answers; one that has not answered after a grace period has its
    // command's connection cut, so the copy fails and the handler returns.
    if (s->cv.wait_for(lk, std::chrono::seconds(2), idle))
        return;
    for (auto &kv : s->calls)
        if (kv.second->file->dev == KSP_DEV_KYRF)
            shutdown(kv.second->fd, SHUT_RDWR);
    s->cv.wait(lk, idle);
}

int kyrsim_copyin(uint64_t uaddr, void *kaddr, size_t len)
{
    return t_call ? call_copy(t_call, 0, uaddr, kaddr, len) : EFAULT;
}

int kyrsim_copyout(const void *kaddr, uint64_t uaddr, size_t len)
{
    return t_call ? call_copy(t_call, 1, uaddr, const_cast<void *>(kaddr), len) : EFAULT;
}
