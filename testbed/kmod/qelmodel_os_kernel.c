/*
 * Kernel implementation of the card model's OS primitives (qelmodel_os.h)
 * for the stand-in qel module.
 *
 * Memory up to 128 KiB comes from kmalloc, larger blocks from vmalloc; the
 * size given to qm_free picks the same way back.
 *
 * The lock is a sleeping mutex with a wait queue and a generation counter
 * as the condition: a broadcast bumps the counter under the lock, so a
 * waiter that read the counter before dropping the lock cannot miss it.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mutex.h>
#include <linux/wait.h>
#include <linux/sched.h>
#include <linux/jiffies.h>
#include <linux/timekeeping.h>
#include <linux/atomic.h>
#include <linux/irqflags.h>
#include <linux/preempt.h>

#include "qelmodel_os.h"
#include "qelmod_kernel.h"

#define QM_KMALLOC_MAX (128u * 1024u)

/* Blocks and bytes handed out and not yet freed, for the leak report at
 * unload.  Public-key blobs given to qelctl (qel_kmod.c) stay counted
 * here; qelctl counts their free on its side, so the two balances add up
 * to zero when nothing leaked. */
static atomic_long_t qm_blocks = ATOMIC_LONG_INIT(0);
static atomic_long_t qm_bytes = ATOMIC_LONG_INIT(0);

void qelmod_kmem_balance(long *blocks, long *bytes)
{
	*blocks = atomic_long_read(&qm_blocks);
	*bytes = atomic_long_read(&qm_bytes);
}

void qelmod_kmem_account(long blocks, long bytes)
{
	atomic_long_add(blocks, &qm_blocks);
	atomic_long_add(bytes, &qm_bytes);
}

/* Every entry point may sleep; a call in atomic context is the caller's
 * fault and must not pass quietly (sleep-in-atomic debugging is off in the
 * distribution kernel), so it prints a WARNING with a trace. */
void qm_may_sleep(const char *where)
{
	WARN(irqs_disabled() || in_atomic(),
	    "qel: %s called in atomic context\n", where);
}

void *qm_zalloc(size_t size)
{
	void *p;

	qm_may_sleep("qm_zalloc");
	if (size <= QM_KMALLOC_MAX)
		p = kzalloc(size, GFP_KERNEL);
	else
		p = vzalloc(size);
	if (p != NULL) {
		atomic_long_inc(&qm_blocks);
		atomic_long_add((long)size, &qm_bytes);
	}
	return p;
}

void qm_free(void *p, size_t size)
{
	if (p == NULL)
		return;
	if (size <= QM_KMALLOC_MAX)
		kfree(p);
	else
		vfree(p);
	atomic_long_dec(&qm_blocks);
	atomic_long_sub((long)size, &qm_bytes);
}

struct qm_sync {
	struct mutex lock;
	wait_queue_head_t wq;
	unsigned long gen;        /* bumped by every broadcast */
};

qm_sync_t *qm_sync_create(void)
{
	qm_sync_t *s = kzalloc(sizeof(*s), GFP_KERNEL);

	if (s == NULL)
		return NULL;
	mutex_init(&s->lock);
	init_waitqueue_head(&s->wq);
	return s;
}

void qm_sync_destroy(qm_sync_t *s)
{
	if (s == NULL)
		return;
	mutex_destroy(&s->lock);
	kfree(s);
}

void qm_lock(qm_sync_t *s)
{
	qm_may_sleep("qm_lock");
	mutex_lock(&s->lock);
}

void qm_unlock(qm_sync_t *s)
{
	mutex_unlock(&s->lock);
}

int qm_wait(qm_sync_t *s, long timeout_ms)
{
	unsigned long seen = s->gen;   /* read under the lock */
	long rc;

	mutex_unlock(&s->lock);
	if (timeout_ms < 0) {
		rc = wait_event_interruptible(s->wq,
		    READ_ONCE(s->gen) != seen);
		mutex_lock(&s->lock);
		return rc != 0 ? EINTR : 0;
	}
	rc = wait_event_interruptible_timeout(s->wq,
	    READ_ONCE(s->gen) != seen,
	    msecs_to_jiffies((unsigned int)timeout_ms));
	mutex_lock(&s->lock);
	if (rc < 0)
		return EINTR;
	if (rc == 0)
		return ETIME;
	return 0;
}

void qm_broadcast(qm_sync_t *s)
{
	WRITE_ONCE(s->gen, s->gen + 1);
	wake_up_all(&s->wq);
}

uint64_t qm_now_ms(void)
{
	return ktime_get_ns() / 1000000ull;
}
