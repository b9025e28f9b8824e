/*
 * Test-bed controls of the user-space qelctl compatibility layer
 * (compat_user.c): where ddi_copyin/ddi_copyout read and write, where the
 * "KYR ERROR" lines go, and the allocator's bookkeeping and failure
 * injection.
 */
#ifndef KYR_COMPAT_USER_H
#define KYR_COMPAT_USER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Copy backend: moves len bytes between the caller's address uaddr and the
 * module's kaddr (to_user 1: kaddr -> uaddr; 0: uaddr -> kaddr).  Returns 0
 * or EFAULT; must never crash on a bad uaddr.  The setting is per thread
 * (the thread that runs qelctl_ioctl); fn NULL restores the default, which
 * copies within this process and validates the address through
 * process_vm_readv/process_vm_writev on the own pid, so a bad address gives
 * EFAULT for real. */
typedef int (*qelsim_copy_fn)(void *ctx, int to_user, uint64_t uaddr,
    void *kaddr, size_t len);
void qelsim_set_copy_backend(qelsim_copy_fn fn, void *ctx);
/* The default backend, callable by other backends for local callers. */
int qelsim_copy_local(void *ctx, int to_user, uint64_t uaddr, void *kaddr,
    size_t len);

/* Log hook for the complete "<3>KYR ERROR:..." lines (newline included).
 * fn NULL restores the default, which writes the line to stderr.  Global,
 * not per thread. */
typedef void (*qelsim_log_fn)(void *ctx, const char *line);
void qelsim_set_log_hook(qelsim_log_fn fn, void *ctx);

/* Allocator bookkeeping: blocks and bytes handed out by kmem_alloc and
 * not yet freed.  Tests compare before/after a command to find leaks. */
typedef struct qelsim_kmem_stats {
	long outstanding;        /* blocks allocated and not freed */
	long long bytes;         /* their sizes as requested */
	long allocs;             /* successful allocations in all */
	long page_allocs;        /* of those, DMA-zone page allocations */
	long refused;            /* refused: order too large or injected */
	size_t largest;          /* largest size successfully allocated */
} qelsim_kmem_stats_t;
void qelsim_kmem_get_stats(qelsim_kmem_stats_t *st);
/* Failure injection: every allocation of more than above bytes fails
 * (0: off), and the nth allocation from now fails (1 = the next; 0: off).
 * Both reset by qelsim_kmem_reset_faults. */
void qelsim_kmem_fail_above(size_t above);
void qelsim_kmem_fail_nth(long nth);
void qelsim_kmem_reset_faults(void);

/* kmem_alloc fills every fresh block with this byte (kmem_zalloc clears
 * it), so memory the module hands on without setting it shows as 0xa5. */
#define QELSIM_KMEM_POISON 0xa5

/* Number of kmutexes (spin locks in the kernel) the calling thread holds. */
int qelsim_kmutex_held(void);
/* Calls into the card model made while the caller held a kmutex: each is
 * a driver entry point run in atomic context, and also printed to stderr.
 * Never reset; tests compare before and after. */
long qelsim_atomic_calls(void);

#ifdef __cplusplus
}
#endif

#endif /* KYR_COMPAT_USER_H */
