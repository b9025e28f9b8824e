// Inside the directory backend: the client-library layer, identifier text,
// escaping, and the DNs and filters of the keystore layout.
//
// The client library is OpenLDAP's libldap.  The few calls of our own below
// carry the names the backend is written against (ldapssl_init,
// ldapssl_advclientauth_init, ldapssl_enable_clientauth, ldap_get_lderrno)
// and hide where libldap differs:
// - libldap's client-side result codes are negative; every code that leaves
//   this layer is mapped to the classic positive one (cks_code), so that the
//   firmware and the logs see 81 for "server down", 91 for "connect error",
//   85 for "timeout", 87 for "filter error", 90 for "no memory".
// - every call is bounded: a connection attempt by cks_net_timeout_ms, any
//   operation (bind included) by cks_op_timeout_ms.  An operation that timed
//   out may still have been applied by the server.
#ifndef KYR_CKS_INT_H
#define KYR_CKS_INT_H

#include <lber.h>
#include <ldap.h>
#include <pthread.h>

#include <cstddef>

#include "cks.h"

// ---- fixed layout ----
#define CKS_CONTAINER_RDN "ou=Keystores,ou=kyrkeystore"
#define CKS_USERS_RDN     "ou=Users"
#define CKS_LOGCUR_RDN    "ou=AuditLogCur"
#define CKS_LOGOLD_RDN    "ou=AuditLogOld"
#define CKS_NODE_CLASS    "orvcksnode"
#define CKS_OBJECT_CLASS  "orvcksobject"
#define CKS_DATA_ATTR     "orvcksdata"
// Every DN and filter is formed in a buffer of this size; one that would
// not fit is refused (ENAMETOOLONG), never cut: a cut DN names another entry.
#define CKS_DN_MAX 1024

// Classic codes of libldap's client-side failures.
#define CKS_SERVER_DOWN   81
#define CKS_TIMEOUT       85
#define CKS_FILTER_ERROR  87
#define CKS_NO_MEMORY     90
#define CKS_CONNECT_ERROR 91

// Time-outs (milliseconds).  Defaults: 5 s to connect, 15 s per operation.
extern int cks_net_timeout_ms;
extern int cks_op_timeout_ms;

// ---- client-library layer ----
// libldap code (negative client codes included) -> classic positive code.
int cks_code(int rc);
// Text of a code, classic or libldap's own.
const char *cks_err2string(int code);
// A handle for ldap[s]://host:port; the connection is made at the bind.
// nullptr with errno set on failure (EINVAL for an empty host).
LDAP *ldapssl_init(const char *host, int port, int secure);
// TLS of one handle: CA certificates from the directory `certdb`, the
// server's certificate required.  libldap also always compares the server's
// host name with its certificate, which is stricter than a certificate check
// alone: a server must be listed under a name its certificate carries.
// Negative on failure.
int ldapssl_advclientauth_init(LDAP *ld, const char *certdb);
// The client certificate `certdb`/`certname`.crt and its key
// `certdb`/`certname`.key (PEM, the key possibly encrypted with `keypasswd`)
// handed to the handle in memory.  Negative on failure, with the handle's
// result code set.
int ldapssl_enable_clientauth(LDAP *ld, const char *certdb, const char *keypasswd,
                              const char *certname);
// The handle's last result code (mapped).
int ldap_get_lderrno(LDAP *ld);

// A bound on one call that opens the handle's connection (the bind).
// libldap bounds the TCP connect and every operation, but not an ldaps
// handshake with a server that takes the connection and never answers:
// it retries its read for ever.  While a guard is on, the connection that
// the calling thread's handles make is recorded, and when the call has not
// returned after `ms` milliseconds its socket is shut down, which ends the
// handshake (or any read or write) with "cannot contact".  Guards work on
// handles made by ldapssl_init, one at a time per thread.
struct cks_guard {
    pthread_mutex_t mu;
    pthread_cond_t cv;
    pthread_t watcher;
    int fd;       // the connection's socket while it is open, else -1
    int ms;
    bool done;    // the call has returned
    bool fired;   // the socket was shut down
};
// 0, or the error of the watcher's start (no guard then).
int cks_guard_begin(cks_guard *g, int ms);
// Ends the guard; true when it shut the connection down.
bool cks_guard_end(cks_guard *g);

// Synchronous calls with the operation time-out; results mapped.  On
// failure *res is nullptr.  A search whose results hold a reference to
// another server fails with LDAP_REFERRAL.
int cks_search(LDAP *ld, const char *base, int scope, const char *filter, char **attrs,
               LDAPMessage **res);
int cks_add(LDAP *ld, const char *dn, LDAPMod **mods);
int cks_modify(LDAP *ld, const char *dn, LDAPMod **mods);
int cks_delete(LDAP *ld, const char *dn);
int cks_rename(LDAP *ld, const char *dn, const char *newrdn, const char *newsuperior);

// One attribute of an add or a modification with string values (ending
// with nullptr).
LDAPMod cks_mod_strings(int op, const char *attr, char **values);
// The same for binary values of the data attribute (LDAP_MOD_BVALUES added
// to op).
LDAPMod cks_mod_data(int op, berval **values);
// The first value of `attr` in the entry, or nullptr.  Free with
// ber_bvfree.
struct berval *cks_first_value(LDAP *ld, LDAPMessage *e, const char *attr);
// The result's entries in a newly allocated array (*n entries), stably
// sorted by the first value of `attr` compared without regard to case;
// entries without it come first.  0, or CKS_NO_MEMORY.
int cks_sort_entries(LDAP *ld, LDAPMessage *res, const char *attr, LDAPMessage ***out, int *n);

// ---- identifier text ----
// Upper-case hex text of n bytes (2n+1 bytes, caller frees); nullptr only
// when memory runs out.
char *bin2string(const unsigned char *bin, size_t n);
// The same into `out` (2n+1 bytes); ENOMEM after "Cannot get string
// representation of <what>".
int cks_id_text(const unsigned char *bin, size_t n, char *out, const char *what);
// Decodes hex text (non-hex characters skipped).  *buf nullptr: a buffer is
// allocated and *len set to its size; else *len is the caller's capacity.
// 0 with *len the bytes produced; ENOSPC when they would not fit (a buffer
// of this call's own is freed, *buf and *len cleared; the caller's buffer
// is never freed); the system error when allocation fails.
int string2bin(const char *text, unsigned char **buf, size_t *len);
// Decodes the RDN value at `pos` of the entry's DN (0 its own, 1 its
// parent's).  The value must be exactly 40, 16 or 64 hex digits (a user ID,
// object ID or log key), else EINVAL with a message.
int id_cvt_tobin(LDAP *ld, LDAPMessage *e, unsigned char **buf, size_t *len, int pos);

// ---- escaping and layout ----
// RFC 4514 escaping of an attribute value for an RDN.  0 or ENAMETOOLONG.
int cks_escape_rdn(const char *in, char *out, size_t outsz);
// RFC 4515 escaping of an assertion value for a filter.  0 or ENAMETOOLONG.
int cks_escape_filter(const char *in, char *out, size_t outsz);
// The same into a CKS_DN_MAX buffer, a refusal logged.
int cks_filter_value(const char *in, char *out);
// Number of RDNs of a DN, or -1 when it does not parse.
int cks_dn_depth(const char *dn);
// snprintf into a CKS_DN_MAX buffer; ENAMETOOLONG (logged) when it would
// be cut.
int cks_format(char *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The keystores container "ou=Keystores,ou=kyrkeystore,<basedn>".
int cks_container_dn(char *out);
// The keystore node "ou=<K>,<container>".
int cks_ks_dn(char *out, const char *ks);
// A node below the keystore: "<rdn>,ou=<K>,<container>" (rdn one of the
// CKS_*_RDN constants).
int cks_node_dn(char *out, const char *rdn, const char *ks);
// A user entry "ou=<uid>,ou=Users,ou=<K>,<container>".
int cks_user_dn(char *out, const char *uidtext, const char *ks);
// An object entry "cn=<oid>,ou=<uid>,ou=Users,ou=<K>,<container>".
int cks_obj_dn(char *out, const char *objtext, const char *uidtext, const char *ks);
// A log entry "cn=<key>,<log rdn>,ou=<K>,<container>".
int cks_log_dn(char *out, const char *keytext, const char *logrdn, const char *ks);

// ---- configuration ----
// 0 when authtype, basedn and binddn are set and binddn can stand in the
// log lock's text; else EINVAL after naming what is missing.
int cks_check_config();
// The keystore name of a configuration file name: the text before its last
// dot (all of it without one).  0, or EINVAL for a name that is not a
// keystore name.
int cks_config_ksname(const char *filename, char out[DBM_KSNAME_LEN]);

// ---- keystore nodes ----
// Adds a node entry (top, organizationalunit, orvcksnode) with `ou`, and
// `seealso` when given.
int cks_add_node(LDAP *ld, const char *dn, const char *ou, const char *seealso);
// Deletes the entry and everything below it, deepest entries first.
int del_subtree(LDAP *ld, const char *dn);

// ---- audit log ----
// A log lock refused this many times in a row is given up (ETIME); a
// locked log hidden from a reader the same.
#define CKS_LOCK_ATTEMPTS 60
// Pause after each refusal (1 s) and, after the lock value was written,
// before it is read back (20 ms): the server may accept two agents'
// replacements of the value at the same moment, and only the value that
// stays names the holder.  Tests shorten the pause after a refusal.
extern int cks_lock_wait_ms;
extern int cks_lock_settle_ms;
// Sleeps ms milliseconds (signals do not cut it short).
void cks_pause_ms(int ms);

#endif  // KYR_CKS_INT_H
