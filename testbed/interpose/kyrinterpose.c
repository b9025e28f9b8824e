/*
 * Device interposer, loaded with LD_PRELOAD into a program under test.
 *
 * When the environment variable KYRSIM_SOCKET names the card simulator's
 * Unix socket, opening /dev/qelctl or /dev/kyrf connects to the simulator
 * instead, and ioctl(2), close(2) and access(2) on those descriptors and
 * paths are served by it.  Every other call passes straight to the C
 * library.  Without the variable nothing is changed at all.
 *
 * The descriptor that open() returns is the connection itself ("file
 * connection"), so a program that exits or dies drops it and the simulator
 * runs the device's close path, as the kernel would.  The same connection
 * is the file's call channel: a command of the process that opened the
 * file runs on it, so an open file costs one descriptor, as in the kernel.
 * A command issued while another thread's command holds the channel goes
 * on a short "call connection" of its own, so that the control device sees
 * both and refuses the second with EBUSY as the kernel does.  While a
 * command runs the simulator asks this side for the caller's memory;
 * addresses are checked by letting the kernel (or qemu for 32-bit
 * programs) copy through a pipe made for the copy, so a bad address turns
 * into EFAULT instead of a crash.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "kyrsim_proto.h"

#define KYR_EXPORT __attribute__((visibility("default")))

/* ---- the real functions ---- */

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);
typedef int (*open2_fn)(const char *, int);
typedef int (*openat2_fn)(int, const char *, int);
typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);
typedef int (*access_fn)(const char *, int);
typedef int (*faccessat_fn)(int, const char *, int, int);

static void *real_sym(const char *name)
{
	return dlsym(RTLD_NEXT, name);
}

#define REAL(type, name) ((type)real_lookup(#name, &real_##name))
static void *real_open, *real_open64, *real_openat, *real_openat64;
static void *real___open_2, *real___open64_2, *real___openat_2, *real___openat64_2;
static void *real_ioctl, *real___ioctl_time64, *real_close, *real_access, *real_faccessat;

static void *real_lookup(const char *name, void **slot)
{
	void *p = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
	if (!p) {
		p = real_sym(name);
		__atomic_store_n(slot, p, __ATOMIC_RELEASE);
	}
	return p;
}

static int sys_close(int fd)
{
	close_fn f = REAL(close_fn, close);
	return f ? f(fd) : -1;
}

/* ---- activation and the table of device descriptors ---- */

/* One open file of a device, indexed by its descriptor.  Guarded by
 * fd_lock, except entry, which ioctl() and close() read without it to tell
 * our descriptors from others.  fd_lock is taken only with cancellation
 * disabled and never across a call that can block. */
struct kyr_fd {
	uint32_t entry;     /* (file id << 2) | device; 0 when not ours */
	pid_t owner;        /* process that opened it: only it uses the channel */
	int cloexec;        /* opened with O_CLOEXEC */
	int chan_busy;      /* a command runs on the channel */
	int chan_broken;    /* the channel could not be replaced: not used */
	int closed;         /* closed while its channel was busy: the close is
	                       done when the command ends (the kernel too keeps
	                       the file while an ioctl on it runs) */
};

#define KYR_MAX_FDS 65536
static struct kyr_fd fd_table[KYR_MAX_FDS];
static pthread_mutex_t fd_lock = PTHREAD_MUTEX_INITIALIZER;

static const char *sim_socket(void)
{
	const char *s = getenv(KSP_ENV_SOCKET);
	return (s && *s) ? s : NULL;
}

static int dev_kind(const char *path)
{
	if (!path || !sim_socket())
		return 0;
	if (strcmp(path, "/dev/qelctl") == 0)
		return KSP_DEV_QELCTL;
	if (strcmp(path, "/dev/kyrf") == 0)
		return KSP_DEV_KYRF;
	return 0;
}

static uint32_t fd_entry(int fd)
{
	if (fd < 0 || fd >= KYR_MAX_FDS)
		return 0;
	return __atomic_load_n(&fd_table[fd].entry, __ATOMIC_ACQUIRE);
}

/* Each command on a connection of its own (the former mode), when the
 * environment asks for it: the benchmark's anchor. */
static int per_call_mode(void)
{
	static int mode = -1;
	int m = __atomic_load_n(&mode, __ATOMIC_RELAXED);
	if (m < 0) {
		const char *v = getenv(KSP_ENV_PER_CALL);
		m = (v && strcmp(v, "1") == 0) ? 1 : 0;
		__atomic_store_n(&mode, m, __ATOMIC_RELAXED);
	}
	return m;
}

/* ---- socket helpers (no signals, whole transfers) ---- */

static int connect_sim(int cloexec)
{
	const char *path = sim_socket();
	struct sockaddr_un sa;
	int fd;

	if (!path || strlen(path) >= sizeof(sa.sun_path)) {
		errno = ENOENT;
		return -1;
	}
	fd = socket(AF_UNIX, SOCK_STREAM | (cloexec ? SOCK_CLOEXEC : 0), 0);
	if (fd < 0)
		return -1;
	memset(&sa, 0, sizeof(sa));
	sa.sun_family = AF_UNIX;
	strcpy(sa.sun_path, path);
	while (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) < 0) {
		if (errno == EINTR)
			continue;
		int e = errno;
		sys_close(fd);
		errno = (e == ECONNREFUSED) ? ENXIO : e;
		return -1;
	}
	return fd;
}

static int send_all(int fd, const void *buf, size_t len)
{
	const char *p = buf;
	while (len > 0) {
		ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return -1;
		}
		p += n;
		len -= (size_t)n;
	}
	return 0;
}

/* Receives exactly len bytes.  eintr_aborts: a signal ends the wait with
 * EINTR (an interruptible sleep in the kernel), otherwise it is retried. */
static int recv_all(int fd, void *buf, size_t len, int eintr_aborts)
{
	char *p = buf;
	while (len > 0) {
		ssize_t n = recv(fd, p, len, 0);
		if (n == 0) {
			errno = EPIPE;
			return -1;
		}
		if (n < 0) {
			if (errno == EINTR && !eintr_aborts)
				continue;
			return -1;
		}
		p += n;
		len -= (size_t)n;
	}
	return 0;
}

static int send_frame(int fd, uint32_t op, uint32_t a, uint32_t b, uint64_t x,
    uint64_t y, const void *payload, uint32_t len)
{
	ksp_frame_t f;
	memset(&f, 0, sizeof(f));
	f.magic = KSP_MAGIC;
	f.op = op;
	f.a = a;
	f.b = b;
	f.x = x;
	f.y = y;
	f.len = len;
	if (send_all(fd, &f, sizeof(f)) < 0)
		return -1;
	if (len && send_all(fd, payload, len) < 0)
		return -1;
	return 0;
}

static int recv_frame(int fd, ksp_frame_t *f, int eintr_aborts)
{
	if (recv_all(fd, f, sizeof(*f), eintr_aborts) < 0)
		return -1;
	if (f->magic != KSP_MAGIC) {
		errno = EPROTO;
		return -1;
	}
	return 0;
}

/* Waits up to ms for the descriptor to become readable: 0, or -1 on a
 * time-out or error.  Used where this side must not wait for ever (the
 * simulator may be gone). */
static int wait_readable(int fd, int ms)
{
	struct pollfd p;
	p.fd = fd;
	p.events = POLLIN;
	for (;;) {
		p.revents = 0;
		int n = poll(&p, 1, ms);
		if (n < 0 && errno == EINTR)
			continue;
		return n == 1 ? 0 : -1;
	}
}

/* ---- open, access, close ---- */

static int kyr_open(int kind, int flags)
{
	ksp_frame_t f;
	int oldstate;
	int fd = connect_sim(flags & O_CLOEXEC);
	if (fd < 0)
		return -1;
	if (send_frame(fd, KSP_OPEN, (uint32_t)kind, (uint32_t)flags,
	    (uint64_t)getpid(), 0, NULL, 0) < 0 || recv_frame(fd, &f, 0) < 0 ||
	    f.op != KSP_OPENED) {
		sys_close(fd);
		errno = ENXIO;
		return -1;
	}
	if (f.a != 0) {
		sys_close(fd);
		errno = (int)f.a;
		return -1;
	}
	if (fd >= KYR_MAX_FDS || f.b == 0 || f.b >= (1u << 30)) {
		sys_close(fd);
		errno = EMFILE;
		return -1;
	}
	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldstate);
	pthread_mutex_lock(&fd_lock);
	fd_table[fd].owner = getpid();
	fd_table[fd].cloexec = (flags & O_CLOEXEC) != 0;
	fd_table[fd].chan_busy = 0;
	fd_table[fd].chan_broken = 0;
	fd_table[fd].closed = 0;
	__atomic_store_n(&fd_table[fd].entry, (f.b << 2) | (uint32_t)kind, __ATOMIC_RELEASE);
	pthread_mutex_unlock(&fd_lock);
	pthread_setcancelstate(oldstate, NULL);
	return fd;
}

static int kyr_access(int kind, int mode)
{
	ksp_frame_t f;
	int fd = connect_sim(1);
	if (fd < 0) {
		errno = ENOENT;
		return -1;
	}
	if (send_frame(fd, KSP_ACCESS, (uint32_t)kind, (uint32_t)mode, 0, 0, NULL, 0) < 0 ||
	    recv_frame(fd, &f, 0) < 0 || f.op != KSP_DONE) {
		sys_close(fd);
		errno = ENOENT;
		return -1;
	}
	sys_close(fd);
	if (f.a != 0) {
		errno = (int)f.a;
		return -1;
	}
	return 0;
}

/* close(2) of a device descriptor.  While a command of this process runs
 * on the file's channel the descriptor stays open underneath, and the
 * command closes it when it ends: the command's wait is not cut short by
 * the close (the kernel leaves it blocked until a signal), and the number
 * cannot be reused for another file while the command still uses it. */
static int kyr_close(int fd)
{
	int oldstate, deferred = 0, bad = 0;
	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldstate);
	pthread_mutex_lock(&fd_lock);
	struct kyr_fd *e = &fd_table[fd];
	if (e->closed) {
		bad = 1;
	} else if (e->entry && e->chan_busy && e->owner == getpid()) {
		e->closed = 1;
		deferred = 1;
	} else {
		__atomic_store_n(&e->entry, 0, __ATOMIC_RELEASE);
	}
	pthread_mutex_unlock(&fd_lock);
	pthread_setcancelstate(oldstate, NULL);
	if (bad) {
		errno = EBADF;
		return -1;
	}
	return deferred ? 0 : sys_close(fd);
}

/* ---- memory service for a running command ---- */

#define PIPE_CHUNK 32768

/* Copies len bytes from the caller's address src into buf through the pipe:
 * the kernel reads src, so a bad address gives EFAULT and nothing else. */
static int peek_mem(int p[2], uint64_t src, void *buf, size_t len)
{
	size_t off = 0;
	if (src > UINTPTR_MAX || len > UINTPTR_MAX - src)
		return EFAULT;
	while (off < len) {
		size_t n = len - off < PIPE_CHUNK ? len - off : PIPE_CHUNK;
		ssize_t w = write(p[1], (const char *)(uintptr_t)src + off, n);
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return EFAULT;
		size_t got = 0;
		while (got < (size_t)w) {
			ssize_t r = read(p[0], (char *)buf + off + got, (size_t)w - got);
			if (r < 0 && errno == EINTR)
				continue;
			if (r <= 0)
				return EIO;
			got += (size_t)r;
		}
		if ((size_t)w < n)
			return EFAULT;   /* the range ends in unmapped memory */
		off += n;
	}
	return 0;
}

/* Copies buf to the caller's address dst through the pipe; a bad address
 * gives EFAULT. */
static int poke_mem(int p[2], uint64_t dst, const void *buf, size_t len)
{
	size_t off = 0;
	if (dst > UINTPTR_MAX || len > UINTPTR_MAX - dst)
		return EFAULT;
	while (off < len) {
		size_t n = len - off < PIPE_CHUNK ? len - off : PIPE_CHUNK;
		size_t put = 0;
		while (put < n) {
			ssize_t w = write(p[1], (const char *)buf + off + put, n - put);
			if (w < 0 && errno == EINTR)
				continue;
			if (w <= 0)
				return EIO;
			put += (size_t)w;
		}
		size_t got = 0;
		while (got < n) {
			ssize_t r = read(p[0], (char *)(uintptr_t)dst + off + got, n - got);
			if (r < 0 && errno == EINTR)
				continue;
			if (r <= 0)
				return EFAULT;
			got += (size_t)r;
		}
		off += n;
	}
	return 0;
}

/* State of one command; released by call_cleanup on every path,
 * including asynchronous cancellation of the calling thread. */
struct kyr_call {
	int fd;          /* the device descriptor */
	int sock;        /* the channel (= fd) or a call connection */
	int channel;     /* sock is the file's channel */
	void *buf;
	int done;        /* the simulator reported the end of the command */
};

/* A command left before its end (cancelled thread, signal) is still running
 * in the simulator.  The kernel would have finished it before the thread
 * goes on, so the hang-up is announced (the simulator then interrupts the
 * command) and its end awaited, bounded in case the simulator is gone. */
static void call_abandon(int sock)
{
	char buf[4096];

	shutdown(sock, SHUT_WR);
	for (;;) {
		if (wait_readable(sock, 10000) < 0)
			return;
		ssize_t r = recv(sock, buf, sizeof(buf), 0);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return;
	}
}

/* Replaces the channel of descriptor fd after a command ended on it
 * without its KSP_DONE: what is still in the old connection (a request,
 * the end of the command, or part of either) is thrown away with it.  The
 * simulator interrupts the command, waits for its end and keeps the new
 * connection as the file's; the descriptor number stays the same.
 * 0, or -1 when the channel could not be replaced. */
static int chan_replace(int fd, uint32_t file, int cloexec)
{
	ksp_frame_t f;
	int ok = 0, nfd = connect_sim(1);
	if (nfd < 0)
		return -1;
	if (send_frame(nfd, KSP_REATTACH, file, 0, (uint64_t)getpid(), 0, NULL, 0) == 0 &&
	    wait_readable(nfd, 10000) == 0 && recv_frame(nfd, &f, 0) == 0 &&
	    f.op == KSP_OPENED && f.a == 0)
		ok = dup3(nfd, fd, cloexec ? O_CLOEXEC : 0) == fd;
	sys_close(nfd);
	return ok ? 0 : -1;
}

static void call_cleanup(void *arg)
{
	struct kyr_call *c = arg;
	free(c->buf);
	c->buf = NULL;
	if (!c->channel) {
		if (c->sock >= 0) {
			if (!c->done)
				call_abandon(c->sock);
			sys_close(c->sock);
		}
		c->sock = -1;
		return;
	}
	/* The channel is given back in step or not at all. */
	int broken = 0, close_now;
	if (!c->done)
		broken = chan_replace(c->fd, fd_table[c->fd].entry >> 2,
		    fd_table[c->fd].cloexec) < 0;
	pthread_mutex_lock(&fd_lock);
	struct kyr_fd *e = &fd_table[c->fd];
	e->chan_busy = 0;
	if (broken)
		e->chan_broken = 1;
	close_now = e->closed;
	if (close_now) {
		e->closed = 0;
		__atomic_store_n(&e->entry, 0, __ATOMIC_RELEASE);
	}
	pthread_mutex_unlock(&fd_lock);
	if (close_now)
		sys_close(c->fd);
	c->channel = 0;
	c->sock = -1;
}

/* Serves one KSP_READ or KSP_WRITE request; -1 when the connection broke. */
static int serve_mem(struct kyr_call *c, const ksp_frame_t *f)
{
	int err;

	if (f->len > KSP_MAX_XFER)
		return -1;
	free(c->buf);
	c->buf = malloc(f->len ? f->len : 1);
	if (!c->buf)
		return -1;
	if (f->op == KSP_WRITE && recv_all(c->sock, c->buf, f->len, 0) < 0)
		return -1;
	/* A pipe for this request only: nothing is held between requests, so
	 * a waiting command holds no descriptor but its file's. */
	int p[2];
	if (pipe2(p, O_CLOEXEC) < 0) {
		err = EIO;
	} else {
		err = (f->op == KSP_READ) ? peek_mem(p, f->x, c->buf, f->len)
		                          : poke_mem(p, f->x, c->buf, f->len);
		sys_close(p[0]);
		sys_close(p[1]);
	}
	if (f->op == KSP_READ)
		return send_frame(c->sock, KSP_DATA, (uint32_t)err, 0, 0, 0,
		    c->buf, err ? 0 : f->len);
	return send_frame(c->sock, KSP_WROTE, (uint32_t)err, 0, 0, 0, NULL, 0);
}

/* Takes the channel of descriptor fd for a command when it is free (0),
 * else the command goes on a call connection (1); EBADF (-1) when the
 * descriptor was closed meanwhile.  Called with cancellation disabled. */
static int chan_take(int fd, uint32_t *entry, int *channel)
{
	int rc = 0;
	pthread_mutex_lock(&fd_lock);
	struct kyr_fd *e = &fd_table[fd];
	*entry = e->entry;
	*channel = 0;
	if (!e->entry || e->closed)
		rc = -1;
	else if (!e->chan_busy && !e->chan_broken && !per_call_mode() && e->owner == getpid())
		e->chan_busy = *channel = 1;
	pthread_mutex_unlock(&fd_lock);
	return rc;
}

/* Runs one command on the simulator.  Cancellation is let in only while
 * waiting for the simulator's next request, never while memory or the heap
 * is being worked on; if it strikes, the cleanup handler has the command
 * interrupted and ended before the thread goes on: a call connection is
 * hung up and drained, a channel replaced (see chan_replace).
 *
 * A caller that waits with asynchronous cancellation (as the daemon does
 * around its wait for an upcall) is served with deferred cancellation in
 * here: the cleanup is an unwinding cleanup (-fexceptions), which runs only
 * when the cancellation unwinds through a call inside its scope, so it must
 * strike inside recv(), never between two instructions of this file.  For
 * the caller it is the same: the command's wait is cancellable, and a
 * cancellation still pending at the end acts before the call returns. */
static int kyr_ioctl(int fd, unsigned long request, uint64_t arg)
{
	struct kyr_call c = { fd, -1, 0, NULL, 0 };
	ksp_frame_t f;
	uint32_t entry = 0;
	int oldstate, oldtype, ret = -1, err = ENXIO;

	pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldstate);
	pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &oldtype);
	/* The C library makes a cancellation request and its signal two
	 * steps.  A request made while the caller was still asynchronous may
	 * have its signal in flight, and the library acts on such a signal in
	 * the next cancellation point whatever the state (those run
	 * asynchronous for the length of their system call).  That must not
	 * be one in the middle of the command: pass one cancellation point
	 * now, with nothing taken; the library returns from it only once the
	 * signal has been delivered. */
	(void)poll(NULL, 0, 0);
	if (chan_take(fd, &entry, &c.channel) < 0) {
		pthread_setcanceltype(oldtype, NULL);
		pthread_setcancelstate(oldstate, NULL);
		errno = EBADF;
		return -1;
	}
	pthread_cleanup_push(call_cleanup, &c);
	c.sock = c.channel ? fd : connect_sim(1);
	if (c.sock >= 0 &&
	    send_frame(c.sock, KSP_CALL, entry >> 2, (uint32_t)request, arg,
	        sizeof(void *) * 8, NULL, 0) == 0) {
		for (;;) {
			int rc;
			pthread_setcancelstate(oldstate, NULL);
			rc = recv_frame(c.sock, &f, 1);
			pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, NULL);
			if (rc < 0) {
				err = (errno == EINTR) ? EINTR : ENXIO;
				break;
			}
			if (f.op == KSP_DONE) {
				c.done = 1;
				err = (int)f.a;
				ret = err ? -1 : (int)(int64_t)f.x;
				break;
			}
			if ((f.op != KSP_READ && f.op != KSP_WRITE) || serve_mem(&c, &f) < 0) {
				err = ENXIO;
				break;
			}
		}
	}
	pthread_cleanup_pop(1);
	pthread_setcanceltype(oldtype, NULL);
	pthread_setcancelstate(oldstate, NULL);
	if (ret < 0)
		errno = err;
	return ret;
}

/* ---- exported entry points ---- */

static int mode_arg(int flags, va_list ap)
{
	if (flags & (O_CREAT | __O_TMPFILE))
		return va_arg(ap, int);
	return 0;
}

KYR_EXPORT int open(const char *path, int flags, ...)
{
	va_list ap;
	int mode, kind = dev_kind(path);
	va_start(ap, flags);
	mode = mode_arg(flags, ap);
	va_end(ap);
	if (kind)
		return kyr_open(kind, flags);
	return REAL(open_fn, open)(path, flags, mode);
}

KYR_EXPORT int open64(const char *path, int flags, ...)
{
	va_list ap;
	int mode, kind = dev_kind(path);
	va_start(ap, flags);
	mode = mode_arg(flags, ap);
	va_end(ap);
	if (kind)
		return kyr_open(kind, flags);
	return REAL(open_fn, open64)(path, flags, mode);
}

KYR_EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	int mode, kind = dev_kind(path);
	va_start(ap, flags);
	mode = mode_arg(flags, ap);
	va_end(ap);
	if (kind)
		return kyr_open(kind, flags);
	return REAL(openat_fn, openat)(dirfd, path, flags, mode);
}

KYR_EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	int mode, kind = dev_kind(path);
	va_start(ap, flags);
	mode = mode_arg(flags, ap);
	va_end(ap);
	if (kind)
		return kyr_open(kind, flags);
	return REAL(openat_fn, openat64)(dirfd, path, flags, mode);
}

KYR_EXPORT int __open_2(const char *path, int flags)
{
	int kind = dev_kind(path);
	return kind ? kyr_open(kind, flags) : REAL(open2_fn, __open_2)(path, flags);
}

KYR_EXPORT int __open64_2(const char *path, int flags)
{
	int kind = dev_kind(path);
	return kind ? kyr_open(kind, flags) : REAL(open2_fn, __open64_2)(path, flags);
}

KYR_EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
	int kind = dev_kind(path);
	return kind ? kyr_open(kind, flags) : REAL(openat2_fn, __openat_2)(dirfd, path, flags);
}

KYR_EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
	int kind = dev_kind(path);
	return kind ? kyr_open(kind, flags) : REAL(openat2_fn, __openat64_2)(dirfd, path, flags);
}

KYR_EXPORT int ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	unsigned long arg;
	uint32_t entry = fd_entry(fd);
	va_start(ap, request);
	arg = va_arg(ap, unsigned long);
	va_end(ap);
	if (entry)
		return kyr_ioctl(fd, request & 0xffffffffUL, (uint64_t)arg);
	return REAL(ioctl_fn, ioctl)(fd, request, arg);
}

/* 32-bit programs built with 64-bit time_t call this instead of ioctl. */
KYR_EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
	va_list ap;
	unsigned long arg;
	uint32_t entry = fd_entry(fd);
	ioctl_fn f;
	va_start(ap, request);
	arg = va_arg(ap, unsigned long);
	va_end(ap);
	if (entry)
		return kyr_ioctl(fd, request & 0xffffffffUL, (uint64_t)arg);
	f = REAL(ioctl_fn, __ioctl_time64);
	if (!f)
		f = REAL(ioctl_fn, ioctl);
	return f(fd, request, arg);
}

KYR_EXPORT int close(int fd)
{
	return fd_entry(fd) ? kyr_close(fd) : sys_close(fd);
}

KYR_EXPORT int access(const char *path, int mode)
{
	int kind = dev_kind(path);
	return kind ? kyr_access(kind, mode) : REAL(access_fn, access)(path, mode);
}

KYR_EXPORT int faccessat(int dirfd, const char *path, int mode, int flags)
{
	int kind = dev_kind(path);
	return kind ? kyr_access(kind, mode)
	            : REAL(faccessat_fn, faccessat)(dirfd, path, mode, flags);
}
