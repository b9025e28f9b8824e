/*
 * Wire protocol between the device interposer (inside a program under test)
 * and the card simulator.  Plain C, identical for 32-bit and 64-bit peers:
 * every frame is a fixed 40-byte record of little-endian fields whose
 * offsets do not depend on the word size, optionally followed by `len`
 * payload bytes.
 *
 * Connections:
 *  - file connection: KSP_OPEN, answered by KSP_OPENED.  The connection then
 *    stays open for as long as the program keeps the device open; its
 *    descriptor is the one open() returned, so an open file costs one
 *    descriptor as in the kernel.  It is also the file's call channel: the
 *    process that opened the file sends its commands on it, one at a time,
 *    as on a call connection (below).  Hang-up = close of the file; a
 *    command running on the channel at that moment is interrupted.
 *  - call connection: KSP_CALL naming the file; the simulator runs the
 *    command and, while it runs, asks the caller for memory with KSP_READ
 *    (answered by KSP_DATA) and KSP_WRITE (answered by KSP_WROTE); it ends
 *    with KSP_DONE.  Hang-up of the caller interrupts a blocked command.
 *    Used for a command issued while the channel is taken (another thread's
 *    command runs on the file: the control device answers EBUSY), by a
 *    process that inherited the file, and for every command when
 *    KSP_ENV_PER_CALL is set (the former mode, kept for the benchmark).
 *  - reattach connection: KSP_REATTACH naming the file and the opener's
 *    pid.  A command that ended on the channel without its KSP_DONE
 *    (cancelled thread, signal) leaves the channel out of step, so the
 *    interposer replaces it: the simulator interrupts that command, drops
 *    the old connection once the command has ended, answers KSP_OPENED and
 *    keeps this connection as the file connection from then on.
 *  - access connection: KSP_ACCESS, answered by KSP_DONE.
 */
#ifndef KYRSIM_PROTO_H
#define KYRSIM_PROTO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KSP_MAGIC 0x4b595253u            /* "SRYK" in memory */
#define KSP_ENV_SOCKET "KYRSIM_SOCKET"   /* names the simulator's socket */
#define KSP_ENV_PER_CALL "KYRSIM_PER_CALL_CONNECTIONS"  /* "1": no channel */

/* Device nodes served by the simulator. */
#define KSP_DEV_QELCTL 1                 /* /dev/qelctl */
#define KSP_DEV_KYRF   2                 /* /dev/kyrf */

enum ksp_op {
	KSP_OPEN = 1,    /* a = device, b = open flags, x = pid */
	KSP_CALL = 2,    /* a = file id, b = command (low 32 bits), x = argument,
	                    y = caller's word size in bits */
	KSP_ACCESS = 3,  /* a = device, b = access mode */
	KSP_REATTACH = 4, /* a = file id, x = pid of the opener */
	KSP_OPENED = 10, /* a = errno (0 ok), b = file id */
	KSP_READ = 11,   /* x = caller address, len = bytes wanted */
	KSP_WRITE = 12,  /* x = caller address, len = bytes following */
	KSP_DONE = 13,   /* a = errno (0 ok), x = result value (int64) */
	KSP_DATA = 20,   /* a = errno; on 0, len = bytes following */
	KSP_WROTE = 21   /* a = errno */
};

typedef struct ksp_frame {
	uint32_t magic;
	uint32_t op;
	uint32_t a;
	uint32_t b;
	uint64_t x;
	uint64_t y;
	uint32_t len;
	uint32_t spare;
} ksp_frame_t;

#ifdef __cplusplus
static_assert(sizeof(ksp_frame_t) == 40, "frame layout is fixed");
#else
_Static_assert(sizeof(ksp_frame_t) == 40, "frame layout is fixed");
#endif

/* The largest single memory transfer the simulator asks for (an image of
 * more than this is refused by the control device long before). */
#define KSP_MAX_XFER (64u * 1024u * 1024u)

#ifdef __cplusplus
}
#endif

#endif /* KYRSIM_PROTO_H */
