/*
 * The small OS interface the qelctl core is written against.  The Linux
 * layer implements it on the kernel's own calls; the test bed implements it
 * in user space.  No OS include in here.
 *
 * The kernel already has functions and macros called mutex_init and
 * friends, so the implementations carry a qelctl_ prefix and the core uses
 * the short names through the macros below.
 */
#ifndef KYR_QELCTL_COMPAT_H
#define KYR_QELCTL_COMPAT_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/errno.h>
#else
#include <stddef.h>
#include <stdint.h>
#include <errno.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel mutex: a spin lock taken with interrupts saved. */
typedef struct kmutex {
	void *impl;               /* the OS lock, allocated by mutex_init */
	unsigned long flags;      /* saved interrupt flags */
	int interrupt;
	int locked;
} kmutex_t;

int qelctl_mutex_init(kmutex_t *m);
void qelctl_mutex_enter(kmutex_t *m);
void qelctl_mutex_exit(kmutex_t *m);
void qelctl_mutex_destroy(kmutex_t *m);
#define mutex_init(m)    qelctl_mutex_init(m)
#define mutex_enter(m)   qelctl_mutex_enter(m)
#define mutex_exit(m)    qelctl_mutex_exit(m)
#define mutex_destroy(m) qelctl_mutex_destroy(m)

/* Sleeping lock: may be held while the qel driver runs and while user
 * memory is copied; never taken with a kmutex held or in interrupt
 * context. */
typedef struct ksleeplock {
	void *impl;               /* the OS lock, allocated by sleeplock_init */
} ksleeplock_t;

int qelctl_sleeplock_init(ksleeplock_t *l);
void qelctl_sleeplock_enter(ksleeplock_t *l);
void qelctl_sleeplock_exit(ksleeplock_t *l);
void qelctl_sleeplock_destroy(ksleeplock_t *l);
#define sleeplock_init(l)    qelctl_sleeplock_init(l)
#define sleeplock_enter(l)   qelctl_sleeplock_enter(l)
#define sleeplock_exit(l)    qelctl_sleeplock_exit(l)
#define sleeplock_destroy(l) qelctl_sleeplock_destroy(l)

/* Allocator: KM_SLEEP may sleep, KM_NOSLEEP must not.  Up to 128 KiB a
 * plain allocation, above it DMA-zone pages; order above 10 refused. */
#define KM_SLEEP   0
#define KM_NOSLEEP 1
#define QELCTL_KMEM_PLAIN_MAX 0x20000u
#define QELCTL_KMEM_MAX_ORDER 10
#define QELCTL_PAGE_SIZE      4096u

/* Page order of an allocation: -1 for a plain allocation (at most 128 KiB),
 * else ceil(log2(ceil(size / 4096))).  Shared by every OS layer so that the
 * alloc and free sides and the two implementations cannot drift apart.  An
 * order above QELCTL_KMEM_MAX_ORDER is refused by both kmem_alloc ("<3>KYR
 * ERROR:kmem_alloc: size %d is too large\n") and kmem_free (same text with
 * kmem_free; nothing is freed). */
static inline int qelctl_kmem_order(size_t size)
{
	size_t pages;
	int order = 0;

	if (size <= QELCTL_KMEM_PLAIN_MAX)
		return -1;
	pages = size / QELCTL_PAGE_SIZE + (size % QELCTL_PAGE_SIZE != 0);
	while (order < 63 && ((size_t)1 << order) < pages)
		order++;
	return order;
}

void *qelctl_kmem_alloc(size_t size, int flag);
void *qelctl_kmem_zalloc(size_t size, int flag);
void qelctl_kmem_free(void *p, size_t size);
#define kmem_alloc(s, f)  qelctl_kmem_alloc((s), (f))
#define kmem_zalloc(s, f) qelctl_kmem_zalloc((s), (f))
#define kmem_free(p, s)   qelctl_kmem_free((p), (s))

/* Copies between the caller's memory and the module's: 0 or EFAULT. */
int qelctl_ddi_copyin(const void *uaddr, void *kaddr, size_t len, int mode);
int qelctl_ddi_copyout(const void *kaddr, void *uaddr, size_t len, int mode);
#define ddi_copyin(u, k, l, m)  qelctl_ddi_copyin((u), (k), (l), (m))
#define ddi_copyout(k, u, l, m) qelctl_ddi_copyout((k), (u), (l), (m))

/* Frees consistent DMA memory (descriptor type 0x10) that the driver put
 * on a control DMA descriptor; qelctl never allocates such memory itself. */
void qelctl_dma_free_coherent(void *pdev, size_t size, void *cpu_addr,
    uint64_t bus_addr);

/* An integer as wide as a pointer.  Older kernels' <linux/types.h> have no
 * uintptr_t; on every Linux target, kernel and user space, unsigned long
 * is pointer-sized. */
typedef unsigned long qelctl_uintptr_t;

/* Device numbers. */
typedef unsigned long qelctl_dev_t;
#define getminor(d)       ((int)((d) & 0xfffffUL))
#define getmajor(d)       ((int)((d) >> 20))
#define makedevice(ma, mi) ((((qelctl_dev_t)(ma)) << 20) | ((qelctl_dev_t)(mi) & 0xfffffUL))

/* Register access. */
typedef void *ddi_acc_handle_t;
uint32_t qelctl_ddi_get32(ddi_acc_handle_t h, const volatile uint32_t *addr);
#define ddi_get32(h, a) qelctl_ddi_get32((h), (a))

/* Kernel log: the implementation prefixes "<3>KYR ERROR:" (KERN_ERR) to
 * the formatted text; fmt carries its own trailing newline. */
void qelctl_log_error(const char *fmt, ...)
#ifdef __GNUC__
	__attribute__((format(printf, 1, 2)))
#endif
	;

#ifdef __cplusplus
}
#endif

#endif /* KYR_QELCTL_COMPAT_H */
