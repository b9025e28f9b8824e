/*
 * Timing client for the interposer benchmark.
 *
 *   probe_client N ctl     opens the control device and issues QELCTLPROBE
 *                          N times (after a warm-up)
 *   probe_client N kyrf    the same with a token command on /dev/kyrf (the
 *                          control device refuses 32-bit callers)
 *
 * prints the count, the median and the 90th percentile of the round trip
 * in microseconds.
 *
 *   probe_client N waiters opens the control device N times, each file
 *                          with a thread waiting in DB_STANDBY; on SIGUSR1
 *                          prints the descriptors this took and exits
 */
#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "qelctl.h"

static int cmp(const void *a, const void *b)
{
	double x = *(const double *)a, y = *(const double *)b;
	return (x > y) - (x < y);
}

static double now_us(void)
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static int count_fds(void)
{
	char path[64], target[256];
	int n = 0;
	for (int i = 0; i < 4096; i++) {
		snprintf(path, sizeof(path), "/proc/self/fd/%d", i);
		if (readlink(path, target, sizeof(target)) > 0)
			n++;
	}
	return n;
}

#define MSG_MAX 61423

static void *waiter(void *arg)
{
	unsigned char *m = calloc(1, MSG_MAX + 1);
	uint32_t v;
	int fd = open("/dev/qelctl", O_RDWR);
	(void)arg;
	if (fd < 0 || !m)
		return NULL;
	v = htonl(1);            /* DB_STANDBY */
	memcpy(m, &v, 4);
	v = htonl(MSG_MAX);      /* extent */
	memcpy(m + 20, &v, 4);
	v = htonl(412);          /* paramSize */
	memcpy(m + 24, &v, 4);
	(void)ioctl(fd, QELCTLUPCALL, m);
	return NULL;
}

static int waiters(int n)
{
	sigset_t set;
	int sig, base = count_fds();
	sigemptyset(&set);
	sigaddset(&set, SIGUSR1);
	pthread_sigmask(SIG_BLOCK, &set, NULL);
	for (int i = 0; i < n; i++) {
		pthread_t t;
		if (pthread_create(&t, NULL, waiter, NULL) != 0)
			return 1;
	}
	sigwait(&set, &sig);
	printf("%d %d\n", n, count_fds() - base);
	fflush(stdout);
	_exit(0);   /* the waiters wait on */
}

int main(int argc, char **argv)
{
	int n = argc > 1 ? atoi(argv[1]) : 2000;
	const char *what = argc > 2 ? argv[2] : "ctl";
	int kyrf = strcmp(what, "kyrf") == 0;
	qelctl_probe_t pr;
	uint32_t blk[4];
	double *t;
	int fd, i;

	if (strcmp(what, "waiters") == 0)
		return waiters(n);
	if (n < 10)
		n = 10;
	t = calloc((size_t)n, sizeof(*t));
	fd = open(kyrf ? "/dev/kyrf" : "/dev/qelctl", O_RDWR);
	if (fd < 0 || !t) {
		perror("open");
		return 1;
	}
	for (i = 0; i < 50 + n; i++) {
		double t0 = now_us();
		int rc = kyrf ? ioctl(fd, 0xC0105801u, blk) : ioctl(fd, QELCTLPROBE, &pr);
		if (rc < 0) {
			perror("ioctl");
			return 1;
		}
		if (i >= 50)
			t[i - 50] = now_us() - t0;
	}
	qsort(t, (size_t)n, sizeof(*t), cmp);
	printf("%d %.1f %.1f\n", n, t[n / 2], t[(n * 9) / 10]);
	close(fd);
	free(t);
	return 0;
}
