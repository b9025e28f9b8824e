#include "ds389.h"

#include <arpa/inet.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef KYR_SOURCE_DIR
#error "KYR_SOURCE_DIR must name the source tree"
#endif

namespace {

std::string script() { return std::string(KYR_SOURCE_DIR) + "/tests/support/ds389.sh"; }

int free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int port = 0;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

int run(const std::string &cmd)
{
    int rc = system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

ds389 *g_ds[2];

void remove_instances()
{
    for (ds389 *&d : g_ds) {
        if (d == nullptr)
            continue;
        ds389_stop(d);
        if (d->root.rfind("/tmp/kyr-ds-", 0) == 0)
            run("rm -rf '" + d->root + "'");
        delete d;
        d = nullptr;
    }
}

int create(ds389 *d, bool tls, std::string *why)
{
    char tmpl[] = "/tmp/kyr-ds-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        *why = "no temporary directory";
        return -1;
    }
    d->root = tmpl;
    d->tls = tls;
    d->port = free_port();
    d->sport = free_port();
    std::string schema = std::string(KYR_SOURCE_DIR) + "/ldap/99orvcks.ldif";
    int rc = run(script() + " create " + d->root + " " + std::to_string(d->port) + " " +
                 std::to_string(d->sport) + (tls ? " 1 " : " 0 ") + schema);
    if (rc != 0) {
        *why = "389 Directory Server instance cannot be created (" + std::to_string(rc) +
               "): " + read_all(d->root + "/create.log");
        return -1;
    }
    d->rootpw = read_all(d->root + "/rootpw");
    d->cadir = d->root + "/ca";
    if (ds389_start(d) != 0) {
        *why = "389 Directory Server does not start: " + read_all(d->root + "/start.log");
        return -1;
    }
    // The operator's containers and access rules, exactly as shipped.
    std::string containers = read_all(std::string(KYR_SOURCE_DIR) +
                                      "/ldap/kyrkeystore-containers.ldif");
    if (ds389_ldif(*d, containers) != 0) {
        *why = "the keystore containers cannot be added";
        return -1;
    }
    return 0;
}

// Run with the certificate directory and the server's configuration
// directory.
const char *kCertScript = R"(set -e
cd "$1"; conf="$2"
openssl req -x509 -newkey rsa:2048 -nodes -keyout cca.key -out cca.crt -days 2 \
  -subj /CN=kyrtest-client-ca 2>/dev/null
for h in hostA hostB; do
  openssl req -newkey rsa:2048 -keyout $h.key -passout pass:secret${h#host} -out $h.csr \
    -subj "/DC=com/DC=example/OU=kyrkeystore/OU=Hosts/CN=$h" 2>/dev/null
  openssl x509 -req -in $h.csr -CA cca.crt -CAkey cca.key -CAcreateserial -out $h.crt \
    -days 2 2>/dev/null
done
certutil -A -d "$conf" -n kyrtest-client-ca -t "CT,," -a -i cca.crt -f "$conf/pwdfile.txt"
)";

}  // namespace

int ds389_client_certs(ds389 *d)
{
    if (!d->tls)
        return -1;
    if (!d->certs.empty())
        return 0;
    std::string certs = d->root + "/client";
    std::string script = d->root + "/certs.sh";
    {
        std::ofstream out(script, std::ios::trunc);
        out << kCertScript;
    }
    if (run("mkdir -p " + certs + " && cp " + d->cadir + "/ca.crt " + certs + "/ && sh " +
            script + " " + certs + " " + d->root + "/etc/dirsrv/slapd-kyrtest >" + d->root +
            "/certs.log 2>&1") != 0)
        return -1;
    if (ds389_stop(d) != 0 || ds389_start(d) != 0)
        return -1;
    d->certs = certs;
    return 0;
}

ds389 *ds389_shared(bool tls, std::string *why)
{
    static std::string failed[2];
    int i = tls ? 1 : 0;
    if (g_ds[i] != nullptr)
        return g_ds[i];
    if (!failed[i].empty()) {
        *why = failed[i];
        return nullptr;
    }
    if (geteuid() != 0) {
        *why = failed[i] = "the test directory server runs as root";
        return nullptr;
    }
    ds389 *d = new ds389;
    static bool registered = false;
    if (!registered) {
        atexit(remove_instances);
        registered = true;
    }
    g_ds[i] = d;
    if (create(d, tls, why) != 0) {
        failed[i] = *why;
        remove_instances();
        return nullptr;
    }
    return d;
}

int ds389_start(ds389 *d)
{
    int rc = run(script() + " start " + d->root);
    d->running = rc == 0;
    return rc;
}

int ds389_stop(ds389 *d)
{
    d->running = false;
    return run(script() + " stop " + d->root);
}

int ds389_ldif(const ds389 &d, const std::string &ldif)
{
    std::string path = d.root + "/change.ldif";
    {
        std::ofstream out(path, std::ios::trunc);
        out << ldif;
    }
    return run("ldapmodify -a -x -H ldap://127.0.0.1:" + std::to_string(d.port) +
               " -D 'cn=Directory Manager' -y " + d.root + "/rootpw -f " + path +
               " >" + d.root + "/change.log 2>&1");
}

std::string ds389_host_dn(const std::string &name) { return "cn=" + name + "," DS389_HOSTS; }

int ds389_add_host(const ds389 &d, const std::string &name, const std::string &password)
{
    return ds389_ldif(d, "dn: " + ds389_host_dn(name) +
                             "\nobjectClass: top\nobjectClass: person\ncn: " + name +
                             "\nsn: " + name + "\nuserPassword: " + password +
                             "\nnsSizeLimit: -1\n");
}

LDAP *ds389_root(const ds389 &d)
{
    LDAP *ld = nullptr;
    std::string uri = "ldap://127.0.0.1:" + std::to_string(d.port);
    if (ldap_initialize(&ld, uri.c_str()) != LDAP_SUCCESS)
        return nullptr;
    int v = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &v);
    berval cred = {static_cast<ber_len_t>(d.rootpw.size()), const_cast<char *>(d.rootpw.c_str())};
    if (ldap_sasl_bind_s(ld, "cn=Directory Manager", LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                         nullptr) != LDAP_SUCCESS) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    return ld;
}

std::vector<std::string> ds389_dns(const ds389 &d, const std::string &base, bool onelevel)
{
    std::vector<std::string> out;
    LDAP *ld = ds389_root(d);
    if (ld == nullptr)
        return out;
    LDAPMessage *res = nullptr;
    char noattrs[] = LDAP_NO_ATTRS;
    char *attrs[] = {noattrs, nullptr};
    if (ldap_search_ext_s(ld, base.c_str(), onelevel ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE,
                          "(objectclass=*)", attrs, 0, nullptr, nullptr, nullptr, LDAP_NO_LIMIT,
                          &res) == LDAP_SUCCESS) {
        for (LDAPMessage *e = ldap_first_entry(ld, res); e; e = ldap_next_entry(ld, e)) {
            char *dn = ldap_get_dn(ld, e);
            if (dn)
                out.emplace_back(dn);
            ldap_memfree(dn);
        }
    }
    ldap_msgfree(res);
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return out;
}

int ds389_clear_below(const ds389 &d, const std::string &base)
{
    std::vector<std::string> dns = ds389_dns(d, base, false);
    auto depth = [](const std::string &dn) {
        LDAPDN p = nullptr;
        int n = 0;
        if (ldap_str2dn(dn.c_str(), &p, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS)
            while (p[n])
                ++n;
        ldap_dnfree(p);
        return n;
    };
    std::stable_sort(dns.begin(), dns.end(), [&](const std::string &a, const std::string &b) {
        return depth(a) > depth(b);
    });
    LDAP *ld = ds389_root(d);
    if (ld == nullptr)
        return -1;
    int bad = 0;
    int basedepth = depth(base);
    for (const std::string &dn : dns)
        if (depth(dn) > basedepth &&
            ldap_delete_ext_s(ld, dn.c_str(), nullptr, nullptr) != LDAP_SUCCESS)
            ++bad;
    ldap_unbind_ext_s(ld, nullptr, nullptr);
    return bad;
}
