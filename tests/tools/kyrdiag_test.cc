// Runs the production kyrdiag against the card simulator and compares its
// standard output, standard error and exit status byte for byte.  Key
// fingerprints and image digests are checked against the openssl command
// line, so the tool is not checked against itself.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kyrsim.h"

namespace {

const char *const kTool = KYR_BUILD_DIR "/tools/kyrdiag/kyrdiag";

struct run_result {
    std::string out;
    std::string err;
    int code = -2;
};

std::string usage_text()
{
    return "usage: kyrdiag -?                                 (display command help)\n"
           "       kyrdiag -b <boostrap> <device>             (update bootstrap firmware)\n"
           "       kyrdiag -d <device>                        (run diagnostics)\n"
           "       kyrdiag -f <device>                        (get public key fingerprint)\n"
           "       kyrdiag -k <device>                        (show full public remote key)\n"
           "       kyrdiag -l [<device>]                      (list devices)\n"
           "       kyrdiag -m <mode> <device>                 (change device mode[online, offline])\n"
           "       kyrdiag -r <device>                        (reset device)\n"
           "       kyrdiag -u <firmware> <device>             (update firmware)\n"
           "       kyrdiag -v <device>                        (device version information)\n"
           "       kyrdiag -V                                 (version information)\n"
           "       kyrdiag -z <device>                        (zeroize device)\n";
}

std::string hex(const std::vector<uint8_t> &b)
{
    std::string s;
    char two[3];
    for (uint8_t v : b) {
        snprintf(two, sizeof(two), "%02x", v);
        s += two;
    }
    return s;
}

// Expected hex layouts, built line by line rather than with a column
// counter: a fingerprint is groups of two bytes joined by '-'; a key part is
// lines of 20 bytes, each starting with newline and tab, in groups of four
// bytes separated by a space.
std::string fingerprint_form(const std::vector<uint8_t> &fp)
{
    std::string s;
    for (size_t i = 0; i < fp.size(); i += 2) {
        if (i > 0)
            s += "-";
        s += hex(std::vector<uint8_t>(fp.begin() + i, fp.begin() + std::min(fp.size(), i + 2)));
    }
    return s + "\n";
}

std::string key_part_form(const std::vector<uint8_t> &b)
{
    std::string s;
    for (size_t line = 0; line < b.size(); line += 20) {
        s += "\n\t";
        for (size_t g = line; g < std::min(b.size(), line + 20); g += 4) {
            if (g > line)
                s += " ";
            s += hex(std::vector<uint8_t>(b.begin() + g, b.begin() + std::min(b.size(), g + 4)));
        }
    }
    return s + "\n";
}

std::vector<uint8_t> unhex(const std::string &text)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// Output of a shell command (the test's own fixed commands only).
std::string shell(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// First hex word of "openssl dgst -r" output for a file.
std::string openssl_digest(const char *alg, const std::string &path)
{
    std::string line = shell(std::string("openssl dgst -") + alg + " -r '" + path + "'");
    return line.substr(0, line.find(' '));
}

void write_file(const std::string &path, const std::vector<uint8_t> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Deterministic, non-repeating image contents.
std::vector<uint8_t> image_bytes(size_t n)
{
    std::vector<uint8_t> v(n);
    uint32_t x = 2463534242u ^ static_cast<uint32_t>(n);
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v[i] = static_cast<uint8_t>(x);
    }
    return v;
}

void remove_tree(const std::string &path)
{
    DIR *d = opendir(path.c_str());
    if (d != nullptr) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..")
                remove_tree(path + "/" + name);
        }
        closedir(d);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

class KyrdiagTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *t = getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/kyrdiag-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        ASSERT_NE(nullptr, mkdtemp(buf.data()));
        dir_ = buf.data();
        kyrsim_opts o;
        o.cards = 2;
        o.socket_path = dir_ + "/sim.sock";
        kyrsim *s = nullptr;
        ASSERT_EQ(0, kyrsim_start(o, &s));
        sim_.reset(s);
    }

    void TearDown() override
    {
        sim_.reset();
        if (!dir_.empty())
            remove_tree(dir_);
    }

    run_result run(const std::vector<std::string> &args)
    {
        run_result r;
        kyrsim_spawn_opts o;
        o.argv.push_back(kTool);
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = {"LC_ALL=C", "LANG=C"};
        std::string tag = std::to_string(runs_++);
        o.out_path = dir_ + "/out" + tag;
        o.err_path = dir_ + "/err" + tag;
        kyrsim_child c;
        if (kyrsim_spawn(sim_.get(), o, &c) != 0) {
            ADD_FAILURE() << "spawn failed";
            return r;
        }
        if (kyrsim_wait_child(&c, 120000) != 0) {
            kyrsim_kill_child(&c);
            ADD_FAILURE() << "kyrdiag did not end";
            return r;
        }
        r.out = kyrsim_child_stdout(c);
        r.err = kyrsim_child_stderr(c);
        r.code = kyrsim_exit_code(c);
        return r;
    }

    qelmodel_card_t card(int instance)
    {
        qelmodel_card_t copy;
        memset(&copy, 0, sizeof(copy));
        EXPECT_EQ(0, kyrsim_card_update(instance, [&](qelmodel_card_t &c) { copy = c; }));
        return copy;
    }

    void set_code(int instance, int ep, int code)
    {
        ASSERT_EQ(0, kyrsim_card_update(instance, [&](qelmodel_card_t &c) { c.code[ep] = code; }));
    }

    void expect_run(const std::vector<std::string> &args, const std::string &out,
                    const std::string &err, int code)
    {
        run_result r = run(args);
        EXPECT_EQ(out, r.out);
        EXPECT_EQ(err, r.err);
        EXPECT_EQ(code, r.code);
    }

    std::string dir_;
    kyrsim_ptr sim_;
    int runs_ = 0;
};

std::string err_text(int e)
{
    return strerror(e);
}

// ------------------------------------------------------------ command line

TEST_F(KyrdiagTest, VersionBannerOnStandardErrorWithoutActing)
{
    run_result r = run({"-r", "-V", "qel0"});
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0, r.code);
    ASSERT_EQ(0u, r.err.rfind("kyrdiag (Vantor) 1.1\n", 0)) << r.err;
    size_t lines = 0;
    for (char ch : r.err)
        lines += ch == '\n';
    EXPECT_EQ(4u, lines);
    EXPECT_EQ('\n', r.err.back());
    EXPECT_EQ(0, card(0).calls[QM_EP_SAFERESET]);
}

TEST_F(KyrdiagTest, UnknownOptionsAndMissingArgumentsPrintUsage)
{
    expect_run({"-x", "qel0"}, "", "kyrdiag: illegal option -- x\n" + usage_text(), 1);
    expect_run({"-r", "-b"}, "", "kyrdiag: illegal option -- b\n" + usage_text(), 1);
    expect_run({"-m"}, "", "kyrdiag: illegal option -- m\n" + usage_text(), 1);
    // Help on request: the usage alone.
    expect_run({"-?"}, "", usage_text(), 1);
    // Nothing is done when the command line is wrong, even for options
    // before the bad one.
    expect_run({"-r", "-q", "qel0"}, "", "kyrdiag: illegal option -- q\n" + usage_text(), 1);
    EXPECT_EQ(0, card(0).calls[QM_EP_SAFERESET]);
}

TEST_F(KyrdiagTest, NoDeviceSpecified)
{
    expect_run({}, "", "No device specified!\n", 1);
    expect_run({"-r", "-v"}, "", "No device specified!\n", 1);
}

TEST_F(KyrdiagTest, BadOperands)
{
    expect_run({"-v", "qelx"}, "", "Invalid device instance number: x\n", 1);
    expect_run({"-v", "qel1x"}, "", "Invalid device instance number: 1x\n", 1);
    expect_run({"-v", "qel-1"}, "", "Invalid device instance number: -1\n", 1);
    expect_run({"-v", "foo"}, "", "Bad device `foo' specified\n", 1);
    expect_run({"-v", "qel"}, "", "Bad device `qel' specified\n", 1);
    expect_run({"-v", "/dev/qel"}, "", "Bad device `/dev/qel' specified\n", 1);
    expect_run({"-v", "qel99999999999999999999"}, "",
               "Invalid device instance number: 99999999999999999999\n", 1);
    EXPECT_EQ(0, card(0).calls[QM_EP_GET_VERINFO]);
}

TEST_F(KyrdiagTest, OperandNameIsRebuiltFromTheNumber)
{
    ASSERT_EQ(0, qelmodel_add_card(7));
    expect_run({"-l", "qel007"}, "Device qel7\n\tState : Online\n\tStatus: Initialized\n", "", 0);
    // Anything before "qel" is ignored.
    expect_run({"-l", "/dev/qel1"}, "Device qel1\n\tState : Online\n\tStatus: Initialized\n", "", 0);
    expect_run({"-l", "qel2147483648"}, "",
               "Invalid device instance number: 2147483648\n", 1);
}

// An instance number that does not fit the device's int would reach
// another card once cut (4294967297 is 1): it is refused, qel1 untouched.
TEST_F(KyrdiagTest, InstanceBeyondIntIsRefusedNotTruncated)
{
    ASSERT_EQ(0, qelmodel_add_card(1));
    expect_run({"-z", "qel4294967297"}, "",
               "Invalid device instance number: 4294967297\n", 1);
    EXPECT_EQ(0, card(1).calls[QM_EP_ZEROIZE]);
    EXPECT_EQ(0, card(1).calls[QM_EP_HOLD_CTL]);
}

// ----------------------------------------------------------------- listing

TEST_F(KyrdiagTest, ListAloneListsEveryCard)
{
    ASSERT_EQ(0, qelmodel_add_card(5));
    expect_run({"-l"}, "\tqel/0\n\tqel/1\n\tqel/5\n", "", 0);
    // Options before a final -l are not acted on.
    expect_run({"-r", "-z", "-l"}, "\tqel/0\n\tqel/1\n\tqel/5\n", "", 0);
    expect_run({"-rl"}, "\tqel/0\n\tqel/1\n\tqel/5\n", "", 0);
    qelmodel_card_t c = card(0);
    EXPECT_EQ(0, c.calls[QM_EP_SAFERESET]);
    EXPECT_EQ(0, c.calls[QM_EP_ZEROIZE]);
}

TEST_F(KyrdiagTest, ListWithoutCardsOrControlDevice)
{
    qelmodel_remove_card(0);
    qelmodel_remove_card(1);
    expect_run({"-l"}, "", "", 0);
    ASSERT_EQ(0, kyrsim_set_node(sim_.get(), KSP_DEV_QELCTL, false, 0));
    // Listing always ends with 0; a device operand does not.
    expect_run({"-l"}, "", "Unable to open control device: " + err_text(ENOENT) + "\n", 0);
    expect_run({"-v", "qel0"}, "", "Unable to open control device: " + err_text(ENOENT) + "\n", 1);
}

TEST_F(KyrdiagTest, StateAndStatusNames)
{
    struct { int v; const char *state; const char *status; } names[] = {
        {0, "Offline", "Uninitialized"},
        {1, "Diag", "Initialized"},
        {2, "Online", "Initialized (FIPS)"},
        {3, "Failed", "Unknown"},
        {4, "Unknown", "Unknown"},
        {-1, "Unknown", "Unknown"},
    };
    for (const auto &n : names) {
        ASSERT_EQ(0, kyrsim_card_update(1, [&](qelmodel_card_t &c) {
            c.state = n.v;
            c.status = n.v;
        }));
        expect_run({"-l", "qel1"},
                   std::string("Device qel1\n\tState : ") + n.state + "\n\tStatus: " + n.status + "\n",
                   "", 0);
    }
    set_code(1, QM_EP_GET_DEVINFO, EIO);
    expect_run({"-l", "qel1"}, "", "GetInfo qel1 FAILED: " + err_text(EIO) + "\n", 1);
}

// ----------------------------------------------------------------- actions

TEST_F(KyrdiagTest, ResetRunsBeforeZeroize)
{
    expect_run({"-z", "-r", "qel0"},
               "Resetting device qel0, this may take a minute.\n"
               "Please be patient.\n"
               "Device qel0 reset ok.\n"
               "Zeroizing device qel0, this may take a few minutes.\n"
               "Please be patient.\n"
               "Device qel0 zeroized.\n",
               "", 0);
    qelmodel_card_t c = card(0);
    EXPECT_EQ(1, c.calls[QM_EP_SAFERESET]);
    EXPECT_EQ(1, c.calls[QM_EP_ZEROIZE]);
}

TEST_F(KyrdiagTest, RepeatedFlagsActOnce)
{
    run_result r = run({"-r", "-r", "-rr", "qel0"});
    EXPECT_EQ(0, r.code);
    EXPECT_EQ(1, card(0).calls[QM_EP_SAFERESET]);
}

TEST_F(KyrdiagTest, ResetAndZeroizeFailures)
{
    set_code(0, QM_EP_SAFERESET, ETIMEDOUT);
    expect_run({"-z", "-r", "qel0"},
               "Resetting device qel0, this may take a minute.\nPlease be patient.\n",
               "Reset of qel0 FAILED: " + err_text(ETIMEDOUT) + "\n", 1);
    EXPECT_EQ(0, card(0).calls[QM_EP_ZEROIZE]);

    ASSERT_EQ(0, kyrsim_card_set_faults(1, QEL_FAULT_FAILED));
    expect_run({"-z", "qel1"},
               "Zeroizing device qel1, this may take a few minutes.\nPlease be patient.\n",
               "Zeroize qel1 FAILED: " + err_text(EIO) + "\n", 1);
}

TEST_F(KyrdiagTest, Diagnostics)
{
    expect_run({"-d", "qel0"},
               "Running qel0 on-board diagnostics.\nDiagnostics on qel0 PASSED.\n", "", 0);
    set_code(0, QM_EP_DIAGNOSTICS, EAGAIN);
    expect_run({"-d", "qel0"}, "Running qel0 on-board diagnostics.\n",
               "Diagnostics on qel0 FAILED: " + err_text(EAGAIN) + "\n", 1);
    ASSERT_EQ(0, kyrsim_card_set_faults(1, QEL_FAULT_FAILED));
    expect_run({"-d", "qel1"}, "Running qel1 on-board diagnostics.\n",
               "Diagnostics on qel1 FAILED: " + err_text(EIO) + "\n", 1);
}

TEST_F(KyrdiagTest, VersionNumbers)
{
    ASSERT_EQ(0, kyrsim_card_update(0, [](qelmodel_card_t &c) {
        c.hw_ver = 0x01020003;
        c.boot_ver = 0x0a0b1234;
        c.fw_ver = 0xff00ffff;
    }));
    expect_run({"-v", "qel0"},
               "Device qel0 version numbers:\n"
               "\tHardware : 1.2.3\n"
               "\tBootrom  : 10.11.4660\n"
               "\tFirmware : 255.0.65535\n",
               "", 0);
    set_code(0, QM_EP_GET_VERINFO, ENODEV);
    expect_run({"-v", "qel0"}, "", "GetVer qel0 FAILED: " + err_text(ENODEV) + "\n", 1);
}

TEST_F(KyrdiagTest, ModeChange)
{
    expect_run({"-m", "OffLine", "qel0"}, "Device qel0 is now offline.\n", "", 0);
    EXPECT_EQ(QELCTL_STATE_OFFLINE, card(0).state);
    expect_run({"-m", "ONLINE", "qel0"}, "Device qel0 is now online.\n", "", 0);
    EXPECT_EQ(QELCTL_STATE_ONLINE, card(0).state);
    // The last mode given wins.
    expect_run({"-m", "standby", "-m", "offline", "qel0"}, "Device qel0 is now offline.\n", "", 0);
    EXPECT_EQ(3, card(0).state_changes);

    set_code(0, QM_EP_CHGSTATE_ONLINE, EBUSY);
    expect_run({"-m", "ONLINE", "qel0"}, "", "Failed to change the state of qel0 to 'ONLINE'\n", 1);
    EXPECT_EQ(QELCTL_STATE_OFFLINE, card(0).state);
}

TEST_F(KyrdiagTest, UnknownModeFailsOnlyAfterEarlierActions)
{
    std::vector<uint8_t> mod = {0xc1, 0x02};
    std::string modfile = dir_ + "/mod.bin";
    write_file(modfile, mod);
    ASSERT_EQ(0, kyrsim_card_set_key(0, mod, {0x03}));
    expect_run({"-v", "-m", "standby", "-r", "-f", "qel0"},
               "Resetting device qel0, this may take a minute.\n"
               "Please be patient.\n"
               "Device qel0 reset ok.\n" +
                   fingerprint_form(unhex(openssl_digest("sha1", modfile))),
               "Invalid state[standby] specified\n", 1);
    qelmodel_card_t c = card(0);
    EXPECT_EQ(1, c.calls[QM_EP_SAFERESET]);
    EXPECT_EQ(0, c.state_changes);
    EXPECT_EQ(0, c.calls[QM_EP_GET_VERINFO]);
}

TEST_F(KyrdiagTest, SecondOperandFailsAfterFirstIsDone)
{
    expect_run({"-r", "qel0", "qel5", "qel1"},
               "Resetting device qel0, this may take a minute.\n"
               "Please be patient.\n"
               "Device qel0 reset ok.\n",
               "Failed binding to qel5: " + err_text(ENXIO) + "\n", 1);
    EXPECT_EQ(1, card(0).calls[QM_EP_SAFERESET]);
    EXPECT_EQ(0, card(1).calls[QM_EP_SAFERESET]);

    set_code(1, QM_EP_SAFERESET, EIO);
    run_result r = run({"-r", "-v", "qel0", "qel1", "qel0"});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("Reset of qel1 FAILED: " + err_text(EIO) + "\n", r.err);
    EXPECT_EQ(2, card(0).calls[QM_EP_SAFERESET]);
    EXPECT_EQ(1, card(0).calls[QM_EP_GET_VERINFO]);
    EXPECT_EQ(0, card(1).calls[QM_EP_GET_VERINFO]);

    run_result ok = run({"-v", "qel0", "qel1"});
    EXPECT_EQ(0, ok.code);
    EXPECT_EQ("", ok.err);
    EXPECT_NE(std::string::npos, ok.out.find("Device qel1 version numbers:\n"));
    // Every open file of the control device was closed.
    EXPECT_EQ(0, kyrsim_wait_no_files(sim_.get(), 10000));
}

TEST_F(KyrdiagTest, AllActionsRunInTheirFixedOrder)
{
    std::string fw = dir_ + "/fw.bin", boot = dir_ + "/boot.bin";
    write_file(fw, image_bytes(100));
    write_file(boot, image_bytes(200));
    std::vector<uint8_t> mod = {0x80, 0x01, 0x02}, exp = {0x01, 0x00, 0x01};
    ASSERT_EQ(0, kyrsim_card_set_key(0, mod, exp));
    ASSERT_EQ(0, kyrsim_card_update(0, [](qelmodel_card_t &c) {
        c.hw_ver = 0x01000000;
        c.boot_ver = 0x02000000;
        c.fw_ver = 0x03000000;
    }));
    std::string modfile = dir_ + "/mod.bin";
    write_file(modfile, mod);
    std::string fp = fingerprint_form(unhex(openssl_digest("sha1", modfile)));
    expect_run({"-v", "-b", boot, "-m", "offline", "-u", fw, "-f", "-k", "-d", "-l", "-z", "-r", "qel0"},
               "Resetting device qel0, this may take a minute.\n"
               "Please be patient.\n"
               "Device qel0 reset ok.\n"
               "Zeroizing device qel0, this may take a few minutes.\n"
               "Please be patient.\n"
               "Device qel0 zeroized.\n"
               "Device qel0\n"
               "\tState : Online\n"
               "\tStatus: Uninitialized\n"
               "Running qel0 on-board diagnostics.\n"
               "Diagnostics on qel0 PASSED.\n"
               "Device: qel0\n"
               "Key Length: 24 bits\n"
               "Key Fingerprint: " + fp +
               "Modulus:\n\t800102\n"
               "Public Exponent:\n\t010001\n" +
               fp +
               "Updating firmware on qel0, this may take a few minutes.\n"
               "Please be patient.\n"
               "Firmware update on qel0 complete.\n"
               "Reset required to activate new firmware.\n"
               "Device qel0 is now offline.\n"
               "Updating bootstrap firmware on qel0, this may take a few minutes.\n"
               "Please be patient.\n"
               "** DO NOT INTERRUPT PROCESS **\n"
               "Bootstrap firmware update complete.\n"
               "Reset required to activate new bootstrap.\n"
               "Device qel0 version numbers:\n"
               "\tHardware : 1.0.0\n"
               "\tBootrom  : 2.0.0\n"
               "\tFirmware : 3.0.0\n",
               "", 0);
    qelmodel_card_t c = card(0);
    EXPECT_EQ(2, c.n_fw);
    // The bootstrap image went last.
    EXPECT_EQ(1, c.last_fw.select);
    EXPECT_EQ(200u, c.last_fw.size);
}

// -------------------------------------------------------------- public key

TEST_F(KyrdiagTest, FullKeyAgreesWithOpenssl)
{
    std::string pem = dir_ + "/key.pem", modfile = dir_ + "/mod.bin";
    shell("openssl genrsa -out '" + pem + "' 2048 2>/dev/null");
    std::string modline = shell("openssl rsa -in '" + pem + "' -noout -modulus 2>/dev/null");
    ASSERT_EQ(0u, modline.rfind("Modulus=", 0)) << modline;
    std::string modhex = modline.substr(8);
    while (!modhex.empty() && (modhex.back() == '\n' || modhex.back() == '\r'))
        modhex.pop_back();
    std::vector<uint8_t> mod = unhex(modhex);
    ASSERT_EQ(256u, mod.size());
    write_file(modfile, mod);
    std::string sha1 = openssl_digest("sha1", modfile);
    ASSERT_EQ(40u, sha1.size());
    std::string text = shell("openssl rsa -in '" + pem + "' -noout -text 2>/dev/null");
    ASSERT_NE(std::string::npos, text.find("(2048 bit")) << text;

    std::vector<uint8_t> exp = {0x01, 0x00, 0x01};
    ASSERT_EQ(0, kyrsim_card_set_key(0, mod, exp));
    std::string fp = fingerprint_form(unhex(sha1));
    expect_run({"-k", "qel0"},
               "Device: qel0\nKey Length: 2048 bits\nKey Fingerprint: " + fp + "Modulus:" +
                   key_part_form(mod) + "Public Exponent:" + key_part_form(exp),
               "", 0);
    expect_run({"-f", "qel0"}, fp, "", 0);
}

TEST_F(KyrdiagTest, KeyLengthIgnoresLeadingZeroBits)
{
    std::vector<uint8_t> mod(128, 0x5a);
    mod[0] = 0x7f;
    std::string modfile = dir_ + "/mod.bin";
    write_file(modfile, mod);
    ASSERT_EQ(0, kyrsim_card_set_key(0, mod, {0x03}));
    run_result r = run({"-k", "qel0"});
    EXPECT_EQ(0, r.code);
    EXPECT_EQ("Device: qel0\nKey Length: 1023 bits\nKey Fingerprint: " +
                  fingerprint_form(unhex(openssl_digest("sha1", modfile))) + "Modulus:" +
                  key_part_form(mod) + "Public Exponent:\n\t03\n",
              r.out);

    // Leading zero bytes do not count; an all-zero modulus has no bits.
    ASSERT_EQ(0, kyrsim_card_set_key(0, {0x00, 0x00, 0x01, 0xff}, {0x03}));
    r = run({"-k", "qel0"});
    EXPECT_NE(std::string::npos, r.out.find("Key Length: 9 bits\n")) << r.out;
    ASSERT_EQ(0, kyrsim_card_set_key(0, {0x00, 0x00}, {0x03}));
    r = run({"-k", "qel0"});
    EXPECT_NE(std::string::npos, r.out.find("Key Length: 0 bits\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Modulus:\n\t0000\n")) << r.out;
}

TEST_F(KyrdiagTest, KeyPartLayoutAtLineAndGroupEdges)
{
    for (size_t n : {1u, 4u, 5u, 19u, 20u, 21u, 40u, 41u, 513u}) {
        std::vector<uint8_t> mod = image_bytes(n), exp = image_bytes(n + 3);
        mod[0] = 0x80;
        ASSERT_EQ(0, kyrsim_card_set_key(0, mod, exp));
        run_result r = run({"-k", "qel0"});
        EXPECT_EQ(0, r.code);
        std::string want = "Modulus:" + key_part_form(mod) + "Public Exponent:" + key_part_form(exp);
        ASSERT_GE(r.out.size(), want.size());
        EXPECT_EQ(want, r.out.substr(r.out.size() - want.size())) << "modulus of " << n;
    }
    // An empty exponent prints just the line end.
    ASSERT_EQ(0, kyrsim_card_set_key(0, {0x80}, {}));
    run_result r = run({"-k", "qel0"});
    EXPECT_EQ("Modulus:\n\t80\nPublic Exponent:\n", r.out.substr(r.out.find("Modulus:")));
}

TEST_F(KyrdiagTest, KeyPartsUpToTheBufferSizeOnly)
{
    std::vector<uint8_t> mod = image_bytes(4096);
    mod[0] = 0x01;
    ASSERT_EQ(0, kyrsim_card_set_key(0, mod, image_bytes(4096)));
    run_result r = run({"-k", "qel0"});
    EXPECT_EQ(0, r.code);
    EXPECT_NE(std::string::npos, r.out.find("Key Length: 32761 bits\n"));

    // A part larger than the tool's buffer is a failure, not an overrun.
    std::string fail = "ioctl(QELCTLGETPUBKEY): " + err_text(EIO) +
                       "\nFailed getting public key for qel0.\n";
    ASSERT_EQ(0, kyrsim_card_set_key(0, image_bytes(4097), {0x03}));
    expect_run({"-k", "qel0"}, "", fail, 1);
    ASSERT_EQ(0, kyrsim_card_set_key(0, {0x80}, image_bytes(4097)));
    expect_run({"-f", "qel0"}, "", fail, 1);
}

TEST_F(KyrdiagTest, PublicKeyFailures)
{
    std::string fail = "ioctl(QELCTLGETPUBKEY): " + err_text(EIO) +
                       "\nFailed getting public key for qel0.\n";
    // No key on the card.
    expect_run({"-k", "qel0"}, "", fail, 1);
    expect_run({"-f", "qel0"}, "", fail, 1);
    // A blob shorter than the lengths it announces.
    std::vector<uint8_t> blob(12 + 3);
    uint32_t words[3] = {0, 8, 1};
    memcpy(blob.data(), words, sizeof(words));
    ASSERT_EQ(0, qelmodel_set_pubkey(0, blob.data(), blob.size()));
    expect_run({"-f", "qel0"}, "", fail, 1);
    // A failed card.
    ASSERT_EQ(0, kyrsim_card_set_key(1, {0x80}, {0x03}));
    ASSERT_EQ(0, kyrsim_card_set_faults(1, QEL_FAULT_FAILED));
    expect_run({"-f", "qel1"}, "",
               "ioctl(QELCTLGETPUBKEY): " + err_text(EIO) + "\nFailed getting public key for qel1.\n",
               1);
}

// ----------------------------------------------------------- image updates

const char kFwBefore[] = "Updating firmware on qel0, this may take a few minutes.\nPlease be patient.\n";
const char kFwDone[] = "Firmware update on qel0 complete.\nReset required to activate new firmware.\n";
const char kBootBefore[] =
    "Updating bootstrap firmware on qel0, this may take a few minutes.\n"
    "Please be patient.\n** DO NOT INTERRUPT PROCESS **\n";
const char kBootDone[] = "Bootstrap firmware update complete.\nReset required to activate new bootstrap.\n";

TEST_F(KyrdiagTest, ImagesArriveWhole)
{
    const size_t mib = 0x100000;
    for (size_t size : {size_t(0), mib, mib + 1, 4 * mib}) {
        for (int select : {0, 1}) {
            SCOPED_TRACE("size " + std::to_string(size) + " select " + std::to_string(select));
            std::string path = dir_ + "/image" + std::to_string(size);
            write_file(path, image_bytes(size + select));
            // The bootstrap image differs from the firmware image.
            if (select == 1) {
                ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(size)));
            }
            long before = card(0).n_fw;
            if (select == 0)
                expect_run({"-u", path, "qel0"}, std::string(kFwBefore) + kFwDone, "", 0);
            else
                expect_run({"-b", path, "qel0"}, std::string(kBootBefore) + kBootDone, "", 0);
            qelmodel_card_t c = card(0);
            EXPECT_EQ(before + 1, c.n_fw);
            EXPECT_EQ(select, c.last_fw.select);
            EXPECT_EQ(size, c.last_fw.size);
            std::vector<uint8_t> digest(c.last_fw.sha256, c.last_fw.sha256 + 32);
            EXPECT_EQ(openssl_digest("sha256", path), hex(digest));
            unlink(path.c_str());
        }
    }
}

TEST_F(KyrdiagTest, ImageLargerThanTheCardAcceptsIsNotSent)
{
    std::string path = dir_ + "/big.bin";
    write_file(path, image_bytes(4 * 0x100000 + 1));
    std::string refused = "ioctl: " + err_text(E2BIG) + "\n";
    expect_run({"-u", path, "-v", "qel0"}, kFwBefore, refused + "Firmware update on qel0 FAILED.\n", 1);
    expect_run({"-b", path, "qel0"}, std::string(kBootBefore) + "Bootstrap firmware update FAILED.\n",
               refused, 1);
    qelmodel_card_t c = card(0);
    EXPECT_EQ(0, c.n_fw);
    EXPECT_EQ(0, c.calls[QM_EP_FWUPDATE]);
    EXPECT_EQ(0, c.calls[QM_EP_GET_VERINFO]);

    // The size is refused before the file is read: a huge sparse file
    // gives the same answer and no allocation failure.
    std::string huge = dir_ + "/huge.bin";
    write_file(huge, {});
    if (truncate(huge.c_str(), off_t(1) << 40) != 0)
        GTEST_SKIP() << "no sparse files here";
    expect_run({"-u", huge, "qel0"}, kFwBefore, refused + "Firmware update on qel0 FAILED.\n", 1);
}

TEST_F(KyrdiagTest, MissingFileOrDirectoryRefused)
{
    std::string missing = dir_ + "/none.bin";
    expect_run({"-u", missing, "qel0"}, kFwBefore,
               "open: " + err_text(ENOENT) + "\nFirmware update on qel0 FAILED.\n", 1);
    expect_run({"-u", dir_, "qel0"}, kFwBefore,
               dir_ + " is not a regular file!\nFirmware update on qel0 FAILED.\n", 1);
    expect_run({"-b", missing, "qel0"}, std::string(kBootBefore) + "Bootstrap firmware update FAILED.\n",
               "open: " + err_text(ENOENT) + "\n", 1);
    expect_run({"-b", dir_, "qel0"}, std::string(kBootBefore) + "Bootstrap firmware update FAILED.\n",
               dir_ + " is not a regular file!\n", 1);
    // The last -u given wins.
    std::string good = dir_ + "/good.bin";
    write_file(good, image_bytes(10));
    expect_run({"-u", missing, "-u", good, "qel0"}, std::string(kFwBefore) + kFwDone, "", 0);
    EXPECT_EQ(1, card(0).n_fw);
}

TEST_F(KyrdiagTest, CardRefusingTheImage)
{
    std::string path = dir_ + "/fw.bin";
    write_file(path, image_bytes(64));
    set_code(0, QM_EP_FWUPDATE, EPERM);
    expect_run({"-u", path, "qel0"}, kFwBefore,
               "ioctl: " + err_text(EPERM) + "\nFirmware update on qel0 FAILED.\n", 1);
    ASSERT_EQ(0, kyrsim_card_set_faults(1, QEL_FAULT_FAILED));
    run_result r = run({"-b", path, "qel1"});
    EXPECT_EQ(1, r.code);
    EXPECT_EQ("ioctl: " + err_text(EIO) + "\n", r.err);
    EXPECT_EQ("Updating bootstrap firmware on qel1, this may take a few minutes.\n"
              "Please be patient.\n** DO NOT INTERRUPT PROCESS **\n"
              "Bootstrap firmware update FAILED.\n",
              r.out);
}

// A regular file that yields fewer bytes than its size says (as a file
// that shrinks while it is read does).  Kernel attribute files report a
// page-sized size and hold a few bytes.
std::string short_regular_file()
{
    const char *candidates[] = {
        "/sys/kernel/mm/transparent_hugepage/enabled", "/sys/power/state",
        "/sys/kernel/profiling", "/sys/kernel/cpu_byteorder", "/sys/kernel/address_bits",
    };
    for (const char *p : candidates) {
        struct stat st;
        if (stat(p, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > 0x400000)
            continue;
        std::ifstream f(p, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (f.good() || f.eof()) {
            if (static_cast<off_t>(data.size()) < st.st_size)
                return p;
        }
    }
    return std::string();
}

TEST_F(KyrdiagTest, ImageShorterThanItsSizeIsNotSent)
{
    std::string path = short_regular_file();
    if (path.empty())
        GTEST_SKIP() << "no regular file shorter than its size on this host";
    expect_run({"-u", path, "qel0"}, kFwBefore,
               "read: " + err_text(EIO) + "\nFirmware update on qel0 FAILED.\n", 1);
    EXPECT_EQ(0, card(0).n_fw);
}

}  // namespace
