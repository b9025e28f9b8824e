// Objects, keys and cryptographic operations of the token library through
// the real simulator, interposer and the card's token on SoftHSM, with the
// card's answers rewritten where the library must not trust them.  Every
// caller buffer of the driver is followed by canary bytes.  Each test runs
// twice: with the 64-bit library and driver, and with the 32-bit ones under
// qemu-i386-static (skipped when they or qemu are missing); the blocks the
// card receives are the same for both.
#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <map>

#include <p11-kit/pkcs11.h>

#include "p11_fixture.h"

namespace {

#ifdef P11OPS32
const char *const kOps32 = P11OPS32;
const char *const kLib32 = KYR_P11_LIB32;
#else
const char *const kOps32 = "";
const char *const kLib32 = "";
#endif
const char *const kQemu = "/usr/bin/qemu-i386-static";

bool exists(const char *path)
{
    struct stat st;
    return *path && stat(path, &st) == 0;
}

bool have_32bit()
{
    return exists(kOps32) && exists(kLib32) && exists(kQemu);
}

uint32_t word_at(const kyrtok_call &c, size_t off)
{
    uint32_t w = 0;
    if (off + 4 <= c.block.size())
        memcpy(&w, c.block.data() + off, 4);
    return w;
}

// The attribute blocks in a command the card received: (offset, count,
// length) of each.
std::vector<std::array<size_t, 3>> attr_blocks(const kyrtok_call &c)
{
    auto w = [&](size_t i) { return size_t(word_at(c, 4 * i)); };
    switch (c.cmd) {
    case KYR_CMD_CREATE_OBJECT: case KYR_CMD_COPY_OBJECT: case KYR_CMD_SET_ATTRIBUTE_VALUE:
        return {{sizeof(CommonObject_Args), w(2), w(3)}};
    case KYR_CMD_FIND_OBJECTS_INIT: return {{sizeof(FindObjectsInit_Args), w(1), w(2)}};
    case KYR_CMD_GENERATE_KEY: return {{sizeof(GenerateKey_Args) + w(3), w(4), w(5)}};
    case KYR_CMD_GENERATE_KEY_PAIR:
        return {{sizeof(GenKeyPair_Args) + w(4), w(5), w(6)},
                {sizeof(GenKeyPair_Args) + w(4) + w(6), w(7), w(8)}};
    case KYR_CMD_UNWRAP_KEY: return {{sizeof(UnWrapKey_Args) + w(3) + w(5), w(6), w(7)}};
    case KYR_CMD_DERIVE_KEY: return {{sizeof(DeriveKey_Args) + w(3), w(5), w(6)}};
    default: return {};
    }
}

// Every CK_ULONG value the card received in the commands cmds was one
// 32-bit word (an array whole words), whatever the caller's word size;
// returns how many there were per command.
std::map<uint32_t, int> expect_word_values(const std::vector<kyrtok_call> &calls)
{
    std::map<uint32_t, int> seen;
    for (const kyrtok_call &c : calls) {
        for (const auto &b : attr_blocks(c)) {
            size_t off = b[0], end = b[0] + b[2];
            EXPECT_LE(end, c.block.size()) << std::hex << c.cmd;
            for (size_t k = 0; k < b[1] && off + 8 <= end; k++) {
                uint32_t type = word_at(c, off), len = word_at(c, off + 4);
                if (kyr_attr_is_ulong(type)) {
                    EXPECT_EQ(4u, len) << std::hex << "command " << c.cmd << " attribute " << type;
                    seen[c.cmd]++;
                } else if (kyr_attr_is_ulong_array(type)) {
                    EXPECT_EQ(0u, len % 4) << std::hex << "command " << c.cmd << " attribute " << type;
                    seen[c.cmd]++;
                }
                off += 8 + len;
            }
            EXPECT_EQ(end, off) << std::hex << "command " << c.cmd;
        }
    }
    return seen;
}

class OpsBase : public P11Test {
protected:
    // Runs a scenario of the driver of the given word size (the simulator
    // starts a 32-bit program under qemu-i386-static).
    p11_run ops_of(int bits, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {bits == 32 ? kOps32 : P11OPS,
                                         bits == 32 ? kLib32 : KYR_P11_LIB};
        argv.insert(argv.end(), args.begin(), args.end());
        p11_run r = run(argv);
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_LINE(r, "session: rv=0x0 login=0x0");
        return r;
    }
};

class Ops : public OpsBase, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        if (GetParam() == 32 && !have_32bit())
            GTEST_SKIP() << "no 32-bit library, driver or qemu-i386-static";
        P11Test::SetUp();
    }
    p11_run ops(const std::string &scenario)
    {
        return ops_of(GetParam(), {scenario});
    }
    // The caller's CK_ULONG length, and CK_UNAVAILABLE_INFORMATION as the
    // driver prints it.
    std::string ul() const { return GetParam() == 32 ? "4" : "8"; }
    std::string unavail() const
    {
        return GetParam() == 32 ? "0xffffffff" : "0xffffffffffffffff";
    }
};

TEST_P(Ops, ObjectsCreateGetCopySetDestroy)
{
    p11_run r = ops("objects");
    EXPECT_LINE(r, "create: rv=0x0 handle=yes");
    // CK_ULONG values come back widened, their lengths those of a CK_ULONG.
    EXPECT_LINE(r, "get: rv=0x0 class=0x4 keytype=0x10 valuelen=16 label=obj1 lens=" + ul() + "," + ul() +
                        "," + ul() + ",4 canary=ok");
    EXPECT_LINE(r, "lengths: rv=0x0 " + ul() + " 16 4");
    EXPECT_LINE(r, "small: rv=0x150 label_len=" + unavail() + " class_len=" + ul() + " canary=ok");
    EXPECT_LINE(r, "size: rv=0x0 nonzero=1");
    EXPECT_LINE(r, "copy: rv=0x0 found=1");
    EXPECT_LINE(r, "set: rv=0x0 found=1");
    EXPECT_LINE(r, "destroy: rv=0x0 found=0");
    EXPECT_LINE(r, "create empty: rv=0xd0");
    EXPECT_LINE(r, "create null value: rv=0x7");
    EXPECT_LINE(r, "find null template: rv=0x7");
    if (GetParam() == 64) {
        EXPECT_LINE(r, "create wide class: rv=0x13");
    }
    // Only the first create reached the card (the others were refused by
    // the library), with the class as one 32-bit word.
    std::vector<kyrtok_call> c = received(KYR_CMD_CREATE_OBJECT);
    ASSERT_EQ(1u, c.size()) << r.out;
    EXPECT_EQ(0u, word_at(c[0], 16));   // CKA_CLASS
    EXPECT_EQ(4u, word_at(c[0], 20));
    EXPECT_EQ(uint32_t(CKO_SECRET_KEY), word_at(c[0], 24));
    EXPECT_EQ(uint32_t(CKA_KEY_TYPE), word_at(c[0], 28));
}

TEST_P(Ops, SearchInPiecesAndAnEmptyTemplateIsSent)
{
    p11_run r = ops("search");
    EXPECT_LINE(r, "find: rv=0x0 total=3 last=1 unset=1");
    EXPECT_LINE(r, "final: rv=0x0");
    EXPECT_LINE(r, "find all: rv=0x0 count=4");
    std::vector<kyrtok_call> c = received(KYR_CMD_FIND_OBJECTS_INIT);
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(0u, word_at(c.back(), 4));   // attribute_count of the empty template
}

TEST_P(Ops, SignVerifyOnePartAndInPiecesWithItsOwnVerifyFinal)
{
    p11_run r = ops("sign");
    EXPECT_LINE(r, "keys: priv=1 pub=1");
    EXPECT_LINE(r, "sign query: rv=0x0 len=256");
    EXPECT_LINE(r, "sign: rv=0x0 len=256 canary=ok");
    EXPECT_LINE(r, "verify: rv=0x0");
    EXPECT_LINE(r, "verify bad: rv=0xc0");
    EXPECT_LINE(r, "sign final: rv=0x0 same=1 canary=ok");
    EXPECT_LINE(r, "verify final: rv=0x0");
    EXPECT_LINE(r, "verify final bad: rv=0xc0");
    EXPECT_LINE(r, "sign small: rv=0x150 len=256 untouched=1");
    // The length query offered room 0.
    std::vector<kyrtok_call> s = received(KYR_CMD_SIGN);
    ASSERT_GE(s.size(), 2u);
    EXPECT_EQ(0u, word_at(s[0], 8));
    EXPECT_EQ(256u, word_at(s[1], 8));
    std::vector<kyrtok_call> vf = received(KYR_CMD_VERIFY_FINAL);
    ASSERT_EQ(2u, vf.size());
    EXPECT_EQ(256u, word_at(vf[0], 4));
    EXPECT_EQ(8u + 256u, vf[0].block.size());
    EXPECT_TRUE(received(0x4154).empty());
    // SoftHSM has no signature with recovery; the calls still reach it.
    EXPECT_EQ(1u, received(KYR_CMD_SIGN_RECOVER_INIT).size());
    EXPECT_EQ(1u, received(KYR_CMD_VERIFY_RECOVER_INIT).size());
}

TEST_P(Ops, EncryptDecryptDigestRandom)
{
    p11_run r = ops("crypto");
    EXPECT_LINE(r, "genkey: rv=0x0 handle=yes");
    EXPECT_LINE(r, "encrypt: rv=0x0 len=48 canary=ok");
    EXPECT_LINE(r, "decrypt: rv=0x0 len=40 same=1");
    EXPECT_LINE(r, "encrypt update final: rv=0x0,0x0 len=48 same=1 canary=ok");
    EXPECT_LINE(r, "decrypt update final: rv=0x0,0x0 same=1");
    const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    EXPECT_LINE(r, "digest: rv=0x0 " + abc + " canary=ok");
    EXPECT_LINE(r, "digest final: rv=0x0 " + abc);
    EXPECT_LINE(r, "digest key: rv=0x0,0x0 len=32");
    EXPECT_LINE(r, "random: rv=0x0 canary=ok");
    EXPECT_LINE(r, "random 0: rv=0x7");
    EXPECT_LINE(r, "seed: rv=0x0");
    EXPECT_EQ(1u, received(KYR_CMD_GENERATE_RANDOM).size());
}

TEST_P(Ops, KeyPairWrapUnwrapAndRefusedMechanisms)
{
    p11_run r = ops("keys");
    EXPECT_LINE(r, "keypair: rv=0x0 distinct=1 bits=1024");
    // A session 0 goes to the card, which refuses it.
    EXPECT_LINE(r, "keypair session 0: rv=0xb3");
    EXPECT_EQ(2u, received(KYR_CMD_GENERATE_KEY_PAIR).size());
    EXPECT_LINE(r, "wrap query: rv=0x0 len=24");
    EXPECT_LINE(r, "wrap: rv=0x0 len=24 canary=ok");
    EXPECT_LINE(r, "unwrap: rv=0x0 handle=yes");
    EXPECT_LINE(r, "unwrap empty: rv=0x7");
    // Parameters holding a CK_ULONG or a pointer are not carried out; the
    // card refuses them as SoftHSM refuses a parameter it cannot take.
    EXPECT_LINE(r, "oaep: rv=0x7");
    std::map<uint32_t, int> seen = expect_word_values(kyrtok_calls(tok));
    EXPECT_EQ(2, seen[KYR_CMD_GENERATE_KEY]);        // the value lengths
    EXPECT_EQ(2, seen[KYR_CMD_GENERATE_KEY_PAIR]);   // the modulus bits
    EXPECT_EQ(2, seen[KYR_CMD_UNWRAP_KEY]);          // class and key type
}

TEST_P(Ops, DerivationParameterBlocks)
{
    p11_run r = ops("derive");
    EXPECT_LINE(r, "ssl3 master: rv=0x0 handle=yes");
    EXPECT_LINE(r, "ssl3 master short: rv=0x71");
    EXPECT_LINE(r, "ssl3 key mat: rv=0x0");
    EXPECT_LINE(r, "ssl3 key mat short: rv=0x71");
    EXPECT_LINE(r, "sha1 derive: rv=0x0");
    EXPECT_LINE(r, "rsa derive: rv=0x70");
    std::vector<kyrtok_call> d = received(KYR_CMD_DERIVE_KEY);
    ASSERT_EQ(3u, d.size()) << "the refused derivations must not reach the card";
    // Master key: version 3.0 whatever the caller's, then the randoms.
    const kyrtok_call &m = d[0];
    ASSERT_EQ(28u + 12 + 64, m.block.size());
    EXPECT_EQ(uint32_t(12 + 64), word_at(m, 12));
    EXPECT_EQ(3, m.block[28]);
    EXPECT_EQ(0, m.block[29]);
    EXPECT_EQ(32u, word_at(m, 32));
    EXPECT_EQ(32u, word_at(m, 36));
    EXPECT_EQ(0xC1, m.block[40]);
    EXPECT_EQ(0x5E, m.block[40 + 32]);
    // Key material: the three sizes, the export flag, the random lengths.
    const kyrtok_call &k = d[1];
    ASSERT_EQ(28u + 24 + 48, k.block.size());
    EXPECT_EQ(160u, word_at(k, 28));
    EXPECT_EQ(128u, word_at(k, 32));
    EXPECT_EQ(64u, word_at(k, 36));
    EXPECT_EQ(1, k.block[40]);
    EXPECT_EQ(32u, word_at(k, 44));
    EXPECT_EQ(16u, word_at(k, 48));
    EXPECT_EQ(0u, word_at(d[2], 12));
}

// The card claims more output than the room: nothing is copied.
TEST_P(Ops, ProducedLengthAboveTheRoomIsADeviceError)
{
    // Just past the room (into the canary) and far past it.
    kyrtok_rewrite_word(tok, KYR_CMD_SIGN, offsetof(Encrypt_Args, out_data_len), 256 + 4);
    kyrtok_rewrite_word(tok, KYR_CMD_DIGEST_FINAL, offsetof(EncryptFinal_Args, out_len), 0xFFFFFFFF);
    p11_run r = ops("outputs");
    EXPECT_LINE(r, "sign: rv=0x30 len=256 untouched=1 canary=ok");
    EXPECT_LINE(r, "digest final: rv=0x30 len=32 canary=ok");
}

TEST_P(Ops, HandleCountAboveMaxCountIsADeviceError)
{
    // One handle past max_count 2: the driver's third handle is its canary.
    kyrtok_rewrite_word(tok, KYR_CMD_FIND_OBJECTS, offsetof(FindObjects_Args, count), 3);
    p11_run r = ops("outputs");
    EXPECT_LINE(r, "find: rv=0x30 count=7 canary=ok");
}

TEST_P(Ops, GetAttributeValueOversizedValueAndNoRoomForAbsentValues)
{
    // The first entry's length, as the card writes it back: just past the
    // room of 8 (into the canary), then garbage.
    for (uint32_t len : {8u + 4, 0x7FFFFFFFu}) {
        kyrtok_clear_hooks(tok);
        kyrtok_rewrite_word(tok, KYR_CMD_GET_ATTRIBUTE_VALUE, sizeof(CommonObject_Args) + 4, len);
        p11_run r = ops("outputs");
        EXPECT_LINE(r, "get: rv=0x150 len0=" + unavail() + " type0=0x3 len1=1 canary=ok") << len;
    }
    std::vector<kyrtok_call> g = received(KYR_CMD_GET_ATTRIBUTE_VALUE);
    ASSERT_FALSE(g.empty());
    // Room 8 for the label, none for the ID without a buffer.
    EXPECT_EQ(uint32_t(8 + 8 + 8), word_at(g.back(), 12));
    EXPECT_EQ(0u, word_at(g.back(), 16 + 16 + 4));
}

TEST_P(Ops, GetAttributeValueKeepsTheCallersTypes)
{
    kyrtok_rewrite_word(tok, KYR_CMD_GET_ATTRIBUTE_VALUE, sizeof(CommonObject_Args), CKA_ID);
    p11_run r = ops("outputs");
    EXPECT_LINE(r, "get: rv=0x30 len0=0x8 type0=0x3 len1=1000 canary=ok");
}

// CK_ULONG values and arrays through every call that takes a template: one
// word each on the card, widened on the way back, refused when they cannot
// be one; attribute arrays (they hold pointers) never reach the card.
TEST_P(Ops, CkUlongValuesAndArraysTravelAsWords)
{
    p11_run r = ops("ulongs");
    const std::string two = GetParam() == 32 ? "8" : "16";
    EXPECT_LINE(r, "create: rv=0x0 handle=yes");
    // (the token keeps the list in its own order)
    EXPECT_LINE(r, "get allowed: rv=0x0 len=" + two + " mechs=0x221,0x251 keytype=0x10 canary=ok");
    EXPECT_LINE(r, "get allowed small: rv=0x150 len=unavail canary=ok");
    EXPECT_LINE(r, "allowed length: rv=0x0 len=" + two);
    // The token got the list as given: the other HMAC is not allowed.
    EXPECT_LINE(r, "allowed sign: rv=0x0,0x0 len=32 other=0x70");
    EXPECT_LINE(r, "copy: rv=0x0 found=1");
    EXPECT_LINE(r, "copy class: rv=0x10");
    // The token does not change the list once made (and took the value).
    EXPECT_LINE(r, "set allowed: rv=0x10 sign=0x0");
    EXPECT_LINE(r, "derive template: rv=0x0");
    EXPECT_LINE(r, "nested: create=0x12 get=0x12 len=unavail keytype=0x10 canary=ok");
    EXPECT_LINE(r, std::string("refused: part=0x13 half=0x13 find half=0x13 wide=") +
                       (GetParam() == 64 ? "0x13" : "0x0"));
    std::map<uint32_t, int> seen = expect_word_values(kyrtok_calls(tok));
    EXPECT_EQ(3, seen[KYR_CMD_CREATE_OBJECT]) << "only the first create reaches the card";
    EXPECT_EQ(1, seen[KYR_CMD_COPY_OBJECT]);
    EXPECT_EQ(1, seen[KYR_CMD_SET_ATTRIBUTE_VALUE]);
    EXPECT_EQ(2, seen[KYR_CMD_FIND_OBJECTS_INIT]);
    EXPECT_EQ(3, seen[KYR_CMD_DERIVE_KEY]);
    // The array's words, as the card got them.
    std::vector<kyrtok_call> c = received(KYR_CMD_CREATE_OBJECT);
    ASSERT_EQ(1u, c.size());
    const size_t at = 16 + 2 * 12 + 4 * 9 + 8 + 32;   // past class, key type, 4 flags, value
    EXPECT_EQ(uint32_t(CKA_ALLOWED_MECHANISMS), word_at(c[0], at));
    EXPECT_EQ(8u, word_at(c[0], at + 4));
    EXPECT_EQ(uint32_t(CKM_SHA256_HMAC), word_at(c[0], at + 8));
    EXPECT_EQ(uint32_t(CKM_SHA_1_HMAC), word_at(c[0], at + 12));
}

TEST_P(Ops, NullTemplatesAndNullValuesAreRefusedBeforeTheCard)
{
    p11_run r = ops("argchecks");
    const std::string all = "create=0x7 copy=0x7 set=0x7 find=0x7 genkey=0x7 pub=0x7 priv=0x7 "
                            "unwrap=0x7 derive=0x7";
    EXPECT_LINE(r, "null template: " + all + " get=0x7");
    EXPECT_LINE(r, "null value: " + all);
    for (uint32_t cmd : {KYR_CMD_COPY_OBJECT, KYR_CMD_SET_ATTRIBUTE_VALUE, KYR_CMD_FIND_OBJECTS_INIT,
                         KYR_CMD_GENERATE_KEY, KYR_CMD_GENERATE_KEY_PAIR, KYR_CMD_UNWRAP_KEY,
                         KYR_CMD_DERIVE_KEY, KYR_CMD_GET_ATTRIBUTE_VALUE})
        EXPECT_TRUE(received(cmd).empty()) << std::hex << cmd;
    EXPECT_EQ(1u, received(KYR_CMD_CREATE_OBJECT).size());
}

// CTest names them .../64 and .../32 (the word size).
INSTANTIATE_TEST_SUITE_P(Width, Ops, ::testing::Values(64, 32));

// A 32-bit and a 64-bit caller share the card's token objects: each finds
// by CK_ULONG values (class, key type, value length) what the other made,
// and reads them back in its own width.
class OpsAcrossWidths : public OpsBase {
protected:
    void SetUp() override
    {
        if (!have_32bit())
            GTEST_SKIP() << "no 32-bit library, driver or qemu-i386-static";
        P11Test::SetUp();
    }
};

TEST_F(OpsAcrossWidths, EachFindsWhatTheOtherMade)
{
    EXPECT_LINE(ops_of(32, {"make", "w32"}), "make: rv=0x0,0x0");
    EXPECT_LINE(ops_of(64, {"make", "w64"}), "make: rv=0x0,0x0");
    const std::string found =
        "found: 1,1 rv=0x0,0x0 class=0x4 keytype=0x10 allowed=1:0x251 aes=0x1f valuelen=16";
    EXPECT_LINE(ops_of(64, {"find", "w32"}), found);
    EXPECT_LINE(ops_of(32, {"find", "w64"}), found);
}

}  // namespace
