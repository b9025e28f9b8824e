/*
 * A caller that changes its message while the control device reads it:
 * one thread sends upcalls while another keeps flipping the header's
 * paramSize (sound / 0xffffffff), type and the handle's device byte (card
 * 0 / card 1).  The module checks one copy of the header and sends that
 * copy, so the card (answered here through the firmware face) must only
 * ever see a message whose paramSize is the length it received, within the
 * limit, on the card the handle's device byte names.
 *
 * usage: qelvm_hdrrace   (exit status = number of failed checks)
 */
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <time.h>

#include "qelctl.h"
#include "qelfw.h"
#include "dbm_msg.h"
#include "vmtest.h"

#define RUN_SECONDS 1
#define SOUND_SIZE DBM_PARAM_SIZE

static unsigned char msg[DBM_MAX_MSG + 1];
static unsigned char got[DBM_MAX_MSG + 1];
static volatile int stop;
static int fwfd;
static long n_seen, n_bad, n_sent, n_refused, n_other;

/* Stores one big-endian word byte by byte through a volatile pointer, so
 * that every store is made. */
static void poke32(volatile unsigned char *p, unsigned v)
{
	p[0] = (unsigned char)(v >> 24);
	p[1] = (unsigned char)(v >> 16);
	p[2] = (unsigned char)(v >> 8);
	p[3] = (unsigned char)v;
}

static void *flipper(void *unused)
{
	volatile unsigned char *m = msg;
	unsigned k = 0;

	(void)unused;
	while (!stop) {
		k++;
		poke32(m + 24, (k & 1) ? SOUND_SIZE : 0xffffffffu);
		poke32(m, (k & 2) ? DB_RESPONSE : DB_RESPONSE + 1);
		m[4] = (k & 4) ? 0 : 1;   /* handle: its first byte is the card */
	}
	return NULL;
}

/* The firmware: checks and accepts every submission. */
static void *firmware(void *unused)
{
	struct qelfw_next n;
	struct qelfw_answer a;
	unsigned char reply[DBM_HDR_SIZE];

	(void)unused;
	while (!stop) {
		memset(&n, 0, sizeof(n));
		n.buf = (uintptr_t)got;
		n.cap = sizeof(got);
		n.timeout_ms = 100;
		if (vm_ioctl_err(fwfd, QELFW_NEXT, &n) != 0)
			continue;
		n_seen++;
		if (n.len < DBM_HDR_SIZE || n.len > DBM_MAX_MSG ||
		    vm_get32(got, 24) != n.len || got[4] != (unsigned)n.instance ||
		    (vm_get32(got, 0) != DB_RESPONSE &&
		    vm_get32(got, 0) != DB_RESPONSE + 1)) {
			if (n_bad++ == 0)
				printf("card %d got %u bytes: type %u paramSize %u "
				    "handle byte %u\n", n.instance, n.len,
				    vm_get32(got, 0), vm_get32(got, 24), got[4]);
		}
		memset(reply, 0, sizeof(reply));
		vm_put32(reply, 0, DB_RESPONSE);
		vm_put32(reply, 24, DBM_HDR_SIZE);
		memset(&a, 0, sizeof(a));
		a.id = n.id;
		a.buf = (uintptr_t)reply;
		a.len = sizeof(reply);
		ioctl(fwfd, QELFW_ANSWER, &a);
	}
	return NULL;
}

int main(void)
{
	pthread_t tf, tw;
	time_t end;
	int fd = vm_open("/dev/qelctl");
	int e;

	fwfd = vm_open("/dev/qelfw");
	if (fd < 0 || fwfd < 0)
		return 1;
	if (vm_ioctl_err(fwfd, QELFW_CAPTURE, (void *)1) != 0) {
		vm_check(0, "upcall-header-race", "cannot capture");
		return 1;
	}
	memset(msg, 0, sizeof(msg));
	vm_put32(msg, 20, DBM_MAX_MSG);    /* extent: the whole buffer */
	vm_put32(msg, 0, DB_RESPONSE);
	vm_put32(msg, 24, SOUND_SIZE);
	pthread_create(&tw, NULL, firmware, NULL);
	pthread_create(&tf, NULL, flipper, NULL);
	end = time(NULL) + RUN_SECONDS + 1;
	while (time(NULL) < end) {
		/* The reply lands in msg too; the flipper rewrites it. */
		vm_put32(msg, 20, DBM_MAX_MSG);
		e = vm_ioctl_err(fd, QELCTLUPCALL, msg);
		if (e == 0)
			n_sent++;
		else if (e == EINVAL)
			n_refused++;
		else
			n_other++;
	}
	stop = 1;
	pthread_join(tf, NULL);
	pthread_join(tw, NULL);
	ioctl(fwfd, QELFW_CAPTURE, 0);
	printf("upcalls: %ld answered, %ld refused, %ld other; card saw %ld\n",
	    n_sent, n_refused, n_other, n_seen);
	vm_check(n_bad == 0 && n_seen > 0 && n_sent == n_seen && n_other == 0,
	    "upcall-header-race", "%ld of %ld messages differ from a checked "
	    "header, %ld other errors", n_bad, n_seen, n_other);
	close(fd);
	close(fwfd);
	return vm_failures;
}
