/*
 * The few OS primitives the card model (qelmodel.c) uses.  The test bed
 * implements them in user space on pthreads (qelmodel_os_user.c); the kernel
 * build of the model implements the same functions on kernel calls.
 * Nothing else of the OS is used by the model.
 */
#ifndef KYR_QELMODEL_OS_H
#define KYR_QELMODEL_OS_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/string.h>
#else
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* String and memory helpers: the C library's in user space, the kernel's
 * <linux/string.h> in the kernel.  The model uses only these. */
#define qm_memcpy  memcpy
#define qm_memset  memset
#define qm_memcmp  memcmp
#define qm_strncmp strncmp

/* Length of s, at most max (strnlen is not in every C library mode). */
static inline size_t qm_strnlen(const char *s, size_t max)
{
	size_t n = 0;

	while (n < max && s[n] != '\0')
		n++;
	return n;
}

/* Memory of the model itself (card state, queued messages, replies).
 * qm_zalloc returns zero-filled memory or NULL and may sleep; qm_free takes
 * the size given at allocation (the kernel may need it).  qm_free(NULL, n)
 * does nothing. */
void *qm_zalloc(size_t size);
void qm_free(void *p, size_t size);

/* One lock with one condition attached: the model keeps all its state
 * behind a single qm_sync_t.  The lock may sleep (it is never taken from
 * interrupt context) and is not recursive. */
typedef struct qm_sync qm_sync_t;
qm_sync_t *qm_sync_create(void);            /* NULL when out of memory */
void qm_sync_destroy(qm_sync_t *s);
void qm_lock(qm_sync_t *s);
void qm_unlock(qm_sync_t *s);
/* Called with the lock held: releases it, sleeps until qm_broadcast, the
 * timeout (timeout_ms < 0: none) or an interruption, and takes it again.
 * Returns 0 when woken (possibly spuriously: callers re-check their
 * condition in a loop), ETIME on timeout, EINTR when the OS interrupted
 * the wait (kernel: a signal is pending; user space never does this, the
 * simulator interrupts a waiter through qelmodel_interrupt instead). */
int qm_wait(qm_sync_t *s, long timeout_ms);
/* Wakes every qm_wait on s.  Called with the lock held. */
void qm_broadcast(qm_sync_t *s);

/* Every entry point of the driver may sleep, and the caller promises not
 * to call it in atomic context (qelctl holds no spin lock across a call).
 * Called by the entry points and by qm_lock and qm_zalloc: it complains
 * loudly when the promise is broken (kernel: a WARNING with a trace; user
 * space: a counted line on stderr, see qelsim_atomic_calls). */
void qm_may_sleep(const char *where);

/* Monotonic clock in milliseconds. */
uint64_t qm_now_ms(void);

#ifdef __cplusplus
}
#endif

#endif /* KYR_QELMODEL_OS_H */
