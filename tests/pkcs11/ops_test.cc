// Objects, keys and cryptographic operations of the token library through
// the real simulator, interposer and the card's token on SoftHSM, with the
// card's answers rewritten where the library must not trust them.  Every
// caller buffer of the driver is followed by canary bytes.
#include <cstddef>
#include <cstring>

#include <p11-kit/pkcs11.h>

#include "p11_fixture.h"

namespace {

class Ops : public P11Test {
protected:
    p11_run ops(const std::string &scenario)
    {
        p11_run r = run({P11OPS, KYR_P11_LIB, scenario});
        EXPECT_EQ(0, r.code) << r.err;
        EXPECT_LINE(r, "session: rv=0x0 login=0x0");
        return r;
    }
    uint32_t word_at(const kyrtok_call &c, size_t off)
    {
        uint32_t w = 0;
        if (off + 4 <= c.block.size())
            memcpy(&w, c.block.data() + off, 4);
        return w;
    }
};

TEST_F(Ops, ObjectsCreateGetCopySetDestroy)
{
    p11_run r = ops("objects");
    EXPECT_LINE(r, "create: rv=0x0 handle=yes");
    // CK_ULONG values come back widened, their lengths those of a CK_ULONG.
    EXPECT_LINE(r, "get: rv=0x0 class=0x4 keytype=0x10 valuelen=16 label=obj1 lens=8,8,8,4 canary=ok");
    EXPECT_LINE(r, "lengths: rv=0x0 8 16 4");
    EXPECT_LINE(r, "small: rv=0x150 label_len=0xffffffffffffffff class_len=8 canary=ok");
    EXPECT_LINE(r, "size: rv=0x0 nonzero=1");
    EXPECT_LINE(r, "copy: rv=0x0 found=1");
    EXPECT_LINE(r, "set: rv=0x0 found=1");
    EXPECT_LINE(r, "destroy: rv=0x0 found=0");
    EXPECT_LINE(r, "create empty: rv=0xd0");
    EXPECT_LINE(r, "create null value: rv=0x7");
    EXPECT_LINE(r, "find null template: rv=0x7");
    EXPECT_LINE(r, "create wide class: rv=0x13");
    // Only the first create reached the card (the others were refused by
    // the library), with the class as one 32-bit word.
    std::vector<kyrtok_call> c = received(KYR_CMD_CREATE_OBJECT);
    ASSERT_EQ(1u, c.size()) << r.out;
    EXPECT_EQ(0u, word_at(c[0], 16));   // CKA_CLASS
    EXPECT_EQ(4u, word_at(c[0], 20));
    EXPECT_EQ(uint32_t(CKO_SECRET_KEY), word_at(c[0], 24));
    EXPECT_EQ(uint32_t(CKA_KEY_TYPE), word_at(c[0], 28));
}

TEST_F(Ops, SearchInPiecesAndAnEmptyTemplateIsSent)
{
    p11_run r = ops("search");
    EXPECT_LINE(r, "find: rv=0x0 total=3 last=1 unset=1");
    EXPECT_LINE(r, "final: rv=0x0");
    EXPECT_LINE(r, "find all: rv=0x0 count=4");
    std::vector<kyrtok_call> c = received(KYR_CMD_FIND_OBJECTS_INIT);
    ASSERT_FALSE(c.empty());
    EXPECT_EQ(0u, word_at(c.back(), 4));   // attribute_count of the empty template
}

TEST_F(Ops, SignVerifyOnePartAndInPiecesWithItsOwnVerifyFinal)
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

TEST_F(Ops, EncryptDecryptDigestRandom)
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

TEST_F(Ops, KeyPairWrapUnwrapAndRefusedMechanisms)
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
}

TEST_F(Ops, DerivationParameterBlocks)
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
TEST_F(Ops, ProducedLengthAboveTheRoomIsADeviceError)
{
    kyrtok_rewrite_word(tok, KYR_CMD_SIGN, offsetof(Encrypt_Args, out_data_len), 300);
    kyrtok_rewrite_word(tok, KYR_CMD_DIGEST_FINAL, offsetof(EncryptFinal_Args, out_len), 0xFFFFFFFF);
    p11_run r = ops("outputs");
    EXPECT_LINE(r, "sign: rv=0x30 len=256 untouched=1 canary=ok");
    EXPECT_LINE(r, "digest final: rv=0x30 len=32 canary=ok");
}

TEST_F(Ops, HandleCountAboveMaxCountIsADeviceError)
{
    kyrtok_rewrite_word(tok, KYR_CMD_FIND_OBJECTS, offsetof(FindObjects_Args, count), 100);
    p11_run r = ops("outputs");
    EXPECT_LINE(r, "find: rv=0x30 count=7 third=0");
}

TEST_F(Ops, GetAttributeValueOversizedValueAndNoRoomForAbsentValues)
{
    // The first entry's length, as the card writes it back.
    kyrtok_rewrite_word(tok, KYR_CMD_GET_ATTRIBUTE_VALUE, sizeof(CommonObject_Args) + 4, 0x7FFFFFFF);
    p11_run r = ops("outputs");
    EXPECT_LINE(r, "get: rv=0x150 len0=0xffffffffffffffff type0=0x3 len1=1 canary=ok");
    std::vector<kyrtok_call> g = received(KYR_CMD_GET_ATTRIBUTE_VALUE);
    ASSERT_FALSE(g.empty());
    // Room 8 for the label, none for the ID without a buffer.
    EXPECT_EQ(uint32_t(8 + 8 + 8), word_at(g.back(), 12));
    EXPECT_EQ(0u, word_at(g.back(), 16 + 16 + 4));
}

TEST_F(Ops, GetAttributeValueKeepsTheCallersTypes)
{
    kyrtok_rewrite_word(tok, KYR_CMD_GET_ATTRIBUTE_VALUE, sizeof(CommonObject_Args), CKA_ID);
    p11_run r = ops("outputs");
    EXPECT_LINE(r, "get: rv=0x30 len0=0x8 type0=0x3 len1=1000 canary=ok");
}

}  // namespace
