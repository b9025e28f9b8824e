// An in-process card for tests and benchmarks that run real service
// threads inside the test program.
//
// Installed into qelkiod_ioctl, it answers QELCTLUPCALL as the card does:
//  - DB_HELLO registers the submitting descriptor under the message's
//    ksname and is answered with status 0 or the status scripted for that
//    name (inproc_fw_hello_status);
//  - DB_STANDBY blocks until the test posts an upcall for the keystore
//    (inproc_fw_post) and returns it; the wait is a plain read(2) on a
//    per-descriptor SOCK_SEQPACKET pair and takes no lock, so a service
//    thread can be cancelled in it at any moment (as in the real device);
//  - anything else (responses, pushes) is recorded and accepted with a
//    DB_RESPONSE of status 0.
// Messages are decoded here from raw network-order bytes, independently of
// the daemon's conversion code.
//
// The service threads open qelkiod_devpath; point it at "/dev/null" so that
// each thread has a descriptor of its own to key the card's state by.
#ifndef KYR_TESTS_SERVICE_INPROC_FW_H
#define KYR_TESTS_SERVICE_INPROC_FW_H

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qelctl.h"
#include "qelkiod.h"

namespace inproc {

inline uint32_t be32_at(const unsigned char *m, size_t off)
{
    uint32_t v;
    memcpy(&v, m + off, 4);
    return ntohl(v);
}

inline void put_be32(unsigned char *m, size_t off, uint32_t v)
{
    v = htonl(v);
    memcpy(m + off, &v, 4);
}

inline std::string name_at(const unsigned char *m, size_t off)
{
    return std::string(reinterpret_cast<const char *>(m + off),
                       strnlen(reinterpret_cast<const char *>(m + off), DBM_KSNAME_LEN));
}

// One message as the card saw it (network order).
struct sent_msg {
    int fd;
    std::string ksname;   // of the descriptor's last hello
    std::vector<unsigned char> bytes;
    uint32_t type() const { return be32_at(bytes.data(), 0); }
    int32_t status() const { return static_cast<int32_t>(be32_at(bytes.data(), 12)); }
    uint32_t handle() const { return be32_at(bytes.data(), 4); }
    int32_t param_size() const { return static_cast<int32_t>(be32_at(bytes.data(), 24)); }
};

struct hello_rec {
    int fd;
    std::string ksname;
    std::string domain;
};

constexpr int kMaxFd = 8192;

struct card {
    std::mutex m;
    std::condition_variable cv;
    std::map<std::string, int32_t> hello_status;
    std::map<std::string, int> fd_of;          // latest hello per name
    std::map<int, std::string> name_of;
    std::map<int, int> post_end;               // fd -> write end of its channel
    std::vector<hello_rec> hellos;
    std::vector<sent_msg> sent;
    bool record = true;
    std::atomic<int> read_end[kMaxFd];
    std::atomic<long> total{0};
};

inline card &the_card()
{
    static card c;
    return c;
}

// Makes a fresh channel for fd; returns the read end.  Called with the
// card's lock held.
inline int new_channel(card &c, int fd)
{
    auto it = c.post_end.find(fd);
    if (it != c.post_end.end()) {
        close(it->second);
        c.post_end.erase(it);
    }
    int old = c.read_end[fd].exchange(-1);
    if (old >= 0)
        close(old);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    c.post_end[fd] = sv[1];
    c.read_end[fd].store(sv[0]);
    return sv[0];
}

inline int fw_ioctl(int fd, unsigned long cmd, void *arg)
{
    card &c = the_card();
    unsigned char *m = static_cast<unsigned char *>(arg);
    if (cmd != QELCTLUPCALL || fd < 0 || fd >= kMaxFd) {
        errno = EINVAL;
        return -1;
    }
    c.total++;
    uint32_t type = be32_at(m, 0);
    if (type == DB_STANDBY) {
        // No lock here: the caller may be cancelled anywhere in this wait.
        int rd = c.read_end[fd].load();
        if (rd < 0) {
            errno = EIO;
            return -1;
        }
        ssize_t n = read(rd, m, DBM_MAX_MSG);
        if (n <= 0) {
            errno = n == 0 ? EIO : errno;
            return -1;
        }
        return 0;
    }
    std::lock_guard<std::mutex> g(c.m);
    if (type == DB_HELLO) {
        std::string name = name_at(m, DBM_KSNAME_OFF);
        new_channel(c, fd);
        c.fd_of[name] = fd;
        c.name_of[fd] = name;
        c.hellos.push_back({fd, name,
                            std::string(reinterpret_cast<const char *>(m + DBM_DOMAIN_OFF),
                                        strnlen(reinterpret_cast<const char *>(m + DBM_DOMAIN_OFF),
                                                DBM_DOMAIN_LEN))});
        auto st = c.hello_status.find(name);
        put_be32(m, 12, st != c.hello_status.end() ? static_cast<uint32_t>(st->second) : 0);
        c.cv.notify_all();
        return 0;
    }
    int32_t psize = static_cast<int32_t>(be32_at(m, 24));
    size_t len = psize < DBM_HDR_SIZE ? DBM_HDR_SIZE
                                      : (psize > DBM_MAX_MSG ? DBM_MAX_MSG : size_t(psize));
    if (c.record)
        c.sent.push_back({fd, c.name_of[fd], std::vector<unsigned char>(m, m + len)});
    // Acceptance: DB_RESPONSE, status 0, parameter block echoed.
    put_be32(m, 0, DB_RESPONSE);
    put_be32(m, 12, 0);
    put_be32(m, 16, 0);
    put_be32(m, 20, DBM_MAX_MSG);
    put_be32(m, 24, DBM_PARAM_SIZE);
    c.cv.notify_all();
    return 0;
}

inline void install()
{
    card &c = the_card();
    for (auto &r : c.read_end)
        r.store(-1);
    qelkiod_ioctl = fw_ioctl;
    qelkiod_devpath = "/dev/null";
}

// Forgets hellos and recorded messages (channels stay).
inline void clear_records()
{
    card &c = the_card();
    std::lock_guard<std::mutex> g(c.m);
    c.hellos.clear();
    c.sent.clear();
}

inline void hello_status(const std::string &name, int32_t status)
{
    card &c = the_card();
    std::lock_guard<std::mutex> g(c.m);
    c.hello_status[name] = status;
}

inline size_t hello_count(const std::string &name)
{
    card &c = the_card();
    std::lock_guard<std::mutex> g(c.m);
    size_t n = 0;
    for (auto &h : c.hellos)
        n += h.ksname == name;
    return n;
}

inline std::vector<hello_rec> hellos()
{
    card &c = the_card();
    std::lock_guard<std::mutex> g(c.m);
    return c.hellos;
}

inline std::vector<sent_msg> sent()
{
    card &c = the_card();
    std::lock_guard<std::mutex> g(c.m);
    return c.sent;
}

// Waits until at least n hellos in all have arrived; false on time-out.
inline bool wait_hellos(size_t n, int timeout_ms)
{
    card &c = the_card();
    std::unique_lock<std::mutex> g(c.m);
    return c.cv.wait_for(g, std::chrono::milliseconds(timeout_ms),
                         [&] { return c.hellos.size() >= n; });
}

// Waits until at least n messages other than hellos and standbys arrived.
inline bool wait_sent(size_t n, int timeout_ms)
{
    card &c = the_card();
    std::unique_lock<std::mutex> g(c.m);
    return c.cv.wait_for(g, std::chrono::milliseconds(timeout_ms),
                         [&] { return c.sent.size() >= n; });
}

// A header-only upcall (network order) with a keystore name and, for
// keystore messages, kstype.
inline std::vector<unsigned char> make_upcall(uint32_t type, const std::string &ksname,
                                              uint32_t handle = 0x01000001, uint32_t kstype = 0)
{
    std::vector<unsigned char> m(DBM_PARAM_SIZE, 0);
    put_be32(m.data(), 0, type);
    put_be32(m.data(), 4, handle);
    put_be32(m.data(), 20, DBM_MAX_MSG);
    put_be32(m.data(), 24, DBM_PARAM_SIZE);
    memcpy(m.data() + DBM_KSNAME_OFF, ksname.data(), std::min<size_t>(ksname.size(), 63));
    if (type == DB_INIT || type == DB_CHECK || type == DB_JOIN)
        put_be32(m.data(), DBM_KSTYPE_OFF, kstype);
    return m;
}

// Closes every channel; only when no service thread runs any more.
inline void close_channels()
{
    card &c = the_card();
    std::lock_guard<std::mutex> g(c.m);
    for (auto &pe : c.post_end)
        close(pe.second);
    c.post_end.clear();
    c.fd_of.clear();
    c.name_of.clear();
    for (auto &r : c.read_end) {
        int fd = r.exchange(-1);
        if (fd >= 0)
            close(fd);
    }
}

// Hands an upcall to the thread registered under name (its latest hello).
// ENOENT when no thread said hello under that name.
inline int post(const std::string &name, const std::vector<unsigned char> &msg)
{
    card &c = the_card();
    std::lock_guard<std::mutex> g(c.m);
    auto it = c.fd_of.find(name);
    if (it == c.fd_of.end())
        return ENOENT;
    auto pe = c.post_end.find(it->second);
    if (pe == c.post_end.end())
        return ENOENT;
    ssize_t n = send(pe->second, msg.data(), msg.size(), MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(msg.size()) ? 0 : errno;
}

// Number of entries in a /proc/self directory (threads, descriptors).
inline int proc_count(const char *what)
{
    std::string path = std::string("/proc/self/") + what;
    int n = 0;
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

}  // namespace inproc

#endif  // KYR_TESTS_SERVICE_INPROC_FW_H
