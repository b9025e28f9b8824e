#include "tcp_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

struct tcp_proxy {
    int upstream = 0;
    int port = 0;
    int lfd = -1;
    std::atomic<int> want{PROXY_FORWARD};
    std::atomic<int> acting{-1};
    std::atomic<int> accepted{0};
    std::atomic<bool> stop{false};
    std::atomic<bool> cut{false};
    std::thread t;
    std::vector<std::pair<int, int>> pairs;  // client, upstream
    std::vector<int> held;                   // stalled connections
};

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

// Listens on 127.0.0.1:port (any free port for 0); the descriptor or -1.
int listen_on(int port, int *bound)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a = loopback(port);
    socklen_t len = sizeof(a);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return fd;
}

int connect_upstream(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Copies what is there from one end to the other; false at the end of
// either.
bool relay(int from, int to)
{
    char buf[16384];
    ssize_t n = read(from, buf, sizeof(buf));
    if (n <= 0)
        return false;
    for (ssize_t off = 0; off < n;) {
        ssize_t w = write(to, buf + off, static_cast<size_t>(n - off));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        off += w;
    }
    return true;
}

void reset_close(int fd)
{
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    close(fd);
}

void take(tcp_proxy *p, int c)
{
    p->accepted++;
    switch (p->acting.load()) {
    case PROXY_FORWARD: {
        int u = connect_upstream(p->upstream);
        if (u < 0) {
            close(c);
            return;
        }
        p->pairs.emplace_back(c, u);
        return;
    }
    case PROXY_RESET:
        reset_close(c);
        return;
    default:
        p->held.push_back(c);  // read nothing, answer nothing
        return;
    }
}

void run(tcp_proxy *p)
{
    while (!p->stop) {
        if (p->cut) {
            for (auto &pr : p->pairs) {
                reset_close(pr.first);
                reset_close(pr.second);
            }
            for (int c : p->held)
                reset_close(c);
            p->pairs.clear();
            p->held.clear();
            p->cut = false;
        }
        int m = p->want.load();
        if (m != p->acting.load()) {
            if (m == PROXY_REFUSE && p->lfd >= 0) {
                close(p->lfd);
                p->lfd = -1;
            } else if (m != PROXY_REFUSE && p->lfd < 0) {
                int port = 0;
                p->lfd = listen_on(p->port, &port);
            }
            if ((m == PROXY_REFUSE) == (p->lfd < 0))
                p->acting = m;
        }
        std::vector<pollfd> fds;
        if (p->lfd >= 0)
            fds.push_back({p->lfd, POLLIN, 0});
        size_t first = fds.size();
        for (auto &pr : p->pairs) {
            fds.push_back({pr.first, POLLIN, 0});
            fds.push_back({pr.second, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        size_t old = p->pairs.size();
        if (first == 1 && (fds[0].revents & POLLIN) != 0) {
            int c = accept4(p->lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0)
                take(p, c);
        }
        std::vector<std::pair<int, int>> kept;
        for (size_t i = 0; i < old; ++i) {
            const pollfd &a = fds[first + 2 * i], &b = fds[first + 2 * i + 1];
            bool ok = true;
            if (a.revents != 0)
                ok = relay(a.fd, b.fd);
            if (ok && b.revents != 0)
                ok = relay(b.fd, a.fd);
            if (ok) {
                kept.push_back(p->pairs[i]);
            } else {
                close(p->pairs[i].first);
                close(p->pairs[i].second);
            }
        }
        // Pairs accepted in this round stay too.
        for (size_t i = old; i < p->pairs.size(); ++i)
            kept.push_back(p->pairs[i]);
        p->pairs.swap(kept);
    }
}

}  // namespace

int tcp_proxy_start(int upstream_port, tcp_proxy_mode mode, tcp_proxy **out)
{
    tcp_proxy *p = new tcp_proxy;
    p->upstream = upstream_port;
    p->lfd = listen_on(0, &p->port);
    if (p->lfd < 0) {
        delete p;
        return -1;
    }
    p->want = PROXY_FORWARD;
    p->acting = PROXY_FORWARD;
    p->t = std::thread(run, p);
    tcp_proxy_set_mode(p, mode);
    *out = p;
    return 0;
}

int tcp_proxy_port(const tcp_proxy *p) { return p->port; }

void tcp_proxy_set_mode(tcp_proxy *p, tcp_proxy_mode mode)
{
    p->want = mode;
    for (int i = 0; i < 1000 && p->acting.load() != mode; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void tcp_proxy_cut(tcp_proxy *p)
{
    p->want = PROXY_REFUSE;
    p->cut = true;
    for (int i = 0; i < 1000 && (p->cut.load() || p->acting.load() != PROXY_REFUSE); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

int tcp_proxy_accepted(const tcp_proxy *p) { return p->accepted.load(); }

void tcp_proxy_stop(tcp_proxy *p)
{
    if (p == nullptr)
        return;
    p->stop = true;
    if (p->t.joinable())
        p->t.join();
    for (auto &pr : p->pairs) {
        close(pr.first);
        close(pr.second);
    }
    for (int c : p->held)
        close(c);
    if (p->lfd >= 0)
        close(p->lfd);
    delete p;
}
