// The server-list parser (qelkiod_add_server) and the strict integer reader
// (strtol_strict), each against a model of the documented syntax.
//
// The input, up to its first NUL, is one serverlist value and, separately,
// one integer text.  The parser must accept exactly the values the model
// accepts, with the same host, port and protocol, and refuse the rest
// without storing anything; the integer reader must accept exactly an
// optional sign and decimal digits whose value fits a long.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_daemon.h"

namespace {

// Optional sign, at least one digit, nothing else, no overflow.
bool model_integer(const std::string &s, long *out)
{
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        neg = s[i++] == '-';
    if (i == s.size())
        return false;
    __int128 v = 0;
    for (; i < s.size(); i++) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        v = v * 10 + (s[i] - '0');
        if (v > static_cast<__int128>(LONG_MAX) + 1)
            return false;
    }
    if (neg)
        v = -v;
    if (v > LONG_MAX || v < LONG_MIN)
        return false;
    *out = static_cast<long>(v);
    return true;
}

bool alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool same_nocase(const std::string &a, const char *b)
{
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    return true;
}

struct model_server {
    std::string host;
    int port;
    int ssl;
};

// The documented steps: "://", the protocol before it, the host from the
// first letter or digit after it up to the first character that is not a
// letter, digit, '.' or '-'; a port after a ':' anywhere in the rest, up to
// the first non-digit.
bool model_server_parse(const std::string &v, model_server *out)
{
    size_t delim = v.find("://");
    if (delim == std::string::npos)
        return false;
    std::string proto = v.substr(0, delim);
    size_t h = delim;
    while (h < v.size() && !alnum(v[h]))
        h++;
    size_t hend = h;
    while (hend < v.size() && (alnum(v[hend]) || v[hend] == '.' || v[hend] == '-'))
        hend++;
    if (same_nocase(proto, "ldap"))
        out->ssl = 0;
    else if (same_nocase(proto, "ldaps"))
        out->ssl = 1;
    else
        return false;
    out->port = out->ssl ? 636 : 389;
    size_t colon = v.find(':', h);
    if (colon != std::string::npos) {
        size_t pend = colon + 1;
        while (pend < v.size() && v[pend] >= '0' && v[pend] <= '9')
            pend++;
        long port = 0;
        if (!model_integer(v.substr(colon + 1, pend - colon - 1), &port) || port > 65535)
            return false;
        out->port = static_cast<int>(port);
    }
    out->host = v.substr(h, hend - h);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_daemon_log_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));

    long got = 12345;
    long want = 0;
    bool ok = model_integer(text, &want);
    int rc = strtol_strict(text.c_str(), &got);
    FUZZ_CHECK(rc == 0 || rc == EINVAL);
    FUZZ_CHECK((rc == 0) == ok);
    if (ok)
        FUZZ_CHECK(got == want);
    else
        FUZZ_CHECK(got == 12345);

    qelkiod_reset_config(0, 0);
    model_server m;
    bool accept = model_server_parse(text, &m);
    rc = qelkiod_add_server(text.c_str());
    FUZZ_CHECK((rc == 0) == accept);
    if (accept) {
        FUZZ_CHECK(mconf.nservers == 1);
        FUZZ_CHECK(mconf.servers[0].host != nullptr && m.host == mconf.servers[0].host);
        FUZZ_CHECK(mconf.servers[0].port == m.port);
        FUZZ_CHECK(mconf.servers[0].ssl == m.ssl);
    } else {
        FUZZ_CHECK(rc == EINVAL);
        FUZZ_CHECK(mconf.nservers == 0 && mconf.servers[0].host == nullptr);
    }
    qelkiod_reset_config(0, 0);
    return 0;
}
