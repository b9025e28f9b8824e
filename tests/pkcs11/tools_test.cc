// Standard PKCS#11 programs on the card's token through the framework
// loader, libpkcs11_kyr, the interposer and the simulated card: OpenSC's
// pkcs11-tool makes, lists, reads, uses and deletes keys, and runs its own
// self-tests (whose transcript must be that of SoftHSM used directly, the
// card's token being carried out on it); OpenSSL signs and verifies
// through its PKCS#11 engine with pkcs11: URIs.  Skipped when a tool is
// missing.  Files go to the test's token directory.
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "p11_fixture.h"

namespace {

const char *const kTool = "/usr/bin/pkcs11-tool";
const char *const kOpenSsl = "/usr/bin/openssl";
const char *const kEngine = "/usr/lib/x86_64-linux-gnu/engines-3/pkcs11.so";

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

#ifdef KYR_SANITIZED
#define SKIP_IF_SANITIZED() \
    GTEST_SKIP() << "the tools are not instrumented and cannot load an instrumented module"
#else
#define SKIP_IF_SANITIZED() (void)0
#endif

#define SKIP_WITHOUT(path)                   \
    do {                                     \
        SKIP_IF_SANITIZED();                 \
        if (!exists(path))                   \
            GTEST_SKIP() << path << " is not installed"; \
    } while (0)

class Tools : public P11Test {
protected:
    // pkcs11-tool through the loader (interposed), logged in as the user.
    p11_run tool(std::vector<std::string> args, bool login = true)
    {
        if (login)
            args.insert(args.begin(), {"--login", "--pin", "1234"});
        args.insert(args.begin(), {kTool, "--module", KYR_LOADER});
        return run(args);
    }
    // A program that does not touch the card (not interposed).
    p11_run plain(const std::vector<std::string> &argv, const std::vector<std::string> &env = {})
    {
        kyrsim_spawn_opts o;
        o.argv = argv;
        o.env = env;
        o.interpose = false;
        kyrsim_child c;
        p11_run r;
        if (kyrsim_spawn(sim, o, &c) != 0)
            return r;
        if (kyrsim_wait_child(&c, 60000) != 0) {
            kyrsim_kill_child(&c);
            return r;
        }
        r.out = kyrsim_child_stdout(c);
        r.err = kyrsim_child_stderr(c);
        r.code = kyrsim_exit_code(c);
        return r;
    }
    std::string file(const std::string &name) { return dir + "/" + name; }
    void write(const std::string &name, const std::string &text)
    {
        std::ofstream(file(name), std::ios::trunc) << text;
    }
};

bool contains(const std::string &s, const std::string &part)
{
    return s.find(part) != std::string::npos;
}

size_t count_of(const std::string &s, const std::string &part)
{
    size_t n = 0;
    for (size_t p = s.find(part); p != std::string::npos; p = s.find(part, p + 1))
        n++;
    return n;
}

#define EXPECT_HAS(r, part) \
    EXPECT_TRUE(contains((r).out + (r).err, part)) << "missing \"" << (part) << "\" in:\n" << (r).out << (r).err

TEST_F(Tools, Pkcs11ToolMakesListsReadsUsesAndDeletesKeys)
{
    SKIP_WITHOUT(kTool);
    SKIP_WITHOUT(kOpenSsl);
    // Key pairs come back public handle first: pkcs11-tool shows the
    // private key and then the public one of each new pair.
    p11_run g = tool({"--keypairgen", "--key-type", "rsa:2048", "--id", "11", "--label", "t-rsa"});
    ASSERT_EQ(0, g.code) << g.err;
    EXPECT_TRUE(std::regex_search(g.out, std::regex("Key pair generated:\nPrivate Key Object; RSA[^]*"
                                                    "Public Key Object; RSA 2048 bits")))
        << g.out;
    g = tool({"--keypairgen", "--key-type", "EC:prime256v1", "--id", "12", "--label", "t-ec"});
    ASSERT_EQ(0, g.code) << g.err;
    EXPECT_TRUE(std::regex_search(g.out, std::regex("Key pair generated:\nPrivate Key Object; EC[^]*"
                                                    "Public Key Object; EC  EC_POINT 256 bits")))
        << g.out;
    g = tool({"--keygen", "--key-type", "AES:32", "--id", "13", "--label", "t-aes", "--extractable"});
    ASSERT_EQ(0, g.code) << g.err;
    EXPECT_HAS(g, "Secret Key Object; AES length 32");
    g = tool({"--keygen", "--key-type", "AES:32", "--id", "14", "--label", "t-wrap"});
    ASSERT_EQ(0, g.code) << g.err;

    p11_run ls = tool({"-O"});
    ASSERT_EQ(0, ls.code) << ls.err;
    for (const char *label : {"t-rsa", "t-ec", "t-aes", "kyrkey"})
        EXPECT_HAS(ls, std::string("label:      ") + label);
    EXPECT_EQ(6u, count_of(ls.out, "Key Object; RSA") + count_of(ls.out, "Key Object; EC"))
        << ls.out;

    // RSA: sign and verify on the card; the public key read from the card
    // verifies the same signature in OpenSSL and encrypts for the card.
    write("data", "data signed on the card\n");
    p11_run s = tool({"--sign", "--id", "11", "-m", "SHA256-RSA-PKCS", "-i", file("data"), "-o",
                      file("sig")});
    ASSERT_EQ(0, s.code) << s.err;
    p11_run v = tool({"--verify", "--id", "11", "-m", "SHA256-RSA-PKCS", "-i", file("data"),
                      "--signature-file", file("sig")}, false);
    EXPECT_EQ(0, v.code) << v.err;
    EXPECT_HAS(v, "Signature is valid");
    p11_run rd = tool({"--read-object", "--type", "pubkey", "--id", "11", "-o", file("pub.der")},
                      false);
    ASSERT_EQ(0, rd.code) << rd.err;
    p11_run o = plain({kOpenSsl, "dgst", "-sha256", "-keyform", "DER", "-verify", file("pub.der"),
                       "-signature", file("sig"), file("data")});
    EXPECT_EQ(0, o.code) << o.out << o.err;
    EXPECT_HAS(o, "Verified OK");
    o = plain({kOpenSsl, "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey",
               file("pub.der"), "-in", file("data"), "-out", file("rsa.enc")});
    ASSERT_EQ(0, o.code) << o.err;
    p11_run d = tool({"--decrypt", "--id", "11", "-m", "RSA-PKCS", "-i", file("rsa.enc")});
    EXPECT_EQ(0, d.code) << d.err;
    EXPECT_EQ("data signed on the card\n", d.out);

    // EC: ECDSA over a digest the tool is given.
    o = plain({kOpenSsl, "dgst", "-sha256", "-binary", "-out", file("digest"), file("data")});
    ASSERT_EQ(0, o.code) << o.err;
    s = tool({"--sign", "--id", "12", "-m", "ECDSA", "-i", file("digest"), "-o", file("ecsig")});
    ASSERT_EQ(0, s.code) << s.err;
    v = tool({"--verify", "--id", "12", "-m", "ECDSA", "-i", file("digest"), "--signature-file",
              file("ecsig")}, false);
    EXPECT_EQ(0, v.code) << v.err;
    EXPECT_HAS(v, "Signature is valid");
    write("digest", "not the digest of anything..!!!\n");
    v = tool({"--verify", "--id", "12", "-m", "ECDSA", "-i", file("digest"), "--signature-file",
              file("ecsig")}, false);
    EXPECT_HAS(v, "Invalid signature");

    // AES: a round trip in CBC with padding.
    const std::string iv = "000102030405060708090a0b0c0d0e0f";
    p11_run e = tool({"--encrypt", "--id", "13", "-m", "AES-CBC-PAD", "--iv", iv, "-i", file("data"),
                      "-o", file("aes.enc")});
    ASSERT_EQ(0, e.code) << e.err;
    struct stat st;
    ASSERT_EQ(0, stat(file("aes.enc").c_str(), &st));
    EXPECT_EQ(32, st.st_size);   // 24 bytes and their padding
    d = tool({"--decrypt", "--id", "13", "-m", "AES-CBC-PAD", "--iv", iv, "-i", file("aes.enc")});
    EXPECT_EQ(0, d.code) << d.err;
    EXPECT_EQ("data signed on the card\n", d.out);

    // The AES key wrapped by another and unwrapped again decrypts the same.
    p11_run w = tool({"--wrap", "-m", "AES-KEY-WRAP", "--id", "14", "--application-id", "13", "-o",
                      file("wrapped")});
    ASSERT_EQ(0, w.code) << w.err;
    ASSERT_EQ(0, stat(file("wrapped").c_str(), &st));
    EXPECT_EQ(40, st.st_size);
    w = tool({"--unwrap", "-m", "AES-KEY-WRAP", "--id", "14", "-i", file("wrapped"), "--key-type",
              "AES:", "--application-id", "15", "--application-label", "t-unwrapped"});
    ASSERT_EQ(0, w.code) << w.err;
    d = tool({"--decrypt", "--id", "15", "-m", "AES-CBC-PAD", "--iv", iv, "-i", file("aes.enc")});
    EXPECT_EQ(0, d.code) << d.err;
    EXPECT_EQ("data signed on the card\n", d.out);
    // A digest on the card is OpenSSL's.
    p11_run h = tool({"--hash", "-m", "SHA256", "-i", file("data"), "-o", file("card.sha")}, false);
    ASSERT_EQ(0, h.code) << h.err;
    o = plain({kOpenSsl, "dgst", "-sha256", "-binary", "-out", file("ossl.sha"), file("data")});
    ASSERT_EQ(0, o.code) << o.err;
    std::ifstream a(file("card.sha")), b(file("ossl.sha"));
    std::stringstream ha, hb;
    ha << a.rdbuf();
    hb << b.rdbuf();
    EXPECT_EQ(32u, ha.str().size());
    EXPECT_EQ(hb.str(), ha.str());

    p11_run del = tool({"--delete-object", "--type", "secrkey", "--id", "13"});
    EXPECT_EQ(0, del.code) << del.err;
    ls = tool({"-O"});
    EXPECT_FALSE(contains(ls.out, "t-aes")) << ls.out;
    EXPECT_TRUE(contains(ls.out, "t-rsa")) << ls.out;

    // Each of those went to the card as its own command.
    for (uint32_t cmd : {KYR_CMD_GENERATE_KEY_PAIR, KYR_CMD_GENERATE_KEY, KYR_CMD_FIND_OBJECTS,
                         KYR_CMD_GET_ATTRIBUTE_VALUE, KYR_CMD_SIGN_INIT, KYR_CMD_SIGN,
                         KYR_CMD_VERIFY_INIT, KYR_CMD_DECRYPT_INIT, KYR_CMD_ENCRYPT_INIT,
                         KYR_CMD_WRAP_KEY, KYR_CMD_UNWRAP_KEY, KYR_CMD_DIGEST_INIT,
                         KYR_CMD_DESTROY_OBJECT})
        EXPECT_FALSE(received(cmd).empty()) << std::hex << cmd;
    EXPECT_EQ(1u, received(KYR_CMD_DESTROY_OBJECT).size());
}

TEST_F(Tools, OpenSslSignsAndVerifiesThroughTheEngine)
{
    SKIP_WITHOUT(kOpenSsl);
    SKIP_WITHOUT(kEngine);
    write("openssl.cnf", "openssl_conf = init\n[init]\nengines = engines\n[engines]\n"
                         "pkcs11 = pkcs11\n[pkcs11]\nMODULE_PATH = " KYR_LOADER "\n");
    write("data", "data signed through the engine\n");
    const std::string conf = "OPENSSL_CONF=" + file("openssl.cnf");
    const std::string key = "pkcs11:token=kyr0;object=kyrkey";
    auto ossl = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {kOpenSsl});
        return run(args, 60000, {conf});
    };
    p11_run s = ossl({"dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-sign",
                      key + ";type=private?pin-value=1234", "-out", file("sig"), file("data")});
    ASSERT_EQ(0, s.code) << s.err;
    p11_run v = ossl({"dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-verify",
                      key + ";type=public", "-signature", file("sig"), file("data")});
    EXPECT_EQ(0, v.code) << v.err;
    EXPECT_HAS(v, "Verified OK");
    write("data", "data not signed\n");
    v = ossl({"dgst", "-sha256", "-engine", "pkcs11", "-keyform", "engine", "-verify",
              key + ";type=public", "-signature", file("sig"), file("data")});
    EXPECT_NE(0, v.code);
    EXPECT_HAS(v, "Verification failure");
    // The signature was made on the card.
    EXPECT_FALSE(received(KYR_CMD_SIGN).empty() && received(KYR_CMD_SIGN_FINAL).empty());
}

// pkcs11-tool's self-test through the whole stack against SoftHSM used
// directly on a copy of the same token directory.  The only difference
// allowed is the slot's number in "Using slot 0 with a present token
// (0x...)": the loader numbers slots as the card does, SoftHSM by token.
TEST_F(Tools, SelfTestTranscriptIsThatOfSoftHsm)
{
    SKIP_WITHOUT(kTool);
    std::string bare = dir + "/bare";
    ASSERT_EQ(0, kyrtok_copy_dir(tmpl(), bare));
    const std::vector<std::string> args = {"--token-label", "kyr0", "--login", "--pin", "1234",
                                           "--test"};
    std::vector<std::string> argv = {kTool, "--module", KYR_LOADER};
    argv.insert(argv.end(), args.begin(), args.end());
    p11_run mine = run(argv);
    argv = {kTool, "--module", KYRTOK_SOFTHSM_LIB};
    argv.insert(argv.end(), args.begin(), args.end());
    p11_run want = plain(argv, {"SOFTHSM2_CONF=" + kyrtok_conf_path(bare)});
    const std::regex slot("(Using slot [0-9]+ with a present token) \\(0x[0-9a-f]+\\)");
    auto norm = [&](const std::string &s) { return std::regex_replace(s, slot, "$1 (N)"); };
    EXPECT_EQ(want.code, mine.code);
    EXPECT_EQ(want.out, mine.out);
    EXPECT_EQ(norm(want.err), norm(mine.err));
    // Not two empty runs: SoftHSM's self-test gets as far as OAEP with a
    // label, which it refuses.
    EXPECT_HAS(mine, "all 4 digest functions seem to work");
    EXPECT_HAS(mine, "SHA1-RSA-PKCS: OK");
    EXPECT_HAS(mine, "C_SeedRandom() and C_GenerateRandom():\n  seems to be OK");
    EXPECT_HAS(mine, "error: PKCS11 function C_DecryptInit failed: rv = CKR_ARGUMENTS_BAD (0x7)");
}

TEST_F(Tools, Pkcs11ToolThreadAndForkTestsPass)
{
    SKIP_WITHOUT(kTool);
    p11_run t = run({kTool, "--module", KYR_LOADER, "--test-threads", "ILGISLT0", "--test-threads",
                     "ILGISLT0", "--test-threads", "GISLT0", "-L"});
    EXPECT_EQ(0, t.code) << t.err;
    EXPECT_HAS(t, "test_threads all threads have ended with CKR_OK");
    EXPECT_EQ(4u, count_of(t.out, "token label        : kyr0")) << t.out;
    p11_run f = run({kTool, "--module", KYR_LOADER, "--test-fork", "--login", "--pin", "1234",
                     "-O"});
    EXPECT_EQ(0, f.code) << f.err;
    EXPECT_HAS(f, "*** Calling C_Initialize in forked child process ***");
    EXPECT_HAS(f, "Private Key Object; RSA");
    EXPECT_HAS(f, "label:      kyrkey");
}

}  // namespace
