/*
 * Entry points of the OS-independent qelctl core (qelctl_main.c) for the OS
 * layers: the Linux module calls them from its init/exit and character
 * device operations, the test bed's simulator calls them directly.
 *
 * Every function returns 0 or a positive errno value; the OS layer negates
 * it for user space.  The core holds no lock while it calls the qel driver.
 *
 * Life of an open file: qelctl_open hands out a device number whose minor
 * is the index of the per-open record; qelctl_ioctl and qelctl_close take
 * that number.  The OS layer must not run qelctl_close for a number while
 * an qelctl_ioctl on it is still running (the kernel guarantees this through
 * the file's reference count; a user-space host must do the same).
 */
#ifndef KYR_QELCTL_CORE_H
#define KYR_QELCTL_CORE_H

#include "qel_ddi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Commands of qelctl_attach / qelctl_detach. */
#define QELCTL_ATTACH 0
#define QELCTL_DETACH 1

/* Device-information record.  The OS layer allocates it zero-filled with
 * kmem_zalloc(sizeof(qelctl_dip_t), KM_NOSLEEP), registers the character
 * device, stores the major number and hands the record to qelctl_attach;
 * from then on the core owns it and qelctl_detach frees it. */
typedef struct qelctl_dip {
	int major;
} qelctl_dip_t;

/* Initializes the table of open files and the global lock and publishes
 * dip (the module is ready).  EINVAL for another cmd or a NULL dip, EBUSY
 * when already attached, ENOMEM; on failure dip stays the caller's. */
int qelctl_attach(qelctl_dip_t *dip, int cmd);
/* Destroys the table, releases the global lock if still marked locked,
 * forgets and frees the dip.  The OS layer unregisters the device after. */
int qelctl_detach(qelctl_dip_t *dip, int cmd);

/* Opens a new file: *devp (in: any number of the device, out: the number
 * of the new file, same major, minor = per-open index).  ENXIO when not
 * attached, ENOMEM when no slot.  flags, otyp and credp are not used. */
int qelctl_open(qelctl_dev_t *devp, int flags, int otyp, void *credp);
/* Closes the file: security-command disconnect, device release, upcall
 * detach, in that order.  ENXIO for an unknown number, else 0. */
int qelctl_close(qelctl_dev_t dev, int flags, int otyp, void *credp);

/* Runs one control-device command.  arg is the ioctl argument (a user
 * address, or the instance number for QELCTLBIND); mode is passed to
 * ddi_copyin/ddi_copyout.  *rvalp is the result slot (0 unless the command
 * sets it: QELCTLCHECKDR, QELCTLRESUME, QELCTLSUSPEND); the OS layer
 * returns it to user space on success. */
int qelctl_ioctl(qelctl_dev_t dev, int cmd, unsigned long arg, int mode,
    void *credp, int *rvalp);

#ifdef __cplusplus
}
#endif

#endif /* KYR_QELCTL_CORE_H */
