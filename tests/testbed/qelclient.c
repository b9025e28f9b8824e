/*
 * Small control-device client run by the test-bed tests through the
 * interposer, built 64-bit and 32-bit.  Its arguments are steps run in
 * order; each step prints one line on stdout that the tests read:
 *
 *   open              open /dev/qelctl read-write (flags through a variable,
 *                     so a fortified build goes through __open_2/__open64_2)
 *   openat            the same through openat(AT_FDCWD, ...)
 *   faccessat         faccessat(AT_FDCWD, "/dev/qelctl", R_OK|W_OK, 0)
 *   access            access("/dev/qelctl", R_OK|W_OK)
 *   hello:KS          DB_HELLO for keystore KS
 *   standby           DB_STANDBY; keeps the upcall for respond
 *   respond:STATUS    DB_RESPONSE to the kept upcall
 *   standby-bad       DB_STANDBY with the message at an unmapped address
 *   probe             QELCTLPROBE
 *   busy              thread A waits in DB_STANDBY; on SIGUSR1 thread B
 *                     issues QELCTLPROBE on the same file
 *   cancel            thread A waits in DB_STANDBY with asynchronous
 *                     cancellation; on SIGUSR1 it is cancelled and joined
 *   cancel-storm:N    N times: a thread serves upcalls as the daemon does
 *                     (waits with asynchronous cancellation, answers with
 *                     cancellation off) and is cancelled after a short
 *                     random time; prints the joins and the descriptors
 *                     before and after
 *   close-waiting     thread A waits in DB_STANDBY; on SIGUSR1 the file is
 *                     closed under it, a command on the closed descriptor is
 *                     tried, and A is joined (it waits on, as in the kernel)
 *   close-waiting-signal  as close-waiting, then A is sent SIGUSR2 (a
 *                     handler without SA_RESTART), which ends its wait
 *   kyrf-storm:N      as cancel-storm on /dev/kyrf: a thread issues token
 *                     commands with asynchronous cancellation and is
 *                     cancelled after a short random time, N times
 *   waiters:N         N threads each open /dev/qelctl and wait in
 *                     DB_STANDBY; on SIGUSR1 prints the descriptors per
 *                     waiting file and exits
 *   pause             wait for SIGUSR1
 *   close             close the file
 *   kyrf              open /dev/kyrf and issue one token command
 *   respond-bad       DB_RESPONSE whose header is mapped and whose rest runs
 *                     into an unmapped page
 *   bind:N            QELCTLBIND to card N
 *   fw:SIZE           QELCTLFWUPDATE of SIZE bytes, byte i = i * 7 % 251
 *   fw-bad            QELCTLFWUPDATE of two pages of which the second is
 *                     not mapped
 */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "qelctl.h"

#define MSG_MAX 61423
#define PARAM 412

static int fd = -1;
static unsigned char upcall[MSG_MAX + 1];
static volatile int open_flags = O_RDWR;

static void put32(unsigned char *m, size_t off, uint32_t v)
{
	v = htonl(v);
	memcpy(m + off, &v, 4);
}

static uint32_t get32(const unsigned char *m, size_t off)
{
	uint32_t v;
	memcpy(&v, m + off, 4);
	return ntohl(v);
}

static void header(unsigned char *m, uint32_t type)
{
	memset(m, 0, PARAM);
	put32(m, 0, type);
	put32(m, 20, MSG_MAX);
	put32(m, 24, PARAM);
}

static void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static void say(const char *fmt, ...)
{
	/* Whole lines: several threads print. */
	char line[512];
	va_list ap;
	va_start(ap, fmt);
	vsnprintf(line, sizeof(line), fmt, ap);
	va_end(ap);
	flockfile(stdout);
	fputs(line, stdout);
	putchar('\n');
	fflush(stdout);
	funlockfile(stdout);
}

static void wait_usr1(void)
{
	sigset_t set;
	int sig;
	sigemptyset(&set);
	sigaddset(&set, SIGUSR1);
	sigwait(&set, &sig);
}

static int do_standby(unsigned char *m)
{
	header(m, 1);
	return ioctl(fd, QELCTLUPCALL, m);
}

static void step_standby(void)
{
	int rc = do_standby(upcall);
	char ks[65] = {0};
	memcpy(ks, upcall + 28, 64);
	say("standby rc=%d errno=%d type=%u ks=%s handle=%x nusers=%u", rc, rc < 0 ? errno : 0,
	    get32(upcall, 0), ks, get32(upcall, 4), get32(upcall, 92));
}

static void step_respond(int status)
{
	put32(upcall, 0, 14);
	put32(upcall, 12, (uint32_t)status);
	put32(upcall, 16, 0);
	put32(upcall, 20, MSG_MAX);
	put32(upcall, 24, PARAM);
	int rc = ioctl(fd, QELCTLUPCALL, upcall);
	say("respond rc=%d errno=%d type=%u status=%d", rc, rc < 0 ? errno : 0,
	    get32(upcall, 0), (int)get32(upcall, 12));
}

static void step_hello(const char *ks)
{
	unsigned char m[PARAM];
	header(m, 10);
	strncpy((char *)m + 28, ks, 63);
	strcpy((char *)m + 92, "testhost");
	int rc = ioctl(fd, QELCTLUPCALL, m);
	say("hello rc=%d errno=%d status=%d", rc, rc < 0 ? errno : 0, (int)get32(m, 12));
}

/* One mapped page followed by one that is not mapped; NULL (said) when
 * the mapping fails. */
static unsigned char *page_before_hole(const char *step, size_t *pg)
{
	*pg = (size_t)sysconf(_SC_PAGESIZE);
	unsigned char *p = mmap(NULL, 2 * *pg, PROT_READ | PROT_WRITE,
	    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (p == MAP_FAILED) {
		say("%s mmap failed", step);
		return NULL;
	}
	munmap(p + *pg, *pg);
	return p;
}

static void step_standby_bad(void)
{
	size_t pg;
	unsigned char *p = page_before_hole("standby-bad", &pg);
	if (!p)
		return;
	int rc = ioctl(fd, QELCTLUPCALL, p + pg);
	say("standby-bad rc=%d errno=%d", rc, rc < 0 ? errno : 0);
	munmap(p, pg);
}

static void step_respond_bad(void)
{
	size_t pg;
	unsigned char *p = page_before_hole("respond-bad", &pg);
	if (!p)
		return;
	unsigned char *m = p + pg - 100;
	memset(m, 0, 100);
	put32(m, 0, 14);
	put32(m, 20, MSG_MAX);
	put32(m, 24, PARAM);
	int rc = ioctl(fd, QELCTLUPCALL, m);
	say("respond-bad rc=%d errno=%d", rc, rc < 0 ? errno : 0);
	munmap(p, pg);
}

static void step_probe(void)
{
	qelctl_probe_t pr;
	memset(&pr, 0, sizeof(pr));
	int rc = ioctl(fd, QELCTLPROBE, &pr);
	say("probe rc=%d errno=%d ndevs=%d", rc, rc < 0 ? errno : 0, pr.mpr_ndevs);
}

static void fw_update(void *image, size_t size)
{
	qelctl_fwupdate_t fu;
	memset(&fu, 0, sizeof(fu));
	fu.mfu_select = QELCTL_FW_FIRMWARE;
	fu.mfu_size = size;
	fu.mfu_addr = image;
	int rc = ioctl(fd, QELCTLFWUPDATE, &fu);
	say("fw rc=%d errno=%d", rc, rc < 0 ? errno : 0);
}

static void step_fw(size_t size)
{
	unsigned char *image = malloc(size ? size : 1);
	for (size_t i = 0; i < size; i++)
		image[i] = (unsigned char)(i * 7 % 251);
	fw_update(image, size);
	free(image);
}

static void step_fw_bad(void)
{
	size_t pg;
	unsigned char *p = page_before_hole("fw-bad", &pg);
	if (!p)
		return;
	fw_update(p, 2 * pg);
	munmap(p, pg);
}

static void *standby_thread(void *arg)
{
	(void)arg;
	step_standby();
	return NULL;
}

static void *cancel_thread(void *arg)
{
	static unsigned char m[MSG_MAX + 1];
	int old, rc;
	(void)arg;
	pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
	rc = do_standby(m);
	pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &old);
	say("cancel-thread returned rc=%d", rc);
	return NULL;
}

/* Counts the open descriptors; with name set, prints what each one is. */
static int walk_fds(int name)
{
	char path[64], target[256];
	int n = 0;
	for (int i = 0; i < 4096; i++) {
		snprintf(path, sizeof(path), "/proc/self/fd/%d", i);
		ssize_t len = readlink(path, target, sizeof(target) - 1);
		if (len <= 0)
			continue;
		n++;
		target[len] = '\0';
		if (name)
			say("fd %d: %s", i, target);
	}
	return n;
}

static void *storm_thread(void *arg)
{
	unsigned char *m = arg;
	int old;
	pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
	for (;;) {
		if (do_standby(m) < 0)
			continue;
		pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
		put32(m, 0, 14);
		put32(m, 12, 0);
		put32(m, 16, 0);
		put32(m, 20, MSG_MAX);
		put32(m, 24, PARAM);
		(void)ioctl(fd, QELCTLUPCALL, m);
		pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
	}
	return NULL;
}

/* n times: a thread runs fn(arg) and is cancelled after a short random
 * time.  Returns the joins; the descriptors before and after (what was
 * left behind is named). */
static int storm(void *(*fn)(void *), void *arg, int n, int *before, int *after)
{
	unsigned seed = 1;
	int joined = 0;
	*before = walk_fds(0);
	for (int i = 0; i < n; i++) {
		pthread_t a;
		void *res;
		int rc = pthread_create(&a, NULL, fn, arg);
		if (rc != 0) {
			say("storm create failed: %d", rc);
			break;
		}
		usleep((useconds_t)(rand_r(&seed) % 2000));
		pthread_cancel(a);
		/* The thread never returns by itself: a join is its end,
		 * whatever result the library reports for it. */
		if (pthread_join(a, &res) == 0)
			joined++;
	}
	*after = walk_fds(0);
	if (*after != *before)
		walk_fds(1);
	return joined;
}

static void step_cancel_storm(int n)
{
	static unsigned char m[MSG_MAX + 1];
	int before, after, joined = storm(storm_thread, m, n, &before, &after);
	say("storm joined=%d fds before=%d after=%d", joined, before, after);
}

static void step_busy(void)
{
	pthread_t a;
	pthread_create(&a, NULL, standby_thread, NULL);
	wait_usr1();
	step_probe();
	pthread_join(a, NULL);
}

static void on_usr2(int sig)
{
	(void)sig;
}

static void step_close_waiting(int with_signal)
{
	pthread_t a;
	pthread_create(&a, NULL, standby_thread, NULL);
	wait_usr1();
	int rc = close(fd);
	say("closed under the wait rc=%d", rc);
	qelctl_probe_t pr;
	rc = ioctl(fd, QELCTLPROBE, &pr);
	say("probe on the closed descriptor rc=%d errno=%d", rc, rc < 0 ? errno : 0);
	if (with_signal) {
		struct sigaction sa;
		memset(&sa, 0, sizeof(sa));
		sa.sa_handler = on_usr2;   /* no SA_RESTART: the wait ends */
		sigaction(SIGUSR2, &sa, NULL);
		pthread_kill(a, SIGUSR2);
	}
	pthread_join(a, NULL);
}

/* One token command: block 0 goes in, block 0 + 1000 comes back when a
 * handler is installed. */
static int kyrf_command(int tfd, uint32_t *blk)
{
	return ioctl(tfd, 0xC0105801u, blk);
}

static void *kyrf_storm_thread(void *arg)
{
	int tfd = *(int *)arg, old;
	uint32_t blk[4] = {7, 0, 0, 0};
	pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
	for (;;) {
		blk[0] = 7;
		(void)kyrf_command(tfd, blk);
	}
	return NULL;
}

static void step_kyrf_storm(int n)
{
	int tfd = open("/dev/kyrf", O_RDWR);
	if (tfd < 0) {
		say("kyrf-storm open failed errno=%d", errno);
		return;
	}
	int before, after, joined = storm(kyrf_storm_thread, &tfd, n, &before, &after);
	/* The file is still in step: one more command gets its answer. */
	uint32_t blk[4] = {7, 0, 0, 0};
	int rc = kyrf_command(tfd, blk);
	say("kyrf-storm joined=%d fds before=%d after=%d then rc=%d blk0=%u", joined, before, after,
	    rc, blk[0]);
	close(tfd);
}

static void *waiter_thread(void *arg)
{
	static unsigned char m[64][MSG_MAX + 1];
	int f = open("/dev/qelctl", O_RDWR);
	if (f < 0) {
		say("waiter open failed errno=%d", errno);
		return NULL;
	}
	header(m[(intptr_t)arg], 1);
	(void)ioctl(f, QELCTLUPCALL, m[(intptr_t)arg]);
	return NULL;
}

static void step_waiters(int n)
{
	int base = walk_fds(0);
	if (n > 64)
		n = 64;
	for (intptr_t i = 0; i < n; i++) {
		pthread_t a;
		pthread_create(&a, NULL, waiter_thread, (void *)i);
	}
	wait_usr1();
	int now = walk_fds(0);
	say("waiters %d descriptors %d", n, now - base);
	_exit(0);   /* the waiters wait on */
}

static void step_cancel(void)
{
	pthread_t a;
	void *res;
	pthread_create(&a, NULL, cancel_thread, NULL);
	wait_usr1();
	pthread_cancel(a);
	pthread_join(a, &res);
	say("cancelled %s", res == PTHREAD_CANCELED ? "yes" : "no");
}

int main(int argc, char **argv)
{
	sigset_t set;
	sigemptyset(&set);
	sigaddset(&set, SIGUSR1);
	pthread_sigmask(SIG_BLOCK, &set, NULL);

	for (int i = 1; i < argc; i++) {
		const char *s = argv[i];
		if (strcmp(s, "open") == 0) {
			fd = open("/dev/qelctl", open_flags);
			say("open rc=%d errno=%d", fd < 0 ? -1 : 0, fd < 0 ? errno : 0);
		} else if (strcmp(s, "openat") == 0) {
			fd = openat(AT_FDCWD, "/dev/qelctl", open_flags);
			say("openat rc=%d errno=%d", fd < 0 ? -1 : 0, fd < 0 ? errno : 0);
		} else if (strcmp(s, "faccessat") == 0) {
			int rc = faccessat(AT_FDCWD, "/dev/qelctl", R_OK | W_OK, 0);
			say("faccessat rc=%d errno=%d", rc, rc < 0 ? errno : 0);
		} else if (strcmp(s, "access") == 0) {
			int rc = access("/dev/qelctl", R_OK | W_OK);
			say("access rc=%d errno=%d", rc, rc < 0 ? errno : 0);
		} else if (strncmp(s, "hello:", 6) == 0) {
			step_hello(s + 6);
		} else if (strcmp(s, "standby") == 0) {
			step_standby();
		} else if (strncmp(s, "respond:", 8) == 0) {
			step_respond(atoi(s + 8));
		} else if (strcmp(s, "standby-bad") == 0) {
			step_standby_bad();
		} else if (strcmp(s, "respond-bad") == 0) {
			step_respond_bad();
		} else if (strcmp(s, "probe") == 0) {
			step_probe();
		} else if (strcmp(s, "busy") == 0) {
			step_busy();
		} else if (strcmp(s, "close-waiting") == 0) {
			step_close_waiting(0);
		} else if (strcmp(s, "close-waiting-signal") == 0) {
			step_close_waiting(1);
		} else if (strncmp(s, "kyrf-storm:", 11) == 0) {
			step_kyrf_storm(atoi(s + 11));
		} else if (strncmp(s, "waiters:", 8) == 0) {
			step_waiters(atoi(s + 8));
		} else if (strncmp(s, "cancel-storm:", 13) == 0) {
			step_cancel_storm(atoi(s + 13));
		} else if (strcmp(s, "cancel") == 0) {
			step_cancel();
		} else if (strcmp(s, "pause") == 0) {
			wait_usr1();
			say("resumed");
		} else if (strcmp(s, "kyrf") == 0) {
			int tfd = open("/dev/kyrf", O_RDWR);
			uint32_t blk[4] = {7, 0, 0, 0};
			int rc = tfd < 0 ? -1 : kyrf_command(tfd, blk);
			say("kyrf open=%d rc=%d errno=%d blk0=%u", tfd < 0 ? -1 : 0, rc, rc < 0 ? errno : 0,
			    blk[0]);
			if (tfd >= 0)
				close(tfd);
		} else if (strncmp(s, "bind:", 5) == 0) {
			int rc = ioctl(fd, QELCTLBIND, (unsigned long)atoi(s + 5));
			say("bind rc=%d errno=%d", rc, rc < 0 ? errno : 0);
		} else if (strncmp(s, "fw:", 3) == 0) {
			step_fw((size_t)strtoul(s + 3, NULL, 10));
		} else if (strcmp(s, "fw-bad") == 0) {
			step_fw_bad();
		} else if (strcmp(s, "close") == 0) {
			int rc = close(fd);
			say("close rc=%d", rc);
		} else {
			say("unknown step %s", s);
			return 2;
		}
	}
	say("done");
	return 0;
}
