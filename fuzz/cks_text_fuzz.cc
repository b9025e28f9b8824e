// The directory backend's text handling: identifier decoding (string2bin)
// against a model, RDN and filter escaping (the escaped value must parse
// back to exactly the input and leave no filter syntax), and the result
// code map.
#include <ldap.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cks/cks_int.h"
#include "fuzz_daemon.h"

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

// Non-digits skipped one by one; one or two digits make a byte.
std::vector<unsigned char> model_decode(const std::string &s)
{
    std::vector<unsigned char> out;
    for (size_t i = 0; i < s.size();) {
        int hi = hexval(s[i]);
        if (hi < 0) {
            ++i;
            continue;
        }
        int lo = i + 1 < s.size() ? hexval(s[i + 1]) : -1;
        out.push_back(static_cast<unsigned char>(lo < 0 ? hi : hi * 16 + lo));
        i += lo < 0 ? 1 : 2;
    }
    return out;
}

void check_string2bin(const std::string &text)
{
    std::vector<unsigned char> want = model_decode(text);
    unsigned char *buf = nullptr;
    size_t len = 0;
    int rc = string2bin(text.c_str(), &buf, &len);
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(len == want.size());
    FUZZ_CHECK(len == 0 || memcmp(buf, want.data(), len) == 0);
    free(buf);

    // The caller's buffer: filled when it is large enough, else ENOSPC
    // with the buffer left to the caller.
    unsigned char mine[8];
    buf = mine;
    len = sizeof(mine);
    rc = string2bin(text.c_str(), &buf, &len);
    if (want.size() <= sizeof(mine)) {
        FUZZ_CHECK(rc == 0 && buf == mine && len == want.size());
        FUZZ_CHECK(len == 0 || memcmp(mine, want.data(), len) == 0);
    } else {
        FUZZ_CHECK(rc == ENOSPC && buf == nullptr && len == 0);
    }
}

void check_rdn(const std::string &value)
{
    char esc[CKS_DN_MAX];
    if (cks_escape_rdn(value.c_str(), esc, sizeof(esc)) != 0)
        return;
    std::string dn = std::string("ou=") + esc + ",dc=x";
    LDAPDN parts = nullptr;
    if (ldap_str2dn(dn.c_str(), &parts, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS) {
        // Exactly two RDNs of one value each, the first value the input.
        FUZZ_CHECK(parts[0] != nullptr && parts[1] != nullptr && parts[2] == nullptr);
        FUZZ_CHECK(parts[0][0] != nullptr && parts[0][1] == nullptr);
        const berval &v = parts[0][0]->la_value;
        FUZZ_CHECK(v.bv_len == value.size() && memcmp(v.bv_val, value.data(), v.bv_len) == 0);
        ldap_dnfree(parts);
    } else {
        // Only a value that is not valid UTF-8 may fail to parse.
        bool ascii = true;
        for (char c : value)
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        FUZZ_CHECK(!ascii || value.empty());
    }
}

void check_filter(const std::string &value)
{
    char esc[CKS_DN_MAX];
    if (cks_escape_filter(value.c_str(), esc, sizeof(esc)) != 0)
        return;
    std::string back;
    for (size_t i = 0; esc[i] != '\0'; ++i) {
        char c = esc[i];
        FUZZ_CHECK(c != '*' && c != '(' && c != ')');
        if (c == '\\') {
            FUZZ_CHECK(hexval(esc[i + 1]) >= 0 && hexval(esc[i + 2]) >= 0);
            back.push_back(static_cast<char>(hexval(esc[i + 1]) * 16 + hexval(esc[i + 2])));
            i += 2;
        } else {
            back.push_back(c);
        }
    }
    FUZZ_CHECK(back == value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_daemon_log_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096)
        return 0;
    std::string all(reinterpret_cast<const char *>(data), size);
    std::string text = all.substr(0, all.find('\0'));
    check_string2bin(text);
    check_rdn(text);
    check_filter(text);
    if (size >= 4) {
        int32_t code;
        memcpy(&code, data, sizeof(code));
        int mapped = cks_code(code);
        FUZZ_CHECK(code >= 0 ? mapped == code : mapped >= 80);
        if (code < 0 && code >= -17)
            FUZZ_CHECK(mapped == 80 - code);
        FUZZ_CHECK(cks_err2string(mapped) != nullptr);
    }
    return 0;
}
