// Shared by the directory tests on a 389 Directory Server: the daemon's
// configuration for the shared server as one of its hosts, and a keystore
// made and taken away around each test.
#ifndef KYR_TESTS_CKS_DS_FIXTURE_H
#define KYR_TESTS_CKS_DS_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cks/cks_int.h"
#include "ds389.h"
#include "fake_fw.h"

namespace kyrcks {

// Binds as host `h` ("host<h>", password "secret<h>").
inline void as_host(const std::string &h)
{
    free(mconf.binddn);
    free(mconf.password);
    mconf.binddn = strdup(ds389_host_dn("host" + h).c_str());
    mconf.password = strdup(("secret" + h).c_str());
}

inline void add_server(int port, const char *host = "127.0.0.1", int ssl = 0)
{
    qelkiod_server &s = mconf.servers[mconf.nservers++];
    s.host = strdup(host);
    s.port = port;
    s.ssl = ssl;
}

// The server on `port` under the test suffix, bound as host A.
inline void configure(int port, const char *authtype)
{
    mconf.basedn = strdup(DS389_SUFFIX);
    mconf.authtype = strdup(authtype);
    add_server(port);
    as_host("A");
}

// The in-process firmware installed and, when `make`, the keystore `name`
// made in the directory.
inline int keystore_up(fake_ks *k, const char *name, bool make)
{
    int rc = fake_ks_init(k, name, DBM_KS_LDAP);
    if (rc != 0)
        return rc;
    fake_fw_install();
    if (!make)
        return 0;
    fw_load(k->buf, fw_make_ks_msg(DB_INIT, name, DBM_KS_LDAP, false));
    rc = cks_db_make(k->buf);
    fake_fw_reset();
    return rc;
}

// The firmware uninstalled and every keystore removed from the directory.
inline void keystore_down(const ds389 &ds, fake_ks *k)
{
    fake_fw_uninstall();
    fake_ks_fini(k);
    EXPECT_EQ(0, ds389_clear_below(ds, DS389_KEYSTORES));
}

}  // namespace kyrcks

#endif  // KYR_TESTS_CKS_DS_FIXTURE_H
