/*
 * Small queries of the stand-in card for the test machine's init script.
 *
 * usage: qelvm_card key              the modulus bytes of the cards' key
 *        qelvm_card <instance> holds  outstanding device holds
 *        qelvm_card <instance> n_reset
 *        qelvm_card <instance> fw     last firmware update: count, size,
 *                                     select, "block" or "chunks" N, last
 *                                     chunk length, "layout-ok" or
 *                                     "layout-bad", SHA-256
 */
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include "qelfw.h"
#include "vmtest.h"

static int print_key(void)
{
	unsigned char mod[QELFW_MOD_LEN];
	int i;

	for (i = 0; i < QELFW_MOD_LEN; i++)
		mod[i] = QELFW_MOD_BYTE(i);
	return fwrite(mod, 1, sizeof(mod), stdout) == sizeof(mod) ? 0 : 1;
}

int main(int argc, char **argv)
{
	struct qelfw_card c;
	int fd, i;

	if (argc == 2 && strcmp(argv[1], "key") == 0)
		return print_key();
	if (argc != 3) {
		fprintf(stderr, "usage: qelvm_card key | <instance> holds|n_reset|fw\n");
		return 2;
	}
	fd = open("/dev/qelfw", O_RDWR);
	if (fd < 0) {
		perror("/dev/qelfw");
		return 1;
	}
	memset(&c, 0, sizeof(c));
	c.instance = atoi(argv[1]);
	if (ioctl(fd, QELFW_GET_CARD, &c) != 0) {
		perror("QELFW_GET_CARD");
		close(fd);
		return 1;
	}
	close(fd);
	if (strcmp(argv[2], "holds") == 0) {
		printf("%lld\n", (long long)c.holds);
	} else if (strcmp(argv[2], "n_reset") == 0) {
		printf("%lld\n", (long long)c.n_reset);
	} else if (strcmp(argv[2], "fw") == 0) {
		printf("%lld %llu %d ", (long long)c.n_fw,
		    (unsigned long long)c.fw_size, c.fw_select);
		if (c.fw_single_block)
			printf("block 0 0 ");
		else
			printf("chunks %d %d ", c.fw_chunks, c.fw_last_chunk);
		printf("%s ", c.fw_layout_ok && c.fw_addr_ok ? "layout-ok" : "layout-bad");
		for (i = 0; i < 32; i++)
			printf("%02x", c.fw_sha256[i]);
		printf("\n");
	} else {
		fprintf(stderr, "unknown field %s\n", argv[2]);
		return 2;
	}
	return 0;
}
