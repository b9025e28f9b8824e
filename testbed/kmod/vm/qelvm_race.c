/*
 * Two processes on one card for about two seconds, each running firmware
 * updates of its own image and security commands of its own pattern, so
 * that the per-card transfer lock is what keeps their transfers apart.
 * Each firmware update must reach the card whole: the card's digest of its
 * last image must be that of one of the two images (taken from an update
 * of each alone first), never of a mixture; each security command must
 * come back as sent (the card echoes a request by default).
 *
 * usage: qelvm_race   (exit status = number of failed checks)
 */
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>

#include "qelctl.h"
#include "qelfw.h"
#include "vmtest.h"

#define CARD 0
#define RUN_SECONDS 2

static const size_t img_size[2] = { 5 * QELCTL_CHUNK + 1234, 3 * QELCTL_CHUNK };
static const uint32_t sec_size[2] = { 3000, 70001 };

static unsigned char *image[2];
static uint8_t digest[2][32];

static unsigned char fill(unsigned who, size_t i)
{
	return (unsigned char)(who * 101u + i * 13u + (i >> 11));
}

static int fwupdate(int fd, unsigned who)
{
	qelctl_fwupdate_t fw;

	memset(&fw, 0, sizeof(fw));
	fw.mfu_select = QELCTL_FW_FIRMWARE;
	fw.mfu_size = img_size[who];
	fw.mfu_addr = image[who];
	return vm_ioctl_err(fd, QELCTLFWUPDATE, &fw);
}

static int last_image(int fwfd, struct qelfw_card *c)
{
	memset(c, 0, sizeof(*c));
	c->instance = CARD;
	return vm_ioctl_err(fwfd, QELFW_GET_CARD, c);
}

/* Number of bad transfers of one process. */
static int run(unsigned who, int fwfd)
{
	uint32_t blk = sec_size[who] + 64;
	unsigned char *buf = malloc(blk);
	struct qelfw_card c;
	qelctl_seccmd_t sc;
	time_t end = time(NULL) + RUN_SECONDS;
	long rounds = 0;
	int fd = vm_open("/dev/qelctl");
	int bad = 0, e;
	uint32_t i;

	if (fd < 0 || buf == NULL || ioctl(fd, QELCTLBIND, CARD) == -1)
		return 1;
	while (time(NULL) < end && bad == 0) {
		e = fwupdate(fd, who);
		if (e == 0)
			e = last_image(fwfd, &c);
		/* The other process may have updated since: either image is
		 * right, a mixture is not. */
		if (e != 0 || !c.fw_layout_ok ||
		    (memcmp(c.fw_sha256, digest[0], 32) != 0 &&
		    memcmp(c.fw_sha256, digest[1], 32) != 0)) {
			printf("process %u round %ld: fwupdate %d layout %d, "
			    "digest of neither image\n", who, rounds, e,
			    c.fw_layout_ok);
			bad++;
		}
		for (i = 0; i < blk; i++)
			buf[i] = i < sec_size[who] ? fill(who + 2, i) : 0;
		memset(&sc, 0, sizeof(sc));
		sc.msc_actsize = sec_size[who];
		sc.msc_blksize = blk;
		sc.msc_buf = buf;
		e = vm_ioctl_err(fd, QELCTLSECCMD, &sc);
		for (i = 0; e == 0 && i < sec_size[who]; i++)
			if (buf[i] != fill(who + 2, i))
				break;
		if (e != 0 || sc.msc_actsize != sec_size[who] ||
		    i != sec_size[who]) {
			printf("process %u round %ld: seccmd %d, %u bytes back, "
			    "first wrong byte %u\n", who, rounds, e,
			    sc.msc_actsize, i);
			bad++;
		}
		rounds++;
	}
	printf("process %u: %ld rounds\n", who, rounds);
	close(fd);
	free(buf);
	return bad;
}

int main(void)
{
	struct qelfw_sec_reply echo;
	struct qelfw_card c;
	int fwfd = vm_open("/dev/qelfw");
	int fd = vm_open("/dev/qelctl");
	unsigned who;
	pid_t pid[2];
	int st, bad = 0;
	size_t i;

	if (fd < 0 || fwfd < 0 || ioctl(fd, QELCTLBIND, CARD) == -1)
		return 1;
	memset(&echo, 0, sizeof(echo));
	echo.instance = CARD;
	if (vm_ioctl_err(fwfd, QELFW_SEC_REPLY, &echo) != 0)
		bad++;
	for (who = 0; who < 2; who++) {
		image[who] = malloc(img_size[who]);
		if (image[who] == NULL)
			return 1;
		for (i = 0; i < img_size[who]; i++)
			image[who][i] = fill(who, i);
		if (fwupdate(fd, who) != 0 || last_image(fwfd, &c) != 0 ||
		    c.fw_size != img_size[who] || !c.fw_layout_ok)
			bad++;
		memcpy(digest[who], c.fw_sha256, 32);
	}
	close(fd);
	if (bad != 0 || memcmp(digest[0], digest[1], 32) == 0) {
		vm_check(0, "concurrent-transfers", "set-up failed");
		return 1;
	}
	for (who = 0; who < 2; who++) {
		pid[who] = fork();
		if (pid[who] == 0)
			_exit(run(who, fwfd) != 0);
	}
	for (who = 0; who < 2; who++)
		if (pid[who] < 0 || waitpid(pid[who], &st, 0) != pid[who] ||
		    !WIFEXITED(st) || WEXITSTATUS(st) != 0)
			bad++;
	vm_check(bad == 0, "concurrent-transfers", "%d processes saw bad "
	    "transfers", bad);
	close(fwfd);
	return vm_failures;
}
