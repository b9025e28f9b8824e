/*
 * Helpers of the test programs that run inside the virtual machine.  They
 * report on the serial console in whole lines: "KYRTEST OK <name>" for a
 * passed check, "KYRTEST FAIL <name>: <why>" for a failed one; the host
 * side judges the log by those lines.
 */
#ifndef KYR_VMTEST_H
#define KYR_VMTEST_H

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static int vm_failures __attribute__((unused));

/* Reports one check; returns ok so that callers can chain on it. */
static inline int vm_check(int ok, const char *name, const char *fmt, ...)
{
	char why[256] = "";
	va_list ap;

	if (fmt != NULL) {
		va_start(ap, fmt);
		vsnprintf(why, sizeof(why), fmt, ap);
		va_end(ap);
	}
	/* One write per line keeps lines whole on the console. */
	if (ok)
		printf("\nKYRTEST OK %s\n", name);
	else
		printf("\nKYRTEST FAIL %s: %s\n", name, why);
	fflush(stdout);
	if (!ok)
		vm_failures++;
	return ok;
}

/* errno of an ioctl that returned -1, 0 when it succeeded. */
static inline int vm_ioctl_err(int fd, unsigned long cmd, void *arg)
{
	return ioctl(fd, cmd, arg) == -1 ? errno : 0;
}

static inline int vm_open(const char *path)
{
	int fd = open(path, O_RDWR);

	if (fd < 0)
		printf("\nKYRTEST FAIL open-%s: %s\n", path, strerror(errno));
	return fd;
}

static inline void vm_put32(void *p, unsigned off, unsigned v)
{
	unsigned char *b = (unsigned char *)p + off;

	b[0] = (unsigned char)(v >> 24);
	b[1] = (unsigned char)(v >> 16);
	b[2] = (unsigned char)(v >> 8);
	b[3] = (unsigned char)v;
}

static inline unsigned vm_get32(const void *p, unsigned off)
{
	const unsigned char *b = (const unsigned char *)p + off;

	return ((unsigned)b[0] << 24) | ((unsigned)b[1] << 16) |
	    ((unsigned)b[2] << 8) | b[3];
}

#endif /* KYR_VMTEST_H */
