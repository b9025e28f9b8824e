// Child processes under the interposer, file helpers and card set-up.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "sim_internal.h"

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

std::string temp_dir()
{
    const char *t = getenv("TMPDIR");
    return (t && *t) ? t : "/tmp";
}

// Output files made for children are removed when the process ends (tests
// read them until then).
std::mutex g_temp_mu;
std::vector<std::string> *g_temp_files = nullptr;

void remove_temp_files()
{
    std::lock_guard<std::mutex> lk(g_temp_mu);
    if (g_temp_files)
        for (const std::string &p : *g_temp_files)
            unlink(p.c_str());
}

void note_temp_file(const std::string &path)
{
    std::lock_guard<std::mutex> lk(g_temp_mu);
    if (!g_temp_files) {
        g_temp_files = new std::vector<std::string>;
        atexit(remove_temp_files);
    }
    g_temp_files->push_back(path);
}

std::string make_temp_file(const char *suffix)
{
    std::string tmpl = temp_dir() + "/kyrsim-child-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemp(buf.data());
    if (fd < 0)
        return std::string();
    close(fd);
    std::string base(buf.data());
    std::string path = base + suffix;
    if (rename(base.c_str(), path.c_str()) < 0) {
        unlink(base.c_str());
        return std::string();
    }
    note_temp_file(path);
    return path;
}

bool is_elf32(const std::string &path)
{
    unsigned char h[5] = {0};
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, h, sizeof h);
    close(fd);
    return n == 5 && memcmp(h, "\x7f" "ELF", 4) == 0 && h[4] == 1;
}

std::string env_name(const std::string &entry)
{
    size_t eq = entry.find('=');
    return eq == std::string::npos ? entry : entry.substr(0, eq);
}

// Environment of a child: the test's own, with the simulator's entries
// (LD_PRELOAD and ASAN_OPTIONS merged with what is there) and the extras.
std::vector<std::string> child_environment(const kyrsim *sim, const kyrsim_spawn_opts &o)
{
    std::vector<std::string> add = o.env;
    std::vector<std::string> route;
    if (o.interpose && sim)
        route = kyrsim_child_env(sim);
    std::vector<std::string> env;
    for (char **e = environ; e && *e; e++) {
        std::string entry(*e);
        std::string name = env_name(entry);
        bool replaced = false;
        for (std::string &r : route) {
            if (env_name(r) == name) {
                if (name == "LD_PRELOAD")
                    r += " " + entry.substr(name.size() + 1);
                else if (name == "ASAN_OPTIONS")
                    r = entry + ":" + r.substr(name.size() + 1);
                replaced = true;
            }
        }
        for (const std::string &a : add)
            if (env_name(a) == name)
                replaced = true;
        if (!replaced)
            env.push_back(entry);
    }
    for (const std::string &r : route) {
        bool overridden = false;
        for (const std::string &a : add)
            if (env_name(a) == env_name(r))
                overridden = true;
        if (!overridden)
            env.push_back(r);
    }
    env.insert(env.end(), add.begin(), add.end());
    return env;
}

std::vector<char *> cstrings(std::vector<std::string> &v)
{
    std::vector<char *> out;
    for (std::string &s : v)
        out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

}  // namespace

std::string kyrsim_preload()
{
    return std::string(KYRSIM_INTERPOSE_DIR) + "/$LIB/libkyrinterpose.so";
}

std::vector<std::string> kyrsim_child_env(const kyrsim *sim)
{
    return {std::string(KSP_ENV_SOCKET) + "=" + sim->path, "LD_PRELOAD=" + kyrsim_preload(),
            "ASAN_OPTIONS=verify_asan_link_order=0"};
}

int kyrsim_spawn(kyrsim *sim, const kyrsim_spawn_opts &o, kyrsim_child *child)
{
    *child = kyrsim_child();
    if (o.argv.empty() || (o.interpose && !sim))
        return EINVAL;
    std::vector<std::string> argv = o.argv;
    if (is_elf32(argv[0]))
        argv.insert(argv.begin(), "/usr/bin/qemu-i386-static");
    std::vector<std::string> env = child_environment(sim, o);
    bool inherit = o.inherit_output;
    if (!inherit) {
        child->out_path = o.out_path.empty() ? make_temp_file(".out") : o.out_path;
        child->err_path = o.err_path.empty() ? make_temp_file(".err") : o.err_path;
        if (child->out_path.empty() || child->err_path.empty())
            return EIO;
    }
    std::string in_path = o.stdin_path.empty() ? "/dev/null" : o.stdin_path;
    std::vector<char *> cargv = cstrings(argv);
    std::vector<char *> cenv = cstrings(env);
    const char *cwd = o.cwd.empty() ? nullptr : o.cwd.c_str();

    pid_t pid = fork();
    if (pid < 0)
        return errno;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &sa, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int in = open(in_path.c_str(), O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0)
            _exit(126);
        if (!inherit) {
            int out = open(child->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(child->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
                _exit(126);
        }
        if (cwd && chdir(cwd) < 0)
            _exit(126);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    child->pid = pid;
    if (sim) {
        std::lock_guard<std::mutex> lk(sim->mu);
        sim->children.push_back(pid);
    }
    return 0;
}

int kyrsim_wait_child(kyrsim_child *c, long timeout_ms)
{
    if (c->exited)
        return 0;
    if (c->pid <= 0)
        return ECHILD;
    auto dl = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int st = 0;
        pid_t r = waitpid(c->pid, &st, WNOHANG);
        if (r == c->pid) {
            c->exited = true;
            c->status = st;
            return 0;
        }
        if (r < 0 && errno != EINTR)
            return errno;
        if (clock_type::now() >= dl)
            return ETIME;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int kyrsim_signal_child(kyrsim_child *c, int sig)
{
    if (c->exited || c->pid <= 0)
        return ESRCH;
    return kill(c->pid, sig) < 0 ? errno : 0;
}

int kyrsim_kill_child(kyrsim_child *c)
{
    if (c->exited)
        return 0;
    int rc = kyrsim_signal_child(c, SIGKILL);
    if (rc)
        return rc;
    return kyrsim_wait_child(c, 30000);
}

int kyrsim_exit_code(const kyrsim_child &c)
{
    if (!c.exited || !WIFEXITED(c.status))
        return -1;
    return WEXITSTATUS(c.status);
}

void sim_kill_children(kyrsim *sim)
{
    std::vector<pid_t> pids;
    {
        std::lock_guard<std::mutex> lk(sim->mu);
        pids.swap(sim->children);
    }
    for (pid_t p : pids) {
        // Only children not reaped yet: waitpid tells which still exist.
        int st;
        if (waitpid(p, &st, WNOHANG) == 0) {
            kill(p, SIGKILL);
            waitpid(p, &st, 0);
        }
    }
}

std::string kyrsim_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string kyrsim_child_stdout(const kyrsim_child &c)
{
    return kyrsim_read_file(c.out_path);
}

std::string kyrsim_child_stderr(const kyrsim_child &c)
{
    return kyrsim_read_file(c.err_path);
}

int kyrsim_wait_file_contains(const std::string &path, const std::string &text, long timeout_ms)
{
    auto dl = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (kyrsim_read_file(path).find(text) != std::string::npos)
            return 0;
        if (clock_type::now() >= dl)
            return ETIME;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// ---- cards ----

int kyrsim_card_update(int instance, const std::function<void(qelmodel_card_t &)> &fn)
{
    qelmodel_lock();
    qelmodel_card_t *c = qelmodel_card(instance);
    if (!c || !c->present) {
        qelmodel_unlock();
        return ENOENT;
    }
    fn(*c);
    qelmodel_unlock();
    return 0;
}

int kyrsim_card_set_faults(int instance, uint32_t fault_flags)
{
    return kyrsim_card_update(instance, [&](qelmodel_card_t &c) { c.dev.fault_flags = fault_flags; });
}

int kyrsim_card_set_key(int instance, const std::vector<uint8_t> &modulus,
                        const std::vector<uint8_t> &exponent)
{
    std::vector<uint8_t> blob(12 + modulus.size() + exponent.size());
    uint32_t words[3] = {0, static_cast<uint32_t>(modulus.size()),
                         static_cast<uint32_t>(exponent.size())};
    memcpy(blob.data(), words, sizeof words);
    if (!modulus.empty())
        memcpy(blob.data() + 12, modulus.data(), modulus.size());
    if (!exponent.empty())
        memcpy(blob.data() + 12 + modulus.size(), exponent.data(), exponent.size());
    return qelmodel_set_pubkey(instance, blob.data(), blob.size());
}

int kyrsim_card_make_rsa_key(int instance, int bits, std::vector<uint8_t> *modulus,
                             std::vector<uint8_t> *exponent)
{
    EVP_PKEY *key = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (!key)
        return EIO;
    BIGNUM *n = nullptr, *e = nullptr;
    int rc = EIO;
    if (EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n) == 1 &&
        EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &e) == 1) {
        modulus->resize(static_cast<size_t>(BN_num_bytes(n)));
        exponent->resize(static_cast<size_t>(BN_num_bytes(e)));
        BN_bn2bin(n, modulus->data());
        BN_bn2bin(e, exponent->data());
        rc = kyrsim_card_set_key(instance, *modulus, *exponent);
    }
    BN_free(n);
    BN_free(e);
    EVP_PKEY_free(key);
    return rc;
}
