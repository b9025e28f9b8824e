/*
 * Timing client for the interposer benchmark: opens the control device and
 * issues QELCTLPROBE n times (after a warm-up), then prints the median and
 * the 90th percentile of the round trip in microseconds.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
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

int main(int argc, char **argv)
{
	int n = argc > 1 ? atoi(argv[1]) : 2000;
	qelctl_probe_t pr;
	double *t;
	int fd, i;

	if (n < 10)
		n = 10;
	t = calloc((size_t)n, sizeof(*t));
	fd = open("/dev/qelctl", O_RDWR);
	if (fd < 0 || !t) {
		perror("open /dev/qelctl");
		return 1;
	}
	for (i = 0; i < 50; i++)
		ioctl(fd, QELCTLPROBE, &pr);
	for (i = 0; i < n; i++) {
		double t0 = now_us();
		if (ioctl(fd, QELCTLPROBE, &pr) != 0) {
			perror("QELCTLPROBE");
			return 1;
		}
		t[i] = now_us() - t0;
	}
	qsort(t, (size_t)n, sizeof(*t), cmp);
	printf("%d %.1f %.1f\n", n, t[n / 2], t[(n * 9) / 10]);
	close(fd);
	free(t);
	return 0;
}
