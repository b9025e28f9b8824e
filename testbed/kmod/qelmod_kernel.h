/*
 * Internals shared by the files of the stand-in qel kernel module.
 */
#ifndef KYR_QELMOD_KERNEL_H
#define KYR_QELMOD_KERNEL_H

/* Model memory handed out and not yet freed (blocks, bytes). */
void qelmod_kmem_balance(long *blocks, long *bytes);
/* Adds to that balance (memory allocated outside qm_zalloc). */
void qelmod_kmem_account(long blocks, long bytes);

#endif /* KYR_QELMOD_KERNEL_H */
