// Test driver of the objects, keys and operations of libpkcs11_kyr: loads
// the library as the framework does and runs one scenario on slot 0 (a
// read-write session, logged in with 1234), one line per call:
//
//   p11ops LIB SCENARIO
//
// Scenarios: objects, search, sign, crypto, keys, derive, outputs, ulongs,
// argchecks; "make LABEL" and "find LABEL" (token objects made by one
// process, found by another).  Built for both word sizes.
// Every caller buffer is followed by canary bytes, reported as
// "canary=ok" or "canary=HIT".
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kyr_api.h"

namespace {

ST_FCN_LIST *F;
ST_SESSION_T S = {0, 0};

const unsigned char k_canary = 0xA5;

// A caller buffer of n bytes with 16 canary bytes after it.
struct buf {
    std::vector<unsigned char> v;
    explicit buf(size_t n) : v(n + 16, k_canary) {}
    unsigned char *p() { return v.data(); }
    const char *canary() const
    {
        for (size_t i = v.size() - 16; i < v.size(); i++)
            if (v[i] != k_canary)
                return "HIT";
        return "ok";
    }
};

std::string hex(const unsigned char *p, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

CK_OBJECT_HANDLE find_one(CK_OBJECT_CLASS cls, const char *label)
{
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_LABEL, const_cast<char *>(label), strlen(label)}};
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG n = 0;
    F->ST_FindObjectsInit(S, t, 2);
    F->ST_FindObjects(S, &h, 1, &n);
    F->ST_FindObjectsFinal(S);
    return n == 1 ? h : 0;
}

CK_OBJECT_HANDLE make_secret(const char *label)
{
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE kt = CKK_GENERIC_SECRET;
    CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    unsigned char value[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_TOKEN, &no, sizeof no},
                        {CKA_SENSITIVE, &no, sizeof no},
                        {CKA_EXTRACTABLE, &yes, sizeof yes},
                        {CKA_SIGN, &yes, sizeof yes},
                        {CKA_DERIVE, &yes, sizeof yes},
                        {CKA_VALUE, value, sizeof value},
                        {CKA_LABEL, const_cast<char *>(label), strlen(label)}};
    CK_OBJECT_HANDLE h = 0;
    CK_RV rv = F->ST_CreateObject(S, t, sizeof t / sizeof t[0], &h);
    printf("create: rv=0x%lx handle=%s\n", rv, h ? "yes" : "none");
    return h;
}

void objects()
{
    CK_OBJECT_HANDLE h = make_secret("obj1");
    CK_OBJECT_CLASS cls = 99;
    CK_KEY_TYPE kt = 99;
    CK_ULONG vlen = 99;
    buf label(4);
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_VALUE_LEN, &vlen, sizeof vlen},
                        {CKA_LABEL, label.p(), 4}};
    CK_RV rv = F->ST_GetAttributeValue(S, h, t, 4);
    printf("get: rv=0x%lx class=0x%lx keytype=0x%lx valuelen=%lu label=%.4s lens=%lu,%lu,%lu,%lu "
           "canary=%s\n",
           rv, cls, kt, vlen, reinterpret_cast<char *>(label.p()), t[0].ulValueLen, t[1].ulValueLen,
           t[2].ulValueLen, t[3].ulValueLen, label.canary());
    CK_ATTRIBUTE q[] = {{CKA_CLASS, nullptr, 0}, {CKA_VALUE, nullptr, 0}, {CKA_LABEL, nullptr, 0}};
    rv = F->ST_GetAttributeValue(S, h, q, 3);
    printf("lengths: rv=0x%lx %lu %lu %lu\n", rv, q[0].ulValueLen, q[1].ulValueLen, q[2].ulValueLen);
    buf small(2);
    CK_ATTRIBUTE sm[] = {{CKA_LABEL, small.p(), 2}, {CKA_CLASS, &cls, sizeof cls}};
    rv = F->ST_GetAttributeValue(S, h, sm, 2);
    printf("small: rv=0x%lx label_len=0x%lx class_len=%lu canary=%s\n", rv, sm[0].ulValueLen,
           sm[1].ulValueLen, small.canary());
    CK_ULONG size = 0;
    rv = F->ST_GetObjectSize(S, h, &size);
    printf("size: rv=0x%lx nonzero=%d\n", rv, size != 0);
    char nl[] = "obj2";
    CK_ATTRIBUTE ct[] = {{CKA_LABEL, nl, 4}};
    CK_OBJECT_HANDLE c = 0;
    rv = F->ST_CopyObject(S, h, ct, 1, &c);
    printf("copy: rv=0x%lx found=%d\n", rv, c != 0 && find_one(CKO_SECRET_KEY, "obj2") == c);
    char sl[] = "obj3";
    CK_ATTRIBUTE st[] = {{CKA_LABEL, sl, 4}};
    rv = F->ST_SetAttributeValue(S, c, st, 1);
    printf("set: rv=0x%lx found=%d\n", rv, find_one(CKO_SECRET_KEY, "obj3") == c);
    rv = F->ST_DestroyObject(S, c);
    printf("destroy: rv=0x%lx found=%d\n", rv, find_one(CKO_SECRET_KEY, "obj3") != 0);
    // What must not reach the card.
    printf("create empty: rv=0x%lx\n", F->ST_CreateObject(S, nullptr, 0, &c));
    CK_ATTRIBUTE bad[] = {{CKA_LABEL, nullptr, 4}};
    printf("create null value: rv=0x%lx\n", F->ST_CreateObject(S, bad, 1, &c));
    printf("find null template: rv=0x%lx\n", F->ST_FindObjectsInit(S, nullptr, 2));
    if (sizeof(CK_ULONG) > 4) {
        CK_ULONG wide = static_cast<CK_ULONG>(UINT64_C(1) << 32 | CKO_SECRET_KEY);
        CK_ATTRIBUTE w[] = {{CKA_CLASS, &wide, sizeof wide}};
        printf("create wide class: rv=0x%lx\n", F->ST_CreateObject(S, w, 1, &c));
    }
}

void search()
{
    make_secret("s1");
    make_secret("s1");
    make_secret("s1");
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, const_cast<char *>("s1"), 2}};
    CK_RV rv = F->ST_FindObjectsInit(S, t, 2);
    CK_OBJECT_HANDLE hs[4] = {0, 0, 0, 0};
    CK_ULONG n = 0, total = 0;
    do {
        rv = F->ST_FindObjects(S, hs, 2, &n);
        total += n;
    } while (rv == CKR_OK && n == 2);
    printf("find: rv=0x%lx total=%lu last=%lu unset=%d\n", rv, total, n, hs[3] == 0);
    printf("final: rv=0x%lx\n", F->ST_FindObjectsFinal(S));
    rv = F->ST_FindObjectsInit(S, nullptr, 0);
    rv = F->ST_FindObjects(S, hs, 4, &n);
    printf("find all: rv=0x%lx count=%lu\n", rv, n);
    F->ST_FindObjectsFinal(S);
}

void sign()
{
    CK_OBJECT_HANDLE priv = find_one(CKO_PRIVATE_KEY, "kyrkey");
    CK_OBJECT_HANDLE pub = find_one(CKO_PUBLIC_KEY, "kyrkey");
    printf("keys: priv=%d pub=%d\n", priv != 0, pub != 0);
    CK_MECHANISM m = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    unsigned char data[] = "the data to sign";
    CK_RV rv = F->ST_SignInit(S, &m, priv);
    CK_ULONG len = 0;
    rv = F->ST_Sign(S, data, sizeof data, nullptr, &len);
    printf("sign query: rv=0x%lx len=%lu\n", rv, len);
    buf sig(256);
    len = 256;
    rv = F->ST_Sign(S, data, sizeof data, sig.p(), &len);
    printf("sign: rv=0x%lx len=%lu canary=%s\n", rv, len, sig.canary());
    rv = F->ST_VerifyInit(S, &m, pub);
    printf("verify: rv=0x%lx\n", F->ST_Verify(S, data, sizeof data, sig.p(), len));
    F->ST_VerifyInit(S, &m, pub);
    data[0] ^= 1;
    printf("verify bad: rv=0x%lx\n", F->ST_Verify(S, data, sizeof data, sig.p(), len));
    data[0] ^= 1;
    F->ST_SignInit(S, &m, priv);
    F->ST_SignUpdate(S, data, 5);
    F->ST_SignUpdate(S, data + 5, sizeof data - 5);
    buf sig2(256);
    CK_ULONG len2 = 256;
    rv = F->ST_SignFinal(S, sig2.p(), &len2);
    printf("sign final: rv=0x%lx same=%d canary=%s\n", rv,
           len2 == len && !memcmp(sig.p(), sig2.p(), len), sig2.canary());
    F->ST_VerifyInit(S, &m, pub);
    F->ST_VerifyUpdate(S, data, sizeof data);
    printf("verify final: rv=0x%lx\n", F->ST_VerifyFinal(S, sig2.p(), len2));
    F->ST_VerifyInit(S, &m, pub);
    F->ST_VerifyUpdate(S, data, sizeof data);
    sig2.p()[0] ^= 1;
    printf("verify final bad: rv=0x%lx\n", F->ST_VerifyFinal(S, sig2.p(), len2));
    // Raw RSA: sign-recover and verify-recover give the data back.
    CK_MECHANISM raw = {CKM_RSA_PKCS, nullptr, 0};
    rv = F->ST_SignRecoverInit(S, &raw, priv);
    buf rs(256);
    CK_ULONG rl = 256;
    rv = F->ST_SignRecover(S, data, 8, rs.p(), &rl);
    printf("sign recover: rv=0x%lx len=%lu\n", rv, rl);
    F->ST_VerifyRecoverInit(S, &raw, pub);
    buf back(256);
    CK_ULONG bl = 256;
    rv = F->ST_VerifyRecover(S, rs.p(), rl, back.p(), &bl);
    printf("verify recover: rv=0x%lx len=%lu same=%d\n", rv, bl, bl == 8 && !memcmp(back.p(), data, 8));
    // A signature buffer too small: the length comes back, nothing copied.
    F->ST_SignInit(S, &m, priv);
    buf tiny(16);
    CK_ULONG tl = 16;
    rv = F->ST_Sign(S, data, sizeof data, tiny.p(), &tl);
    printf("sign small: rv=0x%lx len=%lu untouched=%d\n", rv, tl,
           tiny.v[0] == k_canary && tiny.v[15] == k_canary);
}

void crypto()
{
    CK_MECHANISM gen = {CKM_AES_KEY_GEN, nullptr, 0};
    CK_ULONG klen = 32;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ATTRIBUTE t[] = {{CKA_VALUE_LEN, &klen, sizeof klen}, {CKA_ENCRYPT, &yes, 1},
                        {CKA_DECRYPT, &yes, 1}, {CKA_TOKEN, &no, 1}, {CKA_EXTRACTABLE, &yes, 1},
                        {CKA_WRAP, &yes, 1}, {CKA_UNWRAP, &yes, 1}, {CKA_SENSITIVE, &no, 1}};
    CK_OBJECT_HANDLE key = 0;
    CK_RV rv = F->ST_GenerateKey(S, &gen, t, sizeof t / sizeof t[0], &key);
    printf("genkey: rv=0x%lx handle=%s\n", rv, key ? "yes" : "none");
    unsigned char iv[16] = {0};
    CK_MECHANISM m = {CKM_AES_CBC_PAD, iv, sizeof iv};
    unsigned char data[40];
    for (int i = 0; i < 40; i++)
        data[i] = static_cast<unsigned char>(i);
    rv = F->ST_EncryptInit(S, &m, key);
    buf ct(48);
    CK_ULONG cl = 48;
    rv = F->ST_Encrypt(S, data, sizeof data, ct.p(), &cl);
    printf("encrypt: rv=0x%lx len=%lu canary=%s\n", rv, cl, ct.canary());
    F->ST_DecryptInit(S, &m, key);
    buf pt(48);
    CK_ULONG pl = 48;
    rv = F->ST_Decrypt(S, ct.p(), cl, pt.p(), &pl);
    printf("decrypt: rv=0x%lx len=%lu same=%d\n", rv, pl, pl == 40 && !memcmp(pt.p(), data, 40));
    F->ST_EncryptInit(S, &m, key);
    buf u(48);
    CK_ULONG ul = 48, fl = 0;
    rv = F->ST_EncryptUpdate(S, data, sizeof data, u.p(), &ul);
    fl = 48 - ul;
    CK_RV rv2 = F->ST_EncryptFinal(S, u.p() + ul, &fl);
    printf("encrypt update final: rv=0x%lx,0x%lx len=%lu same=%d canary=%s\n", rv, rv2, ul + fl,
           ul + fl == cl && !memcmp(u.p(), ct.p(), cl), u.canary());
    F->ST_DecryptInit(S, &m, key);
    buf d(48);
    CK_ULONG dl = 48, dfl = 0;
    rv = F->ST_DecryptUpdate(S, ct.p(), cl, d.p(), &dl);
    dfl = 48 - dl;
    rv2 = F->ST_DecryptFinal(S, d.p() + dl, &dfl);
    printf("decrypt update final: rv=0x%lx,0x%lx same=%d\n", rv, rv2,
           dl + dfl == 40 && !memcmp(d.p(), data, 40));
    CK_MECHANISM sha = {CKM_SHA256, nullptr, 0};
    F->ST_DigestInit(S, &sha);
    buf dg(32);
    CK_ULONG gl = 32;
    rv = F->ST_Digest(S, reinterpret_cast<CK_BYTE_PTR>(const_cast<char *>("abc")), 3, dg.p(), &gl);
    printf("digest: rv=0x%lx %s canary=%s\n", rv, hex(dg.p(), gl).c_str(), dg.canary());
    F->ST_DigestInit(S, &sha);
    F->ST_DigestUpdate(S, reinterpret_cast<CK_BYTE_PTR>(const_cast<char *>("ab")), 2);
    F->ST_DigestUpdate(S, nullptr, 0);
    F->ST_DigestUpdate(S, reinterpret_cast<CK_BYTE_PTR>(const_cast<char *>("c")), 1);
    gl = 32;
    rv = F->ST_DigestFinal(S, dg.p(), &gl);
    printf("digest final: rv=0x%lx %s\n", rv, hex(dg.p(), gl).c_str());
    CK_OBJECT_HANDLE sec = make_secret("dk");
    F->ST_DigestInit(S, &sha);
    rv = F->ST_DigestKey(S, sec);
    gl = 32;
    rv2 = F->ST_DigestFinal(S, dg.p(), &gl);
    printf("digest key: rv=0x%lx,0x%lx len=%lu\n", rv, rv2, gl);
    buf r(16);
    rv = F->ST_GenerateRandom(S, r.p(), 16);
    printf("random: rv=0x%lx canary=%s\n", rv, r.canary());
    printf("random 0: rv=0x%lx\n", F->ST_GenerateRandom(S, r.p(), 0));
    unsigned char seed[4] = {1, 2, 3, 4};
    printf("seed: rv=0x%lx\n", F->ST_SeedRandom(S, seed, 4));
}

void keys()
{
    CK_MECHANISM m = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 1024;
    CK_BYTE e[] = {1, 0, 1};
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_ATTRIBUTE pub[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, e, 3},
                          {CKA_TOKEN, &no, 1}, {CKA_VERIFY, &yes, 1}};
    CK_ATTRIBUTE priv[] = {{CKA_TOKEN, &no, 1}, {CKA_SIGN, &yes, 1}};
    CK_OBJECT_HANDLE a = 0, b = 0;
    CK_RV rv = F->ST_GenerateKeyPair(S, &m, pub, 4, priv, 2, &a, &b);
    CK_ULONG got = 0;
    CK_ATTRIBUTE q[] = {{CKA_MODULUS_BITS, &got, sizeof got}};
    F->ST_GetAttributeValue(S, a, q, 1);
    printf("keypair: rv=0x%lx distinct=%d bits=%lu\n", rv, a && b && a != b, got);
    printf("keypair session 0: rv=0x%lx\n",
           F->ST_GenerateKeyPair(ST_SESSION_T{0, 0}, &m, pub, 4, priv, 2, &a, &b));
    // Wrap an AES key with another and unwrap it.
    CK_MECHANISM gen = {CKM_AES_KEY_GEN, nullptr, 0};
    CK_ULONG klen = 16;
    CK_ATTRIBUTE t[] = {{CKA_VALUE_LEN, &klen, sizeof klen}, {CKA_TOKEN, &no, 1},
                        {CKA_EXTRACTABLE, &yes, 1}, {CKA_WRAP, &yes, 1}, {CKA_UNWRAP, &yes, 1},
                        {CKA_ENCRYPT, &yes, 1}};
    CK_OBJECT_HANDLE kek = 0, k = 0;
    F->ST_GenerateKey(S, &gen, t, 6, &kek);
    F->ST_GenerateKey(S, &gen, t, 6, &k);
    CK_MECHANISM wm = {CKM_AES_KEY_WRAP, nullptr, 0};
    CK_ULONG wl = 0;
    rv = F->ST_WrapKey(S, &wm, kek, k, nullptr, &wl);
    printf("wrap query: rv=0x%lx len=%lu\n", rv, wl);
    buf w(24);
    wl = 24;
    rv = F->ST_WrapKey(S, &wm, kek, k, w.p(), &wl);
    printf("wrap: rv=0x%lx len=%lu canary=%s\n", rv, wl, w.canary());
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE kt = CKK_AES;
    CK_ATTRIBUTE ut[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt},
                         {CKA_TOKEN, &no, 1}};
    CK_OBJECT_HANDLE uk = 0;
    rv = F->ST_UnwrapKey(S, &wm, kek, w.p(), wl, ut, 3, &uk);
    printf("unwrap: rv=0x%lx handle=%s\n", rv, uk ? "yes" : "none");
    printf("unwrap empty: rv=0x%lx\n", F->ST_UnwrapKey(S, &wm, kek, w.p(), 0, ut, 3, &uk));
    CK_MECHANISM oaep = {CKM_RSA_PKCS_OAEP, nullptr, 0};
    printf("oaep: rv=0x%lx\n", F->ST_EncryptInit(S, &oaep, a));
}

void derive()
{
    CK_OBJECT_HANDLE base = make_secret("base");
    unsigned char cr[32], sr[32];
    memset(cr, 0xC1, sizeof cr);
    memset(sr, 0x5E, sizeof sr);
    CK_VERSION ver = {9, 9};
    CK_SSL3_MASTER_KEY_DERIVE_PARAMS mp = {{cr, 32, sr, 32}, &ver};
    CK_MECHANISM m = {CKM_SSL3_MASTER_KEY_DERIVE, &mp, sizeof mp};
    CK_OBJECT_HANDLE k = 0;
    CK_RV rv = F->ST_DeriveKey(S, &m, base, nullptr, 0, &k);
    printf("ssl3 master: rv=0x%lx handle=%s\n", rv, k ? "yes" : "none");
    m.ulParameterLen = sizeof mp - 1;
    printf("ssl3 master short: rv=0x%lx\n", F->ST_DeriveKey(S, &m, base, nullptr, 0, &k));
    CK_SSL3_KEY_MAT_OUT out;
    CK_SSL3_KEY_MAT_PARAMS kp = {160, 128, 64, CK_TRUE, {cr, 32, sr, 16}, &out};
    CK_MECHANISM km = {CKM_SSL3_KEY_AND_MAC_DERIVE, &kp, sizeof kp};
    printf("ssl3 key mat: rv=0x%lx\n", F->ST_DeriveKey(S, &km, base, nullptr, 0, nullptr));
    km.ulParameterLen = 4;
    printf("ssl3 key mat short: rv=0x%lx\n", F->ST_DeriveKey(S, &km, base, nullptr, 0, nullptr));
    CK_MECHANISM sd = {CKM_SHA1_KEY_DERIVATION, nullptr, 0};
    printf("sha1 derive: rv=0x%lx\n", F->ST_DeriveKey(S, &sd, base, nullptr, 0, &k));
    CK_MECHANISM bad = {CKM_RSA_PKCS, nullptr, 0};
    printf("rsa derive: rv=0x%lx\n", F->ST_DeriveKey(S, &bad, base, nullptr, 0, &k));
}

// Calls whose answers the test rewrites: what the caller gets and whether
// anything passed its buffers.
void outputs()
{
    CK_OBJECT_HANDLE priv = find_one(CKO_PRIVATE_KEY, "kyrkey");
    CK_MECHANISM m = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    unsigned char data[] = "x";
    F->ST_SignInit(S, &m, priv);
    buf sig(256);
    CK_ULONG len = 256;
    CK_RV rv = F->ST_Sign(S, data, 1, sig.p(), &len);
    printf("sign: rv=0x%lx len=%lu untouched=%d canary=%s\n", rv, len, sig.v[0] == k_canary,
           sig.canary());
    CK_MECHANISM sha = {CKM_SHA256, nullptr, 0};
    F->ST_DigestInit(S, &sha);
    F->ST_DigestUpdate(S, data, 1);
    buf dg(32);
    len = 32;
    rv = F->ST_DigestFinal(S, dg.p(), &len);
    printf("digest final: rv=0x%lx len=%lu canary=%s\n", rv, len, dg.canary());
    // Room for two handles; the third is a canary.
    const CK_OBJECT_HANDLE k_canary_handle = 0xA5A5;
    CK_OBJECT_HANDLE hs[3] = {0, 0, k_canary_handle};
    CK_ULONG n = 7;
    F->ST_FindObjectsInit(S, nullptr, 0);
    rv = F->ST_FindObjects(S, hs, 2, &n);
    printf("find: rv=0x%lx count=%lu canary=%s\n", rv, n, hs[2] == k_canary_handle ? "ok" : "HIT");
    F->ST_FindObjectsFinal(S);
    buf label(8);
    CK_ATTRIBUTE t[] = {{CKA_LABEL, label.p(), 8}, {CKA_ID, nullptr, 1000}};
    rv = F->ST_GetAttributeValue(S, priv, t, 2);
    printf("get: rv=0x%lx len0=0x%lx type0=0x%lx len1=%lu canary=%s\n", rv, t[0].ulValueLen,
           t[0].type, t[1].ulValueLen, label.canary());
}

const char *len_str(CK_ULONG n)
{
    static char b[4][24];
    static int k;
    char *p = b[k++ % 4];
    if (n == CK_UNAVAILABLE_INFORMATION)
        snprintf(p, sizeof b[0], "unavail");
    else
        snprintf(p, 24, "%lu", n);
    return p;
}

CK_ULONG count_of(CK_ATTRIBUTE *t, CK_ULONG n)
{
    CK_OBJECT_HANDLE hs[4];
    CK_ULONG got = 0;
    F->ST_FindObjectsInit(S, t, n);
    F->ST_FindObjects(S, hs, 4, &got);
    F->ST_FindObjectsFinal(S);
    return got;
}

// CK_ULONG values and CK_ULONG arrays through the calls that take a
// template; what the card cannot carry is refused before it.
void ulongs()
{
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE kt = CKK_GENERIC_SECRET;
    CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    unsigned char value[32];
    memset(value, 0x3C, sizeof value);
    CK_MECHANISM_TYPE allowed[2] = {CKM_SHA256_HMAC, CKM_SHA_1_HMAC};
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},      {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_TOKEN, &no, 1},                {CKA_SIGN, &yes, 1},
                        {CKA_DERIVE, &yes, 1},              {CKA_SENSITIVE, &no, 1},
                        {CKA_VALUE, value, sizeof value},   {CKA_ALLOWED_MECHANISMS, allowed, sizeof allowed},
                        {CKA_LABEL, const_cast<char *>("ul"), 2}};
    CK_OBJECT_HANDLE h = 0;
    CK_RV rv = F->ST_CreateObject(S, t, sizeof t / sizeof t[0], &h);
    printf("create: rv=0x%lx handle=%s\n", rv, h ? "yes" : "none");
    buf mb(3 * sizeof(CK_MECHANISM_TYPE));
    CK_KEY_TYPE kt2 = 99;
    CK_ATTRIBUTE q[] = {{CKA_ALLOWED_MECHANISMS, mb.p(), 3 * sizeof(CK_MECHANISM_TYPE)},
                        {CKA_KEY_TYPE, &kt2, sizeof kt2}};
    rv = F->ST_GetAttributeValue(S, h, q, 2);
    CK_MECHANISM_TYPE m[2];
    memcpy(m, mb.p(), sizeof m);
    printf("get allowed: rv=0x%lx len=%s mechs=0x%lx,0x%lx keytype=0x%lx canary=%s\n", rv,
           len_str(q[0].ulValueLen), m[0], m[1], kt2, mb.canary());
    // Room for one element and a half: too small for two.
    buf one(sizeof(CK_MECHANISM_TYPE) + 2);
    CK_ATTRIBUTE q1[] = {{CKA_ALLOWED_MECHANISMS, one.p(), sizeof(CK_MECHANISM_TYPE) + 2}};
    rv = F->ST_GetAttributeValue(S, h, q1, 1);
    printf("get allowed small: rv=0x%lx len=%s canary=%s\n", rv, len_str(q1[0].ulValueLen),
           one.canary());
    CK_ATTRIBUTE q2[] = {{CKA_ALLOWED_MECHANISMS, nullptr, 0}};
    rv = F->ST_GetAttributeValue(S, h, q2, 1);
    printf("allowed length: rv=0x%lx len=%s\n", rv, len_str(q2[0].ulValueLen));
    // The token keeps to the list it was given.
    CK_MECHANISM hm = {CKM_SHA256_HMAC, nullptr, 0}, other = {CKM_SHA512_HMAC, nullptr, 0};
    CK_RV r1 = F->ST_SignInit(S, &hm, h);
    buf mac(32);
    CK_ULONG ml = 32;
    CK_RV r2 = F->ST_Sign(S, value, 4, mac.p(), &ml);
    printf("allowed sign: rv=0x%lx,0x%lx len=%lu other=0x%lx\n", r1, r2, ml,
           F->ST_SignInit(S, &other, h));
    // Copy, set, find and derive with CK_ULONG values.
    CK_ATTRIBUTE ct[] = {{CKA_LABEL, const_cast<char *>("ul2"), 3}, {CKA_CLASS, &cls, sizeof cls}};
    CK_OBJECT_HANDLE c = 0;
    rv = F->ST_CopyObject(S, h, ct, 1, &c);
    CK_ATTRIBUTE ft[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt},
                         {CKA_LABEL, const_cast<char *>("ul2"), 3}};
    printf("copy: rv=0x%lx found=%lu\n", rv, count_of(ft, 3));
    printf("copy class: rv=0x%lx\n", F->ST_CopyObject(S, h, ct, 2, &c));
    CK_MECHANISM_TYPE just = CKM_SHA_1_HMAC;
    CK_ATTRIBUTE st[] = {{CKA_ALLOWED_MECHANISMS, &just, sizeof just}};
    printf("set allowed: rv=0x%lx sign=0x%lx\n", F->ST_SetAttributeValue(S, c, st, 1),
           F->ST_SignInit(S, &hm, c));
    CK_ULONG vlen = 20;
    CK_ATTRIBUTE dt[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &kt, sizeof kt},
                         {CKA_VALUE_LEN, &vlen, sizeof vlen}};
    CK_MECHANISM sd = {CKM_SHA1_KEY_DERIVATION, nullptr, 0};
    CK_OBJECT_HANDLE d = 0;
    printf("derive template: rv=0x%lx\n", F->ST_DeriveKey(S, &sd, h, dt, 3, &d));
    // An attribute array holds the caller's pointers: never sent.
    CK_ATTRIBUTE inner[] = {{CKA_CLASS, &cls, sizeof cls}};
    CK_ATTRIBUTE nt[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_WRAP_TEMPLATE, inner, sizeof inner}};
    CK_RV nested = F->ST_CreateObject(S, nt, 2, &c);
    buf tb(64);
    kt2 = 99;
    CK_ATTRIBUTE gt[] = {{CKA_WRAP_TEMPLATE, tb.p(), 64}, {CKA_KEY_TYPE, &kt2, sizeof kt2}};
    rv = F->ST_GetAttributeValue(S, h, gt, 2);
    printf("nested: create=0x%lx get=0x%lx len=%s keytype=0x%lx canary=%s\n", nested, rv,
           len_str(gt[0].ulValueLen), kt2, tb.canary());
    // Lengths a CK_ULONG value cannot have, and a value above 32 bits.
    CK_ATTRIBUTE part[] = {{CKA_ALLOWED_MECHANISMS, allowed, sizeof allowed - 1}};
    CK_ATTRIBUTE half[] = {{CKA_CLASS, &cls, sizeof cls / 2}};
    CK_RV wide = 0;
    if (sizeof(CK_ULONG) > 4) {
        CK_MECHANISM_TYPE big[1] = {static_cast<CK_MECHANISM_TYPE>(UINT64_C(1) << 32 | CKM_SHA256_HMAC)};
        CK_ATTRIBUTE w[] = {{CKA_ALLOWED_MECHANISMS, big, sizeof big}};
        wide = F->ST_FindObjectsInit(S, w, 1);
    }
    printf("refused: part=0x%lx half=0x%lx find half=0x%lx wide=0x%lx\n",
           F->ST_CreateObject(S, part, 1, &c), F->ST_CreateObject(S, half, 1, &c),
           F->ST_FindObjectsInit(S, half, 1), wide);
}

// Null templates with a count and null values with a length: refused by
// every call that takes a template, before the card.
void argchecks()
{
    CK_OBJECT_HANDLE h = make_secret("args");
    CK_ATTRIBUTE nv[] = {{CKA_LABEL, nullptr, 4}};
    CK_MECHANISM gen = {CKM_AES_KEY_GEN, nullptr, 0}, pair = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0},
                 wrap = {CKM_AES_KEY_WRAP, nullptr, 0}, sd = {CKM_SHA1_KEY_DERIVATION, nullptr, 0};
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE ok[] = {{CKA_TOKEN, &no, 1}};
    unsigned char wrapped[24] = {0};
    CK_OBJECT_HANDLE a = 0, b = 0;
    for (int pass = 0; pass < 2; pass++) {
        CK_ATTRIBUTE_PTR t = pass == 0 ? nullptr : nv;
        CK_ULONG n = pass == 0 ? 2 : 1;
        printf("%s: create=0x%lx copy=0x%lx set=0x%lx find=0x%lx genkey=0x%lx pub=0x%lx priv=0x%lx "
               "unwrap=0x%lx derive=0x%lx",
               pass == 0 ? "null template" : "null value", F->ST_CreateObject(S, t, n, &a),
               F->ST_CopyObject(S, h, t, n, &a), F->ST_SetAttributeValue(S, h, t, n),
               F->ST_FindObjectsInit(S, t, n), F->ST_GenerateKey(S, &gen, t, n, &a),
               F->ST_GenerateKeyPair(S, &pair, t, n, ok, 1, &a, &b),
               F->ST_GenerateKeyPair(S, &pair, ok, 1, t, n, &a, &b),
               F->ST_UnwrapKey(S, &wrap, h, wrapped, sizeof wrapped, t, n, &a),
               F->ST_DeriveKey(S, &sd, h, t, n, &a));
        if (pass == 0)
            printf(" get=0x%lx", F->ST_GetAttributeValue(S, h, t, n));
        printf("\n");
    }
}

// Token objects for a process of the other word size to find.
void share_make(const std::string &label)
{
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE kt = CKK_GENERIC_SECRET;
    CK_BBOOL yes = CK_TRUE;
    unsigned char value[16] = {7};
    CK_MECHANISM_TYPE allowed = CKM_SHA256_HMAC;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_SIGN, &yes, 1},
                        {CKA_VALUE, value, sizeof value},
                        {CKA_ALLOWED_MECHANISMS, &allowed, sizeof allowed},
                        {CKA_LABEL, const_cast<char *>(label.data()), label.size()}};
    CK_OBJECT_HANDLE h = 0, k = 0;
    CK_RV r1 = F->ST_CreateObject(S, t, sizeof t / sizeof t[0], &h);
    std::string aes = label + "-aes";
    CK_ULONG klen = 16;
    CK_ATTRIBUTE g[] = {{CKA_VALUE_LEN, &klen, sizeof klen},
                        {CKA_TOKEN, &yes, 1},
                        {CKA_ENCRYPT, &yes, 1},
                        {CKA_LABEL, const_cast<char *>(aes.data()), aes.size()}};
    CK_MECHANISM gen = {CKM_AES_KEY_GEN, nullptr, 0};
    CK_RV r2 = F->ST_GenerateKey(S, &gen, g, 4, &k);
    printf("make: rv=0x%lx,0x%lx\n", r1, r2);
}

void share_find(const std::string &label)
{
    CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
    CK_KEY_TYPE kt = CKK_GENERIC_SECRET, akt = CKK_AES;
    CK_ULONG klen = 16;
    std::string aes = label + "-aes";
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_LABEL, const_cast<char *>(label.data()), label.size()}};
    CK_ATTRIBUTE a[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_KEY_TYPE, &akt, sizeof akt},
                        {CKA_VALUE_LEN, &klen, sizeof klen},
                        {CKA_LABEL, const_cast<char *>(aes.data()), aes.size()}};
    CK_OBJECT_HANDLE h = 0, k = 0;
    CK_ULONG n1 = 0, n2 = 0;
    F->ST_FindObjectsInit(S, t, 3);
    F->ST_FindObjects(S, &h, 1, &n1);
    F->ST_FindObjectsFinal(S);
    F->ST_FindObjectsInit(S, a, 4);
    F->ST_FindObjects(S, &k, 1, &n2);
    F->ST_FindObjectsFinal(S);
    CK_OBJECT_CLASS c1 = 99;
    CK_KEY_TYPE k1 = 99, k2 = 99;
    CK_ULONG v2 = 99;
    CK_MECHANISM_TYPE mechs[2] = {99, 99};
    CK_ATTRIBUTE q[] = {{CKA_CLASS, &c1, sizeof c1},
                        {CKA_KEY_TYPE, &k1, sizeof k1},
                        {CKA_ALLOWED_MECHANISMS, mechs, sizeof mechs}};
    CK_RV r1 = F->ST_GetAttributeValue(S, h, q, 3);
    CK_ATTRIBUTE p[] = {{CKA_KEY_TYPE, &k2, sizeof k2}, {CKA_VALUE_LEN, &v2, sizeof v2}};
    CK_RV r2 = F->ST_GetAttributeValue(S, k, p, 2);
    printf("found: %lu,%lu rv=0x%lx,0x%lx class=0x%lx keytype=0x%lx allowed=%lu:0x%lx aes=0x%lx "
           "valuelen=%lu\n",
           n1, n2, r1, r2, c1, k1, q[2].ulValueLen / sizeof(CK_MECHANISM_TYPE), mechs[0], k2, v2);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: p11ops LIB SCENARIO\n");
        return 2;
    }
    // Line by line: what was printed before a crash is kept.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "p11ops: %s\n", dlerror());
        return 2;
    }
    auto init = reinterpret_cast<SC_Initialize_fn>(dlsym(lib, "SC_Initialize"));
    void *fl = nullptr;
    if (!init || init(&fl, 0, nullptr) != CKR_OK || !fl) {
        fprintf(stderr, "p11ops: no function list\n");
        return 2;
    }
    F = static_cast<ST_FCN_LIST *>(fl);
    CK_SESSION_HANDLE h = 0;
    CK_RV rv = F->ST_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, &h);
    S.sessionh = h;
    CK_UTF8CHAR pin[] = "1234";
    CK_RV lrv = F->ST_Login(S, CKU_USER, pin, 4);
    printf("session: rv=0x%lx login=0x%lx\n", rv, lrv);
    std::string sc = argv[2];
    if (sc == "objects") objects();
    else if (sc == "search") search();
    else if (sc == "sign") sign();
    else if (sc == "crypto") crypto();
    else if (sc == "keys") keys();
    else if (sc == "derive") derive();
    else if (sc == "outputs") outputs();
    else if (sc == "ulongs") ulongs();
    else if (sc == "argchecks") argchecks();
    else if (sc == "make" && argc > 3) share_make(argv[3]);
    else if (sc == "find" && argc > 3) share_find(argv[3]);
    else {
        fprintf(stderr, "p11ops: unknown scenario %s\n", argv[2]);
        return 2;
    }
    fflush(stdout);
    return 0;
}
