// DB_CHECK (is a keystore name taken?) and DB_DELETE (remove a keystore),
// each by keystore type: the local backend works on the keystore directory,
// the centralized one on the directory service.
#include <cerrno>
#include <cstring>

#include "../cks/cks.h"
#include "handler_util.h"

namespace {

int check_central(upcall_buf *buf, const char *name)
{
    if (!cks_configured()) {
        qelkiod_log(LOG_INFO, "LDAP Keystore Check: Centralized keystore support not configured");
        return EOPNOTSUPP;
    }
    // Opening a centralized keystore handle checks the message type and
    // connects to the directory.
    ks_handle h;
    int ret = handler_open(&h, buf, DBM_KS_LDAP, nullptr);
    if (ret != 0)
        return ret;
    ret = cks_db_check(h.ld, name);
    ks_handle_close(&h, DBM_KS_LDAP);
    return ret;
}

// A shared keystore goes for every host at once; the caller has made sure
// it is the thread's own (deletable).
int del_central(const char *name)
{
    if (!cks_configured()) {
        qelkiod_log(LOG_ERR, "Keystore delete failed: Centralized keystore support not configured");
        return EOPNOTSUPP;
    }
    LDAP *ld = nullptr;
    int ret = connect_bind_ldap(&ld);
    if (ret == 0)
        ret = cks_del_keystore(ld, name);
    cks_unbind(ld);
    return ret;
}

}  // namespace

int task_db_check(upcall_buf *buf)
{
    char name[DBM_KSNAME_LEN];
    int ret = qelkiod_msg_ksname(buf->msg, DBM_KSNAME_OFF, name);
    if (ret != 0)
        return ret;
    uint32_t kstype = static_cast<uint32_t>(msg_get32(buf->msg, DBM_KSTYPE_OFF));
    if (kstype == DBM_KS_LOCAL) {
        ret = localks_db_check(buf->ksdir, name);
    } else if (kstype == DBM_KS_LDAP) {
        ret = check_central(buf, name);
    } else {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", kstype);
        ret = EINVAL;
    }
    return ret == 0 ? answer_ok(buf) : ret;
}

namespace {

// The keystore a DB_DELETE may remove: a keystore thread's own one, or on
// the control thread a local keystore that no thread serves (the control
// thread goes on serving afterwards).
kstinfo *deletable(upcall_buf *buf, char name[DBM_KSNAME_LEN], int *err)
{
    kstinfo *ks = handler_self("DB_DEL", err);
    if (ks == nullptr || ks->name != nullptr)
        return ks == nullptr ? nullptr : handler_own_keystore(buf, "DB_DEL", name, err);
    if ((*err = qelkiod_msg_ksname(buf->msg, DBM_KSNAME_OFF, name)) != 0)
        return nullptr;
    if (tlist_name_served(name)) {
        qelkiod_log(LOG_ERR, "DB_DEL for keystore %s refused: served by its own thread", name);
        *err = EINVAL;
        return nullptr;
    }
    return ks;
}

}  // namespace

int task_db_del(upcall_buf *buf)
{
    int ret = 0;
    char name[DBM_KSNAME_LEN];
    kstinfo *ks = deletable(buf, name, &ret);
    if (ks == nullptr)
        return ret;
    if (ks->kstype == DBM_KS_LOCAL) {
        ret = localks_del_keystore(buf->ksdir, name);
    } else if (ks->kstype == DBM_KS_LDAP) {
        ret = del_central(name);
    } else {
        qelkiod_log(LOG_ERR, "Unknown keystore type 0x%x", ks->kstype);
        ret = EINVAL;
    }
    return ret == 0 ? answer_ok(buf) : ret;
}
