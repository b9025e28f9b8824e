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

/* ---- transfers through kernel memory ----------------------------------- */

static unsigned char pattern(unsigned seed, size_t i)
{
	return (unsigned char)(seed + i * 7u + (i >> 9));
}

static int set_sec_reply(int fwfd, size_t len, unsigned seed)
{
	struct qelfw_sec_reply r;
	unsigned char *buf = len ? malloc(len) : NULL;
	size_t i;
	int e;

	for (i = 0; i < len; i++)
		buf[i] = pattern(seed, i);
	memset(&r, 0, sizeof(r));
	r.len = (uint32_t)len;
	r.buf = (uintptr_t)buf;
	e = vm_ioctl_err(fwfd, QELFW_SEC_REPLY, &r);
	free(buf);
	return e;
}

/* Runs one security command (a 100-byte request of 0xA5) whose reply the
 * card scripts as len bytes of pattern(seed); checks what came back.  buf
 * holds blksize + 64 bytes so that a copy past blksize would show.  When
 * the reply does not fit (ENOSPC) the card writes nothing, so the caller
 * gets its request back followed by zeros, never stale kernel memory. */
static int seccmd_case(int fd, int fwfd, uint32_t blksize, size_t len,
    unsigned seed, int want_err, const char *name)
{
	qelctl_seccmd_t sc;
	unsigned char *buf = malloc((size_t)blksize + 64);
	size_t i, n;
	int e, ok;

	if (buf == NULL || set_sec_reply(fwfd, len, seed) != 0) {
		free(buf);
		return vm_check(0, name, "set up");
	}
	memset(buf, 0xA5, (size_t)blksize + 64);
	memset(&sc, 0, sizeof(sc));
	sc.msc_actsize = 100;
	sc.msc_blksize = blksize;
	sc.msc_buf = buf;
	e = vm_ioctl_err(fd, QELCTLSECCMD, &sc);
	ok = e == want_err && sc.msc_actsize == len;
	n = len < blksize ? len : blksize;
	for (i = 0; ok && i < n; i++) {
		if (want_err == 0)
			ok = buf[i] == pattern(seed, i);
		else
			ok = buf[i] == (i < 100 ? 0xA5 : 0);
	}
	for (i = blksize; ok && i < (size_t)blksize + 64; i++)
		ok = buf[i] == 0xA5;
	free(buf);
	return vm_check(ok, name, "err %d (want %d), actsize %u (want %zu), "
	    "bytes %s", e, want_err, sc.msc_actsize, len, ok ? "right" : "wrong");
}

static void check_transfers(int fwfd)
{
	int fd = vm_open("/dev/qelctl");
	qelctl_seccmd_t sc;
	qelctl_getpubkey_t pk;
	qelctl_fwupdate_t fw;
	struct qelfw_card c;
	static unsigned char mod[4096], ex[4096];
	unsigned char *img;
	int e1, e2, e3;

	if (fd < 0)
		return;
	if (ioctl(fd, QELCTLBIND, 0) == -1) {
		vm_check(0, "transfers", "bind: %s", strerror(errno));
		close(fd);
		return;
	}
	/* One block; 2 MiB as 32 chunks with the 16-byte header in front. */
	seccmd_case(fd, fwfd, 4096, 3000, 1, 0, "seccmd-block");
	seccmd_case(fd, fwfd, 0x200000, 0x180003, 2, 0, "seccmd-chunks");
	seccmd_case(fd, fwfd, 4096, 5000, 3, ENOSPC, "seccmd-enospc");
	memset(&sc, 0, sizeof(sc));
	sc.msc_blksize = QELCTL_SEC_MAX - QELCTL_IDC_HDR + 1;
	e1 = vm_ioctl_err(fd, QELCTLSECCMD, &sc);
	sc.msc_blksize = 4096;
	sc.msc_actsize = 100;
	sc.msc_buf = BAD_ADDR;
	e2 = vm_ioctl_err(fd, QELCTLSECCMD, &sc);
	vm_check(e1 == E2BIG && e2 == EFAULT, "seccmd-limits",
	    "too big %d, bad buffer %d", e1, e2);
	set_sec_reply(fwfd, 0, 0);

	/* The driver's key blob must be freed when the copy-out fails. */
	memset(&pk, 0, sizeof(pk));
	pk.mpk_modlen = pk.mpk_explen = 4096;
	pk.mpk_modulus = BAD_ADDR;
	pk.mpk_exponent = ex;
	e1 = vm_ioctl_err(fd, QELCTLGETPUBKEY, &pk);
	pk.mpk_modulus = mod;
	e2 = vm_ioctl_err(fd, QELCTLGETPUBKEY, &pk);
	vm_check(e1 == EFAULT && e2 == 0 && pk.mpk_modlen == QELFW_MOD_LEN &&
	    pk.mpk_explen == 3 && mod[5] == QELFW_MOD_BYTE(5) && ex[0] == 1 &&
	    ex[2] == 1, "getpubkey", "bad address %d, good %d, lengths %zu %zu",
	    e1, e2, pk.mpk_modlen, pk.mpk_explen);

	/* The largest firmware image goes as 64 chunks. */
	img = malloc(QELCTL_FW_MAX);
	if (img == NULL) {
		vm_check(0, "fwupdate-4mib", "malloc");
		close(fd);
		return;
	}
	memset(img, 0x5A, QELCTL_FW_MAX);
	memset(&fw, 0, sizeof(fw));
	fw.mfu_size = QELCTL_FW_MAX;
	fw.mfu_addr = img;
	e1 = vm_ioctl_err(fd, QELCTLFWUPDATE, &fw);
	memset(&c, 0, sizeof(c));
	e2 = vm_ioctl_err(fwfd, QELFW_GET_CARD, &c);
	vm_check(e1 == 0 && e2 == 0 && c.fw_size == QELCTL_FW_MAX &&
	    c.fw_chunks == 64 && c.fw_layout_ok, "fwupdate-4mib",
	    "err %d, card saw %llu bytes in %d chunks", e1,
	    (unsigned long long)c.fw_size, c.fw_chunks);

	/* 300 KiB is above the plain-allocation limit: one block of DMA-zone
	 * pages (order 7). */
	fw.mfu_size = 300 * 1024;
	e1 = vm_ioctl_err(fd, QELCTLFWUPDATE, &fw);
	memset(&c, 0, sizeof(c));
	e2 = vm_ioctl_err(fwfd, QELFW_GET_CARD, &c);
	vm_check(e1 == 0 && e2 == 0 && c.fw_size == 300 * 1024 &&
	    c.fw_single_block && c.fw_addr_ok, "fwupdate-dma-pages",
	    "err %d, card saw %llu bytes, single block %d", e1,
	    (unsigned long long)c.fw_size, c.fw_single_block);

	/* Fault bit 1 refuses FDI downloads only. */
	c.instance = 0;
	c.fault_flags = QEL_FAULT_NOFDI;
	c.dev_flags = 0;
	ioctl(fwfd, QELFW_SET_CARD, &c);
	fw.mfu_size = 70000;
	e1 = vm_ioctl_err(fd, QELCTLFDIDL, &fw);
	e2 = vm_ioctl_err(fd, QELCTLFWUPDATE, &fw);
	c.fault_flags = 0;
	ioctl(fwfd, QELFW_SET_CARD, &c);
	e3 = vm_ioctl_err(fd, QELCTLFDIDL, &fw);
	vm_check(e1 == EIO && e2 == 0 && e3 == 0, "fdi-fault-bit",
	    "fdi refused %d, firmware %d, fdi after clear %d", e1, e2, e3);
	free(img);
	close(fd);
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

/* ---- hello to every card -------------------------------------------------- */

static void set_faults(int fwfd, int instance, uint32_t flags)
{
	struct qelfw_card c;

	memset(&c, 0, sizeof(c));
	c.instance = instance;
	c.fault_flags = flags;
	ioctl(fwfd, QELFW_SET_CARD, &c);
}

/* Says hello for keystore name with a message of psize bytes; extent is
 * the buffer size offered for the reply.  The buffer beyond the message
 * holds 0x5C, so that what the reply overwrote shows. */
static int hello(int fd, const char *name, unsigned extent, unsigned psize,
    unsigned char *msg)
{
	memset(msg, 0x5C, DBM_MAX_MSG + 1);
	memset(msg, 0, psize);
	vm_put32(msg, 0, DB_HELLO);
	vm_put32(msg, 20, extent);
	vm_put32(msg, 24, psize);
	strcpy((char *)msg + 28, name);
	return vm_ioctl_err(fd, QELCTLUPCALL, msg);
}

static void check_hello(int fwfd)
{
	static unsigned char msg[DBM_MAX_MSG + 1];
	struct qelfw_wait w;
	int fd = vm_open("/dev/qelctl");
	int e1, e2, e3, e4, hdr_only;

	if (fd < 0)
		return;
	/* Every card skips upcalls: registered anyway, 73. */
	set_faults(fwfd, 0, QEL_FAULT_NOUPCALL);
	set_faults(fwfd, 1, QEL_FAULT_NOUPCALL);
	e1 = hello(fd, "vm-skipped", DBM_MAX_MSG, DBM_PARAM_SIZE, msg);
	memset(&w, 0, sizeof(w));
	strcpy(w.ksname, "vm-skipped");
	w.timeout_ms = 0;
	e2 = vm_ioctl_err(fwfd, QELFW_WAIT_REG, &w);
	vm_check(e1 == 73 && e2 == 0, "hello-all-skipped-73",
	    "hello %d, registered %d", e1, e2);
	/* One card answers: 0.  Its reply is 412 bytes (the 100 sent, then
	 * zeros); offered an extent of 100 only the 28-byte header comes
	 * back, offered the largest message all of it. */
	set_faults(fwfd, 0, 0);
	e3 = hello(fd, "vm-answered", 100, 100, msg);
	hdr_only = vm_get32(msg, 0) == DB_RESPONSE && vm_get32(msg, 12) == 0 &&
	    msg[100] == 0x5C && msg[DBM_PARAM_SIZE - 1] == 0x5C;
	e4 = hello(fd, "vm-answered", DBM_MAX_MSG, 100, msg);
	vm_check(e3 == 0 && hdr_only && e4 == 0 && vm_get32(msg, 24) ==
	    DBM_PARAM_SIZE && msg[100] == 0 && msg[DBM_PARAM_SIZE - 1] == 0 &&
	    msg[DBM_PARAM_SIZE] == 0x5C, "hello-reply-bounded-by-extent",
	    "short extent %d (header only %d), full %d", e3, hdr_only, e4);
	set_faults(fwfd, 1, 0);
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
	check_transfers(fwfd);
	check_busy(fwfd);
	check_sizes();
	check_hello(fwfd);
	check_faults(fwfd);
	check_holds(fwfd);
	close(fwfd);
	return vm_failures;
}
