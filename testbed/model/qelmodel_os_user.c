/*
 * The card model's OS primitives in user space: calloc/free, one pthread
 * mutex with one condition variable, the monotonic clock.
 */
#define _POSIX_C_SOURCE 200809L
#include "qelmodel_os.h"
#include "compat_user.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

struct qm_sync {
	pthread_mutex_t lock;
	pthread_cond_t cond;
};

static long qm_atomic_calls;

void qm_may_sleep(const char *where)
{
	if (qelsim_kmutex_held() == 0)
		return;
	__atomic_add_fetch(&qm_atomic_calls, 1, __ATOMIC_SEQ_CST);
	fprintf(stderr, "qel: %s called with a spin lock held\n", where);
}

long qelsim_atomic_calls(void)
{
	return __atomic_load_n(&qm_atomic_calls, __ATOMIC_SEQ_CST);
}

void *qm_zalloc(size_t size)
{
	qm_may_sleep("qm_zalloc");
	return calloc(1, size != 0 ? size : 1);
}

void qm_free(void *p, size_t size)
{
	(void)size;
	free(p);
}

qm_sync_t *qm_sync_create(void)
{
	qm_sync_t *s = (qm_sync_t *)calloc(1, sizeof(*s));
	pthread_condattr_t ca;

	if (s == NULL)
		return NULL;
	pthread_mutex_init(&s->lock, NULL);
	pthread_condattr_init(&ca);
	pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
	pthread_cond_init(&s->cond, &ca);
	pthread_condattr_destroy(&ca);
	return s;
}

void qm_sync_destroy(qm_sync_t *s)
{
	if (s == NULL)
		return;
	pthread_cond_destroy(&s->cond);
	pthread_mutex_destroy(&s->lock);
	free(s);
}

void qm_lock(qm_sync_t *s)
{
	qm_may_sleep("qm_lock");
	pthread_mutex_lock(&s->lock);
}

void qm_unlock(qm_sync_t *s)
{
	pthread_mutex_unlock(&s->lock);
}

int qm_wait(qm_sync_t *s, long timeout_ms)
{
	struct timespec ts;

	if (timeout_ms < 0) {
		pthread_cond_wait(&s->cond, &s->lock);
		return 0;
	}
	clock_gettime(CLOCK_MONOTONIC, &ts);
	ts.tv_sec += timeout_ms / 1000;
	ts.tv_nsec += (timeout_ms % 1000) * 1000000L;
	if (ts.tv_nsec >= 1000000000L) {
		ts.tv_sec++;
		ts.tv_nsec -= 1000000000L;
	}
	return pthread_cond_timedwait(&s->cond, &s->lock, &ts) == ETIMEDOUT ?
	    ETIME : 0;
}

void qm_broadcast(qm_sync_t *s)
{
	pthread_cond_broadcast(&s->cond);
}

uint64_t qm_now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u;
}
