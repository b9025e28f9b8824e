// The qelctl command frame through the user-space layer of the test bed
// (driver/qelctl_main.c over testbed/model): command numbers, argument
// bytes and the sizes inside them, as any local user can send them.
//
// Input: frames [command][options][length, 2 bytes big-endian][bytes].
// The bytes are the caller's memory for that command, mapped at kBase;
// pointers inside argument structures reach it when they point there
// (anything else is unmapped and must give EFAULT, never a crash).
//   command  an index into the command table below; larger values are
//            sent as 0x4100 + value (unknown or neighbouring numbers)
//   options  bits 0-1: argument: 0 kBase, 1 kBase + 8, 2 an unmapped
//            address, 3 the first byte of the memory as a value (the
//            instance for QELCTLBIND);
//            bit 2: first post the memory as an upcall to the file, so that
//            a DB_STANDBY returns it (else a standby wait is interrupted);
//            bit 3: the second open file instead of the first;
//            bits 4-5: fault flags of card 0 for this command.
// Two cards (instances 0 and 1) and two open files; a file's first upcall
// command is preceded by a hello (see below).
//
// Checked: every command returns 0 or a positive errno; the module copies
// only inside the caller's memory; a DB_STANDBY or reply never writes more
// than the caller's extent (or a header when the extent is smaller); and
// when the files are closed and the module detached, every allocation of
// the module is returned.  Memory errors are the sanitizers' part.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../daemon/core/dbm_msg.h"
#include "compat_user.h"
#include "fuzz_util.h"
#include "qelctl.h"
#include "qelctl_core.h"
#include "qelmodel.h"

namespace {

constexpr uint64_t kBase = 0x10000;
constexpr unsigned long kUnmapped = 8;
constexpr int kMaxFrames = 16;

const int commands[] = {
    QELCTLBIND,      QELCTLUNBIND,   QELCTLGETCSR,  QELCTLPUTCSR,  QELCTLFWUPDATE,
    QELCTLGETPCI,    QELCTLPUTPCI,   QELCTLRESET,   QELCTLDIAG,    QELCTLFAILURE,
    QELCTLSECCMD,    QELCTLZEROIZE,  QELCTLGETPUBKEY, QELCTLFDIREQ, QELCTLFDIDL,
    QELCTLCHECKDR,   QELCTLCHGSTATE, QELCTLPROBE,   QELCTLGETINFO, QELCTLUPCALL,
    QELCTLRESUME,    QELCTLSUSPEND,  QELCTLGETVER,
};
constexpr size_t kCommands = sizeof(commands) / sizeof(commands[0]);

// The caller's memory of the current command.
struct user_mem {
    std::vector<uint8_t> bytes;
    size_t write_limit;  // writes must end at or before this offset
};
user_mem mem;

int copy_backend(void *, int to_user, uint64_t uaddr, void *kaddr, size_t len)
{
    if (uaddr < kBase || uaddr - kBase > mem.bytes.size() || len > mem.bytes.size() - (uaddr - kBase))
        return EFAULT;
    size_t off = uaddr - kBase;
    if (len == 0)
        return 0;
    if (to_user) {
        FUZZ_CHECK(off + len <= mem.write_limit);
        memcpy(mem.bytes.data() + off, kaddr, len);
    } else {
        memcpy(kaddr, mem.bytes.data() + off, len);
    }
    return 0;
}

bool trace;  // $KYR_FUZZ_TRACE set: each command and its result on stderr

void quiet_log(void *, const char *line)
{
    if (trace)
        fputs(line, stderr);
}

uint32_t be32(const uint8_t *p) { uint32_t v; memcpy(&v, p, 4); return ntohl(v); }

void put_be32(uint8_t *p, uint32_t v) { v = htonl(v); memcpy(p, &v, 4); }

// How far a command may write into the caller's memory at kBase.
size_t write_limit(int cmd, unsigned long arg)
{
    if (cmd != QELCTLUPCALL || arg != kBase || mem.bytes.size() < 28)
        return mem.bytes.size();
    uint32_t extent = be32(mem.bytes.data() + 20);
    size_t limit = extent < 28 ? 28 : extent;
    return limit < mem.bytes.size() ? limit : mem.bytes.size();
}

int ioc(qelctl_dev_t d, int cmd, unsigned long arg)
{
    int rv = -1;
    int rc = qelctl_ioctl(d, cmd, arg, 0, nullptr, &rv);
    FUZZ_CHECK(rc >= 0 && rc < 4096);
    return rc;
}

// A hello on the file: attaches it to the upcall service.
void hello(qelctl_dev_t d, const char *ksname)
{
    mem.bytes.assign(DBM_MAX_MSG, 0);
    mem.write_limit = mem.bytes.size();
    put_be32(mem.bytes.data(), DB_HELLO);
    put_be32(mem.bytes.data() + 20, DBM_MAX_MSG);
    put_be32(mem.bytes.data() + 24, DBM_PARAM_SIZE);
    memcpy(mem.bytes.data() + DBM_KSNAME_OFF, ksname, strlen(ksname));
    ioc(d, QELCTLUPCALL, kBase);
}

long outstanding()
{
    qelsim_kmem_stats_t st;
    qelsim_kmem_get_stats(&st);
    return st.outstanding;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    trace = getenv("KYR_FUZZ_TRACE") != nullptr;
    qelsim_set_log_hook(quiet_log, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qelsim_set_copy_backend(copy_backend, nullptr);
    long before = outstanding();
    FUZZ_CHECK(qelmodel_init() == 0);
    FUZZ_CHECK(qelmodel_add_card(0) == 0 && qelmodel_add_card(1) == 0);
    qelctl_dip_t *dip = static_cast<qelctl_dip_t *>(qelctl_kmem_zalloc(sizeof(qelctl_dip_t), KM_NOSLEEP));
    FUZZ_CHECK(dip != nullptr);
    FUZZ_CHECK(qelctl_attach(dip, QELCTL_ATTACH) == 0);
    qelctl_dev_t files[2];
    bool attached[2] = {false, false};
    for (qelctl_dev_t &d : files) {
        d = makedevice(250, 0);
        FUZZ_CHECK(qelctl_open(&d, 0, 0, nullptr) == 0);
    }

    size_t pos = 0;
    for (int frame = 0; frame < kMaxFrames && pos + 4 <= size; frame++) {
        uint8_t cmdsel = data[pos], opt = data[pos + 1];
        size_t len = (size_t(data[pos + 2]) << 8) | data[pos + 3];
        pos += 4;
        if (len > size - pos)
            len = size - pos;
        mem.bytes.assign(data + pos, data + pos + len);
        pos += len;

        int cmd = cmdsel < kCommands ? commands[cmdsel] : 0x4100 + cmdsel;
        int which = (opt >> 3) & 1;
        qelctl_dev_t d = files[which];
        int caller = static_cast<int>(getminor(d));
        // The first upcall command of a file attaches it to the upcall
        // service, which forgets any interruption: said with a hello
        // first, a standby wait can always be interrupted.
        if (cmd == QELCTLUPCALL && !attached[which]) {
            std::vector<uint8_t> keep = mem.bytes;
            hello(d, which == 0 ? "fz.host.{1}" : "");
            mem.bytes = keep;
            attached[which] = true;
        }
        unsigned long arg;
        switch (opt & 3) {
        case 0: arg = kBase; break;
        case 1: arg = kBase + 8; break;
        case 2: arg = kUnmapped; break;
        default: arg = len > 0 ? mem.bytes[0] : 0; break;
        }
        qelmodel_card(0)->dev.fault_flags = (opt >> 4) & 3;
        if ((opt & 4) && len > 0)
            qelmodel_post_upcall_to(caller, mem.bytes.data(), mem.bytes.size());
        else
            qelmodel_interrupt(caller);
        mem.write_limit = write_limit(cmd, arg);
        int rc = ioc(d, cmd, arg);
        if (trace)
            fprintf(stderr, "qelctl_fuzz: file %d command 0x%x arg 0x%lx length %zu: %d\n", caller,
                    static_cast<unsigned>(cmd), arg, len, rc);
    }

    for (qelctl_dev_t d : files)
        FUZZ_CHECK(qelctl_close(d, 0, 0, nullptr) == 0);
    FUZZ_CHECK(qelctl_detach(dip, QELCTL_DETACH) == 0);
    qelmodel_fini();
    FUZZ_CHECK(outstanding() == before);
    return 0;
}
