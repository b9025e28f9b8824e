/*
 * Linux layer of the qelctl control-device module.
 *
 * Everything the control device does lives in the OS-independent core
 * (qelctl_main.c).  This file only glues it to the kernel: the module's
 * init and exit, the character device "qelctl" with a major number chosen
 * by the kernel, the open/release/ioctl operations, and the small
 * compatibility routines the core is written against (locks, memory, user
 * copies, register reads, the kernel log).
 *
 * It builds for the 2.6.18 kernels the card was qualified on as well as for
 * current ones; the few interfaces that changed in between are chosen by
 * LINUX_VERSION_CODE.
 */
#include <linux/version.h>
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/slab.h>
#include <linux/gfp.h>
#include <linux/mm.h>
#include <linux/spinlock.h>
#include <linux/semaphore.h>
#include <linux/device.h>
#include <linux/capability.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <linux/pci.h>
#include <linux/dma-mapping.h>
#include <asm/atomic.h>
#include <asm/io.h>
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 29)
#include <asm/uaccess.h>
#else
#include <linux/uaccess.h>
#endif

/* The core's compatibility header maps short names (mutex_init and
 * friends) onto the qelctl_ routines below; the kernel's own mutex_init
 * macro is not used in this file and must make way. */
#undef mutex_init
#include "../qelctl_compat.h"
#include "../qelctl_core.h"

/* The kernel's old ioctl operation went away in 2.6.36; from then on the
 * unlocked one is the only choice.  The core serializes per open file by
 * itself, so it never relied on the big kernel lock. */
#if LINUX_VERSION_CODE < KERNEL_VERSION(2, 6, 36)
#define QELCTL_OLD_IOCTL 1
#endif

/* Major number assigned by the kernel at registration. */
static int qelctl_major;

/* Device-information record handed to the core at attach; from then on
 * the core owns it and frees it at detach. */
static qelctl_dip_t *qelctl_linux_dip;

/* Module allocations not yet given back: kmem_alloc counts up, kmem_free
 * counts down.  Printed at unload so that a leak shows in the kernel log.
 * The qel driver hands its public-key blob to this module to free, so the
 * balance of this module alone goes negative by one per blob; the
 * stand-in driver counts the other side. */
static atomic_t qelctl_kmem_count = ATOMIC_INIT(0);
static atomic_t qelctl_kmem_bytes = ATOMIC_INIT(0);

/* ---- Kernel log -------------------------------------------------------- */

void qelctl_log_error(const char *fmt, ...)
{
	char text[256];
	va_list ap;

	va_start(ap, fmt);
	vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);
	printk(KERN_ERR "KYR ERROR:%s", text);
}

/* ---- Locks ------------------------------------------------------------- */

/* A kmutex is a spin lock taken with interrupts saved.  The spin lock
 * itself is allocated here so that the OS-independent header need not
 * know its size. */
int qelctl_mutex_init(kmutex_t *m)
{
	spinlock_t *lock;

	lock = kmalloc(sizeof(*lock), GFP_ATOMIC | __GFP_NOWARN);
	if (lock == NULL)
		return ENOMEM;
	spin_lock_init(lock);
	m->impl = lock;
	m->flags = 0;
	m->interrupt = 0;
	m->locked = 0;
	return 0;
}

void qelctl_mutex_enter(kmutex_t *m)
{
	unsigned long flags;

	spin_lock_irqsave((spinlock_t *)m->impl, flags);
	/* Only the holder writes the saved flags, so storing them in the
	 * shared record after taking the lock is safe. */
	m->flags = flags;
	m->locked = 1;
}

void qelctl_mutex_exit(kmutex_t *m)
{
	unsigned long flags = m->flags;

	m->locked = 0;
	spin_unlock_irqrestore((spinlock_t *)m->impl, flags);
}

void qelctl_mutex_destroy(kmutex_t *m)
{
	if (m->impl == NULL)
		return;
	/* A lock still marked taken is released first, so that the saved
	 * interrupt state is restored. */
	if (m->locked)
		qelctl_mutex_exit(m);
	kfree(m->impl);
	m->impl = NULL;
}

/* A sleeping lock is a binary semaphore (the kernel's mutex calls share
 * their names with the core's short names). */
int qelctl_sleeplock_init(ksleeplock_t *l)
{
	struct semaphore *sem = kmalloc(sizeof(*sem), GFP_KERNEL);

	if (sem == NULL)
		return ENOMEM;
	sema_init(sem, 1);
	l->impl = sem;
	return 0;
}

void qelctl_sleeplock_enter(ksleeplock_t *l)
{
	down((struct semaphore *)l->impl);
}

void qelctl_sleeplock_exit(ksleeplock_t *l)
{
	up((struct semaphore *)l->impl);
}

void qelctl_sleeplock_destroy(ksleeplock_t *l)
{
	kfree(l->impl);
	l->impl = NULL;
}

/* ---- Memory ------------------------------------------------------------ */

/* kmem_alloc hands out memory as the kernel has it, not cleared: the core
 * sets every byte it passes on (transfer buffers are cleared past what the
 * caller sent), and only kmem_zalloc promises zeros. */
static void *qelctl_kmem_get(size_t size, int flag, gfp_t extra)
{
	gfp_t gfp = ((flag == KM_NOSLEEP) ? (GFP_ATOMIC | __GFP_NOWARN) : GFP_KERNEL) |
	    extra;
	void *p;
	int order = qelctl_kmem_order(size);

	if (order < 0) {
		p = kmalloc(size, gfp);
	} else {
		if (order > QELCTL_KMEM_MAX_ORDER) {
			qelctl_log_error("kmem_alloc: size %d is too large\n", (int)size);
			return NULL;
		}
		/* Large blocks may fail; callers fall back to chunks, so no
		 * warning either way. */
		p = (void *)__get_free_pages(gfp | GFP_DMA | __GFP_NOWARN, order);
	}
	if (p != NULL) {
		atomic_inc(&qelctl_kmem_count);
		atomic_add((int)size, &qelctl_kmem_bytes);
	}
	return p;
}

void *qelctl_kmem_alloc(size_t size, int flag)
{
	return qelctl_kmem_get(size, flag, 0);
}

void *qelctl_kmem_zalloc(size_t size, int flag)
{
	return qelctl_kmem_get(size, flag, __GFP_ZERO);
}

void qelctl_kmem_free(void *p, size_t size)
{
	int order = qelctl_kmem_order(size);

	if (p == NULL)
		return;
	if (order < 0) {
		kfree(p);
	} else {
		if (order > QELCTL_KMEM_MAX_ORDER) {
			qelctl_log_error("kmem_free: size %d is too large\n", (int)size);
			return;
		}
		free_pages((unsigned long)p, order);
	}
	atomic_dec(&qelctl_kmem_count);
	atomic_sub((int)size, &qelctl_kmem_bytes);
}

/* Consistent DMA memory is only ever put on a descriptor by the driver;
 * give it back through the device it was allocated for. */
void qelctl_dma_free_coherent(void *pdev, size_t size, void *cpu_addr,
    uint64_t bus_addr)
{
	struct pci_dev *pci = pdev;

	if (pci == NULL || cpu_addr == NULL) {
		qelctl_log_error("dma_free: no device for %lu bytes\n",
		    (unsigned long)size);
		return;
	}
	dma_free_coherent(&pci->dev, size, cpu_addr, (dma_addr_t)bus_addr);
}

/* ---- User copies and registers ------------------------------------------ */

int qelctl_ddi_copyin(const void *uaddr, void *kaddr, size_t len, int mode)
{
	(void)mode;
	if (copy_from_user(kaddr, (const void __user *)uaddr, len) != 0)
		return EFAULT;
	return 0;
}

int qelctl_ddi_copyout(const void *kaddr, void *uaddr, size_t len, int mode)
{
	(void)mode;
	if (copy_to_user((void __user *)uaddr, kaddr, len) != 0)
		return EFAULT;
	return 0;
}

uint32_t qelctl_ddi_get32(ddi_acc_handle_t h, const volatile uint32_t *addr)
{
	(void)h;
	return readl((const volatile void __iomem *)addr);
}

/* ---- Character device ------------------------------------------------- */

/* The open file's private data holds the core's per-open index; the core
 * sees it as the minor number of a device built on our major. */
static qelctl_dev_t qelctl_file_dev(struct file *file)
{
	return makedevice(qelctl_major, (int)(long)file->private_data);
}

static int qelctl_open_lin(struct inode *inode, struct file *file)
{
	qelctl_dev_t dev = makedevice(qelctl_major, 0);
	int rc;

	(void)inode;
	rc = qelctl_open(&dev, 0, 0, NULL);
	if (rc != 0)
		return -rc;
	file->private_data = (void *)(long)getminor(dev);
	return 0;
}

static int qelctl_close_lin(struct inode *inode, struct file *file)
{
	(void)inode;
	return -qelctl_close(qelctl_file_dev(file), 0, 0, NULL);
}

/* Commands that change the card or what this file holds: binding, reset,
 * zeroize, register and PCI writes, diagnostics, induced failure, state and
 * power changes, firmware, bootstrap and FDI downloads, security commands.
 * They need CAP_SYS_ADMIN; the rest (probe, queries, the keystore daemon's
 * upcall exchange) need only a file opened on the node, whose mode and
 * group decide who may open it. */
static int qelctl_privileged(unsigned int cmd)
{
	switch (cmd) {
	case QELCTLBIND:
	case QELCTLUNBIND:
	case QELCTLPUTCSR:
	case QELCTLFWUPDATE:
	case QELCTLPUTPCI:
	case QELCTLRESET:
	case QELCTLDIAG:
	case QELCTLFAILURE:
	case QELCTLSECCMD:
	case QELCTLZEROIZE:
	case QELCTLFDIREQ:
	case QELCTLFDIDL:
	case QELCTLCHGSTATE:
	case QELCTLRESUME:
	case QELCTLSUSPEND:
		return 1;
	default:
		return 0;
	}
}

static int qelctl_ioctl_lin(struct inode *inode, struct file *file,
    unsigned int cmd, unsigned long arg)
{
	int rval = 0;
	int rc;

	(void)inode;
	if (qelctl_privileged(cmd) && !capable(CAP_SYS_ADMIN))
		return -EPERM;
	rc = qelctl_ioctl(qelctl_file_dev(file), (int)cmd, arg, 0,
	    NULL, &rval);
	if (rc != 0)
		return -rc;
	return rval;
}

#ifndef QELCTL_OLD_IOCTL
static long qelctl_unlocked_ioctl_lin(struct file *file, unsigned int cmd,
    unsigned long arg)
{
	/* The inode is not used by the core. */
	return qelctl_ioctl_lin(NULL, file, cmd, arg);
}
#endif

static struct file_operations qelctl_fops = {
	.owner = THIS_MODULE,
	.open = qelctl_open_lin,
	.release = qelctl_close_lin,
#ifdef QELCTL_OLD_IOCTL
	.ioctl = qelctl_ioctl_lin,
#else
	.unlocked_ioctl = qelctl_unlocked_ioctl_lin,
#endif
};

/* ---- Device node --------------------------------------------------------- */

/* The node /dev/qelctl is made by devtmpfs or udev from a device of the
 * class "qelctl", owned by root with mode 0600.  An operator who lets the
 * keystore daemon's service user in does so with a udev rule giving the
 * node a group and mode 0660 (README). */
static struct class *qelctl_class;

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 2, 0)
static char *qelctl_devnode(const struct device *dev, umode_t *mode)
#elif LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 32)
static char *qelctl_devnode(struct device *dev, umode_t *mode)
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 32)
{
	(void)dev;
	if (mode != NULL)
		*mode = 0600;
	return NULL;
}
#endif

static int qelctl_node_create(void)
{
	dev_t devt = MKDEV(qelctl_major, 0);

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 4, 0)
	qelctl_class = class_create(QELCTL_DEVNAME);
#else
	qelctl_class = class_create(THIS_MODULE, QELCTL_DEVNAME);
#endif
	if (IS_ERR(qelctl_class))
		return (int)-PTR_ERR(qelctl_class);
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 32)
	qelctl_class->devnode = qelctl_devnode;
#endif
#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 27)
	{
		struct device *d = device_create(qelctl_class, NULL, devt, NULL,
		    QELCTL_DEVNAME);

		if (IS_ERR(d)) {
			class_destroy(qelctl_class);
			return (int)-PTR_ERR(d);
		}
	}
#else
	{
		struct class_device *d = class_device_create(qelctl_class, NULL,
		    devt, NULL, QELCTL_DEVNAME);

		if (IS_ERR(d)) {
			class_destroy(qelctl_class);
			return (int)-PTR_ERR(d);
		}
	}
#endif
	return 0;
}

static void qelctl_node_destroy(void)
{
	dev_t devt = MKDEV(qelctl_major, 0);

#if LINUX_VERSION_CODE >= KERNEL_VERSION(2, 6, 27)
	device_destroy(qelctl_class, devt);
#else
	class_device_destroy(qelctl_class, devt);
#endif
	class_destroy(qelctl_class);
}

/* ---- Module life cycle ------------------------------------------------ */

static int __init qelctl_module_init(void)
{
	qelctl_dip_t *dip;
	int major;
	int rc;

	dip = kmem_zalloc(sizeof(*dip), KM_NOSLEEP);
	if (dip == NULL)
		return -ENOMEM;
	major = register_chrdev(0, QELCTL_DEVNAME, &qelctl_fops);
	if (major < 0) {
		kmem_free(dip, sizeof(*dip));
		return major;
	}
	qelctl_major = major;
	dip->major = major;
	rc = qelctl_attach(dip, QELCTL_ATTACH);
	if (rc != 0) {
		/* On failure the record is still ours. */
		unregister_chrdev(qelctl_major, QELCTL_DEVNAME);
		kmem_free(dip, sizeof(*dip));
		return -rc;
	}
	rc = qelctl_node_create();
	if (rc != 0) {
		qelctl_detach(dip, QELCTL_DETACH);
		unregister_chrdev(qelctl_major, QELCTL_DEVNAME);
		return -rc;
	}
	qelctl_linux_dip = dip;
	printk(KERN_INFO "qelctl: loaded, major %d\n", qelctl_major);
	return 0;
}

static void __exit qelctl_module_exit(void)
{
	qelctl_node_destroy();
	/* Detach frees the record. */
	qelctl_detach(qelctl_linux_dip, QELCTL_DETACH);
	qelctl_linux_dip = NULL;
	unregister_chrdev(qelctl_major, QELCTL_DEVNAME);
	printk(KERN_INFO "qelctl: unloaded, kmem balance %d allocations %d bytes\n",
	    atomic_read(&qelctl_kmem_count), atomic_read(&qelctl_kmem_bytes));
}

module_init(qelctl_module_init);
module_exit(qelctl_module_exit);

MODULE_LICENSE("Dual BSD/GPL");
MODULE_DESCRIPTION("Control device of the accelerator card");
