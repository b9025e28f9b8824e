// kyr_slot: asks the token device how many token slots the card offers and
// hands the number back as the exit status (its low 8 bits).  It prints
// nothing; problems go to the system log, and every failure exits with 0,
// as a card without slots does.  A 32-bit program; the slot-list block has
// the same layout for every word size.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include "kyr_blocks.h"

int main()
{
    SlotList_Args *blk = static_cast<SlotList_Args *>(calloc(1, sizeof(SlotList_Args)));
    if (!blk)
        return 0;
    blk->count = KYR_MAX_SLOTS;
    blk->length_only = 0;
    int fd = open(KYR_DEVICE, O_RDWR);
    if (fd < 0) {
        syslog(LOG_WARNING, "kyr_slot: unable to open KYR device.\n");
        return 0;
    }
    int rc = ioctl(fd, KYR_CMD_SLOT_LIST, blk);
    if (rc != 0) {
        syslog(LOG_WARNING, "Error code: %x\n", static_cast<unsigned>(rc));
        return 0;
    }
    return static_cast<int>(blk->count);
}
