// A 389 Directory Server instance for the tests of the directory backend:
// created under a temporary directory from an answer file (systemd off),
// run as root on 127.0.0.1, with the keystore schema, the containers and
// access rules of ldap/kyrkeystore-containers.ldif, and host entries.
//
// One instance serves a whole test program (ds389_shared); programs that
// use it are named *_ldap_test.cc and run as one test labelled "ldap".
// When the server cannot be set up here, ds389_shared returns nullptr and
// the reason, and the tests skip.
#ifndef KYR_TEST_DS389_H
#define KYR_TEST_DS389_H

#include <string>
#include <vector>

typedef struct ldap LDAP;

struct ds389 {
    std::string root;     // everything of the instance lies below
    int port = 0;         // ldap:// on 127.0.0.1
    int sport = 0;        // ldaps:// (TLS instances); reach it as "localhost"
    bool tls = false;
    std::string rootpw;   // of "cn=Directory Manager"
    std::string cadir;    // CA certificate directory (TLS instances)
    std::string certs;    // client certificates (ds389_client_certs)
    bool running = false;
};

#define DS389_SUFFIX "dc=example,dc=com"
#define DS389_HOSTS "ou=Hosts,ou=kyrkeystore," DS389_SUFFIX
#define DS389_KEYSTORES "ou=Keystores,ou=kyrkeystore," DS389_SUFFIX

// The program's instance, created and started on first use and removed at
// exit; nullptr (with *why) when it cannot be set up.
ds389 *ds389_shared(bool tls, std::string *why);
int ds389_start(ds389 *d);
int ds389_stop(ds389 *d);
// Applies LDIF changes (ldapmodify -a syntax) as the directory manager.
int ds389_ldif(const ds389 &d, const std::string &ldif);
// A host entry "cn=<name>,ou=Hosts,..." with a password and no size limit.
int ds389_add_host(const ds389 &d, const std::string &name, const std::string &password);
std::string ds389_host_dn(const std::string &name);
// A connection bound as the directory manager, or nullptr.
LDAP *ds389_root(const ds389 &d);
// The DNs of the subtree below (and with) `base`, or of its one level.
std::vector<std::string> ds389_dns(const ds389 &d, const std::string &base, bool onelevel);
// For a TLS instance: a client CA that the server trusts for client
// certificates, and certificates for the hosts hostA and hostB (subjects
// are their host entries, keys encrypted with "secretA" and "secretB") in
// d->certs, beside the server's CA certificate; a certdb for both hosts.
// Made once; the server is restarted to read the CA.  0 or -1.
int ds389_client_certs(ds389 *d);
// Deletes every entry below `base` (not `base` itself), deepest first.
int ds389_clear_below(const ds389 &d, const std::string &base);

#endif  // KYR_TEST_DS389_H
