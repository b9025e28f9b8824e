// kyrdiag: the administrator's tool for the accelerator cards.  Lists the
// card instances and, for each card named on the command line, resets,
// zeroizes, reports state and status, runs the on-board diagnostics, shows
// the RSA public key or its fingerprint, loads firmware or bootstrap images,
// switches the card online or offline and prints its version numbers, all
// through the control device.
//
// Every message text goes through the message catalogue; without a
// catalogue the lookup returns the text unchanged.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <libgen.h>
#include <libintl.h>
#include <locale.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "qelctl.h"

#define _(text) dcgettext(NULL, text, LC_MESSAGES)

namespace {

// The card hands the key parts into buffers of this size.
constexpr size_t kKeyPartMax = 4096;

// What the command line asked for.  Flags count their occurrences; any
// count above zero acts once.
struct kd_opts {
    int reset;
    int zeroize;
    int info;
    int diag;
    int key;
    int fingerprint;
    int versions;
    const char *fwfile;
    const char *bootfile;
    const char *mode;
};

// Closes the control device when a device's processing ends on any path.
struct kd_fd_closer {
    int fd;
    ~kd_fd_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

struct kd_free {
    void operator()(void *p) const { free(p); }
};
using kd_buf = std::unique_ptr<unsigned char, kd_free>;

void kd_usage()
{
    static const char *const lines[] = {
        "usage: kyrdiag -?                                 (display command help)\n",
        "       kyrdiag -b <boostrap> <device>             (update bootstrap firmware)\n",
        "       kyrdiag -d <device>                        (run diagnostics)\n",
        "       kyrdiag -f <device>                        (get public key fingerprint)\n",
        "       kyrdiag -k <device>                        (show full public remote key)\n",
        "       kyrdiag -l [<device>]                      (list devices)\n",
        "       kyrdiag -m <mode> <device>                 (change device mode[online, offline])\n",
        "       kyrdiag -r <device>                        (reset device)\n",
        "       kyrdiag -u <firmware> <device>             (update firmware)\n",
        "       kyrdiag -v <device>                        (device version information)\n",
        "       kyrdiag -V                                 (version information)\n",
        "       kyrdiag -z <device>                        (zeroize device)\n",
    };
    for (const char *line : lines)
        fputs(_(line), stderr);
}

void kd_banner()
{
    fputs(_("kyrdiag (Vantor) 1.1\n"), stderr);
    fputs(_("Copyright (c) Vantor. All rights reserved.\n"), stderr);
    fputs(_("This program is provided \"as is\", without warranty of any kind.\n"), stderr);
    fputs(_("Use is subject to the licence terms supplied with the product.\n"), stderr);
}

// Lists every card instance the control device knows.  Failures are
// reported, but listing never changes the exit status.
void kd_list_devices()
{
    int fd = open(QELCTL_DEVPATH, O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, _("Unable to open control device: %s\n"), strerror(errno));
        return;
    }
    kd_fd_closer closer{fd};
    qelctl_probe_t probe;
    memset(&probe, 0, sizeof(probe));
    if (ioctl(fd, QELCTLPROBE, &probe) < 0) {
        fprintf(stderr, _("Device enumeration FAILED: %s\n"), strerror(errno));
        return;
    }
    // The count comes from the driver; never index past the array.
    int n = probe.mpr_ndevs;
    if (n > QELCTL_MAX_DEVS)
        n = QELCTL_MAX_DEVS;
    for (int i = 0; i < n; i++)
        printf(_("\tqel/%d\n"), probe.mpr_devinst[i]);
}

// Parses a device operand ("qel" and a decimal instance, possibly behind a
// path such as /dev/qel0).  Returns 0 with the instance, or 1 after the
// message.
int kd_parse_operand(const char *arg, long *inst)
{
    const char *at = strstr(arg, "qel");
    if (at == nullptr || at[3] == '\0') {
        fprintf(stderr, _("Bad device `%s' specified\n"), arg);
        return 1;
    }
    const char *digits = at + 3;
    for (const char *p = digits; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') {
            fprintf(stderr, _("Invalid device instance number: %s\n"), digits);
            return 1;
        }
    }
    errno = 0;
    long value = strtol(digits, nullptr, 10);
    // The control device takes an int instance: a larger number would be
    // cut to another card's (4294967297 is qel1).
    if (errno != 0 || value > INT_MAX) {
        fprintf(stderr, _("Invalid device instance number: %s\n"), digits);
        return 1;
    }
    *inst = value;
    return 0;
}

const char *kd_state_name(int state)
{
    switch (state) {
    case QELCTL_STATE_OFFLINE: return _("Offline");
    case QELCTL_STATE_DIAG:    return _("Diag");
    case QELCTL_STATE_ONLINE:  return _("Online");
    case QELCTL_STATE_FAILED:  return _("Failed");
    default:                   return _("Unknown");
    }
}

const char *kd_status_name(int status)
{
    switch (status) {
    case QELCTL_STATUS_UNINIT: return _("Uninitialized");
    case QELCTL_STATUS_INIT:   return _("Initialized");
    case QELCTL_STATUS_FIPS:   return _("Initialized (FIPS)");
    default:                   return _("Unknown");
    }
}

// Hex dump: a column counter starts at width; a new line (prefix) starts
// only on a 4-byte boundary once the counter has reached the width, bytes
// inside a group follow each other, groups are joined by the separator.
void kd_hex(const unsigned char *bytes, size_t len, const char *prefix,
            const char *sep, size_t group, size_t width)
{
    size_t column = width;
    for (size_t i = 0; i < len; i++) {
        if (column >= width && i % 4 == 0) {
            fputs(prefix, stdout);
            column = 2;
        } else if (i % group != 0) {
            column += 2;
        } else {
            fputs(sep, stdout);
            column += strlen(sep) + 2;
        }
        printf("%02x", bytes[i]);
    }
    putchar('\n');
}

// Significant bits of a big-endian modulus: leading zero bytes and the
// leading zero bits of the first non-zero byte do not count.
unsigned kd_key_bits(const unsigned char *mod, size_t len)
{
    size_t i = 0;
    while (i < len && mod[i] == 0)
        i++;
    if (i == len)
        return 0;
    unsigned bits = (unsigned)(8 * (len - i));
    for (unsigned char top = mod[i]; (top & 0x80) == 0; top = (unsigned char)(top << 1))
        bits--;
    return bits;
}

// Copies a key part into a buffer of exactly its length.
int kd_copy_part(const unsigned char *src, size_t len, std::vector<unsigned char> *out)
{
    kd_buf part(static_cast<unsigned char *>(calloc(len ? len : 1, 1)));
    if (!part) {
        perror(_("calloc"));
        return ENOMEM;
    }
    memcpy(part.get(), src, len);
    out->assign(part.get(), part.get() + len);
    return 0;
}

// Reads the card's public key.  The lengths handed in are the capacities of
// our buffers; lengths reported back that exceed them are refused rather
// than trusted.
int kd_read_pubkey(int fd, std::vector<unsigned char> *mod, std::vector<unsigned char> *exp)
{
    std::vector<unsigned char> modbuf(kKeyPartMax), expbuf(kKeyPartMax);
    qelctl_getpubkey_t pk;
    memset(&pk, 0, sizeof(pk));
    pk.mpk_modlen = kKeyPartMax;
    pk.mpk_explen = kKeyPartMax;
    pk.mpk_modulus = modbuf.data();
    pk.mpk_exponent = expbuf.data();
    if (ioctl(fd, QELCTLGETPUBKEY, &pk) < 0) {
        int err = errno;
        perror(_("ioctl(QELCTLGETPUBKEY)"));
        return err;
    }
    if (pk.mpk_modlen > kKeyPartMax || pk.mpk_explen > kKeyPartMax)
        return EIO;
    int rc = kd_copy_part(modbuf.data(), pk.mpk_modlen, mod);
    if (rc == 0)
        rc = kd_copy_part(expbuf.data(), pk.mpk_explen, exp);
    return rc;
}

int kd_sha1(const std::vector<unsigned char> &data, unsigned char out[20])
{
    unsigned int outlen = 0;
    if (EVP_Digest(data.data(), data.size(), out, &outlen, EVP_sha1(), nullptr) != 1 ||
        outlen != 20)
        return EIO;
    return 0;
}

int kd_simple_cmd(int fd, unsigned long cmd)
{
    return ioctl(fd, cmd, 0) < 0 ? errno : 0;
}

int kd_reset(int fd, const char *name)
{
    printf(_("Resetting device %s, this may take a minute.\n"), name);
    printf("%s", _("Please be patient.\n"));
    fflush(stdout);
    int rc = kd_simple_cmd(fd, QELCTLRESET);
    if (rc != 0) {
        fprintf(stderr, _("Reset of %s FAILED: %s\n"), name, strerror(rc));
        return 1;
    }
    printf(_("Device %s reset ok.\n"), name);
    return 0;
}

int kd_zeroize(int fd, const char *name)
{
    printf(_("Zeroizing device %s, this may take a few minutes.\n"), name);
    printf("%s", _("Please be patient.\n"));
    fflush(stdout);
    int rc = kd_simple_cmd(fd, QELCTLZEROIZE);
    if (rc != 0) {
        fprintf(stderr, _("Zeroize %s FAILED: %s\n"), name, strerror(rc));
        return 1;
    }
    printf(_("Device %s zeroized.\n"), name);
    return 0;
}

int kd_info(int fd, const char *name)
{
    qelctl_getinfo_t info;
    memset(&info, 0, sizeof(info));
    if (ioctl(fd, QELCTLGETINFO, &info) < 0) {
        fprintf(stderr, _("GetInfo %s FAILED: %s\n"), name, strerror(errno));
        return 1;
    }
    printf(_("Device %s\n"), name);
    printf(_("\tState : %s\n"), kd_state_name(info.mgi_state));
    printf(_("\tStatus: %s\n"), kd_status_name(info.mgi_status));
    return 0;
}

int kd_diag(int fd, const char *name)
{
    printf(_("Running %s on-board diagnostics.\n"), name);
    fflush(stdout);
    int rc = kd_simple_cmd(fd, QELCTLDIAG);
    if (rc != 0) {
        fprintf(stderr, _("Diagnostics on %s FAILED: %s\n"), name, strerror(rc));
        return 1;
    }
    printf(_("Diagnostics on %s PASSED.\n"), name);
    return 0;
}

// Reads the key and its SHA-1 fingerprint; reports the failure itself.
int kd_key_and_fingerprint(int fd, const char *name, std::vector<unsigned char> *mod,
                           std::vector<unsigned char> *exp, unsigned char fp[20])
{
    if (kd_read_pubkey(fd, mod, exp) != 0 || kd_sha1(*mod, fp) != 0) {
        fflush(stdout);
        fprintf(stderr, _("Failed getting public key for %s.\n"), name);
        return 1;
    }
    return 0;
}

int kd_show_key(int fd, const char *name)
{
    std::vector<unsigned char> mod, exp;
    unsigned char fp[20];
    if (kd_key_and_fingerprint(fd, name, &mod, &exp, fp) != 0)
        return 1;
    printf(_("Device: %s\n"), name);
    printf(_("Key Length: %u bits\n"), kd_key_bits(mod.data(), mod.size()));
    printf("%s", _("Key Fingerprint: "));
    kd_hex(fp, sizeof(fp), "", "-", 2, 40);
    printf("%s", _("Modulus:"));
    kd_hex(mod.data(), mod.size(), "\n\t", " ", 4, 36);
    printf("%s", _("Public Exponent:"));
    kd_hex(exp.data(), exp.size(), "\n\t", " ", 4, 36);
    return 0;
}

int kd_show_fingerprint(int fd, const char *name)
{
    std::vector<unsigned char> mod, exp;
    unsigned char fp[20];
    if (kd_key_and_fingerprint(fd, name, &mod, &exp, fp) != 0)
        return 1;
    kd_hex(fp, sizeof(fp), "", "-", 2, 40);
    return 0;
}

// Reads the whole image into memory and hands it to the card.  The image
// is not inspected.  An image larger than the card accepts is refused here,
// with the error the card would give, before anything is read or sent; a
// file that yields fewer bytes than its size (it shrank meanwhile) is a read
// failure and nothing is sent.
int kd_image_update(int fd, const char *path, int select)
{
    int img = open(path, O_RDONLY);
    if (img < 0) {
        perror(_("open"));
        return 1;
    }
    kd_fd_closer closer{img};
    struct stat st;
    if (fstat(img, &st) != 0)
        return 1;
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, _("%s is not a regular file!\n"), path);
        return 1;
    }
    size_t size = (size_t)st.st_size;
    if (size > QELCTL_FW_MAX) {
        errno = E2BIG;
        perror(_("ioctl"));
        return 1;
    }
    kd_buf image(static_cast<unsigned char *>(malloc(size ? size : 1)));
    if (!image) {
        perror(_("malloc"));
        return 1;
    }
    ssize_t got = read(img, image.get(), size);
    if (got < 0 || (size_t)got != size) {
        if (got >= 0)
            errno = EIO;
        perror(_("read"));
        return 1;
    }
    close(img);
    closer.fd = -1;

    qelctl_fwupdate_t fw;
    memset(&fw, 0, sizeof(fw));
    fw.mfu_select = select;
    fw.mfu_size = size;
    fw.mfu_addr = image.get();
    if (ioctl(fd, QELCTLFWUPDATE, &fw) < 0) {
        perror(_("ioctl"));
        return 1;
    }
    return 0;
}

int kd_fw_update(int fd, const char *name, const char *path)
{
    printf(_("Updating firmware on %s, this may take a few minutes.\n"), name);
    printf("%s", _("Please be patient.\n"));
    fflush(stdout);
    if (kd_image_update(fd, path, QELCTL_FW_FIRMWARE) != 0) {
        fprintf(stderr, _("Firmware update on %s FAILED.\n"), name);
        return 1;
    }
    printf(_("Firmware update on %s complete.\n"), name);
    printf("%s", _("Reset required to activate new firmware.\n"));
    return 0;
}

int kd_mode(int fd, const char *name, const char *mode)
{
    int state;
    const char *word;
    if (strcasecmp(mode, "online") == 0) {
        state = QELCTL_STATE_ONLINE;
        word = "online";
    } else if (strcasecmp(mode, "offline") == 0) {
        state = QELCTL_STATE_OFFLINE;
        word = "offline";
    } else {
        fflush(stdout);
        fprintf(stderr, _("Invalid state[%s] specified\n"), mode);
        return 1;
    }
    if (ioctl(fd, QELCTLCHGSTATE, &state) < 0) {
        fflush(stdout);
        fprintf(stderr, _("Failed to change the state of %s to '%s'\n"), name, mode);
        return 1;
    }
    printf(_("Device %s is now %s.\n"), name, word);
    return 0;
}

int kd_boot_update(int fd, const char *name, const char *path)
{
    printf(_("Updating bootstrap firmware on %s, this may take a few minutes.\n"), name);
    printf("%s", _("Please be patient.\n"));
    printf("%s", _("** DO NOT INTERRUPT PROCESS **\n"));
    fflush(stdout);
    if (kd_image_update(fd, path, QELCTL_FW_BOOTSTRAP) != 0) {
        printf("%s", _("Bootstrap firmware update FAILED.\n"));
        return 1;
    }
    printf("%s", _("Bootstrap firmware update complete.\n"));
    printf("%s", _("Reset required to activate new bootstrap.\n"));
    return 0;
}

int kd_versions(int fd, const char *name)
{
    qelctl_getver_t ver;
    memset(&ver, 0, sizeof(ver));
    if (ioctl(fd, QELCTLGETVER, &ver) < 0) {
        fprintf(stderr, _("GetVer %s FAILED: %s\n"), name, strerror(errno));
        return 1;
    }
    printf(_("Device %s version numbers:\n"), name);
    printf(_("\tHardware : %d.%d.%d\n"), (int)QELCTL_VER_MAJOR(ver.hw),
           (int)QELCTL_VER_MINOR(ver.hw), (int)QELCTL_VER_MICRO(ver.hw));
    printf(_("\tBootrom  : %d.%d.%d\n"), (int)QELCTL_VER_MAJOR(ver.boot),
           (int)QELCTL_VER_MINOR(ver.boot), (int)QELCTL_VER_MICRO(ver.boot));
    printf(_("\tFirmware : %d.%d.%d\n"), (int)QELCTL_VER_MAJOR(ver.fw),
           (int)QELCTL_VER_MINOR(ver.fw), (int)QELCTL_VER_MICRO(ver.fw));
    return 0;
}

// Runs the selected actions on one bound device in their fixed order and
// stops at the first failure.
int kd_actions(const kd_opts &o, int fd, const char *name)
{
    if (o.reset && kd_reset(fd, name) != 0)
        return 1;
    if (o.zeroize && kd_zeroize(fd, name) != 0)
        return 1;
    if (o.info && kd_info(fd, name) != 0)
        return 1;
    if (o.diag && kd_diag(fd, name) != 0)
        return 1;
    if (o.key && kd_show_key(fd, name) != 0)
        return 1;
    if (o.fingerprint && kd_show_fingerprint(fd, name) != 0)
        return 1;
    if (o.fwfile && kd_fw_update(fd, name, o.fwfile) != 0)
        return 1;
    if (o.mode && kd_mode(fd, name, o.mode) != 0)
        return 1;
    if (o.bootfile && kd_boot_update(fd, name, o.bootfile) != 0)
        return 1;
    if (o.versions && kd_versions(fd, name) != 0)
        return 1;
    return 0;
}

// One device operand: parse, open, bind, act, close.  Returns the exit
// status the tool ends with if this operand fails (1), or 0.
int kd_device(const kd_opts &o, const char *operand)
{
    long inst;
    if (kd_parse_operand(operand, &inst) != 0)
        return 1;
    char name[32];
    snprintf(name, sizeof(name), "qel%ld", inst);

    int fd = open(QELCTL_DEVPATH, O_RDONLY);
    if (fd < 0) {
        fprintf(stderr, _("Unable to open control device: %s\n"), strerror(errno));
        return 1;
    }
    kd_fd_closer closer{fd};
    if (ioctl(fd, QELCTLBIND, (unsigned long)inst) < 0) {
        fprintf(stderr, _("Failed binding to %s: %s\n"), name, strerror(errno));
        return 1;
    }
    return kd_actions(o, fd, name);
}

} // namespace

int main(int argc, char **argv)
{
    setlocale(LC_ALL, "");
    const char *prog = argc > 0 ? basename(argv[0]) : "kyrdiag";

    kd_opts o;
    memset(&o, 0, sizeof(o));
    opterr = 0;
    int c;
    while ((c = getopt(argc, argv, "b:dfklm:ru:vVz")) != -1) {
        switch (c) {
        case 'b': o.bootfile = optarg; break;
        case 'd': o.diag++; break;
        case 'f': o.fingerprint++; break;
        case 'k': o.key++; break;
        case 'l':
            // As the last argument -l lists the devices and nothing else.
            if (optind >= argc) {
                kd_list_devices();
                return 0;
            }
            o.info++;
            break;
        case 'm': o.mode = optarg; break;
        case 'r': o.reset++; break;
        case 'u': o.fwfile = optarg; break;
        case 'v': o.versions++; break;
        case 'V':
            kd_banner();
            return 0;
        case 'z': o.zeroize++; break;
        default:
            if (optopt != '?')
                fprintf(stderr, _("%s: illegal option -- %c\n"), prog, optopt);
            kd_usage();
            return 1;
        }
    }
    if (optind >= argc) {
        fputs(_("No device specified!\n"), stderr);
        return 1;
    }
    for (int i = optind; i < argc; i++) {
        if (kd_device(o, argv[i]) != 0)
            return 1;
    }
    return 0;
}
