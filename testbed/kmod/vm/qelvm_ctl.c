/*
 * Control-device checks inside the virtual machine, against the real
 * qelctl module over the stand-in qel driver: enumeration, command number
 * and binding rules, bad user addresses, size limits, the busy rule of an
 * open file, interruption of an upcall wait, fault flags and the release
 * of every device hold.
 *
 * usage: qelvm_ctl   (exit status = number of failed checks)
 */
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include "qel_ddi.h"
#include "qelctl.h"
#include "qelfw.h"
#include "dbm_msg.h"
#include "vmtest.h"

#define BAD_ADDR ((void *)16)   /* never mapped */

static void check_probe(int fd)
{
	qelctl_probe_t p;
	int err;

	memset(&p, 0xff, sizeof(p));
	err = vm_ioctl_err(fd, QELCTLPROBE, &p);
	vm_check(err == 0 && p.mpr_ndevs == QELFW_CARDS && p.mpr_devinst[0] == 0 &&
	    p.mpr_devinst[1] == 1, "probe", "err %d ndevs %d", err, p.mpr_ndevs);
	vm_check(vm_ioctl_err(fd, 0x417B, NULL) == EINVAL &&
	    vm_ioctl_err(fd, 0x417F, NULL) == EINVAL &&
	    vm_ioctl_err(fd, 0x418D, NULL) == EINVAL, "unknown-command-einval",
	    "a number outside the table was accepted");
}

static void check_bind_rules(int fd)
{
	int e1 = vm_ioctl_err(fd, QELCTLUNBIND, NULL);
	int e2 = ioctl(fd, QELCTLBIND, 0) == -1 ? errno : 0;
	int e3 = ioctl(fd, QELCTLBIND, 0) == -1 ? errno : 0;
	int e4 = vm_ioctl_err(fd, QELCTLUNBIND, NULL);
	int e5 = vm_ioctl_err(fd, QELCTLGETVER, NULL);

	vm_check(e1 == EALREADY && e2 == 0 && e3 == EALREADY && e4 == 0 &&
	    e5 == EINVAL, "bind-rules", "unbind %d bind %d rebind %d unbind %d "
	    "unbound getver %d", e1, e2, e3, e4, e5);
}

/* A bad user address gives EFAULT, whichever copy it hits. */
static void check_efault(int fd)
{
	qelctl_fwupdate_t fw;
	int e1, e2, e3, e4, e5;

	e1 = vm_ioctl_err(fd, QELCTLPROBE, BAD_ADDR);
	if (ioctl(fd, QELCTLBIND, 0) == -1) {
		vm_check(0, "efault", "bind: %s", strerror(errno));
		return;
	}
	e2 = vm_ioctl_err(fd, QELCTLGETVER, BAD_ADDR);
	e3 = vm_ioctl_err(fd, QELCTLFWUPDATE, BAD_ADDR);
	/* The image copy fails after the chunk list is built: 1 MiB + 1
	 * bytes need 17 chunks, all of which must be given back. */
	memset(&fw, 0, sizeof(fw));
	fw.mfu_size = 0x100001;
	fw.mfu_addr = BAD_ADDR;
	e4 = vm_ioctl_err(fd, QELCTLFWUPDATE, &fw);
	fw.mfu_size = 4096;
	e5 = vm_ioctl_err(fd, QELCTLFWUPDATE, &fw);
	vm_check(e1 == EFAULT && e2 == EFAULT && e3 == EFAULT && e4 == EFAULT &&
	    e5 == EFAULT, "efault", "probe %d getver %d fwarg %d image-chunks %d "
	    "image-block %d", e1, e2, e3, e4, e5);

	fw.mfu_size = QELCTL_FW_MAX + 1;
	e1 = vm_ioctl_err(fd, QELCTLFWUPDATE, &fw);
	vm_check(e1 == E2BIG, "fwupdate-too-big-e2big", "got %d", e1);
	ioctl(fd, QELCTLUNBIND, 0);
}

/* ---- busy rule ----------------------------------------------------------- */

struct standby {
	int fd;
	int err;
	unsigned char msg[DBM_MAX_MSG + 1];
};

static void on_usr1(int sig)
{
	(void)sig;
}

static void *standby_thread(void *arg)
{
	struct standby *s = arg;

	memset(s->msg, 0, sizeof(s->msg));
	vm_put32(s->msg, 0, DB_STANDBY);
	vm_put32(s->msg, 20, DBM_MAX_MSG);
	vm_put32(s->msg, 24, DBM_PARAM_SIZE);
	s->err = vm_ioctl_err(s->fd, QELCTLUPCALL, s->msg);
	return NULL;
}

static void check_busy(int fwfd)
{
	static struct standby s;
	struct qelfw_wait w;
	struct sigaction sa;
	qelctl_probe_t p;
	pthread_t t;
	int e1, e2, e3;

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_usr1;   /* no SA_RESTART: the wait must end */
	sigaction(SIGUSR1, &sa, NULL);
	s.fd = vm_open("/dev/qelctl");
	if (s.fd < 0)
		return;
	if (pthread_create(&t, NULL, standby_thread, &s) != 0) {
		vm_check(0, "ebusy", "pthread_create");
		close(s.fd);
		return;
	}
	memset(&w, 0, sizeof(w));
	w.timeout_ms = 30000;
	e1 = vm_ioctl_err(fwfd, QELFW_WAIT_WAITING, &w);
	if (vm_check(e1 == 0, "standby-waits", "no caller waits: %d", e1)) {
		e2 = vm_ioctl_err(s.fd, QELCTLPROBE, &p);
		vm_check(e2 == EBUSY, "ebusy", "second command on a waiting file: %d", e2);
	}
	pthread_kill(t, SIGUSR1);
	pthread_join(t, NULL);
	vm_check(s.err == EINTR, "standby-interrupted", "wait ended with %d", s.err);
	e2 = vm_ioctl_err(s.fd, QELCTLPROBE, &p);
	e3 = ioctl(s.fd, QELCTLBIND, 0) == -1 ? errno : 0;
	vm_check(e2 == 0 && e3 == EINVAL, "not-busy-after-wait",
	    "probe %d, bind in upcall mode %d", e2, e3);
	close(s.fd);
}

/* ---- sizes taken from the caller --------------------------------------- */

static int upcall_with_size(int fd, unsigned type, unsigned param_size)
{
	static unsigned char msg[DBM_MAX_MSG + 1];

	memset(msg, 0, sizeof(msg));
	vm_put32(msg, 0, type);
	vm_put32(msg, 4, 0);               /* instance 0 */
	vm_put32(msg, 20, DBM_MAX_MSG);
	vm_put32(msg, 24, param_size);
	return vm_ioctl_err(fd, QELCTLUPCALL, msg);
}

static void check_sizes(void)
{
	int fd = vm_open("/dev/qelctl");
	int e1, e2, e3, e4, e5;

	if (fd < 0)
		return;
	e1 = upcall_with_size(fd, DB_RESPONSE, 0x7fffffffu);
	e2 = upcall_with_size(fd, DB_RESPONSE, 0xffffffffu);
	e3 = upcall_with_size(fd, DB_RESPONSE, DBM_MAX_MSG + 1);
	e4 = upcall_with_size(fd, DB_HELLO, 0x40000000u);
	/* A sound size still goes through: the firmware accepts it. */
	e5 = upcall_with_size(fd, DB_RESPONSE, DBM_PARAM_SIZE);
	vm_check(e1 == EINVAL && e2 == EINVAL && e3 == EINVAL && e4 == EINVAL,
	    "upcall-huge-paramsize-einval", "0x7fffffff %d, -1 %d, max+1 %d, "
	    "hello %d", e1, e2, e3, e4);
	vm_check(e5 == 0, "upcall-sound-size", "got %d", e5);
	close(fd);
}

/* ---- fault flags ---------------------------------------------------------- */

static void check_faults(int fwfd)
{
	struct qelfw_card c;
	int fd = vm_open("/dev/qelctl");
	int e1, e2, e3;

	if (fd < 0)
		return;
	memset(&c, 0, sizeof(c));
	c.instance = 1;
	c.fault_flags = QEL_FAULT_FAILED;
	e1 = vm_ioctl_err(fwfd, QELFW_SET_CARD, &c);
	e2 = ioctl(fd, QELCTLBIND, 1) == -1 ? errno : 0;
	e3 = vm_ioctl_err(fd, QELCTLDIAG, NULL);
	vm_check(e1 == 0 && e2 == 0 && e3 == EIO, "fault-flag-eio",
	    "set %d bind %d diag %d", e1, e2, e3);
	c.fault_flags = 0;
	ioctl(fwfd, QELFW_SET_CARD, &c);
	e3 = vm_ioctl_err(fd, QELCTLDIAG, NULL);
	vm_check(e3 == 0, "diag-after-fault-cleared", "diag %d", e3);
	close(fd);   /* still bound: close releases the device */
}

static void check_holds(int fwfd)
{
	struct qelfw_card c;
	int i, e;

	for (i = 0; i < QELFW_CARDS; i++) {
		memset(&c, 0, sizeof(c));
		c.instance = i;
		e = vm_ioctl_err(fwfd, QELFW_GET_CARD, &c);
		vm_check(e == 0 && c.holds == 0, i == 0 ? "holds-released-qel0" :
		    "holds-released-qel1", "err %d holds %lld", e, (long long)c.holds);
	}
}

int main(void)
{
	int fd = vm_open("/dev/qelctl");
	int fwfd = vm_open("/dev/qelfw");

	if (fd < 0 || fwfd < 0)
		return 1;
	check_probe(fd);
	check_bind_rules(fd);
	check_efault(fd);
	close(fd);
	check_busy(fwfd);
	check_sizes();
	check_faults(fwfd);
	check_holds(fwfd);
	close(fwfd);
	return vm_failures;
}
