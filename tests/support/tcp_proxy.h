// A small TCP proxy on 127.0.0.1 that stands for one entry of a server
// list and plays a server in one of four states, switchable at any time:
//   forward  relays every connection to the upstream port
//   refuse   the port is closed: connections are refused
//   reset    accepts and resets the connection at once
//   stall    accepts and never answers (nor reads)
// Connections made before a switch keep what they had.
#ifndef KYR_TEST_TCP_PROXY_H
#define KYR_TEST_TCP_PROXY_H

enum tcp_proxy_mode { PROXY_FORWARD, PROXY_REFUSE, PROXY_RESET, PROXY_STALL };

struct tcp_proxy;

// 0 and a running proxy in *out, or -1.
int tcp_proxy_start(int upstream_port, tcp_proxy_mode mode, tcp_proxy **out);
int tcp_proxy_port(const tcp_proxy *p);
// Returns once the proxy acts in the new mode.
void tcp_proxy_set_mode(tcp_proxy *p, tcp_proxy_mode mode);
// Resets every connection the proxy holds (as a server restart does) and
// refuses new ones from then on; returns once all are reset.
void tcp_proxy_cut(tcp_proxy *p);
// Connections accepted so far, in any mode.
int tcp_proxy_accepted(const tcp_proxy *p);
void tcp_proxy_stop(tcp_proxy *p);

#endif  // KYR_TEST_TCP_PROXY_H
