// The card's token on SoftHSMv2 (see kyrtok.h).
#include "kyrtok.h"
#include "kyrtok_ops.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <p11-kit/pkcs11.h>

namespace {

const char k_prefix[] = "opencryptoki:";
constexpr size_t k_prefix_len = sizeof k_prefix - 1;

// SoftHSM is loaded once per process; it reads SOFTHSM2_CONF in each
// C_Initialize.
std::mutex g_load_mu;
CK_FUNCTION_LIST_PTR g_p11 = nullptr;
bool g_running = false;

int load_softhsm()
{
    std::lock_guard<std::mutex> lk(g_load_mu);
    if (g_p11)
        return 0;
    void *h = dlopen(KYRTOK_SOFTHSM_LIB, RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return ENOENT;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
    if (!get || get(&g_p11) != CKR_OK || !g_p11)
        return ENOENT;
    return 0;
}

// Initializes SoftHSM on dir's configuration; EBUSY while one runs.
int softhsm_up(const std::string &dir)
{
    int rc = load_softhsm();
    if (rc)
        return rc;
    std::lock_guard<std::mutex> lk(g_load_mu);
    if (g_running)
        return EBUSY;
    std::string conf = kyrtok_conf_path(dir);
    if (conf.empty())
        return EIO;
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    CK_C_INITIALIZE_ARGS args;
    memset(&args, 0, sizeof args);
    args.flags = CKF_OS_LOCKING_OK;
    if (g_p11->C_Initialize(&args) != CKR_OK)
        return EIO;
    g_running = true;
    return 0;
}

void softhsm_down()
{
    std::lock_guard<std::mutex> lk(g_load_mu);
    if (g_running)
        g_p11->C_Finalize(nullptr);
    g_running = false;
}

std::string padded(const std::string &s, size_t n)
{
    std::string r = s.substr(0, n);
    r.resize(n, ' ');
    return r;
}

// Card slot -> SoftHSM slot, by token label "kyr<i>".
std::map<int, CK_SLOT_ID> map_slots()
{
    std::map<int, CK_SLOT_ID> m;
    CK_ULONG n = 0;
    if (g_p11->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK)
        return m;
    std::vector<CK_SLOT_ID> ids(n);
    if (n && g_p11->C_GetSlotList(CK_TRUE, ids.data(), &n) != CKR_OK)
        return m;
    for (CK_ULONG i = 0; i < n; i++) {
        CK_TOKEN_INFO ti;
        if (g_p11->C_GetTokenInfo(ids[i], &ti) != CKR_OK || !(ti.flags & CKF_TOKEN_INITIALIZED))
            continue;
        std::string label(reinterpret_cast<const char *>(ti.label), sizeof ti.label);
        for (int s = 0; s < KYR_MAX_SLOTS; s++)
            if (label == padded("kyr" + std::to_string(s), sizeof ti.label))
                m[s] = ids[i];
    }
    return m;
}

CK_SLOT_ID free_slot()
{
    CK_ULONG n = 0;
    g_p11->C_GetSlotList(CK_FALSE, nullptr, &n);
    std::vector<CK_SLOT_ID> ids(n);
    if (n && g_p11->C_GetSlotList(CK_FALSE, ids.data(), &n) == CKR_OK) {
        for (CK_ULONG i = 0; i < n; i++) {
            CK_TOKEN_INFO ti;
            if (g_p11->C_GetTokenInfo(ids[i], &ti) == CKR_OK &&
                !(ti.flags & CKF_TOKEN_INITIALIZED))
                return ids[i];
        }
    }
    return ~CK_SLOT_ID(0);
}

CK_UTF8CHAR_PTR u8(const std::string &s)
{
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char *>(s.data()));
}

int make_rsa_key(CK_SESSION_HANDLE h)
{
    CK_MECHANISM mech = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_ULONG bits = 2048;
    CK_BYTE exp[] = {1, 0, 1};
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE id[] = {1};
    char label[] = "kyrkey";
    CK_ATTRIBUTE pub[] = {
        {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_PUBLIC_EXPONENT, exp, sizeof exp},
        {CKA_TOKEN, &yes, sizeof yes},           {CKA_VERIFY, &yes, sizeof yes},
        {CKA_ENCRYPT, &yes, sizeof yes},         {CKA_ID, id, sizeof id},
        {CKA_LABEL, label, sizeof label - 1}};
    CK_ATTRIBUTE priv[] = {
        {CKA_TOKEN, &yes, sizeof yes},   {CKA_PRIVATE, &yes, sizeof yes},
        {CKA_SIGN, &yes, sizeof yes},    {CKA_DECRYPT, &yes, sizeof yes},
        {CKA_SENSITIVE, &yes, sizeof yes}, {CKA_ID, id, sizeof id},
        {CKA_LABEL, label, sizeof label - 1}};
    CK_OBJECT_HANDLE a, b;
    return g_p11->C_GenerateKeyPair(h, &mech, pub, sizeof pub / sizeof pub[0], priv,
                                    sizeof priv / sizeof priv[0], &a, &b) == CKR_OK
               ? 0
               : EIO;
}

struct hooks {
    std::map<uint32_t, uint32_t> force_rv;
    std::map<uint32_t, int> fail_errno;
    std::map<uint32_t, int> delay_ms;
    std::multimap<uint32_t, std::pair<uint32_t, uint32_t>> rewrite;   // cmd -> (off, value)
};

template <class M>
const typename M::mapped_type *hook_for(const M &m, uint32_t cmd)
{
    auto it = m.find(cmd);
    if (it == m.end())
        it = m.find(0);
    return it == m.end() ? nullptr : &it->second;
}

struct card_session {
    CK_SESSION_HANDLE hsm = 0;
    int file = -1;
    int slot = -1;
};

uint32_t clamp32(CK_ULONG v)
{
    return v > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

}  // namespace

CK_FUNCTION_LIST_PTR kyrtok_p11()
{
    return g_p11;
}

struct kyrtok {
    kyrsim *sim = nullptr;
    std::mutex mu;
    std::map<int, CK_SLOT_ID> slots;             // card slot -> SoftHSM slot
    std::map<uint32_t, card_session> sessions;   // card handle -> session
    uint32_t next_handle = 1;
    uint32_t next_scripted = 1;
    hooks h;
    std::vector<kyrtok_call> calls;
    long seq = 0;
};

namespace {

// ---- the commands; each returns the CK_RV and fills the block ----

bool slot_of(kyrtok *t, uint32_t card_slot, CK_SLOT_ID *out)
{
    std::lock_guard<std::mutex> lk(t->mu);
    auto it = t->slots.find(static_cast<int>(card_slot));
    if (it == t->slots.end())
        return false;
    *out = it->second;
    return true;
}

// The SoftHSM session of a card handle, if the file owns it.
bool session_of(kyrtok *t, int file, uint32_t handle, CK_SESSION_HANDLE *out)
{
    std::lock_guard<std::mutex> lk(t->mu);
    auto it = t->sessions.find(handle);
    if (it == t->sessions.end() || it->second.file != file)
        return false;
    *out = it->second.hsm;
    return true;
}

CK_RV do_token_info(kyrtok *t, GetTokenInfo_Args *a)
{
    CK_SLOT_ID s;
    if (!slot_of(t, a->slot_id, &s))
        return CKR_SLOT_ID_INVALID;
    CK_TOKEN_INFO ti;
    CK_RV rv = g_p11->C_GetTokenInfo(s, &ti);
    if (rv != CKR_OK)
        return rv;
    CK_TOKEN_INFO_32 &o = a->token_info;
    memcpy(o.label, ti.label, sizeof o.label);
    memcpy(o.manufacturerID, ti.manufacturerID, sizeof o.manufacturerID);
    memcpy(o.model, ti.model, sizeof o.model);
    memcpy(o.serialNumber, ti.serialNumber, sizeof o.serialNumber);
    o.flags = clamp32(ti.flags);
    o.ulMaxSessionCount = clamp32(ti.ulMaxSessionCount);
    o.ulSessionCount = clamp32(ti.ulSessionCount);
    o.ulMaxRwSessionCount = clamp32(ti.ulMaxRwSessionCount);
    o.ulRwSessionCount = clamp32(ti.ulRwSessionCount);
    o.ulMaxPinLen = clamp32(ti.ulMaxPinLen);
    o.ulMinPinLen = clamp32(ti.ulMinPinLen);
    o.ulTotalPublicMemory = clamp32(ti.ulTotalPublicMemory);
    o.ulFreePublicMemory = clamp32(ti.ulFreePublicMemory);
    o.ulTotalPrivateMemory = clamp32(ti.ulTotalPrivateMemory);
    o.ulFreePrivateMemory = clamp32(ti.ulFreePrivateMemory);
    o.hardwareVersion = {ti.hardwareVersion.major, ti.hardwareVersion.minor};
    o.firmwareVersion = {ti.firmwareVersion.major, ti.firmwareVersion.minor};
    memcpy(o.utcTime, ti.utcTime, sizeof o.utcTime);
    return CKR_OK;
}

// Mechanism list: the types follow the header in out (room of *room types).
CK_RV do_mech_list(kyrtok *t, GetMechList_Args *a, std::vector<uint32_t> *out)
{
    CK_SLOT_ID s;
    if (!slot_of(t, a->slot_id, &s))
        return CKR_SLOT_ID_INVALID;
    CK_ULONG n = 0;
    CK_RV rv = g_p11->C_GetMechanismList(s, nullptr, &n);
    if (rv != CKR_OK)
        return rv;
    std::vector<CK_MECHANISM_TYPE> types(n);
    if (n && (rv = g_p11->C_GetMechanismList(s, types.data(), &n)) != CKR_OK)
        return rv;
    uint32_t room = a->list_length;
    a->list_length = static_cast<uint32_t>(n);
    if (a->length_only)
        return CKR_OK;
    if (n > room)
        return CKR_BUFFER_TOO_SMALL;
    for (CK_ULONG i = 0; i < n; i++)
        out->push_back(clamp32(types[i]));
    return CKR_OK;
}

CK_RV do_mech_info(kyrtok *t, GetMechInfo_Args *a)
{
    CK_SLOT_ID s;
    if (!slot_of(t, a->slot_id, &s))
        return CKR_SLOT_ID_INVALID;
    CK_MECHANISM_INFO mi;
    CK_RV rv = g_p11->C_GetMechanismInfo(s, a->mech_type, &mi);
    if (rv == CKR_OK) {
        a->mech_info.ulMinKeySize = clamp32(mi.ulMinKeySize);
        a->mech_info.ulMaxKeySize = clamp32(mi.ulMaxKeySize);
        a->mech_info.flags = clamp32(mi.flags);
    }
    return rv;
}

CK_RV do_open(kyrtok *t, int file, OpenSession_Args *a)
{
    CK_SLOT_ID s;
    if (!slot_of(t, a->slot_id, &s))
        return CKR_SLOT_ID_INVALID;
    CK_SESSION_HANDLE h = 0;
    CK_RV rv = g_p11->C_OpenSession(s, a->flags, nullptr, nullptr, &h);
    if (rv != CKR_OK)
        return rv;
    std::lock_guard<std::mutex> lk(t->mu);
    uint32_t card = t->next_handle++;
    t->sessions[card] = card_session{h, file, static_cast<int>(a->slot_id)};
    a->session_handle = card;
    return CKR_OK;
}

CK_RV do_close(kyrtok *t, int file, uint32_t handle)
{
    CK_SESSION_HANDLE h;
    {
        std::lock_guard<std::mutex> lk(t->mu);
        auto it = t->sessions.find(handle);
        if (it == t->sessions.end() || it->second.file != file)
            return CKR_SESSION_HANDLE_INVALID;
        h = it->second.hsm;
        t->sessions.erase(it);
    }
    return g_p11->C_CloseSession(h);
}

// Closes the card sessions of a file (every file: -1).
void close_file_sessions(kyrtok *t, int file)
{
    std::vector<CK_SESSION_HANDLE> hs;
    {
        std::lock_guard<std::mutex> lk(t->mu);
        for (auto it = t->sessions.begin(); it != t->sessions.end();) {
            if (file < 0 || it->second.file == file) {
                hs.push_back(it->second.hsm);
                it = t->sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (CK_SESSION_HANDLE h : hs)
        g_p11->C_CloseSession(h);
}

CK_RV do_login(kyrtok *t, int file, Login_Args *a)
{
    CK_SESSION_HANDLE h;
    if (!session_of(t, file, a->session_handle, &h))
        return CKR_SESSION_HANDLE_INVALID;
    if (a->pin_len > KYR_PIN_ROOM)
        return CKR_PIN_LEN_RANGE;
    const uint8_t *pin = a->pin;
    uint32_t len = a->pin_len;
    if (a->user_type == CKU_USER && len >= k_prefix_len && !memcmp(pin, k_prefix, k_prefix_len)) {
        pin += k_prefix_len;
        len -= static_cast<uint32_t>(k_prefix_len);
    }
    return g_p11->C_Login(h, a->user_type, const_cast<CK_UTF8CHAR_PTR>(pin), len);
}

CK_RV do_logout(kyrtok *t, int file, uint32_t handle)
{
    CK_SESSION_HANDLE h;
    if (!session_of(t, file, handle, &h))
        return CKR_SESSION_HANDLE_INVALID;
    return g_p11->C_Logout(h);
}

CK_RV do_set_pin(kyrtok *t, int file, SetPIN_Args *a)
{
    CK_SESSION_HANDLE h;
    if (!session_of(t, file, a->session_handle, &h))
        return CKR_SESSION_HANDLE_INVALID;
    if (a->old_pin_len > KYR_PIN_ROOM || a->new_pin_len > KYR_PIN_ROOM)
        return CKR_PIN_LEN_RANGE;
    return g_p11->C_SetPIN(h, a->old_pin, a->old_pin_len, a->new_pin, a->new_pin_len);
}

CK_RV do_slot_list(kyrtok *t, SlotList_Args *a)
{
    std::lock_guard<std::mutex> lk(t->mu);
    uint32_t room = std::min<uint32_t>(a->count, KYR_MAX_SLOTS);
    a->count = static_cast<uint32_t>(t->slots.size());
    if (a->length_only)
        return CKR_OK;
    if (a->count > room)
        return CKR_BUFFER_TOO_SMALL;
    uint32_t i = 0;
    for (auto &kv : t->slots)
        a->slots[i++] = static_cast<uint32_t>(kv.first);
    return CKR_OK;
}

// Size of the fixed part of a command's block (0: no block).
size_t block_size(uint32_t cmd)
{
    switch (cmd) {
    case KYR_CMD_SLOT_LIST: return sizeof(SlotList_Args);
    case KYR_CMD_GET_TOKEN_INFO: return sizeof(GetTokenInfo_Args);
    case KYR_CMD_GET_MECH_LIST: return sizeof(GetMechList_Args);
    case KYR_CMD_GET_MECH_INFO: return sizeof(GetMechInfo_Args);
    case KYR_CMD_SET_PIN: return sizeof(SetPIN_Args);
    case KYR_CMD_OPEN_SESSION: return sizeof(OpenSession_Args);
    case KYR_CMD_CLOSE_SESSION: return sizeof(CloseSession_Args);
    case KYR_CMD_LOGIN: return sizeof(Login_Args);
    case KYR_CMD_LOGOUT: return sizeof(Logout_Args);
    default: return kyrtok_header_size(cmd);
    }
}

// Commands whose block holds nothing for the card to write: like the
// driver, the token copies nothing back for them (a rewrite hook still
// does).
bool writes_back(uint32_t cmd)
{
    switch (cmd) {
    case KYR_CMD_ENCRYPT_INIT: case KYR_CMD_DECRYPT_INIT: case KYR_CMD_SIGN_INIT:
    case KYR_CMD_SIGN_RECOVER_INIT: case KYR_CMD_VERIFY_INIT: case KYR_CMD_VERIFY_RECOVER_INIT:
    case KYR_CMD_DIGEST_INIT: case KYR_CMD_DIGEST_UPDATE: case KYR_CMD_SIGN_UPDATE:
    case KYR_CMD_VERIFY_UPDATE: case KYR_CMD_VERIFY_FINAL: case KYR_CMD_VERIFY:
    case KYR_CMD_DIGEST_KEY: case KYR_CMD_SEED_RANDOM: case KYR_CMD_DESTROY_OBJECT:
    case KYR_CMD_SET_ATTRIBUTE_VALUE: case KYR_CMD_FIND_OBJECTS_INIT:
    case KYR_CMD_FIND_OBJECTS_FINAL: case KYR_CMD_CLOSE_SESSION: case KYR_CMD_LOGIN:
    case KYR_CMD_LOGOUT: case KYR_CMD_SET_PIN:
        return false;
    default:
        return true;
    }
}

bool known(uint32_t cmd)
{
    return block_size(cmd) != 0 || cmd == KYR_CMD_CLOSE_ALL_SESSIONS;
}

// An operation on a session: the block's first word names the card session.
CK_RV run_op(kyrtok *t, int file, uint32_t cmd, std::vector<uint8_t> &blk)
{
    uint32_t card = 0;
    memcpy(&card, blk.data(), sizeof card);
    CK_SESSION_HANDLE h;
    if (!session_of(t, file, card, &h))
        return CKR_SESSION_HANDLE_INVALID;
    uint32_t *next = &t->next_scripted;
    return kyrtok_run_op(cmd, h, blk, next);
}

CK_RV run(kyrtok *t, int file, uint32_t cmd, std::vector<uint8_t> &b, std::vector<uint32_t> *tail)
{
    uint8_t *blk = b.data();
    if (kyrtok_header_size(cmd))
        return run_op(t, file, cmd, b);
    switch (cmd) {
    case KYR_CMD_SLOT_LIST: return do_slot_list(t, reinterpret_cast<SlotList_Args *>(blk));
    case KYR_CMD_GET_TOKEN_INFO: return do_token_info(t, reinterpret_cast<GetTokenInfo_Args *>(blk));
    case KYR_CMD_GET_MECH_LIST:
        return do_mech_list(t, reinterpret_cast<GetMechList_Args *>(blk), tail);
    case KYR_CMD_GET_MECH_INFO: return do_mech_info(t, reinterpret_cast<GetMechInfo_Args *>(blk));
    case KYR_CMD_SET_PIN: return do_set_pin(t, file, reinterpret_cast<SetPIN_Args *>(blk));
    case KYR_CMD_OPEN_SESSION: return do_open(t, file, reinterpret_cast<OpenSession_Args *>(blk));
    case KYR_CMD_CLOSE_SESSION:
        return do_close(t, file, reinterpret_cast<CloseSession_Args *>(blk)->session_handle);
    case KYR_CMD_CLOSE_ALL_SESSIONS: close_file_sessions(t, file); return CKR_OK;
    case KYR_CMD_LOGIN: return do_login(t, file, reinterpret_cast<Login_Args *>(blk));
    case KYR_CMD_LOGOUT:
        return do_logout(t, file, reinterpret_cast<Logout_Args *>(blk)->session_handle);
    default: return CKR_FUNCTION_NOT_SUPPORTED;
    }
}

int handler(void *ctx, int file, uint32_t cmd, uint64_t arg, int64_t *rval)
{
    kyrtok *t = static_cast<kyrtok *>(ctx);
    size_t n = block_size(cmd);
    std::vector<uint8_t> blk(n ? n : 4, 0);
    int err = n ? kyrsim_copyin(arg, blk.data(), n) : 0;
    // The variable parts follow the header; their lengths are in it.
    bool too_big = false;
    if (!err && kyrtok_header_size(cmd)) {
        size_t total = n;
        if (!kyrtok_block_total(cmd, blk.data(), &total)) {
            too_big = true;
        } else if (total > n) {
            blk.resize(total);
            err = kyrsim_copyin(arg + n, blk.data() + n, total - n);
            n = total;
        }
    }
    size_t idx;
    uint32_t forced = 0;
    bool is_forced = false;
    int fail = 0, delay = 0;
    std::vector<std::pair<uint32_t, uint32_t>> rewrites;
    {
        std::lock_guard<std::mutex> lk(t->mu);
        kyrtok_call c;
        c.cmd = cmd;
        c.file = file;
        c.block.assign(blk.begin(), blk.begin() + n);
        c.start = ++t->seq;
        idx = t->calls.size();
        t->calls.push_back(std::move(c));
        if (auto p = hook_for(t->h.force_rv, cmd)) {
            is_forced = true;
            forced = *p;
        }
        if (auto p = hook_for(t->h.fail_errno, cmd))
            fail = *p;
        if (auto p = hook_for(t->h.delay_ms, cmd))
            delay = *p;
        for (uint32_t key : {cmd, 0u}) {
            auto r = t->h.rewrite.equal_range(key);
            for (auto it = r.first; it != r.second; ++it)
                rewrites.push_back(it->second);
        }
    }
    if (delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    CK_RV rv = CKR_OK;
    std::vector<uint32_t> tail;
    if (!err && fail)
        err = fail;
    if (!err) {
        if (is_forced)
            rv = forced;
        else if (!known(cmd))
            rv = CKR_FUNCTION_NOT_SUPPORTED;
        else if (too_big)
            rv = CKR_ARGUMENTS_BAD;
        else
            rv = run(t, file, cmd, blk, &tail);
        for (auto &rw : rewrites)
            if (rw.first + 4 <= n)
                memcpy(blk.data() + rw.first, &rw.second, 4);
        if (n && (writes_back(cmd) || !rewrites.empty()))
            err = kyrsim_copyout(blk.data(), arg, n);
        if (!err && !tail.empty())
            err = kyrsim_copyout(tail.data(), arg + n, tail.size() * sizeof(uint32_t));
    }
    // The PINs of the block are not kept beyond the record.
    explicit_bzero(blk.data(), blk.size());
    std::lock_guard<std::mutex> lk(t->mu);
    t->calls[idx].rv = static_cast<uint32_t>(rv);
    t->calls[idx].err = err;
    t->calls[idx].end = ++t->seq;
    *rval = static_cast<int64_t>(static_cast<uint32_t>(rv));
    return err;
}

void on_close(void *ctx, int file)
{
    close_file_sessions(static_cast<kyrtok *>(ctx), file);
}

}  // namespace

std::string kyrtok_conf_path(const std::string &dir)
{
    std::string tokens = dir + "/tokens";
    mkdir(dir.c_str(), 0700);
    mkdir(tokens.c_str(), 0700);
    std::string conf = dir + "/softhsm2.conf";
    std::ofstream f(conf, std::ios::trunc);
    f << "directories.tokendir = " << tokens << "\n"
      << "objectstore.backend = file\n"
      << "log.level = ERROR\n"
      << "slots.removable = false\n";
    f.close();
    return f ? conf : std::string();
}

int kyrtok_make_dir(const std::string &dir, const kyrtok_dir_opts &o)
{
    int rc = softhsm_up(dir);
    if (rc)
        return rc;
    for (int i = 0; i < o.tokens && rc == 0; i++) {
        std::string label = padded("kyr" + std::to_string(i), 32);
        CK_SLOT_ID s = free_slot();
        CK_SESSION_HANDLE h = 0;
        if (g_p11->C_InitToken(s, u8(o.so_pin), o.so_pin.size(), u8(label)) != CKR_OK) {
            rc = EIO;
            break;
        }
        // SoftHSM renumbers its slots after an initialization.
        auto m = map_slots();
        if (!m.count(i) ||
            g_p11->C_OpenSession(m[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) !=
                CKR_OK) {
            rc = EIO;
            break;
        }
        if (g_p11->C_Login(h, CKU_SO, u8(o.so_pin), o.so_pin.size()) != CKR_OK ||
            g_p11->C_InitPIN(h, u8(o.user_pin), o.user_pin.size()) != CKR_OK ||
            g_p11->C_Logout(h) != CKR_OK)
            rc = EIO;
        if (rc == 0 && i == 0 && o.rsa_key) {
            if (g_p11->C_Login(h, CKU_USER, u8(o.user_pin), o.user_pin.size()) != CKR_OK)
                rc = EIO;
            else
                rc = make_rsa_key(h);
        }
        g_p11->C_CloseSession(h);
    }
    softhsm_down();
    return rc;
}

int kyrtok_copy_dir(const std::string &from, const std::string &to)
{
    std::string cmd = "mkdir -p '" + to + "' && cp -a '" + from + "/tokens' '" + to + "/'";
    return system(cmd.c_str()) == 0 ? 0 : EIO;
}

int kyrtok_start(kyrsim *sim, const std::string &dir, kyrtok **out)
{
    *out = nullptr;
    int rc = softhsm_up(dir);
    if (rc)
        return rc;
    kyrtok *t = new kyrtok;
    t->sim = sim;
    t->slots = map_slots();
    kyrsim_set_token_handler(sim, handler, t);
    kyrsim_set_token_close(sim, on_close);
    *out = t;
    return 0;
}

int kyrtok_stop(kyrtok *t)
{
    if (!t)
        return 0;
    kyrsim_clear_token(t->sim);
    close_file_sessions(t, -1);
    softhsm_down();
    delete t;
    return 0;
}

void kyrtok_force_rv(kyrtok *t, uint32_t cmd, uint32_t rv)
{
    std::lock_guard<std::mutex> lk(t->mu);
    t->h.force_rv[cmd] = rv;
}

void kyrtok_fail_errno(kyrtok *t, uint32_t cmd, int err)
{
    std::lock_guard<std::mutex> lk(t->mu);
    t->h.fail_errno[cmd] = err;
}

void kyrtok_rewrite_word(kyrtok *t, uint32_t cmd, uint32_t off, uint32_t value)
{
    std::lock_guard<std::mutex> lk(t->mu);
    t->h.rewrite.insert({cmd, {off, value}});
}

void kyrtok_set_delay(kyrtok *t, uint32_t cmd, int ms)
{
    std::lock_guard<std::mutex> lk(t->mu);
    t->h.delay_ms[cmd] = ms;
}

void kyrtok_clear_hooks(kyrtok *t)
{
    std::lock_guard<std::mutex> lk(t->mu);
    t->h = hooks{};
}

std::vector<kyrtok_call> kyrtok_calls(kyrtok *t)
{
    std::lock_guard<std::mutex> lk(t->mu);
    return t->calls;
}

void kyrtok_clear_calls(kyrtok *t)
{
    std::lock_guard<std::mutex> lk(t->mu);
    t->calls.clear();
}

int kyrtok_max_overlap(kyrtok *t, const std::vector<uint32_t> &cmds)
{
    std::vector<std::pair<long, int>> ev;
    {
        std::lock_guard<std::mutex> lk(t->mu);
        for (auto &c : t->calls) {
            if (std::find(cmds.begin(), cmds.end(), c.cmd) == cmds.end() || c.end == 0)
                continue;
            ev.push_back({c.start, +1});
            ev.push_back({c.end, -1});
        }
    }
    std::sort(ev.begin(), ev.end());
    int cur = 0, best = 0;
    for (auto &e : ev)
        best = std::max(best, cur += e.second);
    return best;
}

int kyrtok_sessions(kyrtok *t, int file)
{
    std::lock_guard<std::mutex> lk(t->mu);
    int n = 0;
    for (auto &kv : t->sessions)
        n += (file < 0 || kv.second.file == file);
    return n;
}

// SoftHSM is loaded for the whole process and keeps what it allocated.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libsofthsm2.so\n";
}
