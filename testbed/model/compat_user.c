/*
 * The qelctl compatibility interface in user space, for the test bed.
 *
 * Locks are pthread mutexes; the allocator follows the module's size and
 * order rules (plain up to 128 KiB, whole pages above, order above 10
 * refused) and keeps a balance that tests read; user copies go through a
 * per-thread backend that reports EFAULT for a bad address instead of
 * crashing.
 */
#define _GNU_SOURCE
#include "qelctl_compat.h"
#include "compat_user.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

/* ------------------------------------------------------------------ */
/* Locks                                                                */

/* kmutexes this thread holds.  A kmutex stands for a spin lock with
 * interrupts off, so nothing that may sleep (a driver entry point) may run
 * while the count is above zero; qelsim_kmutex_held lets the card model
 * check. */
static __thread int kmutex_held;

int qelsim_kmutex_held(void)
{
	return kmutex_held;
}

int qelctl_mutex_init(kmutex_t *m)
{
	pthread_mutex_t *pm = (pthread_mutex_t *)malloc(sizeof(*pm));

	if (pm == NULL)
		return ENOMEM;
	pthread_mutex_init(pm, NULL);
	m->impl = pm;
	m->flags = 0;
	m->interrupt = 0;
	m->locked = 0;
	return 0;
}

void qelctl_mutex_enter(kmutex_t *m)
{
	pthread_mutex_lock((pthread_mutex_t *)m->impl);
	m->locked = 1;
	kmutex_held++;
}

void qelctl_mutex_exit(kmutex_t *m)
{
	m->locked = 0;
	kmutex_held--;
	pthread_mutex_unlock((pthread_mutex_t *)m->impl);
}

void qelctl_mutex_destroy(kmutex_t *m)
{
	pthread_mutex_t *pm = (pthread_mutex_t *)m->impl;

	if (pm == NULL)
		return;
	if (m->locked)
		qelctl_mutex_exit(m);
	pthread_mutex_destroy(pm);
	free(pm);
	m->impl = NULL;
}

/* Sleeping locks are plain pthread mutexes too; they are not counted as
 * held kmutexes, since a driver call may run under them. */
int qelctl_sleeplock_init(ksleeplock_t *l)
{
	pthread_mutex_t *pm = (pthread_mutex_t *)malloc(sizeof(*pm));

	if (pm == NULL)
		return ENOMEM;
	pthread_mutex_init(pm, NULL);
	l->impl = pm;
	return 0;
}

void qelctl_sleeplock_enter(ksleeplock_t *l)
{
	pthread_mutex_lock((pthread_mutex_t *)l->impl);
}

void qelctl_sleeplock_exit(ksleeplock_t *l)
{
	pthread_mutex_unlock((pthread_mutex_t *)l->impl);
}

void qelctl_sleeplock_destroy(ksleeplock_t *l)
{
	if (l->impl == NULL)
		return;
	pthread_mutex_destroy((pthread_mutex_t *)l->impl);
	free(l->impl);
	l->impl = NULL;
}

/* ------------------------------------------------------------------ */
/* Log                                                                  */

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static qelsim_log_fn log_fn;
static void *log_ctx;

void qelsim_set_log_hook(qelsim_log_fn fn, void *ctx)
{
	pthread_mutex_lock(&log_lock);
	log_fn = fn;
	log_ctx = ctx;
	pthread_mutex_unlock(&log_lock);
}

void qelctl_log_error(const char *fmt, ...)
{
	char line[512];
	int n;
	va_list ap;

	n = snprintf(line, sizeof(line), "<3>KYR ERROR:");
	va_start(ap, fmt);
	vsnprintf(line + n, sizeof(line) - (size_t)n, fmt, ap);
	va_end(ap);
	pthread_mutex_lock(&log_lock);
	if (log_fn != NULL)
		log_fn(log_ctx, line);
	else
		fputs(line, stderr);
	pthread_mutex_unlock(&log_lock);
}

/* ------------------------------------------------------------------ */
/* Allocator                                                            */

static pthread_mutex_t kmem_lock = PTHREAD_MUTEX_INITIALIZER;
static qelsim_kmem_stats_t kmem_stats;
static size_t kmem_fail_above;
static long kmem_fail_nth;

void qelsim_kmem_get_stats(qelsim_kmem_stats_t *st)
{
	pthread_mutex_lock(&kmem_lock);
	*st = kmem_stats;
	pthread_mutex_unlock(&kmem_lock);
}

void qelsim_kmem_fail_above(size_t above)
{
	pthread_mutex_lock(&kmem_lock);
	kmem_fail_above = above;
	pthread_mutex_unlock(&kmem_lock);
}

void qelsim_kmem_fail_nth(long nth)
{
	pthread_mutex_lock(&kmem_lock);
	kmem_fail_nth = nth;
	pthread_mutex_unlock(&kmem_lock);
}

void qelsim_kmem_reset_faults(void)
{
	pthread_mutex_lock(&kmem_lock);
	kmem_fail_above = 0;
	kmem_fail_nth = 0;
	pthread_mutex_unlock(&kmem_lock);
}

/* Decides whether an injected fault refuses this allocation. */
static int kmem_injected_failure(size_t size)
{
	int fail = 0;

	if (kmem_fail_above != 0 && size > kmem_fail_above)
		fail = 1;
	if (kmem_fail_nth > 0 && --kmem_fail_nth == 0)
		fail = 1;
	return fail;
}

void *qelctl_kmem_alloc(size_t size, int flag)
{
	int order = qelctl_kmem_order(size);
	void *p = NULL;

	(void)flag;
	if (order > QELCTL_KMEM_MAX_ORDER) {
		qelctl_log_error("kmem_alloc: size %d is too large\n", (int)size);
		pthread_mutex_lock(&kmem_lock);
		kmem_stats.refused++;
		pthread_mutex_unlock(&kmem_lock);
		return NULL;
	}
	pthread_mutex_lock(&kmem_lock);
	if (kmem_injected_failure(size)) {
		kmem_stats.refused++;
		pthread_mutex_unlock(&kmem_lock);
		return NULL;
	}
	pthread_mutex_unlock(&kmem_lock);

	if (order < 0) {
		p = malloc(size != 0 ? size : 1);
	} else {
		/* Whole pages: 4096 << order bytes, page aligned. */
		if (posix_memalign(&p, QELCTL_PAGE_SIZE,
		    (size_t)QELCTL_PAGE_SIZE << order) != 0)
			p = NULL;
	}
	if (p == NULL)
		return NULL;
	/* Fresh memory is not clean: like the kernel's allocator, this one
	 * hands out whatever was there, here a poison pattern, so that a byte
	 * the module forgets to set shows. */
	memset(p, QELSIM_KMEM_POISON, size);
	pthread_mutex_lock(&kmem_lock);
	kmem_stats.outstanding++;
	kmem_stats.bytes += (long long)size;
	kmem_stats.allocs++;
	if (order >= 0)
		kmem_stats.page_allocs++;
	if (size > kmem_stats.largest)
		kmem_stats.largest = size;
	pthread_mutex_unlock(&kmem_lock);
	return p;
}

void *qelctl_kmem_zalloc(size_t size, int flag)
{
	void *p = qelctl_kmem_alloc(size, flag);

	if (p != NULL)
		memset(p, 0, size);
	return p;
}

void qelctl_kmem_free(void *p, size_t size)
{
	if (qelctl_kmem_order(size) > QELCTL_KMEM_MAX_ORDER) {
		qelctl_log_error("kmem_free: size %d is too large\n", (int)size);
		return;
	}
	if (p == NULL)
		return;
	free(p);
	pthread_mutex_lock(&kmem_lock);
	kmem_stats.outstanding--;
	kmem_stats.bytes -= (long long)size;
	pthread_mutex_unlock(&kmem_lock);
}

void qelctl_dma_free_coherent(void *pdev, size_t size, void *cpu_addr,
    uint64_t bus_addr)
{
	/* The test bed's driver never hands out consistent memory; such a
	 * descriptor is freed like a block of its size. */
	(void)pdev;
	(void)bus_addr;
	qelctl_kmem_free(cpu_addr, size);
}

/* ------------------------------------------------------------------ */
/* User copies                                                          */

static __thread qelsim_copy_fn copy_fn;
static __thread void *copy_ctx;

void qelsim_set_copy_backend(qelsim_copy_fn fn, void *ctx)
{
	copy_fn = fn;
	copy_ctx = ctx;
}

/* Fallback when process_vm_* is not allowed: the kernel reads or writes
 * the address on our behalf through a pipe, and a bad address comes back
 * as EFAULT from write(2) or read(2). */
static int copy_by_pipe(int to_user, void *uaddr, void *kaddr, size_t len)
{
	int fds[2];
	int rc = 0;

	if (pipe(fds) != 0)
		return EFAULT;
	while (len > 0 && rc == 0) {
		size_t n = len > 4096 ? 4096 : len;
		const void *src = to_user ? kaddr : uaddr;
		void *dst = to_user ? uaddr : kaddr;

		if (write(fds[1], src, n) != (ssize_t)n ||
		    read(fds[0], dst, n) != (ssize_t)n)
			rc = EFAULT;
		uaddr = (char *)uaddr + n;
		kaddr = (char *)kaddr + n;
		len -= n;
	}
	close(fds[0]);
	close(fds[1]);
	return rc;
}

int qelsim_copy_local(void *ctx, int to_user, uint64_t uaddr, void *kaddr,
    size_t len)
{
	struct iovec local, remote;
	ssize_t n;

	(void)ctx;
	if (len == 0)
		return 0;
	local.iov_base = kaddr;
	local.iov_len = len;
	remote.iov_base = (void *)(uintptr_t)uaddr;
	remote.iov_len = len;
	if (to_user)
		n = process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
	else
		n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
	if (n < 0 && (errno == ENOSYS || errno == EPERM))
		return copy_by_pipe(to_user, remote.iov_base, kaddr, len);
	return n == (ssize_t)len ? 0 : EFAULT;
}

int qelctl_ddi_copyin(const void *uaddr, void *kaddr, size_t len, int mode)
{
	qelsim_copy_fn fn = copy_fn != NULL ? copy_fn : qelsim_copy_local;

	(void)mode;
	if (len == 0)
		return 0;
	return fn(copy_ctx, 0, (uint64_t)(uintptr_t)uaddr, kaddr, len) != 0 ?
	    EFAULT : 0;
}

int qelctl_ddi_copyout(const void *kaddr, void *uaddr, size_t len, int mode)
{
	qelsim_copy_fn fn = copy_fn != NULL ? copy_fn : qelsim_copy_local;

	(void)mode;
	if (len == 0)
		return 0;
	return fn(copy_ctx, 1, (uint64_t)(uintptr_t)uaddr, (void *)kaddr,
	    len) != 0 ? EFAULT : 0;
}

/* ------------------------------------------------------------------ */
/* Registers                                                            */

uint32_t qelctl_ddi_get32(ddi_acc_handle_t h, const volatile uint32_t *addr)
{
	uint32_t v;

	/* The register window need not be aligned in the test bed. */
	(void)h;
	memcpy(&v, (const void *)(uintptr_t)addr, sizeof(v));
	return v;
}
