// Identifier text, escaping, and the DNs and filters of the keystore layout.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "cks_int.h"

namespace {

int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

char *bin2string(const unsigned char *bin, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    if (n > (SIZE_MAX - 1) / 2)
        return nullptr;
    char *s = static_cast<char *>(malloc(2 * n + 1));
    if (s == nullptr)
        return nullptr;
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[bin[i] >> 4];
        s[2 * i + 1] = digits[bin[i] & 0xf];
    }
    s[2 * n] = '\0';
    return s;
}

int cks_id_text(const unsigned char *bin, size_t n, char *out, const char *what)
{
    char *s = bin2string(bin, n);
    if (s == nullptr) {
        qelkiod_log(LOG_ERR, "Cannot get string representation of %s", what);
        return ENOMEM;
    }
    memcpy(out, s, 2 * n + 1);
    free(s);
    return 0;
}

int string2bin(const char *text, unsigned char **buf, size_t *len)
{
    size_t tlen = strlen(text);
    bool own = *buf == nullptr;
    size_t cap = *len;
    if (own) {
        cap = (tlen + 1) / 2 + 1;
        *buf = static_cast<unsigned char *>(calloc(cap, 1));
        if (*buf == nullptr) {
            int err = errno != 0 ? errno : ENOMEM;
            *len = 0;
            return err;
        }
        *len = cap;
    }
    size_t out = 0;
    for (size_t i = 0; i < tlen;) {
        int hi = hexval(text[i]);
        if (hi < 0) {
            ++i;  // not a digit: skipped by itself
            continue;
        }
        int lo = i + 1 < tlen ? hexval(text[i + 1]) : -1;
        if (out >= cap) {
            // Only a buffer of this call's own is freed; the caller's stays
            // the caller's.
            if (own)
                free(*buf);
            *buf = nullptr;
            *len = 0;
            return ENOSPC;
        }
        (*buf)[out++] = static_cast<unsigned char>(lo < 0 ? hi : hi * 16 + lo);
        i += lo < 0 ? 1 : 2;  // move by the digits read, never past the end
    }
    *len = out;
    return 0;
}

int id_cvt_tobin(LDAP *ld, LDAPMessage *e, unsigned char **buf, size_t *len, int pos)
{
    char *dn = ldap_get_dn(ld, e);
    if (dn == nullptr) {
        qelkiod_log(LOG_ERR, "Failed to get dn from entry");
        return EINVAL;
    }
    // The DN taken apart into RDNs; the values come back unescaped.
    LDAPDN parts = nullptr;
    int n = 0;
    if (ldap_str2dn(dn, &parts, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS && parts != nullptr)
        while (parts[n] != nullptr)
            ++n;
    int ret = 0;
    if (pos < 0 || pos >= n) {
        qelkiod_log(LOG_ERR, "Failed to explode dn %s", dn);
        ret = EINVAL;
    } else {
        const berval &v = parts[pos][0]->la_value;
        bool hex = v.bv_len == 40 || v.bv_len == 16 || v.bv_len == 64;
        for (size_t i = 0; hex && i < v.bv_len; ++i)
            hex = hexval(v.bv_val[i]) >= 0;
        if (!hex) {
            qelkiod_log(LOG_ERR, "Identifier of DN %s is not 40, 16 or 64 hexadecimal digits",
                        dn);
            ret = EINVAL;
        } else {
            char text[65];
            memcpy(text, v.bv_val, v.bv_len);
            text[v.bv_len] = '\0';
            if ((ret = string2bin(text, buf, len)) != 0)
                qelkiod_log(LOG_ERR, "Cannot convert username for %s", dn);
        }
    }
    ldap_dnfree(parts);
    ldap_memfree(dn);
    return ret;
}

int cks_escape_rdn(const char *in, char *out, size_t outsz)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t o = 0;
    size_t n = strlen(in);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        char tmp[3];
        size_t k = 0;
        if (c < 0x20 || c == 0x7f) {
            tmp[k++] = '\\';
            tmp[k++] = hex[c >> 4];
            tmp[k++] = hex[c & 0xf];
        } else if (strchr("\"+,;<>\\=", c) != nullptr || (i == 0 && (c == ' ' || c == '#')) ||
                   (i == n - 1 && c == ' ')) {
            tmp[k++] = '\\';
            tmp[k++] = static_cast<char>(c);
        } else {
            tmp[k++] = static_cast<char>(c);
        }
        if (o + k >= outsz)
            return ENAMETOOLONG;
        memcpy(out + o, tmp, k);
        o += k;
    }
    if (o >= outsz)
        return ENAMETOOLONG;
    out[o] = '\0';
    return 0;
}

int cks_escape_filter(const char *in, char *out, size_t outsz)
{
    static const char hex[] = "0123456789abcdef";
    size_t o = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(in); *p != 0; ++p) {
        bool esc = *p == '*' || *p == '(' || *p == ')' || *p == '\\' || *p < 0x20 || *p == 0x7f;
        size_t k = esc ? 3 : 1;
        if (o + k >= outsz)
            return ENAMETOOLONG;
        if (esc) {
            out[o++] = '\\';
            out[o++] = hex[*p >> 4];
            out[o++] = hex[*p & 0xf];
        } else {
            out[o++] = static_cast<char>(*p);
        }
    }
    if (o >= outsz)
        return ENAMETOOLONG;
    out[o] = '\0';
    return 0;
}

int cks_dn_depth(const char *dn)
{
    LDAPDN parsed = nullptr;
    if (ldap_str2dn(dn, &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS || parsed == nullptr)
        return -1;
    int n = 0;
    while (parsed[n] != nullptr)
        ++n;
    ldap_dnfree(parsed);
    return n;
}

int cks_format(char *out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out, CKS_DN_MAX, fmt, ap);
    va_end(ap);
    if (n < 0 || n >= CKS_DN_MAX) {
        out[0] = '\0';
        qelkiod_log(LOG_ERR, "Directory name or filter longer than %d characters refused",
                    CKS_DN_MAX - 1);
        return ENAMETOOLONG;
    }
    return 0;
}

namespace {

int logged_refusal(int ret)
{
    if (ret != 0)
        qelkiod_log(LOG_ERR, "Directory name or filter longer than %d characters refused",
                    CKS_DN_MAX - 1);
    return ret;
}

// An RDN value escaped into `out` (CKS_DN_MAX bytes); logs a refusal.
int escaped(const char *value, char *out)
{
    return logged_refusal(cks_escape_rdn(value, out, CKS_DN_MAX));
}

const char *basedn()
{
    return mconf.basedn != nullptr ? mconf.basedn : "";
}

}  // namespace

int cks_filter_value(const char *in, char *out)
{
    return logged_refusal(cks_escape_filter(in, out, CKS_DN_MAX));
}

int cks_container_dn(char *out)
{
    return cks_format(out, "%s,%s", CKS_CONTAINER_RDN, basedn());
}

int cks_ks_dn(char *out, const char *ks)
{
    char k[CKS_DN_MAX];
    int ret = escaped(ks, k);
    return ret != 0 ? ret : cks_format(out, "ou=%s,%s,%s", k, CKS_CONTAINER_RDN, basedn());
}

int cks_node_dn(char *out, const char *rdn, const char *ks)
{
    char k[CKS_DN_MAX];
    int ret = escaped(ks, k);
    return ret != 0 ? ret
                    : cks_format(out, "%s,ou=%s,%s,%s", rdn, k, CKS_CONTAINER_RDN, basedn());
}

int cks_user_dn(char *out, const char *uidtext, const char *ks)
{
    char k[CKS_DN_MAX], u[CKS_DN_MAX];
    int ret = escaped(ks, k);
    if (ret == 0)
        ret = escaped(uidtext, u);
    return ret != 0 ? ret
                    : cks_format(out, "ou=%s,%s,ou=%s,%s,%s", u, CKS_USERS_RDN, k,
                                 CKS_CONTAINER_RDN, basedn());
}

int cks_obj_dn(char *out, const char *objtext, const char *uidtext, const char *ks)
{
    char k[CKS_DN_MAX], u[CKS_DN_MAX], o[CKS_DN_MAX];
    int ret = escaped(ks, k);
    if (ret == 0)
        ret = escaped(uidtext, u);
    if (ret == 0)
        ret = escaped(objtext, o);
    return ret != 0 ? ret
                    : cks_format(out, "cn=%s,ou=%s,%s,ou=%s,%s,%s", o, u, CKS_USERS_RDN, k,
                                 CKS_CONTAINER_RDN, basedn());
}

int cks_log_dn(char *out, const char *keytext, const char *logrdn, const char *ks)
{
    char k[CKS_DN_MAX], c[CKS_DN_MAX];
    int ret = escaped(ks, k);
    if (ret == 0)
        ret = escaped(keytext, c);
    return ret != 0 ? ret
                    : cks_format(out, "cn=%s,%s,ou=%s,%s,%s", c, logrdn, k, CKS_CONTAINER_RDN,
                                 basedn());
}

int cks_check_config()
{
    const struct {
        const char *name;
        const char *value;
    } need[] = {{"authtype", mconf.authtype}, {"basedn", mconf.basedn}, {"binddn", mconf.binddn}};
    int ret = 0;
    for (const auto &n : need) {
        if (n.value == nullptr || n.value[0] == '\0') {
            qelkiod_log(LOG_ERR, "Centralized keystores need the %s config directive", n.name);
            ret = EINVAL;
        }
    }
    if (ret != 0)
        return ret;
    // binddn is written between quotation marks into the log lock's access
    // rule; a quotation mark, a control character or a last backslash there
    // would end or bend the rule.
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(mconf.binddn); *p;
         ++p) {
        if (*p == '"' || *p < 0x20 || *p == 0x7f || (*p == '\\' && p[1] == '\0')) {
            qelkiod_log(LOG_ERR, "Bind DN %s cannot be used in a log lock", mconf.binddn);
            return EINVAL;
        }
    }
    return 0;
}

int cks_config_ksname(const char *filename, char out[DBM_KSNAME_LEN])
{
    size_t n = strnlen(filename, DBM_KSNAME_LEN);
    const char *dot = static_cast<const char *>(memrchr(filename, '.', n));
    if (dot != nullptr)
        n = static_cast<size_t>(dot - filename);
    if (n >= DBM_KSNAME_LEN)
        n = DBM_KSNAME_LEN - 1;
    memcpy(out, filename, n);
    out[n] = '\0';
    if (!qelkiod_valid_ksname(out)) {
        qelkiod_log(LOG_ERR, "Invalid keystore name \"%s\"", out);
        return EINVAL;
    }
    return 0;
}
